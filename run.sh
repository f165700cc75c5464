#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

if [ "$(id -u)" -eq 0 ]; then
  ensure_packages
fi
build_tree build

# The engine's entries as the server role calls them: filters, start, stop.
exec build/engine/tvsk-once "$@"
