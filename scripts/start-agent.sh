#!/usr/bin/env bash
# Starts the LUMORA tray agent on the desktop (the last step of run.sh):
#   scripts/start-agent.sh <LUMORA program> [arguments...]
# Browsers refuse to run as root, so an agent started by root could not open its web app. Started
# as root, the agent therefore runs as the desktop's user: SUDO_USER (or PKEXEC_UID), else the
# owner of the display, when that user can run the program. Without such a user it runs as root,
# and says that the web app has to be opened by hand.
set -euo pipefail
program=$1
shift

if [ "${QT_QPA_PLATFORM:-}" = offscreen ]; then
  echo "QT_QPA_PLATFORM=offscreen: the agent runs, but its tray icon and windows are invisible and no browser opens" \
    "(the test namespace shell sets it); run ./run.sh from a terminal of the desktop to see them."
fi

# A non-root user name, or nothing.
non_root() { [ -n "${1:-}" ] && [ "$1" != root ] && [ "$1" != UNKNOWN ] && id -u "$1" >/dev/null 2>&1 && echo "$1"; }

# The owner of the X display's socket (a rootless X server or Xwayland runs as the desktop's
# user), of the Wayland socket, or of the X authority file; else a login on that display.
display_owner() {
  local number=${DISPLAY:-}
  number=${number#*:}
  number=${number%%.*}
  if [ -n "$number" ] && [ -S "/tmp/.X11-unix/X$number" ]; then
    non_root "$(stat -c %U "/tmp/.X11-unix/X$number")" && return
  fi
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then
    local socket
    for socket in /run/user/*/"$WAYLAND_DISPLAY"; do
      [ -S "$socket" ] && non_root "$(stat -c %U "$socket")" && return
    done
  fi
  if [ -n "${XAUTHORITY:-}" ] && [ -f "$XAUTHORITY" ]; then
    non_root "$(stat -c %U "$XAUTHORITY")" && return
  fi
  if [ -n "${DISPLAY:-}" ]; then
    non_root "$(who | awk -v display="(${DISPLAY%.*})" '$NF == display {print $1; exit}')" && return
  fi
  return 1
}

desktop_user() {
  non_root "${SUDO_USER:-}" && return
  if [ -n "${PKEXEC_UID:-}" ]; then
    non_root "$(id -un "$PKEXEC_UID" 2>/dev/null)" && return
  fi
  display_owner
}

if [ "$(id -u)" -ne 0 ]; then
  echo "Starting the LUMORA agent in the system tray as $(id -un); its menu's Quit (or Ctrl+C here) stops it."
  exec "$program" "$@"
fi

user=$(desktop_user || true)
if [ -n "$user" ] && runuser -u "$user" -- test -x "$program"; then
  uid=$(id -u "$user")
  # The user's own session folders, not root's: unset first, then set where they exist.
  unset_env=(-u DBUS_SESSION_BUS_ADDRESS)
  set_env=()
  if [ -d "/run/user/$uid" ]; then
    set_env+=(XDG_RUNTIME_DIR="/run/user/$uid")
    [ -S "/run/user/$uid/bus" ] && set_env+=(DBUS_SESSION_BUS_ADDRESS="unix:path=/run/user/$uid/bus")
  elif [ -n "${XDG_RUNTIME_DIR:-}" ] && [ "$(stat -c %u "$XDG_RUNTIME_DIR" 2>/dev/null)" != "$uid" ]; then
    unset_env+=(-u XDG_RUNTIME_DIR)
  fi
  if [ -n "${XAUTHORITY:-}" ] && ! runuser -u "$user" -- test -r "$XAUTHORITY"; then
    unset_env+=(-u XAUTHORITY)
  fi
  echo "Starting the LUMORA agent in the system tray as $user (browsers refuse to run as root); its menu's Quit" \
    "(or Ctrl+C here) stops it."
  exec runuser -u "$user" -- env "${unset_env[@]}" "${set_env[@]}" "$program" "$@"
fi

if [ -n "$user" ]; then
  echo "$user cannot run $program (a folder on its path is closed to that user)."
fi
echo "Starting the LUMORA agent in the system tray as root; its menu's Quit (or Ctrl+C here) stops it."
echo "Browsers refuse to run as root, so the web app will not open by itself: open the address of the line" \
  "\"Opening the web app at http://...\" below by hand."
exec "$program" "$@"
