#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and starts a demo FTP site in the foreground:
# installs the packages, builds the program (nothing else), creates the demo home when it is
# missing (`qorda init --demo`) and runs `qorda serve` on it. One line per step; the demo
# account's password comes last, before the server's own log.
#   scripts/serve.sh [--port N]    N: serve on port N instead of the site's iport (2121)
# The home is demo-home/ in the repository unless QORDA_HOME names another one; the program is
# built in build/ unless QORDA_BUILD names another build directory.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

serve_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --port) serve_args=(--port "${2:-}"); shift ;;
    --port=*) serve_args=(--port "${1#--port=}") ;;
    -h|--help) sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "serve.sh: unknown argument '$1' (usage: scripts/serve.sh [--port N])" >&2; exit 2 ;;
  esac
  shift
done
if [ ${#serve_args[@]} -gt 0 ] && ! [[ ${serve_args[1]} =~ ^[0-9]{1,5}$ ]]; then
  echo "serve.sh: --port needs a port number (1 to 65535)" >&2
  exit 2
fi

step() { echo "serve.sh: $*"; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Runs a step with its output kept aside; shows it only when the step fails.
quietly() {
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    echo "serve.sh: failed: $*" >&2
    exit 1
  fi
}
# A path as the user can type it from where the script was started.
shown() { case $1 in "$here"/*) echo "${1#"$here"/}" ;; *) echo "$1" ;; esac; }

step "checking the Debian packages (installs what is missing)"
quietly scripts/deps.sh

build=${QORDA_BUILD:-build}
step "building qorda in $build/ (the first build takes a few minutes)"
[ -f "$build/CMakeCache.txt" ] || quietly cmake -S . -B "$build" -G Ninja
quietly cmake --build "$build" --target qorda
qorda=$(cd "$build" && pwd)/qorda
home=${QORDA_HOME:-$PWD/demo-home}
cli="$(shown "$qorda") --home $(shown "$home")"

password=""
if [ ! -e "$home/qorda.db" ]; then
  step "creating the demo site in $(shown "$home")"
  quietly "$qorda" --home "$home" init --demo
  password=$(sed -n 's/^.*, password: \([^ ]*\)$/\1/p' "$log")
  [ -n "$password" ] || cat "$log"
fi
port=${serve_args[1]:-$("$qorda" --home "$home" get iport)}
port=${port#iport=}

step "serving $(shown "$home") on port $port (Ctrl-C stops it)"
echo
echo "  Try:      curl ftp://127.0.0.1:$port/pub/"
# exec keeps the pid: this shell becomes the server.
echo "  Settings: $cli set NAME VALUE, then 'kill -HUP $$' applies them"
if [ -n "$password" ]; then
  echo "  Log in as anonymous (any e-mail address as password), or as demo with the password"
  echo
  echo "      $password"
  echo
  echo "  It is shown only now. To set a new one:  $cli user passwd demo"
elif "$qorda" --home "$home" user show demo >/dev/null 2>&1; then
  echo "  The password of the account demo was shown when the site was made."
  echo "  To set a new one:  $cli user passwd demo"
fi
echo
rm -f "$log"
exec "$qorda" --home "$home" serve "${serve_args[@]}"
