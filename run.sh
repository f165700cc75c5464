#!/usr/bin/env bash
# Installs what is missing, builds, and starts the LUMORA tray agent. Its engine (started by the
# agent as a child process) loads the vextro and annwatch plug-ins of this build. Run by root on a
# desktop, it installs and builds as root but starts the agent as the desktop's user.
# With no display it runs the console engine server instead (LUMORA --serverd 1), which prints
# the web application's URL; Ctrl+C stops it. Arguments are passed on to LUMORA.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

if [ "$(id -u)" -eq 0 ]; then
  ensure_packages
fi
build_or_use_tree build agent/LUMORA engine/libTaviskEngine.so plugins/vextro/vextro.so plugins/annwatch/annwatch.so ||
  exit 1

# The engine child inherits this list and loads the plug-ins found there.
export TVSK_PLUGIN_DIRS="$PWD/build/plugins/vextro:$PWD/build/plugins/annwatch"

# Run by root, the agent still runs as the desktop's user, so that its browser can open.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec scripts/start-agent.sh "$PWD/build/agent/LUMORA" "$@"
fi

echo "No display: running the console engine server; Ctrl+C stops it."
exec build/agent/LUMORA --serverd 1 "$@"
