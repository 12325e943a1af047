#!/usr/bin/env bash
# The hardening part of CI: every fuzz target for a short time from the
# committed seeds, then the ASan+UBSan and the TSan test runs. Each part is
# timed; the first failing part fails the script after all have run.
#   scripts/ci-hardening.sh [FUZZ_SECONDS]   (default 20 per target)
set -uo pipefail
cd "$(dirname "$0")/.."
FUZZ_SECONDS=${1:-20}
status=0
part() {
  local name=$1
  shift
  local start rc=0
  start=$(date +%s)
  "$@" || rc=$?
  echo "ci-hardening: $name took $(($(date +%s) - start)) s, exit $rc"
  [ "$rc" -eq 0 ] || status=1
}
part fuzz bash scripts/fuzz.sh "$FUZZ_SECONDS"
part asan bash scripts/sanitize.sh asan
part tsan bash scripts/sanitize.sh tsan
exit "$status"
