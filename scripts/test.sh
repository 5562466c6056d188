#!/usr/bin/env bash
# Installs what is missing, builds with the sanitizers and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --tests
scripts/build.sh build/test -DCMAKE_BUILD_TYPE=Debug -DCORVANE_SANITIZE=ON -DCORVANE_WERROR=ON \
  -DCORVANE_SHARED_LIBS=ON
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# A short bounded run of the parser fuzzers, then every test.
scripts/fuzz.sh 5
ctest --test-dir build/test --output-on-failure -j "$(nproc)"
