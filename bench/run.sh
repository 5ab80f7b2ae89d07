#!/usr/bin/env bash
# The benchmark pack: bench/run.sh [--quick] [--servers qorda,vsftpd,pure-ftpd,proftpd,pyftpdlib]
#                                  [--out DIR] [--keep]
# Builds qorda and the load generator, sets up a temporary site on tmpfs (qorda's through
# 'qorda reg import'), then runs the scenarios of bench/README.md against each server in turn on
# loopback, plus the generator's own ceilings. Prints one JSON line per scenario and a Markdown
# table (also written to DIR/results.jsonl and DIR/results.md; DIR defaults to build/bench-results).
# Needs root for the peers (local logins, /etc/shadow): re-runs itself through sudo when not root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

quick=0
servers=qorda,vsftpd,pure-ftpd,proftpd,pyftpdlib
out=$repo/build/bench-results
keep=0
built=0
args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --servers) servers=$2; shift ;;
    --servers=*) servers=${1#*=} ;;
    --out) out=$2; shift ;;
    --keep) keep=1 ;;
    --built) built=1 ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench/run.sh: unknown argument '$1'" >&2; exit 2 ;;
  esac
  shift
done
IFS=, read -r -a server_list <<<"$servers"
for s in "${server_list[@]}"; do
  case $s in qorda|vsftpd|pure-ftpd|proftpd|pyftpdlib) ;;
    *) echo "bench/run.sh: unknown server '$s' (qorda, vsftpd, pure-ftpd, proftpd, pyftpdlib)" >&2
       exit 2 ;;
  esac
done

log() { printf '[bench %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }

# --- build (as the invoking user), then go on as root --------------------------------------
if [ "$built" = 0 ]; then
  scripts/deps.sh
  log "building qorda and ftpload (build/)"
  cmake -S . -B build -G Ninja >/dev/null
  cmake --build build --target qorda ftpload
  if [ "$(id -u)" != 0 ]; then
    exec sudo "$0" --built "${args[@]}"
  fi
fi
[ "$(id -u)" = 0 ] || { echo "bench/run.sh: the peers need root" >&2; exit 1; }
QORDA=$repo/build/qorda
LOAD=$repo/build/bench/ftpload
[ -x "$QORDA" ] && [ -x "$LOAD" ] || { echo "bench/run.sh: build first" >&2; exit 1; }

# --- sizes --------------------------------------------------------------------------------
if [ "$quick" = 1 ]; then
  big_mib=64; mid_mib=16; duration=3; list_repeat=3; idle_sessions=100; dir_files=10000
else
  big_mib=1024; mid_mib=256; duration=10; list_repeat=20; idle_sessions=1000; dir_files=10000
fi
big=$((big_mib * 1048576))
mid=$((mid_mib * 1048576))
user=qbench
pass=benchpw

# --- peers: installed from Debian packages when missing --------------------------------------
# The Debian FTP servers conflict with one another (each provides ftp-server), so only vsftpd is
# installed; Pure-FTPd and ProFTPD are unpacked from their packages into a cache directory and run
# from there (their libraries are installed normally).
cache=/var/cache/qorda-bench
want() { [[ ",$servers," == *",$1,"* ]]; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
apt_updated=0
apt_install() {
  local missing=()
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$apt_updated" = 0 ]; then apt-get update -qq; apt_updated=1; fi
  log "apt-get install ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
unpack() {  # unpack PACKAGE: the package's files under $cache/root
  local pkg=$1
  if ! ls "$cache"/"${pkg}"_*.deb >/dev/null 2>&1; then
    if [ "$apt_updated" = 0 ]; then apt-get update -qq; apt_updated=1; fi
    mkdir -p "$cache"
    log "apt-get download $pkg"
    (cd "$cache" && apt-get download -qq "$pkg" 2>/dev/null)
  fi
  local deb
  deb=$(ls "$cache"/"${pkg}"_*.deb | tail -1)
  [ -f "$cache/root/.$pkg" ] || { dpkg-deb -x "$deb" "$cache/root"; touch "$cache/root/.$pkg"; }
  basename "$deb" .deb | cut -d_ -f2
}
want vsftpd && apt_install vsftpd
want pyftpdlib && apt_install python3-pyftpdlib
want pure-ftpd && { apt_install libcap2 libcrypt1 libpam0g libsodium23 libssl3
                    pureftpd_version=$(unpack pure-ftpd); }
want proftpd && { apt_install libacl1 libcap2 libhiredis0.14 libidn2-0 libmemcached11 \
                    libmemcachedutil2 libncursesw6 libpcre2-8-0 libpcre2-posix3 libssl3 zlib1g
                  proftpd_version=$(unpack proftpd-core); }

# --- the site ------------------------------------------------------------------------------
tmp=$(mktemp -d /dev/shm/qorda-bench.XXXXXX)
chmod 755 "$tmp"
data=$tmp/data
pids=()
created_user=0
cleanup() {
  set +e
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  [ "$created_user" = 1 ] && userdel qbench 2>/dev/null
  rm -f /etc/pam.d/qbench-vsftpd
  if [ "$keep" = 1 ]; then log "kept $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log "site on $tmp: ${big_mib} MiB, ${mid_mib} MiB and 4 KiB files, a directory of $dir_files files"
mkdir -p "$data/dir10k" "$data/up"
head -c 1048576 /dev/urandom >"$tmp/seed"
for ((i = 0; i < big_mib; i++)); do cat "$tmp/seed"; done >"$data/big.bin"
head -c "$mid" "$data/big.bin" >"$data/mid.bin"
head -c 4096 "$data/big.bin" >"$data/small.bin"
rm "$tmp/seed"
(cd "$data/dir10k" && seq -f 'file%05g.txt' 1 "$dir_files" | xargs touch)
# One certificate for every server that offers FTP over TLS (the TLS scenarios 9 to 11).
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=localhost \
  -keyout "$tmp/tls-key.pem" -out "$tmp/tls-cert.pem" 2>/dev/null

# A system user for the peers that log in local accounts, with the site as its home.
if want vsftpd || want pure-ftpd || want proftpd; then
  if ! id qbench >/dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir "$data" --shell /usr/sbin/nologin qbench
    created_user=1
  fi
  usermod --home "$data" qbench >/dev/null 2>&1
  # SHA-512 crypt rather than Debian's default yescrypt: logins/s then measures the servers, not
  # a deliberately slow hash (yescrypt costs tens of milliseconds of CPU per login).
  echo "qbench:$pass" | chpasswd -c SHA512
  chown -R qbench:qbench "$data"
fi
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {  # wait_port PORT PID NAME
  for ((i = 0; i < 100; i++)); do
    if ss -ltnH "sport = :$1" | grep -q .; then return 0; fi
    kill -0 "$2" 2>/dev/null || break
    sleep 0.1
  done
  log "$3 did not start; its log:"; cat "$tmp/$3.log" >&2 || true
  return 1
}

# --- servers -------------------------------------------------------------------------------
# Each start_* sets $port and $pid (of 'ftpload wrap', the parent of the server's whole tree). Every server: loopback only, no reverse DNS, no transfer or
# command logging to disk, no client limits below 2,000.
start_qorda() {
  local home=$tmp/qorda scratch=$tmp/qorda-scratch szpass
  "$QORDA" --home "$home" init >/dev/null
  # The password's stored form comes from the program itself, through a scratch store.
  "$QORDA" --home "$scratch" init >/dev/null
  "$QORDA" --home "$scratch" user add "$user" --password "$pass" >/dev/null
  szpass=$("$QORDA" --home "$scratch" reg query "Software\\Zolvex Software\\Cindervale FTP Daemon\\Users\\$user" szpass \
           | sed -n 's/^"szpass"="\(.*\)"$/\1/p')
  [ -n "$szpass" ] || { log "could not read the encoded password"; return 1; }
  port=$(free_port)
  cat >"$tmp/qorda.reg" <<EOF
REGEDIT4

[HKEY_LOCAL_MACHINE\\System\\Drives]
"c"="$data"

[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software\\Cindervale FTP Daemon\\Setup]
"iport"=dword:$(printf %08x "$port")
"imaxc"=dword:$(printf %08x 2500)
"imaxt"=dword:$(printf %08x 900)
"benabledns"=dword:00000000
"ilogls"=dword:00000000
"iloglf"=dword:00000000
"btls"=dword:00000001
"sztlscert"="$tmp/tls-cert.pem"
"sztlskey"="$tmp/tls-key.pem"

[HKEY_LOCAL_MACHINE\\Software\\Zolvex Software\\Cindervale FTP Daemon\\Users\\$user]
"szpass"="$szpass"
"szfp"="[u] rwdlcxhms /c:/"
"sztemp"="[s] 'none'"
"bignore"=dword:00000001
EOF
  "$QORDA" --home "$home" reg import "$tmp/qorda.reg"
  "$LOAD" wrap --cpu-file "$cpu_file" "$QORDA" --home "$home" serve >"$tmp/qorda.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_port "$port" "$pid" qorda
}

start_vsftpd() {
  port=$(free_port)
  mkdir -p "$tmp/vsftpd-empty"
  chmod 755 "$tmp/vsftpd-empty"
  # Its own PAM service: password check only (the packaged one also wants a login shell).
  printf 'auth required pam_unix.so\naccount required pam_unix.so\nsession required pam_permit.so\n' \
    >/etc/pam.d/qbench-vsftpd
  cat >"$tmp/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$data
pam_service_name=qbench-vsftpd
secure_chroot_dir=$tmp/vsftpd-empty
seccomp_sandbox=NO
xferlog_enable=NO
syslog_enable=NO
dirmessage_enable=NO
connect_from_port_20=NO
pasv_enable=YES
max_clients=0
max_per_ip=0
idle_session_timeout=900
ssl_enable=YES
rsa_cert_file=$tmp/tls-cert.pem
rsa_private_key_file=$tmp/tls-key.pem
force_local_logins_ssl=NO
force_local_data_ssl=NO
require_ssl_reuse=YES
ssl_ciphers=HIGH
EOF
  "$LOAD" wrap --cpu-file "$cpu_file" vsftpd "$tmp/vsftpd.conf" >"$tmp/vsftpd.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_port "$port" "$pid" vsftpd
}

start_pure-ftpd() {
  port=$(free_port)
  # A virtual user (its own password database, as pure-pw makes it) that runs as qbench: the
  # system account has no login shell, which Pure-FTPd's unix authentication insists on.
  # Its password is stored as SHA-512 crypt too (pure-pw's own default hash is far slower).
  printf '%s\n%s\n' "$pass" "$pass" | "$cache/root/usr/bin/pure-pw" useradd "$user" \
    -f "$tmp/pureftpd.passwd" -u qbench -g qbench -D "$data" >/dev/null
  local hash
  hash=$(openssl passwd -6 "$pass")
  awk -F: -v OFS=: -v h="$hash" '{ $2 = h; print }' "$tmp/pureftpd.passwd" >"$tmp/pureftpd.passwd.new"
  mv "$tmp/pureftpd.passwd.new" "$tmp/pureftpd.passwd"
  "$cache/root/usr/bin/pure-pw" mkdb "$tmp/pureftpd.pdb" -f "$tmp/pureftpd.passwd"
  # -E: no anonymous; -H: no host name look-ups; -f none: no syslog; -c/-C: clients in all and
  # per address; -L: list up to 100,000 files; -u 1: system uids may log in.
  "$LOAD" wrap --cpu-file "$cpu_file" "$cache/root/usr/sbin/pure-ftpd" -S "127.0.0.1,$port" -l "puredb:$tmp/pureftpd.pdb" \
    -E -H -f none -c 2100 -C 2100 -L 100000:8 -u 1 -I 15 >"$tmp/pure-ftpd.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_port "$port" "$pid" pure-ftpd
}

start_proftpd() {
  port=$(free_port)
  cat >"$tmp/proftpd.conf" <<EOF
ServerType standalone
ServerName "qorda-bench"
DefaultServer on
Port $port
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
User qbench
Group qbench
PidFile $tmp/proftpd.pid
ScoreboardFile $tmp/proftpd.scoreboard
UseReverseDNS off
MaxInstances 2500
TimeoutIdle 900
AuthPAM off
AuthOrder mod_auth_unix.c
RequireValidShell off
DelayEngine off
WtmpLog off
TransferLog none
SyslogLevel emerg
Umask 022
AllowOverwrite on
ListOptions "" maxfiles 100000
EOF
  "$LOAD" wrap --cpu-file "$cpu_file" "$cache/root/usr/sbin/proftpd" -n -q -c "$tmp/proftpd.conf" >"$tmp/proftpd.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_port "$port" "$pid" proftpd
}

start_pyftpdlib() {
  port=$(free_port)
  cat >"$tmp/pyftpd.py" <<'EOF'
import logging, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
port, home, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
logging.basicConfig(level=logging.WARNING)
auth = DummyAuthorizer()
auth.add_user(user, password, home, perm="elradfmwMT")
FTPHandler.authorizer = auth
server = FTPServer(("127.0.0.1", port), FTPHandler)
server.max_cons = 3000
server.max_cons_per_ip = 0
server.serve_forever(handle_exit=True)
EOF
  # The Debian package's interpreter, whatever python3 comes first in PATH.
  "$LOAD" wrap --cpu-file "$cpu_file" /usr/bin/python3 "$tmp/pyftpd.py" "$port" "$data" "$user" "$pass" \
    >"$tmp/pyftpdlib.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_port "$port" "$pid" pyftpdlib
}

stop_server() {  # stop_server PID
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# --- measuring ------------------------------------------------------------------------------
mkdir -p "$out"
raw=$out/raw.jsonl
cpu_file=$tmp/server.cpu
: >"$raw"
case_() {  # case_ SERVER SCENARIO ftpload-args...
  local server=$1 scen=$2 line
  shift 2
  log "$server: scenario $scen"
  if ! line=$("$LOAD" "$@" --label "$server"); then
    log "$server: scenario $scen reported errors: $line"
  fi
  [ -n "$line" ] || line='{"errors":1,"first_error":"no output"}'
  printf '{"server":"%s","scenario":"%s",%s\n' "$server" "$scen" "${line#\{}" >>"$raw"
}

run_scenarios() {  # run_scenarios NAME (port and pid set)
  local s=$1
  local c=(--port "$port" --user "$user" --pass "$pass" --server-pid "$pid" --cpu-file "$cpu_file")
  # Idle sessions first, on the fresh server: its memory growth is not hidden by what earlier
  # scenarios left allocated.
  case_ "$s" 6 idle "${c[@]}" --sessions "$idle_sessions" --path big.bin --expect "$big"
  case_ "$s" 1 retr "${c[@]}" --path big.bin --expect "$big"
  case_ "$s" 2 stor "${c[@]}" --path up/stor.bin --size "$big"
  rm -f "$data/up/stor.bin"
  case_ "$s" 5 list "${c[@]}" --path dir10k --repeat "$list_repeat"
  case_ "$s" 7 retr "${c[@]}" --clients 8 --path mid.bin --expect "$mid"
  # The connection-heavy loops last, each after the previous server's TIME_WAIT sockets have
  # drained: a port-0 bind costs more the more of them loopback holds.
  settle
  case_ "$s" 3 retr "${c[@]}" --clients 50 --duration "$duration" --path small.bin --expect 4096
  case_ "$s" 4 logins "${c[@]}" --clients 50 --duration "$duration"
  # FTP over TLS, where the server is set up for it (qorda and vsftpd).
  if [ "$s" = qorda ] || [ "$s" = vsftpd ]; then
    settle
    case_ "$s" 9 retr "${c[@]}" --tls 1 --path big.bin --expect "$big"
    case_ "$s" 10 stor "${c[@]}" --tls 1 --path up/stor.bin --size "$big"
    rm -f "$data/up/stor.bin"
    settle
    case_ "$s" 11 logins "${c[@]}" --tls 1 --clients 50 --duration "$duration"
  fi
}

settle() {  # waits (75 s at most: TIME_WAIT lasts 60 s) until fewer than 1,000 TCP sockets are in TIME_WAIT
  local n
  for ((i = 0; i < 75; i++)); do
    n=$(ss -tanH state time-wait | wc -l)
    [ "$n" -lt 1000 ] && return 0
    sleep 1
  done
  log "still $n sockets in TIME_WAIT"
}

load_start=$(cut -d' ' -f1-3 /proc/loadavg)
# The generator's own ceilings: a trivial FTP responder for the request-reply scenarios, and a
# plain send loop of the servers' 1460-byte sends for the throughput ones.
port=$(free_port)
"$LOAD" wrap --cpu-file "$cpu_file" "$LOAD" fake-server --port "$port" --size 4096 >/dev/null 2>&1 &
pid=$!
pids+=("$pid")
if wait_port "$port" "$pid" ceiling; then
  c=(--port "$port" --user "$user" --pass "$pass" --server-pid "$pid" --cpu-file "$cpu_file")
  settle
  case_ ceiling 3 retr "${c[@]}" --clients 50 --duration "$duration" --path small.bin --expect 4096
  case_ ceiling 4 logins "${c[@]}" --clients 50 --duration "$duration"
  stop_server "$pid"
fi
# The send loops, and the same loops with the bytes staged as the design stages a file
# (14,600-byte reads of it, sent in 1460-byte pieces: what a RETR can reach with nothing of the
# server's own around it). Three rounds, interleaved; the report takes each one's median.
for _round in 1 2 3; do
  case_ ceiling 8 raw --size "$big" --send-size 1460 --streams 1
  case_ ceiling 8s raw --size "$big" --send-size 1460 --read-size 14600 --stage-file "$data/big.bin" --streams 1
  case_ ceiling 8m raw --size "$mid" --send-size 1460 --streams 8
  case_ ceiling 8sm raw --size "$mid" --send-size 1460 --read-size 14600 --stage-file "$data/mid.bin" --streams 8
done
for s in "${server_list[@]}"; do
  log "starting $s"
  if "start_$s"; then
    run_scenarios "$s"
    stop_server "$pid"
  fi
done

load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- report -------------------------------------------------------------------------------
ver() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo "?"; }
{
  echo "date=$(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "cpus=$(nproc)"
  echo "cpu_model=$(lscpu | sed -n 's/^Model name: *//p' | head -1)"
  echo "kernel=$(uname -r)"
  echo "qorda=$(git -C "$repo" describe --always --dirty 2>/dev/null || echo '?')"
  echo "vsftpd=$(ver vsftpd)"
  echo "pure-ftpd=${pureftpd_version:-?}"
  echo "proftpd=${proftpd_version:-?}"
  echo "pyftpdlib=$(ver python3-pyftpdlib)"
  echo "load_start=$load_start"
  echo "load_end=$load_end"
  echo "quick=$quick"
  echo "servers=$servers"
  echo "sizes=${big_mib} MiB single file, ${mid_mib} MiB x 8, ${duration} s loops, $idle_sessions idle sessions, $dir_files-entry listing x $list_repeat"
} >"$out/meta.txt"
python3 "$repo/bench/report.py" "$raw" "$out/meta.txt" "$out/results.jsonl" "$out/results.md"
# Run through sudo: the results belong to the user who asked for them.
[ -n "${SUDO_UID:-}" ] && chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$out"
log "results in $out/results.md and $out/results.jsonl"
