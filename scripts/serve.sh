#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and starts the server in the foreground.
# Extra arguments go to `qorda serve` (for example --port 2121).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build
exec build/qorda serve "$@"
