#!/usr/bin/env bash
# Installs the build into a fresh prefix and runs the installed program as an engine server with
# nothing set up: it must find its engine library and the installed plug-ins by itself.
# Usage: install_test.sh <build dir>
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=$root/prefix

# As the README says to install.
cmake --install "$build" --prefix "$prefix" --strip >"$root/install.log"
for file in bin/LUMORA lib/libTaviskEngine.so lib/lumora/plugins/vextro.so lib/lumora/plugins/annwatch.so \
  share/applications/lumora.desktop share/icons/hicolor/256x256/apps/lumora.png; do
  if [ ! -f "$prefix/$file" ]; then
    echo "not installed: $file"; cat "$root/install.log"; exit 1
  fi
done
if readelf -S "$prefix/bin/LUMORA" | grep -q debug_info; then
  echo "bin/LUMORA was not stripped"; exit 1
fi

# The desktop's menu starts the installed program, with the icon the theme finds by name.
entry=$prefix/share/applications/lumora.desktop
for line in "[Desktop Entry]" "Type=Application" "Name=LUMORA" "Exec=$prefix/bin/LUMORA" "TryExec=$prefix/bin/LUMORA" \
  "Icon=lumora" "Terminal=false"; do
  if ! grep -qxF "$line" "$entry"; then
    echo "the desktop entry lacks the line: $line"; cat "$entry"; exit 1
  fi
done
# A PNG whose header gives 256 x 256, as its folder says.
icon_header=$(od -An -tx1 -N24 "$prefix/share/icons/hicolor/256x256/apps/lumora.png" | tr -d ' \n')
if [ "$icon_header" != "89504e470d0a1a0a0000000d494844520000010000000100" ]; then
  echo "the icon is not a 256 x 256 PNG"; exit 1
fi

# Without a display the installed agent says what to do instead of aborting.
if env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/LUMORA" >"$root/nodisplay.out" 2>&1; then
  echo "the agent without a display exited 0"; exit 1
fi
grep -q "^No display: .*start the console server with --serverd 1" "$root/nodisplay.out" ||
  { echo "no display line:"; cat "$root/nodisplay.out"; exit 1; }

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
