#!/bin/sh
# The desktop application under Xvfb with an X11 tray host: time from start to the tray icon
# registered, and resident memory idle with the panel closed and open. Printed, never asserted.
# Build Release first for figures that mean something.
# usage: bench/tray_bench.sh [corvane] [tray_click]   (defaults: build/release, build/test)
set -u
cd "$(dirname "$0")/.."
app=${1:-build/release/brimvale/corvane}
click=${2:-build/test/tests/shell/shell_tray_click}
runs=${RUNS:-5}

if [ -z "${TRAY_BENCH_INNER:-}" ]; then
  export TRAY_BENCH_INNER=1
  exec xvfb-run -a -s "-screen 0 1280x800x24" sh "$0" "$app" "$click"
fi

work=$(mktemp -d /tmp/corvane-bench-XXXXXX)
export HOME="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/runtime" DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"
export ASAN_OPTIONS=detect_leaks=0
mkdir -p "$work/runtime" && chmod 700 "$work/runtime"
dbus-daemon --session --nofork --address="unix:path=$work/bus" >/dev/null 2>&1 &
bus=$!
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
trayer --edge top --align right --widthtype pixel --width 120 --height 28 >/dev/null 2>&1 &
tray=$!
sleep 1

rss() { awk '/VmRSS/ { print $2 }' "/proc/$1/status"; }
settle() { sleep 2; }

echo "tray application, $runs runs ($app)"
run=1
while [ "$run" -le "$runs" ]; do
  start=$(date +%s%N)
  "$app" >"$work/app.log" 2>&1 &
  pid=$!
  while ! grep -q "Tray icon registered" "$work/app.log"; do sleep 0.005; done
  ready=$(( ($(date +%s%N) - start) / 1000000 ))
  settle
  closed=$(rss "$pid")
  n=0
  while ! grep -q "Panel shown" "$work/app.log" && [ "$n" -lt 60 ]; do
    "$click" >/dev/null 2>&1; n=$((n + 1)); sleep 0.5
  done
  settle
  open=$(rss "$pid")
  echo "run $run: start to tray icon ${ready} ms; resident memory idle: panel closed ${closed} KiB, open ${open} KiB"
  kill -TERM "$pid"; wait "$pid"
  run=$((run + 1))
done
kill "$tray" "$bus" 2>/dev/null
wait 2>/dev/null
rm -rf "$work"
