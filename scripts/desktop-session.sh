#!/usr/bin/env bash
# Runs a command on an X display with a system tray: Debian's trayer docked at the top right, as
# a desktop panel would be. Without a display it starts a virtual one (Xvfb, 1024x768) first:
#   scripts/desktop-session.sh <command> [args...]
# The tray (and the virtual display) stop when the command ends; its exit code is returned.
set -euo pipefail

if [ $# -eq 0 ]; then
  echo "usage: scripts/desktop-session.sh <command> [args...]" >&2
  exit 2
fi
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi

trayer --edge top --align right --widthtype pixel --width 100 --height 24 >/dev/null 2>&1 &
tray_pid=$!
trap 'kill "$tray_pid" 2>/dev/null || true; wait "$tray_pid" 2>/dev/null || true' EXIT

# The tray owns the system-tray selection once its window is mapped (bounded wait).
for _ in $(seq 1 100); do
  if xdotool search --onlyvisible --class trayer >/dev/null 2>&1; then
    break
  fi
  sleep 0.05
done
if ! xdotool search --onlyvisible --class trayer >/dev/null 2>&1; then
  echo "desktop-session.sh: trayer did not start" >&2
  exit 1
fi

set +e
"$@"
status=$?
set -e
exit "$status"
