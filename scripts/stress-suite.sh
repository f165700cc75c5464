#!/usr/bin/env bash
# Runs the test suite (or a ctest selection) several times in a row, each run in a fresh private
# test namespace as test.sh does, optionally beside busy loops of its own, and prints per test how
# often it failed. Run it before landing a change that touches timing.
#   scripts/stress-suite.sh [--runs N] [--load-cores N] [--load-seconds S] [--jobs J]
#                           [--build-dir DIR] [--keep-logs DIR] [-- ctest arguments...]
#   --runs N          how many runs (default 5)
#   --load-cores N    busy loops to run meanwhile, one per core (default 0: no load of its own)
#   --load-seconds S  the loops end after S seconds at the latest, whatever happens (default 3600)
#   --jobs J          ctest -j (default 8, as test.sh)
#   --build-dir DIR   the build to test (default build)
#   --keep-logs DIR   keep each run's ctest output there (default: a temporary folder, kept only
#                     when a run failed)
# Example: scripts/stress-suite.sh --runs 5 --load-cores 6
#          scripts/stress-suite.sh --runs 3 --load-cores 4 -- -R '^PeriodicTimer\.'
# Needs root (like test.sh). Exits 0 only when every run passed.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
load_cores=0
load_seconds=3600
jobs=8
build_dir=build
keep_logs=""
usage() { sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case $1 in
    --runs) runs=$2; shift 2 ;;
    --load-cores) load_cores=$2; shift 2 ;;
    --load-seconds) load_seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --keep-logs) keep_logs=$2; shift 2 ;;
    --) shift; break ;;
    *) usage ;;
  esac
done
for number in "$runs" "$load_cores" "$load_seconds" "$jobs"; do
  [[ $number =~ ^[0-9]+$ ]] || usage
done
if [ "$(id -u)" -ne 0 ]; then
  echo "stress-suite.sh needs root: each run creates a private test namespace" >&2
  exit 1
fi
[ -f "$build_dir/CTestTestfile.cmake" ] || { echo "no test build in $build_dir" >&2; exit 1; }

if [ -n "$keep_logs" ]; then
  logs=$keep_logs
  mkdir -p "$logs"
else
  logs=$(mktemp -d)
fi
load_pids=()
failed_runs=0
cleanup() {
  for pid in "${load_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${load_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  [ -n "$keep_logs" ] || [ "$failed_runs" -ne 0 ] || rm -rf "$logs"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Each loop ends by itself after load_seconds even when this script is killed outright.
for ((i = 0; i < load_cores; i++)); do
  timeout "$load_seconds" bash -c 'while :; do :; done' &
  load_pids+=($!)
done
[ "$load_cores" -eq 0 ] || echo "busy loops on $load_cores cores (at most $load_seconds s)"

declare -A failures=()
for ((run = 1; run <= runs; run++)); do
  log=$logs/run-$run.log
  start=$SECONDS
  status=0
  unshare --net --mount --pid --fork --mount-proc scripts/in-test-namespace.sh \
    ctest --test-dir "$build_dir" -j"$jobs" --output-on-failure "$@" >"$log" 2>&1 || status=$?
  # ctest lists its failures after "The following tests FAILED:" as "<number> - <name> (<why>)".
  failed=$(sed -n '/^The following tests FAILED:/,$p' "$log" |
    sed -n 's/^[[:space:]]*[0-9]\{1,\} - \(.*\) (\([^()]*\))$/\1 (\2)/p')
  summary=$(grep -E '^[0-9]+% tests passed' "$log" || echo "ctest exited $status")
  echo "run $run/$runs: $summary, $((SECONDS - start)) s"
  if [ "$status" -ne 0 ]; then
    failed_runs=$((failed_runs + 1))
  fi
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    name=${line% (*}
    failures[$name]=$((${failures[$name]:-0} + 1))
    echo "  failed: $line"
  done <<<"$failed"
done

echo
if [ "${#failures[@]}" -eq 0 ] && [ "$failed_runs" -eq 0 ]; then
  echo "no failures in $runs runs"
  exit 0
fi
echo "failures per test (of $runs runs):"
for name in "${!failures[@]}"; do
  printf '%6d  %s\n' "${failures[$name]}" "$name"
done | sort -rn
echo "ctest output of each run: $logs"
exit 1
