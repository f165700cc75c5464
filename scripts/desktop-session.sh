#!/usr/bin/env bash
# Runs a command on the current X display with a system tray: Debian's trayer docked at the top
# right, as a desktop panel would be. Use under a virtual display:
#   xvfb-run -a -s "-screen 0 1024x768x24" scripts/desktop-session.sh <command> [args...]
# The tray is stopped when the command ends; the command's exit code is returned.
set -euo pipefail

if [ -z "${DISPLAY:-}" ]; then
  echo "desktop-session.sh: no DISPLAY; run it under xvfb-run" >&2
  exit 2
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
