#!/usr/bin/env bash
# check_not_linked.sh BINARY... : fails when any binary lists libdns_sd among its NEEDED entries.
set -euo pipefail
status=0
for binary in "$@"; do
  if readelf -d "$binary" | grep NEEDED | grep -q 'libdns_sd'; then
    echo "linked against libdns_sd: $binary"
    status=1
  fi
done
[ $status -eq 0 ] && echo "no libdns_sd in NEEDED of $# binaries"
exit $status
