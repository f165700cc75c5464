#!/usr/bin/env bash
# check_exports.sh --only|--includes LIBRARY SYMBOL...
# Compares the defined dynamic symbols of a shared library with the expected ones.
# --only: exactly these (linker and runtime bookkeeping symbols aside); --includes: at least these.
set -euo pipefail
mode=$1; lib=$2; shift 2
actual=$(nm -D --defined-only "$lib" | awk '{print $3}' \
  | grep -v -E '^(_init|_fini|_edata|_end|__bss_start|__.*)$' | sort -u)
status=0
for sym in "$@"; do
  if ! grep -qx -- "$sym" <<<"$actual"; then echo "missing export: $sym"; status=1; fi
done
if [ "$mode" = --only ]; then
  while read -r sym; do
    [ -z "$sym" ] && continue
    if ! printf '%s\n' "$@" | grep -qx -- "$sym"; then echo "unexpected export: $sym"; status=1; fi
  done <<<"$actual"
fi
[ $status -eq 0 ] && echo "exports of $(basename "$lib") as expected: $*"
exit $status
