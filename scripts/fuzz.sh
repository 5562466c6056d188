#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer into build/fuzz and runs each for a short,
# bounded time on a copy of its seed corpus. Usage: scripts/fuzz.sh [seconds per target]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/fuzz"
seconds="${1:-20}"

cmake -S "$root/tests/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

for source in "$root"/tests/fuzz/*_fuzz.cpp; do
  target=$(basename "$source" _fuzz.cpp)
  corpus="$build/corpus/$target"
  mkdir -p "$corpus"
  cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  # The file importers read up to their file-size limit; the other inputs are small messages.
  case "$target" in
  yaml | compose) length=1000000 ;;
  *) length=70000 ;;
  esac
  echo "fuzzing $target for ${seconds}s"
  # A slow input counts as a failure.
  "$build/${target}_fuzz" -max_total_time="$seconds" -max_len="$length" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
done
