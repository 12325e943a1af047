#!/usr/bin/env bash
# Lays out the demo game directory from the build and starts the client in it
# through the game starter, with the debug log server listening beside it.
set -euo pipefail
BUILD=${1:-build}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
GAME="$ROOT/demo-game"

cmake --install "$ROOT/$BUILD" --prefix "$GAME" >/dev/null
cmake --install "$ROOT/$BUILD" --prefix "$ROOT/$BUILD/dev-tools" --component tools >/dev/null

brindle_pid=""
"$ROOT/$BUILD/dev-tools/tools/brindle" &
brindle_pid=$!
trap '[ -n "$brindle_pid" ] && kill "$brindle_pid" 2>/dev/null || true' EXIT
sleep 0.3

echo "== starting the client in $GAME"
set +e
"$GAME/starter"
code=$?
set -e
sleep 0.2
echo
echo "== starter exited with code $code; its log ($GAME/log/LastRun.log):"
cat "$GAME/log/LastRun.log"
echo "== configuration written: $GAME/velmar.cfg"
exit "$code"
