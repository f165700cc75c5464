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

tray_log=$(mktemp)
tray_pid=""
trap 'kill "$tray_pid" 2>/dev/null || true; wait "$tray_pid" 2>/dev/null || true; rm -f "$tray_log"' EXIT
tray_mapped() { xdotool search --onlyvisible --class trayer >/dev/null 2>&1; }

# The tray owns the system-tray selection once its window is mapped. A freshly started X server
# may still refuse the first client, so a tray that exited is started again (bounded: 3 tries).
for _ in 1 2 3; do
  trayer --edge top --align right --widthtype pixel --width 100 --height 24 >"$tray_log" 2>&1 &
  tray_pid=$!
  for _ in $(seq 1 100); do
    if tray_mapped || ! kill -0 "$tray_pid" 2>/dev/null; then
      break
    fi
    sleep 0.05
  done
  if tray_mapped; then
    break
  fi
  kill "$tray_pid" 2>/dev/null || true
  wait "$tray_pid" 2>/dev/null || true
  sleep 0.2
done
if ! tray_mapped; then
  echo "desktop-session.sh: trayer did not start" >&2
  cat "$tray_log" >&2
  exit 1
fi

set +e
"$@"
status=$?
set -e
exit "$status"
