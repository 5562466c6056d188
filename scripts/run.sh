#!/usr/bin/env bash
# Builds the application and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF
exec build/release/brimvale/corvane "$@"
