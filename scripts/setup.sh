# Shared by run.sh and test.sh: install what is missing, then configure and build.
# shellcheck shell=bash

LUMORA_PACKAGES=(
  cmake g++ pkg-config make
  qtbase5-dev libboost-all-dev libcurl4-openssl-dev rapidjson-dev nlohmann-json3-dev
  libavahi-compat-libdnssd-dev avahi-daemon avahi-utils dbus
  iproute2 util-linux procps binutils python3
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

# Files a source change can reach a build through; anything else (docs, tests' data) is left out.
LUMORA_SOURCE_PATTERNS=(-name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name 'CMakeLists.txt' -o -name '*.cmake'
  -o -name '*.qrc' -o -name '*.qss' -o -name '*.png' -o -name '*.map' -o -name '*.in')

# True when every product (paths inside DIR) exists and no source file of the checkout is newer
# than the oldest of them.
#   tree_up_to_date DIR PRODUCT...
tree_up_to_date() {
  local dir=$1
  shift
  local product oldest=""
  for product in "$@"; do
    [ -e "$dir/$product" ] || return 1
    if [ -z "$oldest" ] || [ "$dir/$product" -ot "$oldest" ]; then oldest="$dir/$product"; fi
  done
  [ -n "$oldest" ] || return 1
  [ -z "$(find . \( -path "./$dir" -o -path './build*' -o -path ./.git \) -prune -o -type f \
    \( "${LUMORA_SOURCE_PATTERNS[@]}" \) -newer "$oldest" -print -quit)" ]
}

# run.sh's build: build_tree, except for a tree this user cannot write (the README's build by
# root, then ./run.sh by a normal user): one that is up to date is used as it is, and otherwise one
# line says what to do instead of CMake's errors.
#   build_or_use_tree DIR PRODUCT...
build_or_use_tree() {
  local dir=$1
  if [ -d "$dir" ] && [ -n "$(find "$dir" ! -writable -print -quit 2>/dev/null)" ]; then
    local owner
    owner=$(stat -c %U "$dir")
    if tree_up_to_date "$@"; then
      echo "$dir/ belongs to $owner and is up to date: running it as it is."
      return 0
    fi
    echo "$dir/ belongs to $owner and is older than the sources, and $(id -un) cannot rebuild it:" \
      "run ./run.sh as $owner once (sudo ./run.sh), or remove $dir/ to build it as $(id -un)." >&2
    return 1
  fi
  build_tree "$dir"
}
