#!/usr/bin/env bash
# Runs a command inside the private network, mount and pid namespace that test.sh creates:
# only the loopback interface exists, with its own system D-Bus and an avahi-daemon on lo.
# Every process started here dies with the namespace.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

ip link set lo up
ip link set lo multicast on
# SAP and mDNS multicast stay on lo.
ip route add 224.0.0.0/4 dev lo 2>/dev/null || true

for dir in /run/dbus /run/avahi-daemon; do
  mkdir -p "$dir"
  mount -t tmpfs -o mode=0755 tmpfs "$dir"
done
chown avahi:avahi /run/avahi-daemon 2>/dev/null || true

dbus-daemon --system --fork --nopidfile
avahi-daemon --daemonize --no-chroot --no-rlimits --file="$here/avahi-daemon.conf"

# Wait (bounded) until avahi answers on the bus.
for _ in $(seq 1 100); do
  if avahi-daemon --check 2>/dev/null && avahi-browse -at -p >/dev/null 2>&1; then
    break
  fi
  sleep 0.1
done
if ! avahi-daemon --check 2>/dev/null; then
  echo "avahi-daemon did not start in the test namespace" >&2
  exit 1
fi

export AVAHI_COMPAT_NOWARN=1
export QT_QPA_PLATFORM=offscreen
export LUMORA_TEST_NAMESPACE=1
"$@"
