#!/usr/bin/env bash
# The patcher at scale: whole runs of the real quillon against the tests'
# patch server on 127.0.0.1, each case run by this build and, with
# --baseline, by another quillon (an older build) on the same inputs:
#   entries  one revision of ENTRIES DATA lines, each with its sum line
#            (deletes of files that are not there: nothing is downloaded)
#   deep     one file DEPTH directories deep, alone
#   deep+dirs the same file with a directory line for every level above it,
#            as patchpub publishes a new tree (up to 5000 levels: deeper,
#            the metadata is larger than a launcher takes)
# Goal for each: the whole run under 1 s (best of ROUNDS runs). Everything
# lives in a temporary directory that is removed at the end.
#
#   bench/patcher_scale_bench.sh [--build DIR] [--baseline QUILLON] [--entries N] [--depth N] [--rounds N]
set -euo pipefail
source "$(dirname "$0")/nginx_bench.sh"

BUILD=build
BASELINE=""
ENTRIES=80000
DEPTH=3000
ROUNDS=2

usage() { bench_usage 14; }
while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="${2:?}"; shift 2 ;;
        --baseline) BASELINE="${2:?}"; shift 2 ;;
        --entries) ENTRIES="${2:?}"; shift 2 ;;
        --depth) DEPTH="${2:?}"; shift 2 ;;
        --rounds) ROUNDS="${2:?}"; shift 2 ;;
        *) usage ;;
    esac
done
whole_numbers "$ENTRIES" "$DEPTH" "$ROUNDS"
[ "$ROUNDS" -ge 1 ] && [ "$ROUNDS" -le 20 ] && [ "$ENTRIES" -ge 1 ] && [ "$ENTRIES" -le 1000000 ] && [ "$DEPTH" -ge 1 ] && [ "$DEPTH" -le 10000 ] || usage

QUILLON=$(realpath "$BUILD/patcher/quillon")
SERVER=$(realpath "$(dirname "$0")/../tests/patcher/patch_server.py")
require_tools patcher_scale_bench "$QUILLON" python3
if [ -n "$BASELINE" ]; then
    require_tools patcher_scale_bench "$BASELINE"
    BASELINE=$(realpath "$BASELINE")
fi

bench_work patcher-scale

# --- The server: $WORK/www, with the deep file served from faults.json
# (its path is longer than a file system path may be) ---

mkdir -p "$WORK/www/meta" "$WORK/www/data"
printf 'allow' >"$WORK/www/allow.txt"
printf 'Benchmark' >"$WORK/www/notice.txt"
printf 'REV:1\n' >"$WORK/www/lastrev.txt"
python3 "$SERVER" "$WORK/www" 0 --faults "$WORK/faults.json" >"$WORK/server.out" 2>"$WORK/server.err" &
SERVER_PID=$!
bench_track "$SERVER_PID"
for _ in $(seq 100); do
    grep -q '^PORT ' "$WORK/server.out" 2>/dev/null && break
    sleep 0.05
done
PORT=$(sed -n 's/^PORT //p' "$WORK/server.out")
[ -n "$PORT" ] || { echo "patcher_scale_bench: the server did not start:" >&2; cat "$WORK/server.err" >&2; exit 1; }
export QUILLON_BASE_URL="http://127.0.0.1:$PORT/" XDG_RUNTIME_DIR="$WORK" QUASK_NONINTERACTIVE=1

# A new game directory for each run, all removed only at the end: ext4 is
# slow to allocate inodes next to ones freed a minute before, which would
# make each run pay for the last one's clean-up. Its path is in $WORK/last.
new_game() {
    mktemp -d "$WORK/game.XXXXXX" | tee "$WORK/last"
}

# One whole run of launcher $1 on a fresh game directory; prints its seconds.
run_once() { # quillon
    local game start end
    game=$(new_game)
    cp "$1" "$game/quillon"
    start=$EPOCHREALTIME
    "$game/quillon" --console --no-start >"$WORK/run.out" 2>&1 || true
    end=$EPOCHREALTIME
    tail -1 "$WORK/run.out" | grep -qx 'Your Game is Ready 2 Play!' ||
        { echo "patcher_scale_bench: the run of $1 failed:" >&2; tail -5 "$WORK/run.out" >&2; exit 1; }
    python3 -c "import sys; print('%.3f' % (float(sys.argv[2]) - float(sys.argv[1])))" "$start" "$end"
}

# The deep file must be in place, read through directory descriptors.
check_deep() {
    python3 - "$(cat "$WORK/last")" "$DEPTH" <<'EOF' || { echo "patcher_scale_bench: the deep file is not in place" >&2; exit 1; }
import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
for _ in range(int(sys.argv[2])):
    fd = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
with os.fdopen(os.open("deep.txt", os.O_RDONLY, dir_fd=fd), "rb") as f:
    sys.exit(0 if f.read() == b"at the bottom\n" else 1)
EOF
}

# The file system's own share of a deep install: the same directories made
# and synced, and the file written, by a plain loop on a fresh game
# directory as the runs get one; prints its seconds.
floor_deep() {
    python3 - "$(new_game)" "$DEPTH" <<'EOF'
import os, sys, time
start = time.monotonic()
root, depth = sys.argv[1], int(sys.argv[2])
fd = os.open(root, os.O_RDONLY)
for _ in range(depth):
    os.mkdir("d", dir_fd=fd)
    deeper = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = deeper
out = os.open("deep.txt", os.O_WRONLY | os.O_CREAT | os.O_EXCL, dir_fd=fd)
os.write(out, b"at the bottom\n")
os.fsync(out)
os.close(out)
os.close(fd)
# Every directory synced once, parents first.
fd = os.open(root, os.O_RDONLY)
for level in range(depth + 1):
    os.fsync(fd)
    if level < depth:
        deeper = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        fd = deeper
os.close(fd)
print("%.3f" % (time.monotonic() - start))
EOF
}

# --- Inputs ---

write_entries() {
    python3 - "$WORK/www/meta" "$ENTRIES" <<'EOF'
import hashlib, sys
meta, n = sys.argv[1], int(sys.argv[2])
names = ["/many/d%04d/f%07d.bin" % (i % 997, i) for i in range(n)]
with open(meta + "/1.txt", "w") as f:
    f.write("REV:1\nDATE:2026-01-01 12:00:00\n")
    f.writelines("DATA:file:D:%s\n" % name for name in names)
with open(meta + "/sum_1.txt", "w") as f:
    f.write("REV:1\n")
    f.writelines("SUM:%s:%s\n" % (hashlib.md5(name.encode()).hexdigest(), name) for name in names)
EOF
    echo '{}' >"$WORK/faults.json"
}

write_deep() { # with_dirs
    python3 - "$WORK/www/meta" "$WORK/faults.json" "$DEPTH" "$1" <<'EOF'
import hashlib, json, sys
meta, faults, depth, with_dirs = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
body = "at the bottom\n"
name = "/d" * depth + "/deep.txt"
with open(meta + "/1.txt", "w") as f:
    f.write("REV:1\n")
    if with_dirs:
        f.writelines("DATA:dir:A:%s\n" % ("/d" * level) for level in range(1, depth + 1))
    f.write("DATA:file:A:%s\n" % name)
with open(meta + "/sum_1.txt", "w") as f:
    f.write("REV:1\nSUM:%s:%s\n" % (hashlib.md5(body.encode()).hexdigest(), name))
with open(faults, "w") as f:
    json.dump({"/data" + name: {"body": body}}, f)
EOF
}

# --- Runs ---

min() { python3 -c "import sys; print(min(float(a) for a in sys.argv[1:]))" "$@"; }

# The best of ROUNDS runs of launcher $1, each checked by $2.
best_of() { # quillon check
    local times=() _
    for _ in $(seq "$ROUNDS"); do
        times+=("$(run_once "$1")")
        $2
    done
    min "${times[@]}"
}

declare -A OURS THEIRS
measure() { # case check
    OURS[$1]=$(best_of "$QUILLON" "$2")
    [ -z "$BASELINE" ] || THEIRS[$1]=$(best_of "$BASELINE" "$2")
}

LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "patcher_scale_bench: a revision of $ENTRIES entries" >&2
write_entries
measure entries true
echo "patcher_scale_bench: one file $DEPTH directories deep" >&2
write_deep 0
measure deep check_deep
FLOOR=$(min $(for _ in $(seq "$ROUNDS"); do floor_deep; done))
CASES="entries deep"
if [ "$DEPTH" -le 5000 ]; then
    write_deep 1
    measure deep+dirs check_deep
    CASES+=" deep+dirs"
fi

# --- Figures ---

echo
echo "quillon at scale (whole runs, best of $ROUNDS; load average before $LOAD_BEFORE, after $(cut -d' ' -f1-3 /proc/loadavg))"
for c in $CASES; do
    case "$c" in
        entries) what="revision of $ENTRIES entries" ;;
        deep) what="file $DEPTH directories deep" ;;
        deep+dirs) what="  with its $DEPTH directory lines" ;;
    esac
    line=$(printf '%-34s quillon %8.3f s (goal < 1 s: %s)' "$what" "${OURS[$c]}" "$(verdict "${OURS[$c]} < 1")")
    if [ -n "$BASELINE" ]; then
        line+=$(printf '   baseline %8.3f s   time ratio %s' "${THEIRS[$c]}" "$(ratio "${OURS[$c]}" "${THEIRS[$c]}")")
    fi
    echo "$line"
    if [ "$c" != entries ]; then
        printf '%-34s the file system alone %.3f s (the same made, written and synced in a plain loop), ratio %s\n' \
            "" "$FLOOR" "$(ratio "${OURS[$c]}" "$FLOOR")"
    fi
done
[ -n "$BASELINE" ] && echo "(baseline: $BASELINE)"
exit 0
