#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test inside a private network namespace.
#   ./test.sh              normal build in build/
#   ./test.sh --sanitize   ASan+UBSan build in build-asan/
#   ./test.sh --tsan       ThreadSanitizer build in build-tsan/
# Extra arguments after the option go to ctest (e.g. ./test.sh -- -L avahi).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/setup.sh

build_dir=build
cmake_flags=()
case "${1:-}" in
  --sanitize) build_dir=build-asan; cmake_flags=(-DLUMORA_SANITIZE=address); shift ;;
  --tsan) build_dir=build-tsan; cmake_flags=(-DLUMORA_SANITIZE=thread); shift ;;
esac
[ "${1:-}" = "--" ] && shift

if [ "$(id -u)" -ne 0 ]; then
  echo "test.sh needs root: it installs packages and creates a private network namespace" >&2
  exit 1
fi

ensure_packages
build_tree "$build_dir" "${cmake_flags[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

exec unshare --net --mount --pid --fork --mount-proc \
  scripts/in-test-namespace.sh ctest --test-dir "$build_dir" -j8 --output-on-failure "$@"
