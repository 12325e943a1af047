#!/usr/bin/env bash
# The main job: generates the demo content, publishes it as two signed
# revisions on a local patch server (with a publisher key made for the demo),
# and lets the launcher, trusting that key, bring an empty game directory up
# to date and start the game, with the debug log server listening beside.
#
# With a display the launcher window opens: press Start, then play; the
# client window stays until you press Escape or close it. Without one the
# launcher runs in console mode on a virtual X server (Xvfb), and the script
# takes a screenshot in the client window and presses Escape after a few
# seconds.
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

# Runs on the virtual display: the launcher patches the game directory and
# starts the game; then show the window, take a screenshot, press Escape.
if [ "${2:-}" = "--on-virtual-display" ]; then
  QUILLON_BASE_URL="$3" "$GAME/quillon" --console || exit $?
  sleep "$SHOW_SECONDS"
  wid=$(xdotool search --onlyvisible --name '^Quask \(' | head -n 1 || true)
  if [ -z "$wid" ]; then
    echo "== no client window found" >&2
    exit 1
  fi
  echo "== window $wid: \"$(xdotool getwindowname "$wid")\"; F12 for a screenshot, then Escape"
  xdotool windowfocus "$wid" key F12
  sleep 2
  xdotool key Escape
  wait_for_client_end 60 || { echo "== the client did not end" >&2; exit 1; }
  exit 0
fi

TOOLS="$ROOT/$BUILD/dev-tools/tools"
CONTENT="$ROOT/$BUILD/demo-content"
SERVER="$ROOT/$BUILD/demo-server"
KEY="$ROOT/$BUILD/demo-publisher.pem"
cmake --install "$ROOT/$BUILD" --prefix "$ROOT/$BUILD/dev-tools" --component tools >/dev/null

# 1. The publisher's side: a complete game directory as content (programs
#    and the generated demo data), published as revision 1 of a fresh local
#    patch server tree, then a small revision 2 on top (the map gets its
#    display name), so the launcher walks through two revisions.
#    Both are signed with a key made for this demo, the root of trust of the
#    demo server; the launcher trusts it through QUILLON_PUBLIC_KEY, as a
#    release build would have it built in (so patchpub is told the demo's
#    launcher takes its key from the environment: --unchecked-launcher).
rm -rf "$CONTENT" "$SERVER" "$SERVER.trees" "$KEY"
QUILLON_PUBLIC_KEY=$("$TOOLS/patchpub" keygen "$KEY")
export QUILLON_PUBLIC_KEY
echo "== publisher key $QUILLON_PUBLIC_KEY (private part in $KEY)"
cmake --install "$ROOT/$BUILD" --prefix "$CONTENT" >/dev/null
"$TOOLS/contentkit" build-demo "$CONTENT"
"$TOOLS/patchpub" "$SERVER" "$CONTENT" --sign "$KEY" --unchecked-launcher \
  --message "Demo content built $(date -u '+%Y-%m-%d %H:%M')"
sed -i 's/^Name=.*/Name=Lakeside Meadows/' "$CONTENT/data/map/Lakeside.ini"
"$TOOLS/patchpub" "$SERVER" "$CONTENT" --sign "$KEY" --unchecked-launcher \
  --message "The first map gets its display name."
"$TOOLS/patchpub" verify "$SERVER"

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

# 3. The player's side: an empty game directory holding only the launcher,
#    which brings it up to date and starts the game.
rm -rf "$GAME"
mkdir -p "$GAME"
cp "$CONTENT/quillon" "$GAME/quillon"
url="http://127.0.0.1:$port/"
echo "== patching $GAME from $url"

brindle_pid=""
"$TOOLS/brindle" &
brindle_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; [ -n "$brindle_pid" ] && kill "$brindle_pid" 2>/dev/null || true' EXIT
sleep 0.3

set +e
if [ -z "${DISPLAY:-}" ]; then
  echo "== no display: launcher and client run on a virtual X server; the client ends after ${SHOW_SECONDS} s"
  # Nobody can answer a box there; sound has no device either.
  QUASK_NONINTERACTIVE=1 ALSOFT_DRIVERS=null \
    xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$BUILD" --on-virtual-display "$url"
  code=$?
else
  echo "== the launcher window patches the game; press Start to play, Escape in the game to end"
  QUILLON_BASE_URL="$url" "$GAME/quillon"
  code=$?
  if [ "$code" -eq 0 ] && [ -f "$LOG" ]; then wait_for_client_end 0; fi
fi
set -e
sleep 0.2
echo
if [ -f "$LOG" ]; then
  echo "== finished with code $code; the client's log ($LOG):"
  cat "$LOG"
  echo "== configuration written: $GAME/velmar.cfg"
  shots=$(find "$GAME/ScreenShots" -type f 2>/dev/null | head -n 1)
  [ -n "$shots" ] && echo "== screenshot: $shots"
else
  echo "== finished with code $code; the game was not started"
fi
exit "$code"
