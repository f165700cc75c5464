#!/usr/bin/env bash
# plugin-host annwatch and sap-announce as separate processes on lo: an announcement gives one
# "Add", its deletion a "Remove" with the same Id, the worker thread is named, and an announcement
# from a filtered address gives no message. Runs only inside the private test namespace.
set -euo pipefail
host=$1; announce=$2; plugin=$3; sdp=$4
[ -n "${LUMORA_TEST_NAMESPACE:-}" ] || { echo "skipped: needs the private test namespace"; exit 77; }
out=$(mktemp); trap 'rm -f "$out"' EXIT

# wait_for PATTERN [COMMAND...]: bounded wait for a line in the host's output. The COMMAND (an
# announcement) is sent again every half second: the host may print its interface line a moment
# before its socket has joined the group, and a datagram sent meanwhile is not received.
wait_for() {
  local pattern=$1; shift
  for i in $(seq 1 200); do
    grep -q -- "$pattern" "$out" && return 0
    if [ $# -gt 0 ] && [ $((i % 10)) -eq 0 ]; then "$@"; fi
    sleep 0.05
  done
  echo "missing: $pattern"; cat "$out"; exit 1
}
# The host listens until it is told to end (SIGINT), not for a time a loaded machine may overrun.
end_host() { kill -INT "$pid"; wait "$pid" || { echo "plugin-host failed"; cat "$out"; exit 1; }; }

"$host" annwatch --plugin "$plugin" --seconds 60 --start-id 100 >"$out" 2>&1 &
pid=$!
wait_for 'DiscoverySap::list_interfaces 127.0.0.1'
"$announce" --sdp "$sdp" --hash 0x1234 --repeat 2 --interval-ms 50
wait_for '^message: {"Action":"Add"' "$announce" --sdp "$sdp" --hash 0x1234
grep -q DiscoverySap /proc/$pid/task/*/comm || { echo "no thread named DiscoverySap"; exit 1; }
"$announce" --sdp "$sdp" --hash 0x1234 --delete
wait_for '^message: {"Action":"Remove"' "$announce" --sdp "$sdp" --hash 0x1234 --delete
end_host

expected_add='message: {"Action":"Add","Id":100,"Payload":{"DestinationIp":"239.69.1.2","DestinationPort":5004,"Domain":0,"Encoding":"L24","GMID":"00-1D-C1-FF-FE-12-34-56","Ip":"127.0.0.1","Name":"Stage left","Origin":"SAP","SampleRate":48000,"TrackNumber":2,"Tracks":["Track 0","Track 1"]}}'
[ "$(grep -c '^message: ' "$out")" -eq 2 ] || { echo "expected exactly two messages"; cat "$out"; exit 1; }
grep -qxF -- "$expected_add" "$out" || { echo "Add differs"; cat "$out"; exit 1; }
grep -qxF -- 'message: {"Action":"Remove","Id":100,"Payload":{}}' "$out" || { echo "Remove differs"; cat "$out"; exit 1; }
grep -qxF -- 'Dante/SAP discover : Stage left added' "$out" || { echo "no added line"; exit 1; }

"$host" annwatch --plugin "$plugin" --seconds 60 --filter 127.0.0.1 >"$out" 2>&1 &
pid=$!
wait_for 'DiscoverySap::list_interfaces 127.0.0.1'
"$announce" --sdp "$sdp" --hash 0x2222
wait_for 'Dante/SAP discover : Stage left added' "$announce" --sdp "$sdp" --hash 0x2222
end_host
if grep -q '^message: ' "$out"; then echo "filtered address was reported"; cat "$out"; exit 1; fi
echo "plugin-host annwatch end to end: ok"
