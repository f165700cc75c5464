# shellcheck shell=bash
# Sourced by the desktop test scripts: milliseconds since the epoch, and a bounded wait.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# wait_for <seconds> <command...>: polls every 20 ms; fails when the time is up.
wait_for() {
  local limit=$(( $(now_ms) + $1 * 1000 )); shift
  until "$@"; do
    [ "$(now_ms)" -lt "$limit" ] || return 1
    sleep 0.02
  done
}
