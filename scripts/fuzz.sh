#!/usr/bin/env bash
# Builds the libFuzzer targets (Clang) and runs each for a short, bounded time on a copy of its
# seed corpus: scripts/fuzz.sh [SECONDS_PER_TARGET] (default 15). New inputs stay out of the repo.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-15}
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DQORDA_FUZZ=ON -DQORDA_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for bin in build-fuzz/fuzz/fuzz_*; do
  name=${bin#build-fuzz/fuzz/fuzz_}
  mkdir -p "$work/$name"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/$name/"
  dict=()
  [ -f "fuzz/$name.dict" ] && dict=(-dict="fuzz/$name.dict")
  echo "fuzz: $name for ${secs}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$bin" "${dict[@]}" -max_total_time="$secs" -timeout=10 \
       -rss_limit_mb=2048 -print_final_stats=0 "$work/$name" >"$work/$name.log" 2>&1; then
    echo "fuzz: $name FAILED"; tail -40 "$work/$name.log"; status=1
  fi
done
exit $status
