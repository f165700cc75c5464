#!/usr/bin/env bash
# Installs the build into a fresh prefix and runs the installed program as an engine server with
# nothing set up: it must find its engine library and the installed plug-ins by itself.
# Usage: install_test.sh <build dir>
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=$root/prefix

cmake --install "$build" --prefix "$prefix" >"$root/install.log"
for file in bin/LUMORA lib/libTaviskEngine.so lib/lumora/plugins/vextro.so lib/lumora/plugins/annwatch.so; do
  if [ ! -f "$prefix/$file" ]; then
    echo "not installed: $file"; cat "$root/install.log"; exit 1
  fi
done

engine_library=$(realpath "$(ldd "$prefix/bin/LUMORA" | awk '/libTaviskEngine/ {print $3}')")
if [ "$engine_library" != "$prefix/lib/libTaviskEngine.so" ]; then
  echo "the installed program loads its engine from '$engine_library'"; exit 1
fi

mkdir -p "$root/appdata" "$root/programdata" "$root/tmp"
output=$(env -u TVSK_PLUGIN_DIRS -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  APPDATA="$root/appdata" PROGRAMDATA="$root/programdata" TMPDIR="$root/tmp" \
  TVSK_HTTP_PORT=0 TVSK_SERVICE_NAME="_lumoraInstall$$" \
  timeout 20 "$prefix/bin/LUMORA" --server 1 2>&1) || { echo "$output"; exit 1; }
echo "$output"
for expected in "device plug-in vextro" "discovery plug-in annwatch" "TVSK_Uninitialize() -> 0"; do
  if ! grep -qF "$expected" <<<"$output"; then
    echo "missing from the installed engine server's output: $expected"; exit 1
  fi
done
echo "installed program, engine and plug-ins work from $prefix"
