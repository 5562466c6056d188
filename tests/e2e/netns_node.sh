#!/bin/sh
# Runs inside `ip netns exec <ns> unshare --mount --propagation private`: gives this namespace a
# private /run with its own system bus and avahi-daemon bound to one interface, then runs the
# node with stdin/stdout passed through. Everything started here dies with the node.
#
# usage: netns_node.sh <interface> <host-name> <work-dir> <node> [node args...]
set -eu

iface=$1
host=$2
work=$3
shift 3

dbus_pid=
avahi_pid=
cleanup() {
  [ -n "$avahi_pid" ] && kill "$avahi_pid" 2>/dev/null || true
  [ -n "$dbus_pid" ] && kill "$dbus_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 129' HUP INT TERM

# The host's /run (its bus, its avahi pid file) must stay out of sight and untouched.
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus /run/avahi-daemon
# Static services of the host's own configuration are not part of the test.
if [ -d /etc/avahi/services ]; then
  mkdir -p "$work/empty-services"
  mount --bind "$work/empty-services" /etc/avahi/services
fi

dbus-daemon --system --nofork --nopidfile >"$work/dbus.log" 2>&1 &
dbus_pid=$!

i=0
while [ ! -S /run/dbus/system_bus_socket ]; do
  i=$((i + 1))
  if [ "$i" -gt 100 ]; then
    echo "netns_node: system bus did not start" >&2
    exit 1
  fi
  sleep 0.1
done

cat >"$work/avahi-daemon.conf" <<EOF
[server]
host-name=$host
use-ipv4=yes
use-ipv6=no
allow-interfaces=$iface
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000

[wide-area]
enable-wide-area=no

[publish]
publish-hinfo=no
publish-workstation=no
# The veth's link-local IPv6 address would otherwise be announced over IPv4 too, and a resolve
# could answer with either.
publish-aaaa-on-ipv4=no

[reflector]
enable-reflector=no
EOF

avahi-daemon --file="$work/avahi-daemon.conf" --no-chroot --no-drop-root --no-rlimits \
  --no-proc-title >"$work/avahi.log" 2>&1 &
avahi_pid=$!

"$@"
