#!/usr/bin/env bash
# The main job: publishes the demo content as a revision on a local patch
# server, lets the launcher patch the demo game directory from it, and starts
# the client there through the game starter, with the debug log server
# listening beside it.
#
# With a display the client window stays until you press Escape or close it.
# Without one the client runs on a virtual X server (Xvfb) and the script
# presses Escape in its window after a few seconds.
set -euo pipefail
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
GAME="$ROOT/demo-game"
LOG="$GAME/log/LastRun.log"
SHOW_SECONDS=4

# Waits until the client has written its closing line; $1: seconds, 0 = no limit.
wait_for_client_end() {
  local waited=0
  until grep -q "Engine Destroy" "$LOG" 2>/dev/null; do
    if [ "$1" -gt 0 ] && [ "$waited" -ge "$(( $1 * 10 ))" ]; then return 1; fi
    sleep 0.1
    waited=$(( waited + 1 ))
  done
}

# Runs on the virtual display: start the game, show the window, press Escape.
if [ "${2:-}" = "--on-virtual-display" ]; then
  "$GAME/starter" || exit $?
  sleep "$SHOW_SECONDS"
  wid=$(xdotool search --onlyvisible --name '^Quask \(' | head -n 1 || true)
  if [ -z "$wid" ]; then
    echo "== no client window found" >&2
    exit 1
  fi
  echo "== window $wid: \"$(xdotool getwindowname "$wid")\"; F12 for a screenshot, then Escape"
  xdotool windowfocus "$wid" key F12
  sleep 1
  xdotool key Escape
  wait_for_client_end 30 || { echo "== the client did not end" >&2; exit 1; }
  exit 0
fi

TOOLS="$ROOT/$BUILD/dev-tools/tools"
CONTENT="$ROOT/$BUILD/demo-content"
SERVER="$ROOT/$BUILD/demo-server"
cmake --install "$ROOT/$BUILD" --prefix "$ROOT/$BUILD/dev-tools" --component tools >/dev/null

# 1. The publisher's side: a complete game directory as content (programs
#    and the data the client reads so far), published as the next revision of
#    a local patch server's tree.
rm -rf "$CONTENT"
cmake --install "$ROOT/$BUILD" --prefix "$CONTENT" >/dev/null
mkdir -p "$CONTENT/data/cursor" "$CONTENT/data/fonts"
for kind in standard button cam; do
  "$TOOLS/contentkit" tga --pattern "cursor-$kind" --size 32x32 "$CONTENT/data/cursor/$kind.tga"
done
"$TOOLS/contentkit" font --face regular --size 10 "$CONTENT/data/fonts/default_10.dat"
"$TOOLS/contentkit" font --face bold --size 10 "$CONTENT/data/fonts/default_B_10.dat"
"$TOOLS/patchpub" "$SERVER" "$CONTENT" --message "Demo content built $(date -u '+%Y-%m-%d %H:%M')"

# 2. The patch server: a plain static HTTP server on a free local port.
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$SERVER" >"$ROOT/$BUILD/demo-server.log" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 50); do
  port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$ROOT/$BUILD/demo-server.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "== the patch server did not start" >&2; kill "$server_pid"; exit 1; }

# 3. The player's side: the launcher alone brings the game directory up to date.
mkdir -p "$GAME"
[ -x "$GAME/quillon" ] || cp "$CONTENT/quillon" "$GAME/quillon"
echo "== patching $GAME from http://127.0.0.1:$port/"
set +e
QUILLON_BASE_URL="http://127.0.0.1:$port/" QUASK_NONINTERACTIVE=1 "$GAME/quillon" --console
code=$?
set -e
kill "$server_pid" 2>/dev/null || true
[ "$code" -eq 0 ] || { echo "== the launcher failed with code $code" >&2; exit "$code"; }

brindle_pid=""
"$TOOLS/brindle" &
brindle_pid=$!
trap '[ -n "$brindle_pid" ] && kill "$brindle_pid" 2>/dev/null || true' EXIT
sleep 0.3

echo "== starting the client in $GAME"
set +e
if [ -z "${DISPLAY:-}" ]; then
  echo "== no display: the client runs on a virtual X server and ends after ${SHOW_SECONDS} s"
  # Nobody can answer a box there; sound has no device either.
  QUASK_NONINTERACTIVE=1 ALSOFT_DRIVERS=null \
    xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$BUILD" --on-virtual-display
  code=$?
else
  "$GAME/starter"
  code=$?
  if [ "$code" -eq 0 ]; then
    echo "== the client is running: press Escape or close its window to end it"
    wait_for_client_end 0
  fi
fi
set -e
sleep 0.2
echo
echo "== finished with code $code; the client's log ($LOG):"
cat "$LOG"
echo "== configuration written: $GAME/velmar.cfg"
exit "$code"
