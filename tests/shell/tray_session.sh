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

# Every wait is for an event, bounded generously: a loaded machine (sanitizers, parallel tests)
# may take long to start a program or to answer a click.
bound=120
now() { date +%s; }
count() { grep -c "$1" "$work/app.log" 2>/dev/null || true; }
fail() {
  echo "FAILED: $1"
  cat "$work/app.log" 2>/dev/null
  # What the display held: the application's windows and a picture of the screen.
  command -v xwininfo >/dev/null && xwininfo -root -tree | grep -i -e corvane -e trayer
  "$click" --describe
  command -v import >/dev/null && import -window root "$screens/tray-failure.png"
  # Where the application's threads stood.
  if [ -n "$app_pid" ] && command -v gdb >/dev/null; then
    gdb -p "$app_pid" -batch -ex "thread apply all bt 12" 2>/dev/null | grep -e '^Thread' -e '^#'
  fi
  exit 1
}
# Waits until the command succeeds; fails with the message after $bound seconds.
wait_until() {
  message=$1
  shift
  deadline=$(( $(now) + bound ))
  until "$@"; do
    [ "$(now)" -lt "$deadline" ] || fail "$message"
    sleep 0.1
  done
}
logged() { grep -q "$1" "$work/app.log" 2>/dev/null; }
more_than() { [ "$(count "$1")" -gt "$2" ]; }

bus_pid= tray_pid= app_pid=
cleanup() {
  for pid in $app_pid $tray_pid $bus_pid; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The daemon prints its address once it listens.
dbus-daemon --session --nofork --print-address --address="unix:path=$work/bus" \
  >"$work/bus.address" 2>"$work/bus.log" &
bus_pid=$!
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
wait_until "the session bus never started" test -s "$work/bus.address"

trayer --edge top --align right --widthtype pixel --width 120 --height 28 --transparent false \
  --tint 0xd0d0d0 >"$work/trayer.log" 2>&1 &
tray_pid=$!
# The application looks for a tray host once, at its start: the host must be there first.
wait_until "the tray host never took the system tray" "$click" --tray-ready

started=$(date +%s%N)
"$app" >"$work/app.log" 2>&1 &
app_pid=$!
settled() {
  logged "Tray icon registered" || logged "No system tray here" || ! kill -0 "$app_pid" 2>/dev/null
}
wait_until "the application never registered its tray icon" settled
logged "Tray icon registered" || fail "the application found no tray host or ended"
echo "started to tray icon: $(( ($(date +%s%N) - started) / 1000000 )) ms"

# The tray host embeds the icon a little later, and a synthetic click may go unanswered on a
# loaded display: click once the icon is there and again only when nothing answered for a long
# while, so that a slow answer is not toggled back by the next click.
click_until() {
  message=$1 line=$2
  deadline=$(( $(now) + bound ))
  until logged "$line"; do
    [ "$(now)" -lt "$deadline" ] || fail "$message"
    if "$click" >/dev/null 2>&1; then
      answer=$(( $(now) + 20 ))
      while ! logged "$line" && [ "$(now)" -lt "$answer" ]; do sleep 0.1; done
    else
      sleep 0.2
    fi
  done
}
click_until "a click on the tray icon never showed the panel" "Panel shown"
command -v import >/dev/null && import -window root "$screens/tray-panel-open.png"

# Past the double-click interval, so that this click is a click of its own (the clicks carry
# their real times).
sleep 1
click_until "a second click did not hide the panel" "Panel hidden"
command -v import >/dev/null && import -window root "$screens/tray-panel-closed.png"

# A later start hands its link over and leaves; the link shows the panel.
shown=$(count 'Panel shown')
"$app" corvane://show >"$work/second.log" 2>&1 || { echo "FAILED: second start"; exit 1; }
grep -q "already runs for this user: handed the link over" "$work/second.log" || { echo "FAILED: no hand-over"; cat "$work/second.log"; exit 1; }
wait_until "the link did not show the panel" more_than 'Panel shown' "$shown"

# Quitting on SIGTERM publishes that the application no longer runs.
kill -TERM "$app_pid"
wait "$app_pid"; status=$?
app_pid=
[ "$status" -eq 0 ] || { echo "FAILED: exit status $status"; cat "$work/app.log"; exit 1; }
grep -q '"running": *false' "$work/config/corvane/Q3KT7WZ2RM.corvane.json" ||
  { echo "FAILED: running not false"; cat "$work/config/corvane/Q3KT7WZ2RM.corvane.json"; exit 1; }
echo "PASSED"
