#!/usr/bin/env bash
# Updates over a real-looking network, each against common tools run in the
# same script on the same files, in a network namespace of its own:
#   loopback capped by tc tbf (RATE, downloads only), and a delaying relay of
#   ours between the clients and nginx (DELAY ms each way, so 2 * DELAY more
#   round trip);
#   a patch of FILES files of 20-200 KiB   vs  aria2c and curl --parallel
#   (1,000 and 2,000 unless told)              fetching the same files (the
#                                              launcher too), with the same
#                                              connection count, and the
#                                              link's own limit (bytes / RATE)
#                                              ROUNDS rounds (3 unless told), the
#                                              three in turns that start with each
#                                              in turn: the median of each, and
#                                              the fastest and slowest of its runs
#   a 256 MiB file with a 1 MiB change      delta (patchpub --delta) against
#                                              the whole file: bytes and time
#   a fresh install of HISTORY signed          the same server tree without
#   revisions (200 unless told)                its revision packs
# then, unshaped, the full check against md5sum and LoadFileData against
# read + uncompress (bench/patcher_bench.sh and velmar_bench).
#
#   bench/network_bench.sh [--quick] [--build DIR] [--files "N ..."] [--rounds N] [--big MiB] [--history N] [--rate RATE] [--delay MS] [--connections N]
set -euo pipefail
source "$(dirname "$0")/nginx_bench.sh"

BUILD=build
FILES="1000 2000"
BIG_MIB=256
HISTORY=200
RATE=100mbit
DELAY_MS=20
CONNECTIONS=6
ROUNDS=
QUICK=0
HERE=$(cd "$(dirname "$0")" && pwd)

usage() { bench_usage 23; }
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) QUICK=1; FILES=100; BIG_MIB=16; HISTORY=70; shift ;;
        --build) BUILD="${2:?}"; shift 2 ;;
        --files) FILES="${2:?}"; shift 2 ;;
        --rounds) ROUNDS="${2:?}"; shift 2 ;;
        --big) BIG_MIB="${2:?}"; shift 2 ;;
        --history) HISTORY="${2:?}"; shift 2 ;;
        --rate) RATE="${2:?}"; shift 2 ;;
        --delay) DELAY_MS="${2:?}"; shift 2 ;;
        --connections) CONNECTIONS="${2:?}"; shift 2 ;;
        *) usage ;;
    esac
done
[ "$QUICK" -eq 1 ] && ROUNDS=${ROUNDS:-1}
ROUNDS=${ROUNDS:-3}
whole_numbers $FILES "$BIG_MIB" "$HISTORY" "$DELAY_MS" "$CONNECTIONS" "$ROUNDS"
[ "$BIG_MIB" -ge 2 ] && [ -n "$FILES" ] && [ "$ROUNDS" -ge 1 ] || usage
case "$RATE" in *[!0-9a-z]* | '') usage ;; esac

# Into a network namespace of our own: nothing else on the machine shares
# the shaped loopback, and the ports are ours alone.
if [ -z "${NETWORK_BENCH_INSIDE:-}" ]; then
    for tool in unshare ip tc; do
        command -v "$tool" >/dev/null || { echo "network_bench: $tool is missing (iproute2, util-linux)" >&2; exit 1; }
    done
    ns=(-n)
    [ "$(id -u)" -eq 0 ] || ns=(-r -n)
    BUILD=$(realpath "$BUILD")
    args=(--build "$BUILD" --files "$FILES" --big "$BIG_MIB" --history "$HISTORY" --rate "$RATE" --delay "$DELAY_MS"
          --connections "$CONNECTIONS")
    [ "$QUICK" -eq 1 ] && args=(--quick "${args[@]}")
    args+=(--rounds "$ROUNDS")
    NETWORK_BENCH_INSIDE=1 exec unshare "${ns[@]}" bash "$0" "${args[@]}"
fi

QUILLON=$(realpath "$BUILD/patcher/quillon")
PATCHPUB=$(realpath "$BUILD/tools/patchpub/patchpub")
require_tools network_bench "$QUILLON" "$PATCHPUB" "$NGINX" aria2c curl python3 /usr/bin/time
bench_work network-bench

timed() { /usr/bin/time -f "%e" -o "$WORK/last.time" "$@"; }
seconds() { tail -1 "$WORK/last.time"; }
# Bytes nginx sent for requests under a prefix since the log was emptied.
served_bytes() { awk -v p="$1" 'index($1, p) == 1 { s += $3 } END { print s + 0 }' "$WORK/nginx/access.log"; }

ip link set lo up

# --- nginx, and the relay in front of it ---

mkdir -p "$WORK/www"
start_nginx "$WORK/www"
python3 "$HERE/delay_relay.py" "$NGINX_PORT" "$DELAY_MS" "$WORK/relay.port" &
bench_track $!
for _ in $(seq 100); do
    [ -s "$WORK/relay.port" ] && break
    sleep 0.05
done
RELAY_PORT=$(cat "$WORK/relay.port")
DIRECT="http://127.0.0.1:$NGINX_PORT"
RELAYED="http://127.0.0.1:$RELAY_PORT"

# Only what the relay sends to its clients is capped (requests and the
# relay's own fetch from nginx stay free): one class of an htb qdisc holds
# the token bucket, and a filter on the relay's port sends its traffic there.
shape() {
    tc qdisc add dev lo root handle 1: htb default 20
    tc class add dev lo parent 1: classid 1:10 htb rate 40gbit quantum 60000
    tc class add dev lo parent 1: classid 1:20 htb rate 40gbit quantum 60000
    tc qdisc add dev lo parent 1:10 handle 10: tbf rate "$RATE" burst 256kb latency 100ms
    tc filter add dev lo parent 1: protocol ip prio 1 u32 match ip sport "$RELAY_PORT" 0xffff flowid 1:10
}
unshape() { tc qdisc del dev lo root 2>/dev/null || true; }

export XDG_RUNTIME_DIR="$WORK" QUASK_NONINTERACTIVE=1 QUILLON_CONNECTIONS="$CONNECTIONS"
# Runs the launcher in a game directory against a server tree under www/.
patch_game() { # game tree base
    QUILLON_BASE_URL="$3/$2/" timed "$1/quillon" --console --no-start >"$WORK/patch.out" 2>&1 || true
    tail -1 "$WORK/patch.out" | grep -qx 'Your Game is Ready 2 Play!' ||
        { echo "network_bench: the patch run failed:" >&2; tail -20 "$WORK/patch.out" >&2; exit 1; }
}
new_game() { rm -rf "$1"; mkdir -p "$1"; cp "$QUILLON" "$1/quillon"; }

# --- Many files: quillon against aria2c and curl --parallel ---

# The link's own limit for BYTES at RATE: what no client can beat.
link_seconds() { # bytes
    python3 - "$1" "$RATE" <<'EOF'
import re, sys
m = re.fullmatch(r"(\d+)(bit|kbit|mbit|gbit|bps|kbps|mbps|gbps)", sys.argv[2])
unit = {"bit": 1, "kbit": 1e3, "mbit": 1e6, "gbit": 1e9, "bps": 8, "kbps": 8e3, "mbps": 8e6, "gbps": 8e9}
print("%.2f" % (int(sys.argv[1]) * 8 / (int(m.group(1)) * unit[m.group(2)])) if m else "nan")
EOF
}

# One run of each of the three on the many files, in the order named.
run_aria2() {
    rm -rf "$WORK/aria2"
    timed aria2c -q -i "$WORK/aria2.in" -d "$WORK/aria2" -j "$CONNECTIONS" -x 1 \
        --file-allocation=none --auto-file-renaming=false --allow-overwrite=true
}
run_curl() {
    rm -rf "$WORK/curl"
    timed curl -s --fail --parallel --parallel-max "$CONNECTIONS" --create-dirs --config "$WORK/curl.cfg" 2>"$WORK/curl.err"
}
run_quillon() {
    new_game "$WORK/many-game"
    patch_game "$WORK/many-game" many "$RELAYED"
}
# "median fastest slowest" of the seconds given.
spread() { python3 -c 'import statistics, sys; x = sorted(map(float, sys.argv[1:])); print("%.2f %.2f %.2f" % (statistics.median(x), x[0], x[-1]))' "$@"; }

MANY_LINES=()
# One patch of COUNT files, the same files for all three: everything the
# launcher fetches, itself included (a fresh game takes the whole revision).
# A single run of each is within the noise of the link for figures this
# close, so each runs ROUNDS times, and who goes first changes every round.
many_files() { # count
    local count=$1 total_bytes path dir aria2 curl_s quillon best link round i tool
    local -A times=()
    local tools=(aria2 curl quillon)
    echo "network_bench: preparing $count files of 20-200 KiB" >&2
    CONTENT="$WORK/many-content"
    mkdir -p "$CONTENT/data/packs"
    cp "$QUILLON" "$CONTENT/quillon"
    python3 - "$CONTENT/data/packs" "$count" <<'EOF'
import hashlib, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261208)
for i in range(count):
    size = rng.randint(20 * 1024, 200 * 1024)
    seed = b"file%d" % i
    out = bytearray()
    n = 0
    while len(out) < size:
        out += hashlib.sha512(seed + n.to_bytes(4, "little")).digest()
        n += 1
    with open("%s/f%05d.bin" % (root, i), "wb") as f:
        f.write(out[:size])
EOF
    "$PATCHPUB" "$WORK/www/many" "$CONTENT" --message "Benchmark" >/dev/null
    (cd "$CONTENT" && find . -type f | sed 's|^\./||' | sort) >"$WORK/many.list"
    total_bytes=$(du -sb --apparent-size "$CONTENT" | cut -f1)
    while read -r path; do printf '%s/many/data/%s\n  out=%s\n' "$RELAYED" "$path" "$path"; done \
        <"$WORK/many.list" >"$WORK/aria2.in"
    while read -r path; do printf 'url = "%s/many/data/%s"\noutput = "%s/curl/%s"\n' \
        "$RELAYED" "$path" "$WORK" "$path"; done <"$WORK/many.list" >"$WORK/curl.cfg"

    shape
    for (( round = 0; round < ROUNDS; ++round )); do
        for (( i = 0; i < 3; ++i )); do
            tool=${tools[$(( (round + i) % 3 ))]}
            "run_$tool"
            times[$tool]+=" $(seconds)"
        done
        for dir in aria2 curl many-game; do
            diff -rq "$CONTENT/data/packs" "$WORK/$dir/data/packs" >/dev/null && cmp -s "$CONTENT/quillon" "$WORK/$dir/quillon" ||
                { echo "network_bench: $dir did not bring every file whole" >&2; exit 1; }
        done
    done
    unshape
    rm -rf "$WORK/aria2" "$WORK/curl" "$WORK/many-game" "$WORK/www/many" "$WORK/www/many.trees" "$CONTENT"
    read -r aria2 aria2_lo aria2_hi <<<"$(spread ${times[aria2]})"
    read -r curl_s curl_lo curl_hi <<<"$(spread ${times[curl]})"
    read -r quillon quillon_lo quillon_hi <<<"$(spread ${times[quillon]})"
    best=$(python3 -c "print(min($aria2, $curl_s))")
    link=$(link_seconds "$total_bytes")
    MANY_LINES+=("$(printf 'many files %5d files, %d bytes, median of %d runs: quillon %.2f s   aria2c %.2f s   curl --parallel %.2f s   the link alone %s s' \
        "$count" "$total_bytes" "$ROUNDS" "$quillon" "$aria2" "$curl_s" "$link")")
    [ "$ROUNDS" -gt 1 ] &&
        MANY_LINES+=("$(printf '                 fastest to slowest run: quillon %.2f-%.2f s   aria2c %.2f-%.2f s   curl --parallel %.2f-%.2f s' \
            "$quillon_lo" "$quillon_hi" "$aria2_lo" "$aria2_hi" "$curl_lo" "$curl_hi")")
    MANY_LINES+=("$(printf '                 quillon against the faster tool: time ratio %s (goal <= 1.0: %s), against the link: %s (goal <= 1.05: %s)' \
        "$(ratio "$quillon" "$best")" "$(verdict "$quillon <= $best")" \
        "$(ratio "$quillon" "$link")" "$(verdict "$quillon <= 1.05 * $link")")")
}
for count in $FILES; do many_files "$count"; done

# --- One large file with a small change: delta against the whole file ---

delta_line="delta       skipped: this patchpub has no --delta"
if "$PATCHPUB" --help | grep -q -- '--delta'; then
    echo "network_bench: preparing a $BIG_MIB MiB file and a 1 MiB change" >&2
    CONTENT="$WORK/big-content"
    mkdir -p "$CONTENT/data"
    cp "$QUILLON" "$CONTENT/quillon"
    noise_file "$CONTENT/data/big.bin" $(( BIG_MIB << 20 )) big
    for tree in delta full; do
        "$PATCHPUB" "$WORK/www/$tree" "$CONTENT" --message "Benchmark" >/dev/null
    done
    # Both games at revision 1, straight from nginx.
    for tree in delta full; do new_game "$WORK/game-$tree"; patch_game "$WORK/game-$tree" "$tree" "$DIRECT"; done
    # Revision 2 rewrites 1 MiB in the middle.
    noise_file "$WORK/change.bin" $(( 1 << 20 )) change
    dd if="$WORK/change.bin" of="$CONTENT/data/big.bin" bs=1M seek=$(( BIG_MIB / 2 )) conv=notrunc status=none
    "$PATCHPUB" "$WORK/www/delta" "$CONTENT" --delta --message "Benchmark" >/dev/null
    "$PATCHPUB" "$WORK/www/full" "$CONTENT" --message "Benchmark" >/dev/null
    shape
    : >"$WORK/nginx/access.log"
    patch_game "$WORK/game-full" full "$RELAYED"
    big_full_s=$(seconds)
    patch_game "$WORK/game-delta" delta "$RELAYED"
    big_delta_s=$(seconds)
    unshape
    for tree in delta full; do
        cmp -s "$CONTENT/data/big.bin" "$WORK/game-$tree/data/big.bin" ||
            { echo "network_bench: the $tree update did not end with the new file" >&2; exit 1; }
    done
    big_full_b=$(served_bytes /full/)
    big_delta_b=$(served_bytes /delta/)
    share=$(ratio "$big_delta_b" "$big_full_b")
    delta_line=$(printf 'delta    %6d MiB, 1 MiB changed: %s bytes in %.2f s, whole file %s bytes in %.2f s: bytes ratio %s (goal < 0.05: %s), time ratio %s' \
        "$BIG_MIB" "$big_delta_b" "$big_delta_s" "$big_full_b" "$big_full_s" "$share" \
        "$(verdict "$share < 0.05")" "$(ratio "$big_delta_s" "$big_full_s")")
    rm -rf "$WORK/game-delta" "$WORK/game-full" "$WORK/www/delta" "$WORK/www/full" "$WORK"/www/*.trees "$CONTENT"
fi

# --- A long history: a fresh install with revision packs and without ---

history_line="history     skipped: this patchpub writes no revision packs"
echo "network_bench: publishing $HISTORY signed revisions" >&2
CONTENT="$WORK/history-content"
mkdir -p "$CONTENT/data"
cp "$QUILLON" "$CONTENT/quillon"
public_key=$("$PATCHPUB" keygen "$WORK/history.pem")
for (( r = 1; r <= HISTORY; ++r )); do
    echo "revision $r" >"$CONTENT/data/changes.txt"
    echo "file of revision $r" >"$CONTENT/data/file_$r.txt"
    "$PATCHPUB" "$WORK/www/history" "$CONTENT" --sign "$WORK/history.pem" --unchecked-launcher \
        --message "Revision $r" >/dev/null
done
if [ -f "$WORK/www/history/meta/pack_1.txt" ]; then
    cp -rL "$WORK/www/history" "$WORK/www/unpacked"
    rm -f "$WORK"/www/unpacked/meta/pack_*.txt
    shape
    declare -A history_s=()
    for tree in history unpacked history unpacked; do
        new_game "$WORK/game-$tree"
        QUILLON_PUBLIC_KEY="$public_key" patch_game "$WORK/game-$tree" "$tree" "$RELAYED"
        history_s[$tree]+=" $(seconds)"
        diff -rq "$CONTENT/data" "$WORK/game-$tree/data" -x quillon.dat -x quillon.root -x quillon.lock \
            -x quillon.mirrors >/dev/null || { echo "network_bench: the $tree install is not the content" >&2; exit 1; }
    done
    unshape
    read -r packed_s _ <<<"$(spread ${history_s[history]})"
    read -r unpacked_s _ <<<"$(spread ${history_s[unpacked]})"
    history_line=$(printf 'history  %6d signed revisions, fresh install: with revision packs %.2f s, without %.2f s: time ratio %s' \
        "$HISTORY" "$packed_s" "$unpacked_s" "$(ratio "$packed_s" "$unpacked_s")")
fi
rm -rf "$WORK"/game-history "$WORK"/game-unpacked "$WORK/www/history" "$WORK/www/history.trees" "$WORK/www/unpacked" "$CONTENT"

# --- Unshaped: the full check and the content load ---

check_args=(--build "$BUILD" --download 16 --lzma 2)
[ "$QUICK" -eq 1 ] && check_args+=(--check 64)
bash "$HERE/patcher_bench.sh" "${check_args[@]}" >"$WORK/patcher_bench.out" 2>&1 ||
    { cat "$WORK/patcher_bench.out" >&2; exit 1; }
if [ -x "$BUILD/bench/velmar_bench" ]; then
    "$BUILD/bench/velmar_bench" >"$WORK/velmar_bench.out" 2>&1 || { cat "$WORK/velmar_bench.out" >&2; exit 1; }
fi

# --- Figures ---

echo
echo "network benchmark: $RATE, $(( 2 * DELAY_MS )) ms more round trip, $CONNECTIONS connections each"
printf '%s\n' "${MANY_LINES[@]}"
echo "$delta_line"
echo "$history_line"
grep -E '^(full check|            signed)' "$WORK/patcher_bench.out" || true
[ -f "$WORK/velmar_bench.out" ] && grep -A3 -E '^LoadFileData' "$WORK/velmar_bench.out" || true
