#!/usr/bin/env bash
# Runs the README's "Try it" commands as a person pastes them and checks the lines the README
# says they print:
#   readme_check.sh SOURCE_DIR BUILD_DIR
# A command block is marked by a line "<!-- readme-check [timeout=N] [namespace] -->"
# right before its ```sh fence. An ```text block marked "<!-- readme-output -->" that follows it
# lists lines the output must hold; "..." in such a line stands for any text. A ```text block
# marked "<!-- readme-absent -->" after it lists lines (same form) the output must not hold.
#   timeout=N      the block is stopped after N seconds (default 30) and fails
#   namespace      needs the private test namespace (SAP on lo): skipped outside it
# The blocks run from a fresh folder where build/, testing/ and scripts/ lead to this build and
# checkout, so the README's own paths are used unchanged; HOME and the data folders are temporary,
# and files the README puts in /tmp/ go to a temporary folder instead.
set -uo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
readme=$source_dir/README.md

work=$(mktemp -d)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
mkdir -p "$work/run" "$work/home" "$work/programdata" "$work/blocks" "$work/tmp"
ln -s "$build_dir" "$work/run/build"
ln -s "$source_dir/testing" "$work/run/testing"
ln -s "$source_dir/scripts" "$work/run/scripts"

# Every marked block becomes blocks/N.sh, its options blocks/N.opts, its expected lines N.expect.
awk -v dir="$work/blocks" -v tmp="$work/tmp" '
  /^<!-- readme-check( [^>]*)? -->$/ {
    n++; opts = $0; sub(/^<!-- readme-check ?/, "", opts); sub(/ ?-->$/, "", opts)
    print opts > (dir "/" n ".opts"); close(dir "/" n ".opts")
    want = "sh"; next
  }
  /^<!-- readme-output -->$/ { if (n) want = "text"; next }
  /^<!-- readme-absent -->$/ { if (n) want = "absent"; next }
  want == "sh" && /^```sh$/ { inside = "sh"; want = ""; next }
  (want == "text" || want == "absent") && /^```text$/ { inside = want; want = ""; next }
  inside != "" && /^```$/ { inside = ""; next }
  inside == "sh" { gsub(/\/tmp\//, tmp "/"); print > (dir "/" n ".sh"); next }
  inside == "text" { print > (dir "/" n ".expect"); next }
  inside == "absent" { print > (dir "/" n ".absent"); next }
  want != "" && NF > 0 { want = "" }
' "$readme"

count=$(find "$work/blocks" -name '*.opts' | wc -l)
if [ "$count" -lt 1 ]; then
  echo "FAILED: no <!-- readme-check --> block in $readme"
  exit 1
fi

# A line of the README's "..."-shortened output as an extended regular expression.
line_pattern() {
  local text=$1 pattern="" fragment
  while :; do
    fragment=${text%%...*}
    pattern+=$(printf '%s' "$fragment" | sed 's/[][\.*^$+?(){}|]/\\&/g')
    [ "$fragment" = "$text" ] && break
    pattern+='.*'
    text=${text#*...}
  done
  printf '%s' "$pattern"
}

failures=0
for ((i = 1; i <= count; i++)); do
  opts=$(cat "$work/blocks/$i.opts")
  title=$(grep -v '^\s*#' "$work/blocks/$i.sh" | head -1)
  timeout=30; namespace=0
  for opt in $opts; do
    case $opt in
      timeout=*) timeout=${opt#timeout=} ;;
      namespace) namespace=1 ;;
      *) echo "FAILED: block $i: unknown option '$opt'"; failures=$((failures + 1)); continue 2 ;;
    esac
  done
  if [ "$namespace" -eq 1 ] && [ -z "${LUMORA_TEST_NAMESPACE:-}" ]; then
    echo "skipped block $i (needs the test namespace): $title"
    continue
  fi
  out=$work/blocks/$i.out
  start=${EPOCHREALTIME/./}
  # timeout makes itself a process group leader: what the block left running (a simulated device
  # after a failed command) is ended with that group.
  (cd "$work/run" &&
    exec env -u APPDATA -u XDG_CONFIG_HOME -u DISPLAY -u WAYLAND_DISPLAY \
      HOME="$work/home" PROGRAMDATA="$work/programdata" \
      timeout --kill-after=5 --signal=INT "$timeout" bash -e "$work/blocks/$i.sh" </dev/null >"$out" 2>&1) &
  group=$!
  wait "$group"
  status=$?
  kill -TERM -- "-$group" 2>/dev/null && sleep 0.2 && kill -KILL -- "-$group" 2>/dev/null
  ms=$(( (${EPOCHREALTIME/./} - start) / 1000 ))
  problem=""
  if [ "$status" -eq 124 ]; then
    problem="did not finish within $timeout s"
  elif [ "$status" -ne 0 ]; then
    problem="exited $status"
  elif grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer)|WARNING: ThreadSanitizer|runtime error: ' "$out"; then
    # A background tool's report does not reach the block's exit status.
    problem="a sanitizer report"
  fi
  if [ -z "$problem" ] && [ -f "$work/blocks/$i.expect" ]; then
    while IFS= read -r expected; do
      [ -z "${expected// /}" ] && continue
      if ! grep -qE -- "$(line_pattern "$expected")" "$out"; then
        problem="no line like: $expected"
        break
      fi
    done <"$work/blocks/$i.expect"
  fi
  if [ -z "$problem" ] && [ -f "$work/blocks/$i.absent" ]; then
    while IFS= read -r unwanted; do
      [ -z "${unwanted// /}" ] && continue
      if grep -qE -- "$(line_pattern "$unwanted")" "$out"; then
        problem="a line it must not hold: $unwanted"
        break
      fi
    done <"$work/blocks/$i.absent"
  fi
  if [ -n "$problem" ]; then
    failures=$((failures + 1))
    echo "FAILED block $i ($title): $problem"
    echo "--- commands"; cat "$work/blocks/$i.sh"
    echo "--- output"; cut -c1-300 "$out" | tail -40
    echo "---"
  else
    printf "ok block %d (%d.%01d s): %s\n" "$i" $((ms / 1000)) $((ms % 1000 / 100)) "$title"
  fi
done
[ "$failures" -eq 0 ] || exit 1
echo "all $count README blocks work as written"
