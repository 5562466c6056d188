#!/bin/sh
# The application on a desktop: under Xvfb with a private session bus and an X11 tray host
# (trayer), it starts, its tray icon registers, a click on the icon shows the panel (the manager
# is told it is visible) and a second click hides it. Screenshots go to <screens>/.
# usage: tray_session.sh <corvane> <tray_click> <screens>   (exit 77: skipped)
set -u
app=$1
click=$2
screens=$3

for tool in xvfb-run trayer dbus-daemon; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: $tool is not installed"
    exit 77
  fi
done

if [ -z "${TRAY_SESSION_INNER:-}" ]; then
  export TRAY_SESSION_INNER=1
  exec xvfb-run -a -s "-screen 0 1024x700x24" sh "$0" "$@"
fi

work=$(mktemp -d /tmp/corvane-tray-XXXXXX)
mkdir -p "$work/data" "$work/config" "$work/runtime" "$screens"
chmod 700 "$work/runtime"
export HOME="$work" XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/runtime" ASAN_OPTIONS=detect_leaks=0
# No system bus, no avahi: the engine says so and runs on.
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/no-bus"

bus_pid= tray_pid= app_pid=
cleanup() {
  for pid in $app_pid $tray_pid $bus_pid; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

dbus-daemon --session --nofork --address="unix:path=$work/bus" >"$work/bus.log" 2>&1 &
bus_pid=$!
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"

# Waits up to 60 s for a line in the application's log.
wait_for() {
  i=0
  while ! grep -q "$1" "$work/app.log" 2>/dev/null; do
    i=$((i + 1))
    if [ "$i" -gt 600 ]; then
      echo "FAILED: never saw \"$1\""
      cat "$work/app.log"
      exit 1
    fi
    sleep 0.1
  done
}
count() { grep -c "$1" "$work/app.log" 2>/dev/null || true; }

trayer --edge top --align right --widthtype pixel --width 120 --height 28 --transparent false \
  --tint 0xd0d0d0 >"$work/trayer.log" 2>&1 &
tray_pid=$!

started=$(date +%s%N)
"$app" >"$work/app.log" 2>&1 &
app_pid=$!
wait_for "Tray icon registered"
echo "started to tray icon: $(( ($(date +%s%N) - started) / 1000000 )) ms"

# The tray host embeds the icon a little later: click until the panel shows.
i=0
while [ "$(count 'Panel shown')" -lt 1 ]; do
  "$click" >/dev/null 2>&1
  i=$((i + 1))
  if [ "$i" -gt 120 ]; then
    echo "FAILED: a click on the tray icon never showed the panel"
    cat "$work/app.log"
    exit 1
  fi
  sleep 0.5
done
command -v import >/dev/null && import -window root "$screens/tray-panel-open.png"

# Past the double-click interval, so that this click is a click of its own.
sleep 1
"$click"
wait_for "Panel hidden"
command -v import >/dev/null && import -window root "$screens/tray-panel-closed.png"

# A later start hands its link over and leaves; the link shows the panel.
"$app" corvane://show >"$work/second.log" 2>&1 || { echo "FAILED: second start"; exit 1; }
grep -q "handed the arguments over" "$work/second.log" || { echo "FAILED: no hand-over"; cat "$work/second.log"; exit 1; }
i=0
while [ "$(count 'Panel shown')" -lt 2 ]; do
  i=$((i + 1)); [ "$i" -gt 600 ] && { echo "FAILED: the link did not show the panel"; exit 1; }
  sleep 0.1
done

# Quitting on SIGTERM publishes that the application no longer runs.
kill -TERM "$app_pid"
wait "$app_pid"; status=$?
app_pid=
[ "$status" -eq 0 ] || { echo "FAILED: exit status $status"; cat "$work/app.log"; exit 1; }
grep -q '"running": *false' "$work/config/corvane/Q3KT7WZ2RM.corvane.json" ||
  { echo "FAILED: running not false"; cat "$work/config/corvane/Q3KT7WZ2RM.corvane.json"; exit 1; }
echo "PASSED"
