#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and starts a demo FTP site in the foreground:
# installs the packages, builds, creates the demo home when it is missing (`qorda init --demo`,
# which prints the demo account's password once) and runs `qorda serve` on it.
# The home is demo-home/ in the repository unless QORDA_HOME names another one.
# Extra arguments go to `qorda serve` (for example --port 2122).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
home=${QORDA_HOME:-$PWD/demo-home}
if [ ! -e "$home/qorda.db" ]; then
  build/qorda --home "$home" init --demo
fi
port=$(build/qorda --home "$home" get iport)
port=${port#iport=}
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case ${args[i]} in
    --port) port=${args[i + 1]:-$port} ;;
    --port=*) port=${args[i]#--port=} ;;
  esac
done
echo "Serving $home on port $port; connect with:  curl ftp://127.0.0.1:$port/pub/"
echo "(stop with Ctrl-C; 'kill -HUP' reloads the settings after 'build/qorda --home $home set ...')"
exec build/qorda --home "$home" serve "$@"
