#!/usr/bin/env bash
# Builds the application and starts it: the tray icon on a desktop, else (or with --headless)
# the service manager alone.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build/release -DCMAKE_BUILD_TYPE=Release -DCORVANE_TESTS=OFF -DCORVANE_BENCH=OFF

# The sharing control's desktop entry, naming the program just built, so that launchers list it
# and users can bind it to a key. Replaced whole, never left half-written.
data_home=${XDG_DATA_HOME:-}
[[ "$data_home" == /* ]] || data_home="$HOME/.local/share"
mkdir -p "$data_home/applications"
entry="$data_home/applications/corvane-control.desktop"
staged=$(mktemp "$entry.XXXXXX")
cp build/release/CorvaneControl/corvane-control.desktop "$staged"
chmod 0644 "$staged"
mv -f "$staged" "$entry"

# The application's own entry: launchers list it, and "corvane:" links open with it.
entry="$data_home/applications/corvane.desktop"
staged=$(mktemp "$entry.XXXXXX")
cp build/release/brimvale/corvane.desktop "$staged"
chmod 0644 "$staged"
mv -f "$staged" "$entry"
if command -v xdg-mime >/dev/null 2>&1; then
  xdg-mime default corvane.desktop x-scheme-handler/corvane || true
fi

exec build/release/brimvale/corvane "$@"
