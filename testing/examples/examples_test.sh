#!/usr/bin/env bash
# The example files and hand tools used as a person uses them:
#   examples_test.sh CASE BIN_DIR VEXTRO_SO ANNWATCH_SO
# CASE: create-streamer, delete-streamer, set-sample-rate, create-receiver, delete-receiver,
# sim-index, tools-help, sdp-announce. Each runs the tools from BIN_DIR and checks their output.
set -euo pipefail
case_name=$1; bin=$2; vextro=$3; annwatch=$4
examples=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d); sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
export APPDATA=$work/appdata
mkdir -p "$APPDATA"
# Quick set-up polls; the refresh period comes from --period-ms.
export VEXTRO_TIMINGS=poll=50

fail() { echo "FAILED: $*"; [ -f "$work/out" ] && cut -c1-300 "$work/out"; exit 1; }
expect() { grep -qF -- "$1" "$work/out" || fail "missing: $1"; }
expect_none() { if grep -qF -- "$1" "$work/out"; then fail "unexpected: $1"; fi; }
host() { "$bin/plugin-host" vextro --plugin "$vextro" "$@" >"$work/out" 2>&1 || fail "plugin-host exited $?"; }
all_results_ok() { expect_none '"Result":-1'; expect_none 'warning: '; }
start_sim() {  # start_sim ARGS...: a vextro-sim in the background; sets $port
  # The file exists before the background shell opens it, so the first look never misses it.
  : >"$work/sim"
  "$bin/vextro-sim" "$@" >"$work/sim" 2>&1 &
  sim_pid=$!
  for _ in $(seq 1 100); do
    port=$(sed -n 's/^listening 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/sim")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  fail "vextro-sim did not start: $(cat "$work/sim")"
}

case $case_name in
  create-streamer)
    host --sim --action-file "$examples/create-streamer.json"
    all_results_ok
    expect 'log: '"$APPDATA"'/Vextro Technologies/vextro'
    expect '"Path":"/save.htm"'
    expect '"StreamName":"Example Streamer"},"Operation":0,"Path":"$.Devices[?(@.Id==7)].Streamers[?(@.Id==0)]"'
    ;;
  delete-streamer)
    host --sim --action-file "$examples/create-streamer.json" --action-file "$examples/delete-streamer.json"
    all_results_ok
    expect 'change: [{"Data":{},"Operation":2,"Path":"$.Devices[?(@.Id==7)].Streamers[?(@.Id==0)]"}]'
    ;;
  set-sample-rate)
    host --sim --period-ms 300 --cycles 1 --action-file "$examples/set-sample-rate.json"
    all_results_ok
    expect '["CONFIG_PARAM_AUDIO_SERVER_SAMPLE_FREQ","3"]'
    expect '"SampleRate":96000,'
    ;;
  create-receiver)
    host --sim --session "AES67 Stream" --period-ms 300 --cycles 1 --action-file "$examples/create-receiver.json"
    all_results_ok
    expect '"Path":"/connectsap.htm"'
    expect '"Status":{"SDP":"","State":3,'
    expect '"Operation":0,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]"'
    ;;
  delete-receiver)
    # A running device keeps what the first run did: the second run deletes the connected receiver.
    start_sim --session "AES67 Stream"
    host --device "127.0.0.1:$port" --period-ms 300 --cycles 1 --action-file "$examples/create-receiver.json"
    all_results_ok
    expect '"Operation":0,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]"'
    host --device "127.0.0.1:$port" --action-file "$examples/delete-receiver.json"
    all_results_ok
    expect 'change: [{"Data":{},"Operation":2,"Path":"$.Devices[?(@.Id==7)].Receivers[?(@.Id==0)]"}]'
    grep -q 'CONFIG_PARAM_AUDIO_CLIENT_STREAM_1_ENABLE=0' "$work/sim" || fail "the device was not written"
    ;;
  sim-index)
    start_sim --name "Studio A"
    curl -sf "http://127.0.0.1:$port/" >"$work/out" || fail "no answer on /"
    for part in '<title>Studio A (simulated device)</title>' '/config.htm' '/statistic.htm' '/sessions.htm' \
                '/save.htm' '/connectsap.htm' '<tr><td>CONFIG_PARAM_DEVICE_DEVICE_NAME</td><td>Studio A</td></tr>'; do
      expect "$part"
    done
    host --device "127.0.0.1:$port"
    expect '"Identity":{"Company":"Vextro Technologies","Name":"Studio A"'
    ;;
  tools-help)
    for tool in "plugin-host" "plugin-host vextro" "plugin-host annwatch" "vextro-sim" "sap-announce"; do
      # shellcheck disable=SC2086
      "$bin"/$tool --help >"$work/out" 2>&1 || fail "$tool --help exited $?"
      expect 'usage: '
      status=0
      # shellcheck disable=SC2086
      "$bin"/$tool --no-such-option >"$work/out" 2>&1 || status=$?
      [ "$status" -eq 2 ] || fail "$tool with an unknown option exited $status"
      grep -q "unknown \(option\|mode\) '--no-such-option'" "$work/out" || fail "$tool: no clear error"
    done
    "$bin/plugin-host" vextro --help >"$work/out"
    for option in --plugin --sim --device --action --action-file --cycles --period-ms --session --sim-changes; do
      expect "  $option "
    done
    ;;
  sdp-announce)
    [ -n "${LUMORA_TEST_NAMESPACE:-}" ] || { echo "skipped: needs the private test namespace"; exit 77; }
    # The stream appears with the announcement and disappears with the deletion.
    "$bin/plugin-host" annwatch --plugin "$annwatch" --seconds 2 >"$work/out" 2>&1 &
    listener=$!
    for _ in $(seq 1 100); do grep -q 'list_interfaces 127.0.0.1' "$work/out" && break; sleep 0.05; done
    "$bin/sap-announce" --sdp "$examples/aes67-stream.sdp" --repeat 2 --interval-ms 100
    for _ in $(seq 1 100); do grep -q '^message: {"Action":"Add"' "$work/out" && break; sleep 0.05; done
    "$bin/sap-announce" --sdp "$examples/aes67-stream.sdp" --delete
    wait "$listener" || fail "plugin-host annwatch exited $?"
    expect '"Name":"AES67 Stream"'
    expect '"DestinationIp":"239.69.1.2","DestinationPort":5004'
    expect 'message: {"Action":"Remove","Id":0,"Payload":{}}'
    ;;
  *)
    echo "unknown case $case_name"; exit 2 ;;
esac
echo "$case_name: ok"
