#!/usr/bin/env bash
# Configures and builds one tree: scripts/build.sh [DIR [extra cmake args...]] (default: build),
# with warnings as errors (the development and CI builds).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja -DQORDA_WERROR=ON "$@" >/dev/null
cmake --build "$dir"
