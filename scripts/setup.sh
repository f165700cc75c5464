# Shared by run.sh and test.sh: install what is missing, then configure and build.
# shellcheck shell=bash

LUMORA_PACKAGES=(
  cmake g++ pkg-config make
  qtbase5-dev libboost-all-dev libcurl4-openssl-dev rapidjson-dev nlohmann-json3-dev
  libavahi-compat-libdnssd-dev avahi-daemon avahi-utils dbus
  iproute2 util-linux procps binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  libqt5test5 libxcb1-dev
  xvfb xauth x11-utils trayer xdotool chromium fonts-dejavu-core fonts-crosextra-carlito
  libgstreamer-plugins-base1.0-dev
)

# apt-get runs only when something is missing, and updates its lists first in that case.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "${LUMORA_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# build_tree DIR [cmake options...]
build_tree() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j"$(nproc)"
}
