#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer into build/fuzz and runs each for a short,
# bounded time on a copy of its seed corpus. Usage: scripts/fuzz.sh [seconds per target]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seconds="${1:-20}"

cmake -S "$root/tests/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j3

for target in yaml compose; do
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  echo "fuzzing $target for ${seconds}s"
  # Inputs stay under the compose import's file-size limit; a slow input counts as a failure.
  "$build/${target}_fuzz" -max_total_time="$seconds" -max_len=1000000 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
done
