#!/usr/bin/env bash
# The desktop path as ./run.sh takes it when started by root: scripts/start-agent.sh runs the agent
# as the desktop's user (here SUDO_USER=nobody), the agent starts its engine, attaches to it and
# opens the web app through the real xdg-open in a real browser, headless Chromium, which refuses
# to run as root. The page Chromium loaded is saved as a screenshot. Runs as root on an X display
# with a system tray:
#   scripts/desktop-session.sh desktop_browser_as_user.sh <source dir> <LUMORA> <output dir> <plug-in dirs>
set -euo pipefail
source_dir=$1
program=$2
out=$3
plugin_dirs=$4
user=nobody
mkdir -p "$out"
unset QT_QPA_PLATFORM

root=$(mktemp -d)
chmod 755 "$root"
runner_pid=""
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then
    kill -9 "$agent_pid" 2>/dev/null || true
    pkill -9 -f -- "--apid $agent_pid" 2>/dev/null || true
  fi
  pkill -9 -f -- "--user-data-dir=$root/chromium" 2>/dev/null || true
  if [ -n "$runner_pid" ]; then wait "$runner_pid" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  echo "--- start-agent.sh and agent output"; cat "$root/agent.out" || true
  echo "--- processes"; ps -eo user,pid,args | grep -v "ps -eo" || true
  exit 1
}
source "$(dirname "$0")/desktop_wait.sh"

[ "$(id -u)" -eq 0 ] || { echo "needs root, to start the agent as $user"; exit 1; }
mkdir -p "$root/appdata/Brixel Technologies/lumora" "$root/programdata" "$root/tmp" "$root/runtime" "$root/shot" \
  "$root/xdg/data" "$root/xdg/config" "$root/chromium"
echo '{"mode":1,"server":{"ip":"127.0.0.1"}}' >"$root/appdata/Brixel Technologies/lumora/config.json"
# The display's cookie for the user, as a desktop session hands its user one.
xauth extract "$root/Xauthority" "$DISPLAY"
chown -R "$user" "$root"
chmod 700 "$root/runtime"

# xdg-open finds no desktop's default browser in these empty XDG folders and takes BROWSER:
# Chromium without a window, saving the page it loaded.
shot=$root/shot/web_app.png
browser="chromium --headless --no-sandbox --disable-gpu --disable-background-networking --disable-component-update"
browser+=" --disable-sync --no-first-run --user-data-dir=$root/chromium --window-size=1024,768 --screenshot=$shot %s"

# Without a desktop user (this display and its cookie belong to root) the agent stays root, and
# the script says why the web app will not open by itself; on the offscreen platform it says
# that nothing will be seen.
as_root=$(env -u SUDO_USER -u PKEXEC_UID QT_QPA_PLATFORM=offscreen "$source_dir/scripts/start-agent.sh" /bin/true)
for line in "QT_QPA_PLATFORM=offscreen: the agent runs, but its tray icon and windows are invisible" \
  "Starting the LUMORA agent in the system tray as root" "Browsers refuse to run as root, so the web app will not open"; do
  grep -qF "$line" <<<"$as_root" || fail "start-agent.sh without a desktop user did not say: $line"$'\n'"$as_root"
done

no_other_engine() { ! timeout 5 avahi-browse -tp _http._tcp 2>/dev/null | grep -q ';_lumora'; }
wait_for 30 no_other_engine || fail "another engine is still advertised"

env -u SUDO_UID -u PKEXEC_UID SUDO_USER="$user" APPDATA="$root/appdata" PROGRAMDATA="$root/programdata" \
  TMPDIR="$root/tmp" XDG_RUNTIME_DIR="$root/runtime" XDG_DATA_HOME="$root/xdg/data" XDG_DATA_DIRS="$root/xdg/data" \
  XDG_CONFIG_HOME="$root/xdg/config" XDG_CONFIG_DIRS="$root/xdg/config" BROWSER="$browser" \
  TVSK_PLUGIN_DIRS="$plugin_dirs" TVSK_HTTP_PORT=0 TVSK_SERVICE_NAME="_lumoraAsUser$$" QT_FONT_DPI=96 \
  XAUTHORITY="$root/Xauthority" LUMORA_APID_POLL_MS=200 "$source_dir/scripts/start-agent.sh" "$program" >"$root/agent.out" 2>&1 &
runner_pid=$!

engine_url() { grep -o 'web application at http://[0-9.:]*/' "$root/agent.out" | head -n1 | cut -d' ' -f4; }
opening() { grep -q "Opening the web app at" "$root/agent.out" || ! kill -0 "$runner_pid" 2>/dev/null; }
wait_for 30 opening && grep -q "Opening the web app at" "$root/agent.out" || fail "the web app was not opened"
grep -q "Starting the LUMORA agent in the system tray as $user (browsers refuse to run as root)" "$root/agent.out" ||
  fail "start-agent.sh did not say it starts the agent as $user"
# runuser (the script's own process) runs the agent as its child, and the agent its engine.
agent_pid=$(pgrep -P "$runner_pid" -x LUMORA) || fail "no agent under runuser"
engine_pid=$(pgrep -f -- "--apid $agent_pid") || fail "no engine process of the agent"
for pid in "$agent_pid" "$engine_pid"; do
  [ "$(ps -o user= -p "$pid")" = "$user" ] || fail "process $pid runs as $(ps -o user= -p "$pid")"
done

wait_for 30 test -s "$shot" || fail "Chromium saved no page"
[ "$(stat -c %U "$shot")" = "$user" ] || fail "the page was saved by $(stat -c %U "$shot"), not $user"
opened=$(grep -o 'Opening the web app at http://[0-9.:]*/' "$root/agent.out" | head -n1 | cut -d' ' -f6)
[ "$opened" = "$(engine_url)" ] || fail "opened '$opened', the engine is at '$(engine_url)'"
# Past the opener's check window start: the browser worked, so nothing is reported.
sleep 1
! grep -q "Could not open" "$root/agent.out" || fail "the agent reported the browser as failed"
cp "$shot" "$out/desktop_web_app_as_user.png"

kill -TERM "$agent_pid"
ended() { ! kill -0 "$agent_pid" 2>/dev/null && ! kill -0 "$engine_pid" 2>/dev/null; }
wait_for 10 ended || fail "the agent and its engine did not end"
agent_pid=""
echo "agent and engine ran as $user; Chromium loaded $opened (screenshot: $out/desktop_web_app_as_user.png)"
