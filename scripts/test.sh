#!/usr/bin/env bash
# Sets everything up on a fresh Debian machine and runs every test: the normal build, a short
# bounded run of every fuzz target, then the AddressSanitizer + UndefinedBehaviorSanitizer build
# (Clang).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)

scripts/build.sh build
(cd build && ctest --output-on-failure -j "$jobs" --no-tests=error)

scripts/fuzz.sh 15

CC=clang CXX=clang++ scripts/build.sh build-asan -DQORDA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
   UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
   ctest --output-on-failure -j "$jobs" --no-tests=error)
