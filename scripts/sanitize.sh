#!/usr/bin/env bash
# Builds the project with a sanitizer and runs its tests.
#   scripts/sanitize.sh asan   gcc -fsanitize=address,undefined into build-asan/,
#                              then every test through ctest
#   scripts/sanitize.sh asan-parsers
#                              the same build, only the suites of the file
#                              parsers and content tools (short enough for CI)
#   scripts/sanitize.sh tsan   gcc -fsanitize=thread into build-tsan/, then the
#                              suites whose code runs threads
# JOBS (default: the number of cores) sets the build and ctest parallelism.
# Any sanitizer report fails the run; third-party noise is suppressed by the
# files in scripts/sanitizers/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
MODE=${1:-}
JOBS=${JOBS:-$(nproc)}
SUPP="$ROOT/scripts/sanitizers"

# The suites that start threads of their own: timer, log, the async worker
# and its shared contexts, the screenshot writer, the launcher's worker gate
# and GTK thread, the patcher's worker, command protocol and parallel checks,
# the lightmap bake, the GDF descrambler's parts.
TSAN_TESTS=(test_timer test_log test_async_worker test_screenshot test_launcher test_patcher
            test_contentkit_import test_files)
# The suites that feed hostile bytes to the parsers (the ini reader is in
# test_files) and the content tools.
PARSER_TESTS=(test_files test_cdb test_rconf test_tga test_def_dds test_models test_rmap
              test_scene test_patchfile test_contentkit test_contentkit_formats test_contentkit_models
              test_contentkit_import test_contentkit_demo)

case "$MODE" in
  asan|asan-parsers)
    BUILD="$ROOT/build-asan"
    FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
    ;;
  tsan)
    BUILD="$ROOT/build-tsan"
    FLAGS="-fsanitize=thread -fno-omit-frame-pointer"
    ;;
  *)
    echo "usage: $0 asan|tsan" >&2
    exit 2
    ;;
esac

bash scripts/install-deps.sh >/dev/null

start=$(date +%s)
# The Debian packages and their test belong to the normal build. -O1 with
# line tables only is what the sanitizers are meant for, and compiles in half
# the time of -O2 -g; reports still name file and line.
OPT="-O1 -g1 -DNDEBUG"
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUASK_BUILD_BENCH=OFF -DQUASK_PACKAGING=OFF -DQUASK_HARDENING=OFF \
  "-DCMAKE_C_FLAGS=$FLAGS" "-DCMAKE_CXX_FLAGS=$FLAGS" \
  "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$OPT" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$OPT" \
  "-DCMAKE_EXE_LINKER_FLAGS=$FLAGS" "-DCMAKE_SHARED_LINKER_FLAGS=$FLAGS" >/dev/null

# Child programs the tests start inherit these, so they report the same way.
# The unpacker's out-of-memory boxes need malloc to answer null as it does
# without the sanitizer.
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:halt_on_error=1:detect_stack_use_after_return=0:strict_string_checks=1:check_initialization_order=1:suppressions=$SUPP/asan.supp"
export LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$SUPP/ubsan.supp"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:report_signal_unsafe=0:suppressions=$SUPP/tsan.supp"

# Runs one test program into its log; prints its result and, when it failed,
# what CI keeps of the log: the failed tests and the reports' first lines.
run_suite() {
  local t=$1
  if (cd "$BUILD/tests" && QUASK_NONINTERACTIVE=1 "./$t" --gtest_brief=1 >"$BUILD/$t.log" 2>&1); then
    echo "sanitize $MODE: $t passed"
  else
    echo "sanitize $MODE: $t FAILED (see $BUILD/$t.log)"
    grep -a -E '^\[  FAILED  \]|SUMMARY: |^WARNING: |^ +(Read|Write|Atomic|Previous)|^ +#[0-3] ' "$BUILD/$t.log" | head -n 60 | sed "s/^/  $t: /"
    return 1
  fi
}

# Runs the given test programs, PARALLEL at a time, each printing as a whole
# when it ends; fails when one fails.
run_suites() {
  local parallel=$1 t status=0
  shift
  local out
  out=$(mktemp -d)
  for t in "$@"; do
    while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
    (run_suite "$t" >"$out/$t.result" 2>&1 || touch "$out/$t.failed"; cat "$out/$t.result") &
  done
  wait
  for t in "$@"; do
    [ ! -e "$out/$t.failed" ] || status=1
  done
  rm -rf "$out"
  return "$status"
}

if [ "$MODE" = asan-parsers ]; then
  cmake --build "$BUILD" -j"$JOBS" --target "${PARSER_TESTS[@]}" contentkit tessfold \
    -- --no-print-directory >/dev/null
  built=$(date +%s)
  echo "sanitize asan-parsers: build $((built - start)) s"
  status=0
  run_suites "$JOBS" "${PARSER_TESTS[@]}" || status=1
  echo "sanitize asan-parsers: tests $(($(date +%s) - built)) s"
  exit "$status"
elif [ "$MODE" = asan ]; then
  cmake --build "$BUILD" -j"$JOBS" -- --no-print-directory >/dev/null
  built=$(date +%s)
  echo "sanitize asan: build $((built - start)) s"
  # Mesa is unloaded at exit, which would leave its leaks without a module
  # to suppress them by: the shim keeps every library loaded.
  gcc -shared -fPIC -O2 -o "$BUILD/keep_loaded.so" "$SUPP/keep_loaded.c"
  (cd "$BUILD" && LD_PRELOAD="$BUILD/keep_loaded.so" \
     ASAN_OPTIONS="$ASAN_OPTIONS:verify_asan_link_order=0" \
     ctest --output-on-failure -j"$JOBS")
  echo "sanitize asan: tests $(($(date +%s) - built)) s"
else
  cmake --build "$BUILD" -j"$JOBS" --target "${TSAN_TESTS[@]}" quillon quask_fake_client \
    -- --no-print-directory >/dev/null
  built=$(date +%s)
  echo "sanitize tsan: build $((built - start)) s"
  status=0
  run_suites 1 "${TSAN_TESTS[@]}" || status=1
  echo "sanitize tsan: tests $(($(date +%s) - built)) s"
  exit "$status"
fi
