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
# Unregistered, a corvane: link would later do nothing without a word; say so now.
if ! command -v xdg-mime >/dev/null 2>&1; then
  echo "Could not register Corvane for corvane: links: xdg-mime is missing (install xdg-utils)." >&2
elif ! xdg-mime default corvane.desktop x-scheme-handler/corvane; then
  echo "Could not register Corvane for corvane: links: xdg-mime default failed." >&2
fi

# Desktop search asks the running application for ports: the shell's search provider file and
# the runner file, each naming the bus name and object path the application serves. (The shell
# reads providers from the data folders listed in XDG_DATA_DIRS; the user's own folder counts
# only when it is listed there.)
install_data() {
  local target=$1 source=$2
  mkdir -p "$(dirname "$target")"
  local staged
  staged=$(mktemp "$target.XXXXXX")
  cp "$source" "$staged"
  chmod 0644 "$staged"
  mv -f "$staged" "$target"
}
install_data "$data_home/gnome-shell/search-providers/corvane-search-provider.ini" \
  resources/search/corvane-search-provider.ini
install_data "$data_home/krunner/dbusplugins/corvane-runner.desktop" \
  resources/search/corvane-runner.desktop
# The icon the desktop entries and the notifications name.
install_data "$data_home/icons/hicolor/scalable/apps/corvane.svg" resources/icons/corvane.svg

exec build/release/brimvale/corvane "$@"
