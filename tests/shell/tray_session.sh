#!/bin/sh
# The application on a desktop: under Xvfb with a private session bus and an X11 tray host
# (trayer), it starts, its tray icon registers, a click on the icon shows the panel (the manager
# is told it is visible) under the tray at the top of the screen, and a second click hides it.
# Started again with the tray at the bottom, a click shows the panel above the tray. Either
# way the whole panel lies on the screen. Screenshots go to <screens>/.
# With "accessible <client>" the accessibility bridge is on and <client> (accessible_client.py)
# reads the window tree between the steps of a user's path through the panel, a share's menu
# and the explanation window, <rounds> times; the application must live through it. That session
# runs in a network namespace of its own, with a fake model server on its loopback.
# usage: tray_session.sh <corvane> <tray_click> <screens> [accessible <client> <rounds>]
#        (exit 77: skipped)
set -u
app=$1
click=$2
screens=$3
mode=${4:-}
client=${5:-}
rounds=${6:-3}

needs() {
  for tool in "$@"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "skipped: $tool is not installed"
      exit 77
    fi
  done
}
needs xvfb-run trayer dbus-daemon
atspi_launcher=/usr/libexec/at-spi-bus-launcher
if [ "$mode" = accessible ]; then
  needs unshare ip /usr/bin/python3 "$atspi_launcher"
  /usr/bin/python3 -c "import pyatspi" 2>/dev/null || { echo "skipped: no pyatspi"; exit 77; }
  if [ -z "${TRAY_SESSION_NETNS:-}" ]; then
    export TRAY_SESSION_NETNS=1
    unshare -rn true 2>/dev/null || { echo "skipped: no network namespace"; exit 77; }
    exec unshare -rn sh -c 'ip link set lo up && exec sh "$0" "$@"' "$0" "$@"
  fi
fi

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
  [ -n "$app_pid" ] && ! kill -0 "$app_pid" 2>/dev/null && echo "the application had ended"
  [ -s "$work/client.log" ] && { echo "accessibility client:"; tail -20 "$work/client.log"; }
  [ -s "$work/trayer.history" ] && cat "$work/trayer.history"
  [ -s "$work/trayer.log" ] && { echo "tray host:"; tail -20 "$work/trayer.log"; }
  [ -n "$tray_pid" ] && ! kill -0 "$tray_pid" 2>/dev/null && echo "the tray host had ended"
  "$click" --tray-ready; echo "tray check on $DISPLAY: $? (0 taken, 1 not, 2 no display)"
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
# Stops the application with SIGTERM; it must end cleanly.
stop() {
  kill -TERM "$app_pid"
  wait "$app_pid"
  status=$?
  app_pid=
  [ "$status" -eq 0 ] || { echo "FAILED: exit status $status"; cat "$work/app.log"; exit 1; }
}
more_than() { [ "$(count "$1")" -gt "$2" ]; }

bus_pid= tray_pid= app_pid= atspi_pid= model_pid= client_pid=
cleanup() {
  for pid in $app_pid $client_pid $model_pid $atspi_pid $tray_pid $bus_pid; do
    kill "$pid" 2>/dev/null
  done
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

# The application looks for a tray host once, at its start: the host must be there first.
launch_tray() {
  trayer --edge "$tray_edge" --align right --widthtype pixel --width 120 --height 28 \
    --transparent false --tint 0xd0d0d0 >"$work/trayer.log" 2>&1 &
  tray_pid=$!
}
# A tray host that ended before it took the tray (a display still settling under load) is
# started again, a few times; what it said stays for a failure to print.
tray_taken() {
  "$click" --tray-ready && return 0
  kill -0 "$tray_pid" 2>/dev/null && return 1
  wait "$tray_pid"
  echo "the tray host ended ($?): $(cat "$work/trayer.log")" >>"$work/trayer.history"
  tray_pid=
  [ "$tray_starts" -lt 4 ] || fail "the tray host ended each of $tray_starts times"
  tray_starts=$((tray_starts + 1))
  launch_tray
  return 1
}
start_tray() {
  tray_edge=$1 tray_starts=1
  launch_tray
  wait_until "the tray host never took the system tray" tray_taken
}
start_tray top

if [ "$mode" = accessible ]; then
  # The accessibility bus, and the bridge on as a screen reader's user has it.
  "$atspi_launcher" --launch-immediately >"$work/atspi.log" 2>&1 &
  atspi_pid=$!
  wait_until "the accessibility bus never started" dbus-send --session --print-reply \
    --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress
  export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
  # The model server the explanation asks, on this namespace's own loopback.
  /usr/bin/python3 "$(dirname "$client")/fake_model_server.py" >"$work/model.log" 2>&1 &
  model_pid=$!
  wait_until "the model server never listened" grep -qs listening "$work/model.log"
  # One of this machine's shares, on a port nothing listens on: its menu offers an explanation.
  share='{"exposedServices":[{"id":"6F1A2B3C-4D5E-4F60-8A7B-9C0D1E2F3A4B","name":"Ledger",'
  share=$share'"port":5432}],"servicePreferences":{}}'
  mkdir -p "$work/config/corvane"
  printf '{"corvane.preferences.v2":"%s","didOnboard":true}\n' \
    "$(printf '%s' "$share" | base64 -w0)" >"$work/config/corvane/standard.json"
fi

settled() {
  logged "Tray icon registered" || logged "No system tray here" || ! kill -0 "$app_pid" 2>/dev/null
}
start_app() {
  started=$(date +%s%N)
  "$app" >"$work/app.log" 2>&1 &
  app_pid=$!
  wait_until "the application never registered its tray icon" settled
  logged "Tray icon registered" || fail "the application found no tray host or ended"
  echo "started to tray icon: $(( ($(date +%s%N) - started) / 1000000 )) ms"
}
start_app

# The tray host embeds the icon a little later, and a synthetic click may go unanswered on a
# loaded display: click once the icon is there and again only when nothing answered for a long
# while, so that a slow answer is not toggled back by the next click. Clicks until the log holds
# the line more often than it did before.
click_until() {
  message=$1 line=$2
  before=$(count "$line")
  deadline=$(( $(now) + bound ))
  until more_than "$line" "$before"; do
    [ "$(now)" -lt "$deadline" ] || fail "$message"
    if "$click" >/dev/null 2>&1; then
      answer=$(( $(now) + 20 ))
      while ! more_than "$line" "$before" && [ "$(now)" -lt "$answer" ]; do sleep 0.1; done
    else
      sleep 0.2
    fi
  done
}
if [ "$mode" = accessible ]; then
  alive() { kill -0 "$app_pid" 2>/dev/null || fail "the application ended: $1"; }
  # The client lives through the whole path, as a screen reader does, and keeps what it met.
  mkfifo "$work/to_client" "$work/from_client"
  /usr/bin/python3 "$client" <"$work/to_client" >"$work/from_client" 2>"$work/client.log" &
  client_pid=$!
  exec 3>"$work/to_client" 4<"$work/from_client"
  ask() {
    echo "$*" >&3
    read -r answer <&4 || fail "the accessibility client ended at: $*"
    echo "$* -> $answer" >>"$work/client.log"
    case $answer in ok*) ;; *) fail "$*: $answer" ;; esac
  }
  # After each step the client reads the whole tree again, as a screen reader does on changes.
  step() {
    ask "$@"
    alive "$*"
    ask walk
    alive "reading after: $*"
  }
  round=0
  while [ "$round" -lt "$rounds" ]; do
    round=$((round + 1))
    echo "round $round"
    for time in 1 2 3; do
      click_until "a click never showed the panel" "Panel shown"
      step walk
      sleep 1
      click_until "a click never hid the panel" "Panel hidden"
      step walk
      sleep 1
    done
    click_until "a click never showed the panel" "Panel shown"
    step click "Edit"
    step click "Ledger, port 5432"
    step click "Explain this problem"
    step wait "Nothing listens there"
    # Closed as from the window manager's close button, once.
    wait_until "the explanation window never showed" "$click" --close "Explain a Problem"
    step gone "Nothing listens there"
    sleep 1
    click_until "a click never showed the panel again" "Panel shown"
    step click "Done"
    sleep 1
    click_until "a click never hid the panel" "Panel hidden"
    step walk
  done
  stop
  echo "PASSED"
  exit 0
fi

# Where the panel and the icon stand once the panel has laid itself out: the same on two
# looks a second apart.
placement=
placement_settled() {
  first=$("$click" --panel) || return 1
  sleep 1
  placement=$("$click" --panel) || return 1
  [ "$first" = "$placement" ]
}
# The whole panel on the screen, beside the tray at the edge $1 and clear of its icon.
placed() {
  wait_until "the panel never settled" placement_settled
  echo "$placement (tray at the $1)"
  # panel X Y W H icon X Y W H screen W H
  set -- "$1" $placement
  [ "$#" -eq 14 ] || fail "unreadable placement: $placement"
  edge=$1 x=$3 y=$4 w=$5 h=$6 icon_y=$9 icon_h=${11} screen_w=${13} screen_h=${14}
  [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + w)) -le "$screen_w" ] &&
    [ $((y + h)) -le "$screen_h" ] || fail "the panel lies partly off the screen: $placement"
  if [ "$edge" = bottom ]; then
    [ $((y + h)) -le "$icon_y" ] || fail "the panel is not above the bottom tray: $placement"
  else
    [ "$y" -ge $((icon_y + icon_h)) ] || fail "the panel is not under the top tray: $placement"
  fi
}

click_until "a click on the tray icon never showed the panel" "Panel shown"
placed top
command -v import >/dev/null && import -window root "$screens/tray-panel-top.png"

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
stop
grep -q '"running": *false' "$work/config/corvane/Q3KT7WZ2RM.corvane.json" ||
  { echo "FAILED: running not false"; cat "$work/config/corvane/Q3KT7WZ2RM.corvane.json"; exit 1; }

# The tray at the bottom of the screen: the panel opens above it, whole.
kill "$tray_pid"
wait "$tray_pid" 2>/dev/null
wait_until "the tray host never let the system tray go" sh -c "! '$click' --tray-ready"
start_tray bottom
start_app
click_until "a click on the bottom tray's icon never showed the panel" "Panel shown"
placed bottom
command -v import >/dev/null && import -window root "$screens/tray-panel-bottom.png"
stop
echo "PASSED"
