#!/usr/bin/env bash
# Installs the Debian 12 packages Corvane needs. Skips what is already there.
# Usage: scripts/setup.sh [--tests]   (--tests adds the servers the probe and network tests start)
set -euo pipefail

build_packages=(
  build-essential cmake ninja-build pkg-config g++
  libasio-dev libssl-dev nlohmann-json3-dev libicu-dev
  libavahi-client-dev libsystemd-dev libcurl4-openssl-dev
  qt6-base-dev qt6-svg-dev fonts-jetbrains-mono
  libxcb1-dev xdg-utils
)
test_packages=(
  libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev
  postgresql redis-server mariadb-server memcached rabbitmq-server nats-server nginx-light
  avahi-daemon avahi-utils dbus iproute2 procps stunnel4
  xvfb xauth trayer imagemagick at-spi2-core python3-pyatspi
)

wanted=("${build_packages[@]}")
if [[ "${1:-}" == "--tests" ]]; then wanted+=("${test_packages[@]}"); fi

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi

# Packages such as avahi-daemon and the database servers start system services on install.
# The tests start their own throwaway instances, and mDNS must never run in the host's own
# namespace, so service start-up is refused while installing.
policy=/usr/sbin/policy-rc.d
added_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee $policy >/dev/null
  $SUDO chmod 755 $policy
  added_policy=1
fi
cleanup() { if [[ $added_policy -eq 1 ]]; then $SUDO rm -f $policy; fi; }
trap cleanup EXIT

echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
