#!/usr/bin/env bash
# ./run.sh by a normal user after a build by root: a build tree the user cannot write is used as it
# is when it is up to date, and otherwise one line says what to do (no CMake errors).
#   run_as_user_test.sh <source dir>
set -euo pipefail
source_dir=$1
[ "$(id -u)" -eq 0 ] || { echo "needs root, to act as another user"; exit 77; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
chmod 755 "$root"
tree=$root/src
mkdir -p "$tree/scripts" "$tree/agent" "$tree/build/agent" "$tree/build/engine"
cp "$source_dir/scripts/setup.sh" "$tree/scripts/"
echo 'project(x)' >"$tree/CMakeLists.txt"
echo 'int main() {}' >"$tree/agent/main.cpp"
touch -d '-2 minutes' "$tree/CMakeLists.txt" "$tree/agent/main.cpp"
touch "$tree/build/agent/LUMORA" "$tree/build/engine/libTaviskEngine.so" "$tree/build/CMakeCache.txt"
chmod -R a+rX "$root"

as_user() {
  setpriv --reuid=65534 --regid=65534 --clear-groups env -i PATH=/usr/bin:/bin bash -c \
    "cd '$tree' && source scripts/setup.sh && build_or_use_tree build agent/LUMORA engine/libTaviskEngine.so" \
    >"$root/out" 2>"$root/err"
}
fail() { echo "FAIL: $*"; echo "--- out"; cat "$root/out"; echo "--- err"; cat "$root/err"; exit 1; }

as_user || fail "an up-to-date tree of root's was not used"
grep -qx "build/ belongs to root and is up to date: running it as it is." "$root/out" || fail "no line for the tree used as it is"
[ ! -s "$root/err" ] || fail "errors for an up-to-date tree"

touch "$tree/agent/main.cpp"
if as_user; then fail "a tree older than its sources was used"; fi
[ ! -s "$root/out" ] || fail "more than the one line"
[ "$(wc -l <"$root/err")" -eq 1 ] || fail "not one line"
grep -q "^build/ belongs to root and is older than the sources, and nobody cannot rebuild it: run ./run.sh as root once (sudo ./run.sh), or remove build/ to build it as nobody.$" "$root/err" ||
  fail "the line does not say what to do"

rm "$tree/build/engine/libTaviskEngine.so"
touch -d '-2 minutes' "$tree/agent/main.cpp"
if as_user; then fail "a tree without all its products was used"; fi
echo "run.sh as a normal user: root's tree used when up to date, else one line"
