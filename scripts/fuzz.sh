#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (-fsanitize=fuzzer,address,undefined)
# into build-fuzz/ and runs each for SECONDS (default 20), starting from the
# seeds in fuzz/corpus/<target>/ and growing a working corpus in
# build-fuzz/corpus/<target>/ (the seeds in the repository stay as they are).
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Targets: gdf dds tga rfnt rmdl rmap def ini rconf linefiles patchfile http filelist delta pack program terminal
# tiled kept moves picture model.
# Prints seconds run, executions, coverage and corpus size per target; fails
# when a target finds a crash, leak or sanitizer report (the input is kept in
# build-fuzz/crashes/<target>/). JOBS sets the build parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD="$ROOT/build-fuzz"
JOBS=${JOBS:-$(nproc)}
ALL=(gdf dds tga rfnt rmdl rmap def ini rconf linefiles patchfile http filelist delta pack program terminal tiled kept moves picture model)

SECONDS_EACH=20
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+$ ]]; then
  SECONDS_EACH=$1
  shift
fi
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=("${ALL[@]}")
for t in "${TARGETS[@]}"; do
  [[ " ${ALL[*]} " == *" $t "* ]] || { echo "fuzz: unknown target '$t'" >&2; exit 2; }
done

bash scripts/install-deps.sh >/dev/null

# -O1 with line tables: libFuzzer's usual build, and half the compile time of -O2 -g.
OPT="-O1 -gline-tables-only -DNDEBUG"
FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
cmake -S . -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_C_FLAGS_RELWITHDEBINFO=$OPT" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=$OPT" \
  -DQUASK_FUZZ=ON -DQUASK_BUILD_TESTS=OFF \
  -DQUASK_BUILD_BENCH=OFF -DQUASK_PACKAGING=OFF -DQUASK_HARDENING=OFF "-DCMAKE_C_FLAGS=$FLAGS" "-DCMAKE_CXX_FLAGS=$FLAGS" \
  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined" >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target "${TARGETS[@]/#/fuzz_}" -- --no-print-directory \
  >/dev/null

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
printf '%-10s %6s %12s %8s %8s %12s  %s\n' target secs execs cov ft corpus result
for t in "${TARGETS[@]}"; do
  corpus="$BUILD/corpus/$t"
  crashes="$BUILD/crashes/$t"
  mkdir -p "$corpus" "$crashes"
  log="$BUILD/fuzz-$t.log"
  dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=("-dict=fuzz/dict/$t.dict")
  rc=0
  "$BUILD/fuzz/fuzz_$t" "$corpus" "fuzz/corpus/$t" "${dict[@]}" \
    -max_total_time="$SECONDS_EACH" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$crashes/" >"$log" 2>&1 || rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(du -sb "$corpus" | cut -f1)
  result=ok
  if [ "$rc" -ne 0 ]; then
    result="FAILED (see $log)"
    failed+=("$t")
  fi
  printf '%-10s %6s %12s %8s %8s %12s  %s\n' "$t" "${secs:-?}" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "$files/${bytes}B" "$result"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]}" >&2
  exit 1
fi
