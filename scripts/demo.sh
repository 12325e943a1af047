#!/usr/bin/env bash
# Lays out the demo game directory from the build and starts the client in it
# through the game starter, with the debug log server listening beside it.
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

cmake --install "$ROOT/$BUILD" --prefix "$GAME" >/dev/null
cmake --install "$ROOT/$BUILD" --prefix "$ROOT/$BUILD/dev-tools" --component tools >/dev/null

# The content the client reads so far, made by the content tool.
mkdir -p "$GAME/data/cursor"
for kind in standard button cam; do
  "$ROOT/$BUILD/dev-tools/tools/contentkit" tga --pattern "cursor-$kind" --size 32x32 \
    "$GAME/data/cursor/$kind.tga"
done

brindle_pid=""
"$ROOT/$BUILD/dev-tools/tools/brindle" &
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
