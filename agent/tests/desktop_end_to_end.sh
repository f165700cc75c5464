#!/usr/bin/env bash
# The tray agent on a desktop, end to end: a Master agent starts its own engine (with the build's
# plug-ins), attaches to it through avahi and opens the web app in the "browser" (a fake xdg-open
# that records URLs). Measures the time from start to the tray icon and the agent's resident
# memory after attachment; takes screenshots of the splash, the tray menu and the About dialog;
# quits through the menu. Runs on an X display with a system tray:
#   xvfb-run -a -s "-screen 0 1024x768x24" scripts/desktop-session.sh \
#     desktop_end_to_end.sh <LUMORA> <lumora-screen-grab> <output dir> <plug-in dirs>
set -euo pipefail
program=$1
grab=$2
out=$3
plugin_dirs=$4
mkdir -p "$out"
# Everything here draws on the X display, whatever the test environment chose.
unset QT_QPA_PLATFORM

root=$(mktemp -d)
agent_pid=""
first_pid=""
reader_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then kill -9 "$agent_pid" 2>/dev/null || true; fi
  if [ -n "$first_pid" ]; then pkill -9 -f -- "--apid $first_pid" 2>/dev/null || true; fi
  if [ -n "$reader_pid" ]; then kill -9 "$reader_pid" 2>/dev/null || true; fi
  if [ -f "$root/browser.pids" ]; then xargs -r kill -9 <"$root/browser.pids" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- agent output"; cat "$root/agent.out" || true
  echo "--- opened URLs"; cat "$root/urls" || true
  echo "--- processes"; ps -eo pid,stat,args | grep -v "ps -eo" || true
  exit 1
}
source "$(dirname "$0")/desktop_wait.sh"

mkdir -p "$root/bin" "$root/appdata/Brixel Technologies/lumora" "$root/programdata" "$root/tmp" "$root/runtime"
chmod 700 "$root/runtime"
# Like a real browser, what the opener starts outlives it, with whatever descriptors it was given.
cat >"$root/bin/xdg-open" <<EOF
#!/bin/sh
echo "\$@" >>"$root/urls"
sleep 300 &
echo \$! >>"$root/browser.pids"
EOF
chmod +x "$root/bin/xdg-open"
# Master: the engine starts at once; the own address is pinned to the one avahi publishes here.
echo '{"mode":1,"server":{"ip":"127.0.0.1"}}' >"$root/appdata/Brixel Technologies/lumora/config.json"

tray_icon_shown() { xwininfo -root -tree | grep -q '"LUMORA": ("LUMORA" "LUMORA")  22x22'; }
# Visible LUMORA windows of a given size ("600x250").
window_of_size() {
  local id
  for id in $(xdotool search --onlyvisible --class LUMORA 2>/dev/null); do
    if xwininfo -id "$id" | grep -q "geometry $1"; then echo "$id"; return 0; fi
  done
  return 1
}
engine_url() { grep -o 'web application at http://[0-9.:]*/' "$root/agent.out" | head -n1 | cut -d' ' -f4; }
# Our engine's web app among the opened ones: an advertisement of an engine that just ended may
# still be cached on this host and be attached to first.
url_opened() { local url; url=$(engine_url); [ -n "$url" ] && grep -qxF "$url" "$root/urls" 2>/dev/null; }

agent_env=(APPDATA="$root/appdata" PROGRAMDATA="$root/programdata" TMPDIR="$root/tmp"
  XDG_RUNTIME_DIR="$root/runtime" PATH="$root/bin:$PATH" TVSK_PLUGIN_DIRS="$plugin_dirs" TVSK_HTTP_PORT=0
  TVSK_SERVICE_NAME="_lumoraDesktop$$" QT_FONT_DPI=96 LUMORA_APID_POLL_MS=200)

# A Master agent attaches to any engine on this host: start only once the advertisements of
# engines that earlier tests ran have left avahi's cache (the test runs alone, so none come back).
no_other_engine() { ! timeout 5 avahi-browse -tp _http._tcp 2>/dev/null | grep -q ';_lumora'; }
wait_for 30 no_other_engine || fail "another engine is still advertised"

started=$(now_ms)
# The agent's output goes through a pipe, as in `./run.sh | tee log`: the pipe must close when the
# agent ends, whatever it started meanwhile.
mkfifo "$root/agent.pipe"
cat "$root/agent.pipe" >"$root/agent.out" &
reader_pid=$!
# A simple command, so $! is the agent itself (its engine is started with that id).
env "${agent_env[@]}" "$program" >"$root/agent.pipe" 2>&1 &
agent_pid=$!
first_pid=$agent_pid

wait_for 10 tray_icon_shown || fail "no tray icon"
icon_ms=$(( $(now_ms) - started ))

# The splash stays at least 4 s for a Master agent.
if wait_for 4 window_of_size 600x250 >/dev/null; then
  "$grab" "$out/desktop_splash.png"
else
  echo "note: splash not seen"
fi

wait_for 30 url_opened || fail "the web app was not opened"
attach_ms=$(( $(now_ms) - started ))
rss_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$agent_pid/status")
url=$(engine_url)
# The splash is modal: the menu answers once it is gone.
splash_gone() { ! window_of_size 600x250 >/dev/null; }
wait_for 10 splash_gone || fail "the splash stayed"
splash_ms=$(( $(now_ms) - started ))
sleep 0.3
rss_after_splash_kb=$(awk '/^VmRSS/ {print $2}' "/proc/$agent_pid/status")

# The engine is the agent's own child process, with the build's plug-ins.
grep -q "TVSK_Initialize(-1,0,3) -> 0" "$root/agent.out" || fail "no master engine started"
pgrep -f -- "--server 1 --apid $agent_pid --master 1" >/dev/null || fail "no engine process of this agent"
grep -q "device plug-in vextro" "$root/agent.out" || fail "vextro not loaded by the engine"
grep -q "discovery plug-in annwatch" "$root/agent.out" || fail "annwatch not loaded by the engine"
curl -sf --max-time 5 "$url" | grep -qi "<html" || fail "the web app at $url does not answer"

# A second agent ends after about a second and has the first one open the web app again.
opened_before=$(grep -cxF "$url" "$root/urls")
second_started=$(now_ms)
env "${agent_env[@]}" "$program" >"$root/second.out" 2>&1 || fail "the second agent failed: $(cat "$root/second.out")"
second_ms=$(( $(now_ms) - second_started ))
[ "$second_ms" -lt 2500 ] || fail "the second agent took ${second_ms} ms"
grep -q "A LUMORA agent is already running: it opens its web app" "$root/second.out" ||
  fail "the second agent did not say what happened: $(cat "$root/second.out")"
second_url_opened() { [ "$(grep -cxF "$url" "$root/urls")" -gt "$opened_before" ]; }
wait_for 3 second_url_opened || fail "the second agent did not make the first open $url"

# Tray menu by a right click on the icon, then About through its mnemonic.
icon=$(xdotool search --onlyvisible --class LUMORA | while read -r id; do
  xwininfo -id "$id" | grep -q "geometry 22x22" && echo "$id"; done | head -n1)
[ -n "$icon" ] || fail "tray icon window not found"
eval "$(xdotool getwindowgeometry --shell "$icon")"
xdotool mousemove $((X + 11)) $((Y + 11)) click 3
sleep 0.7
"$grab" "$out/desktop_tray_menu.png"
xdotool key a
wait_for 5 window_of_size 600x250 >/dev/null || fail "About did not open"
sleep 0.5
"$grab" "$out/desktop_about.png"
xdotool key Escape
sleep 0.3

# Quit through the menu: the agent ends, and its engine follows.
xdotool mousemove $((X + 11)) $((Y + 11)) click 3
sleep 0.7
xdotool key q
agent_gone() { [ ! -e "/proc/$agent_pid" ] || grep -q '^State:.*Z' "/proc/$agent_pid/status"; }
wait_for 5 agent_gone || fail "Quit did not end the agent"
wait "$agent_pid" || fail "the agent exited with $?"
agent_pid=""
engine_gone() { ! pgrep -f -- "--apid $first_pid" >/dev/null; }
wait_for 5 engine_gone || fail "the engine process outlived its agent"
reader_gone() { ! kill -0 "$reader_pid" 2>/dev/null; }
wait_for 5 reader_gone || fail "the agent's output pipe stayed open after Quit (held by what it started)"
reader_pid=""
[ -s "$root/browser.pids" ] || fail "no browser was started"
grep -q "TVSK_Uninitialize() -> 0" "$root/agent.out" || fail "the engine was not stopped"

{
  echo "start to tray icon: ${icon_ms} ms"
  echo "start to web app opened (attached): ${attach_ms} ms"
  echo "start to splash closed: ${splash_ms} ms"
  echo "agent resident memory after attachment: ${rss_kb} kB (after the splash closed: ${rss_after_splash_kb} kB)"
  echo "second agent ended after: ${second_ms} ms"
  echo "web app: $url"
} | tee "$out/desktop_measurements.txt"
