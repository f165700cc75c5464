#!/usr/bin/env bash
# check_not_linked.sh BINARY... : fails when any binary lists libdns_sd among its NEEDED entries.
# Empty arguments (targets not built in this tree) are passed over.
set -euo pipefail
status=0
checked=0
for binary in "$@"; do
  [ -z "$binary" ] && continue
  if ! needed=$(readelf -d "$binary" 2>&1); then
    echo "cannot read $binary: $needed"
    status=1
    continue
  fi
  checked=$((checked + 1))
  if grep NEEDED <<<"$needed" | grep -q 'libdns_sd'; then
    echo "linked against libdns_sd: $binary"
    status=1
  fi
done
[ $status -eq 0 ] && echo "no libdns_sd in NEEDED of $checked binaries"
exit $status
