#!/usr/bin/env bash
# The patcher's figures, each against a common tool run in the same script on
# the same files:
#   full check of CHECK MiB of game files    vs  md5sum over the same files
#     (with --signed also as a launcher with the publisher's key, which
#     judges each file by its signed SHA-256 digest)
#   download of one DOWNLOAD MiB file          vs  curl -o from the same nginx,
#                                                  with quillon's peak memory
#   tessfold on LZMA MiB of mixed content      vs  xz --format=lzma, same settings
# Everything lives in a temporary directory that is removed at the end.
#
#   bench/patcher_bench.sh [--quick] [--signed] [--build DIR] [--check MiB] [--download MiB] [--lzma MiB]
set -euo pipefail
source "$(dirname "$0")/nginx_bench.sh"

BUILD=build
CHECK_MIB=1024
DOWNLOAD_MIB=512
LZMA_MIB=32
ROUNDS=2
SIGNED=0

usage() { bench_usage 9; }
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) CHECK_MIB=32; DOWNLOAD_MIB=16; LZMA_MIB=2; shift ;;
        --signed) SIGNED=1; shift ;;
        --build) BUILD="${2:?}"; shift 2 ;;
        --check) CHECK_MIB="${2:?}"; shift 2 ;;
        --download) DOWNLOAD_MIB="${2:?}"; shift 2 ;;
        --lzma) LZMA_MIB="${2:?}"; shift 2 ;;
        *) usage ;;
    esac
done
whole_numbers "$CHECK_MIB" "$DOWNLOAD_MIB" "$LZMA_MIB"
for n in "$CHECK_MIB" "$DOWNLOAD_MIB" "$LZMA_MIB"; do [ "$n" -ge 1 ] && [ "$n" -le 65536 ] || usage; done

QUILLON="$BUILD/patcher/quillon"
TESSFOLD="$BUILD/tools/compress/tessfold"
require_tools patcher_bench "$QUILLON" "$TESSFOLD" "$NGINX" /usr/bin/time curl xz md5sum python3
QUILLON=$(realpath "$QUILLON")
PATCHPUB="$BUILD/tools/patchpub/patchpub"
if [ "$SIGNED" -eq 1 ]; then
    require_tools patcher_bench "$PATCHPUB"
    PATCHPUB=$(realpath "$PATCHPUB")
fi
TESSFOLD=$(realpath "$TESSFOLD")

bench_work patcher-bench

# --- Helpers ---

# Runs a command; leaves "seconds maxrss_kib" in $WORK/last.time.
timed() {
    /usr/bin/time -f "%e %M" -o "$WORK/last.time" "$@"
}
# (time puts a line about a failing exit status first.)
seconds() { tail -1 "$WORK/last.time" | cut -d' ' -f1; }
maxrss_kib() { tail -1 "$WORK/last.time" | cut -d' ' -f2; }
min() { python3 -c "import sys; print(min(float(a) for a in sys.argv[1:]))" "$@"; }

# --- nginx on a free port, serving $WORK/www ---

mkdir -p "$WORK/www/meta" "$WORK/www/data"
start_nginx "$WORK/www"
BASE="http://127.0.0.1:$NGINX_PORT/"
printf 'allow' >"$WORK/www/allow.txt"
printf 'Benchmark' >"$WORK/www/notice.txt"
export QUILLON_BASE_URL="$BASE" XDG_RUNTIME_DIR="$WORK" QUASK_NONINTERACTIVE=1

# A game directory holding a copy of the launcher.
new_game() {
    rm -rf "$1"
    mkdir -p "$1"
    cp "$QUILLON" "$1/quillon"
}
# nginx's own time for the last request of a path.
served_seconds() { grep "^$1 " "$WORK/nginx/access.log" | tail -1 | cut -d' ' -f4; }

# --- Full check against md5sum ---

echo "patcher_bench: preparing $CHECK_MIB MiB of game files" >&2
GAME="$WORK/check-game"
new_game "$GAME"
files=$(( CHECK_MIB >= 16 ? 16 : CHECK_MIB ))
per=$(( CHECK_MIB / files ))
CHECK_MIB=$(( files * per ))
mkdir -p "$GAME/data/packs"
for i in $(seq 1 "$files"); do noise_file "$GAME/data/packs/pack$i.bin" $(( per << 20 )) "pack$i"; done
(cd "$GAME" && find data/packs -type f | sort) >"$WORK/check.list"
cat "$GAME"/data/packs/* >/dev/null  # both sides read from the page cache
(cd "$GAME" && md5sum $(cat "$WORK/check.list")) >"$WORK/check.md5"
{
    echo "REV:7"
    sed -E 's#^([0-9a-f]{32})  (.*)$#SUM:\1:/\2#' "$WORK/check.md5"
} >"$WORK/www/meta/sum_full.txt"

# The full check of $GAME, ROUNDS times, with the environment words given
# (none: no key); prints the best time. An intact game downloads nothing.
full_check_rounds() { # what [VAR=value...]
    local what=$1 times=()
    shift
    for _ in $(seq "$ROUNDS"); do
        : >"$GAME/DoFullCheck"
        timed env "$@" "$GAME/quillon" --console --no-start >"$WORK/check.out" 2>&1 || true
        times+=("$(seconds)")
        tail -1 "$WORK/check.out" | grep -qx 'Your Game is Ready 2 Play!' ||
            { echo "patcher_bench: the $what failed:" >&2; cat "$WORK/check.out" >&2; exit 1; }
    done
    if grep -q '^/data/' "$WORK/nginx/access.log"; then
        echo "patcher_bench: the $what downloaded files of an intact game" >&2; exit 1
    fi
    min "${times[@]}"
}

md5_times=()
for _ in $(seq "$ROUNDS"); do
    (cd "$GAME" && timed md5sum $(cat "$WORK/check.list") >/dev/null)
    md5_times+=("$(seconds)")
done
check_md5=$(min "${md5_times[@]}")
check_quillon=$(full_check_rounds "full check")

# The same installation published and signed by patchpub; only the lists
# the full check asks for are served beside the plain ones.
check_signed=""
if [ "$SIGNED" -eq 1 ]; then
    echo "patcher_bench: signing $CHECK_MIB MiB of game files" >&2
    public_key=$("$PATCHPUB" keygen "$WORK/publisher.pem")
    "$PATCHPUB" "$WORK/signed-www" "$GAME" --sign "$WORK/publisher.pem" >/dev/null
    cp "$WORK/signed-www/meta/sum_full.txt" "$WORK/signed-www/meta/files_full.txt" \
        "$WORK/signed-www/meta/files_full.sig" "$WORK/www/meta/"
    rm -rf "$WORK/signed-www" "$WORK/signed-www.trees"
    check_signed=$(full_check_rounds "signed full check" QUILLON_PUBLIC_KEY="$public_key")
fi
rm -rf "$GAME"

# --- Download against curl ---

echo "patcher_bench: preparing a $DOWNLOAD_MIB MiB download" >&2
noise_file "$WORK/www/data/big.bin" $(( DOWNLOAD_MIB << 20 )) big
sum=$(md5sum "$WORK/www/data/big.bin" | cut -d' ' -f1)
printf 'REV:1\n' >"$WORK/www/lastrev.txt"
printf 'REV:1\nDATA:file:A:/big.bin\n' >"$WORK/www/meta/1.txt"
printf 'REV:1\nSUM:%s:/big.bin\n' "$sum" >"$WORK/www/meta/sum_1.txt"
GAME="$WORK/download-game"

curl_wall=() curl_served=() quillon_wall=() quillon_served=() quillon_rss=()
for _ in $(seq "$ROUNDS"); do
    rm -f "$WORK/curl.bin"
    timed curl -s -o "$WORK/curl.bin" "${BASE}data/big.bin"
    curl_wall+=("$(seconds)")
    curl_served+=("$(served_seconds /data/big.bin)")
    rm -f "$WORK/curl.bin"

    new_game "$GAME"
    timed "$GAME/quillon" --console --no-start >"$WORK/download.out" 2>&1 || true
    quillon_wall+=("$(seconds)")
    quillon_served+=("$(served_seconds /data/big.bin)")
    quillon_rss+=("$(maxrss_kib)")
    cmp -s "$GAME/big.bin" "$WORK/www/data/big.bin" ||
        { echo "patcher_bench: the patch run did not bring the file:" >&2; cat "$WORK/download.out" >&2; exit 1; }
done
rm -rf "$GAME" "$WORK/www/data/big.bin"
dl_curl=$(min "${curl_served[@]}")
dl_quillon=$(min "${quillon_served[@]}")
dl_curl_wall=$(min "${curl_wall[@]}")
dl_quillon_wall=$(min "${quillon_wall[@]}")
peak_kib=$(python3 -c "import sys; print(max(int(a) for a in sys.argv[1:]))" "${quillon_rss[@]}")

# --- tessfold against xz ---

echo "patcher_bench: compressing $LZMA_MIB MiB" >&2
INPUT="$WORK/lzma/content.bin"
mkdir -p "$WORK/lzma"
# Half text with repeats, half program code: what patch files carry.
python3 - "$INPUT" "$LZMA_MIB" "$QUILLON" "$TESSFOLD" <<'EOF'
import sys
path, half = sys.argv[1], int(sys.argv[2]) << 19
parts, size, i = [], 0, 0
while size < half:
    line = "tile %d %d %s\n" % (i % 97, (i * 7919) % 1013, "grass" if i % 3 else "stone")
    parts.append(line)
    size += len(line)
    i += 1
text = "".join(parts).encode()[:half]
code = b"".join(open(p, "rb").read() for p in sys.argv[3:])
code = (code * (half // len(code) + 1))[:half]
open(path, "wb").write(text + code)
EOF
timed "$TESSFOLD" "$INPUT" >"$WORK/tessfold.out" 2>&1 || true
grep -q 'done\.' "$WORK/tessfold.out" || { cat "$WORK/tessfold.out" >&2; exit 1; }
tess_s=$(seconds)
tess_size=$(stat -c %s "$WORK/lzma/content.bi_")
timed xz --format=lzma --lzma1=preset=9,dict=64MiB,lc=3,lp=0,pb=2,mode=normal,nice=273,mf=bt4,depth=152 \
    -T1 -c "$INPUT" >"$WORK/lzma/content.lzma"
xz_s=$(seconds)
xz_size=$(stat -c %s "$WORK/lzma/content.lzma")
# Our stream decoded by xz: our properties in a .lzma header.
python3 - "$WORK/lzma/content.bi_" "$WORK/lzma/ours.lzma" <<'EOF'
import sys
data = open(sys.argv[1], "rb").read()
# The size is left unknown (all ones): the stream ends at its end marker.
open(sys.argv[2], "wb").write(data[15:20] + b"\xff" * 8 + data[20:])
EOF
xz -dc --format=lzma "$WORK/lzma/ours.lzma" | cmp -s - "$INPUT" ||
    { echo "patcher_bench: xz does not decode tessfold's stream back to the input" >&2; exit 1; }

# --- Figures ---

check_ratio=$(ratio "$check_quillon" "$check_md5")
dl_ratio=$(ratio "$dl_curl" "$dl_quillon")
dl_wall_ratio=$(ratio "$dl_curl_wall" "$dl_quillon_wall")
echo
echo "quillon patcher benchmark (best of $ROUNDS rounds)"
printf 'full check  %6d MiB: quillon %7.2f s   md5sum %7.2f s   time ratio %s (goal <= 0.6: %s)\n' \
    "$CHECK_MIB" "$check_quillon" "$check_md5" "$check_ratio" "$(verdict "$check_ratio <= 0.6")"
if [ -n "$check_signed" ]; then
    printf '            signed:      quillon %7.2f s   (with the key: SHA-256 digests, md5sum ratio %s)\n' \
        "$check_signed" "$(ratio "$check_signed" "$check_md5")"
fi
printf 'download    %6d MiB: quillon %7.2f s   curl   %7.2f s   throughput ratio %s (goal >= 0.9: %s)\n' \
    "$DOWNLOAD_MIB" "$dl_quillon" "$dl_curl" "$dl_ratio" "$(verdict "$dl_ratio >= 0.9")"
printf '                         (nginx request time; whole runs: quillon %.2f s with its MD5 check, curl %.2f s, ratio %s)\n' \
    "$dl_quillon_wall" "$dl_curl_wall" "$dl_wall_ratio"
printf '                         quillon peak memory %.1f MiB (goal < 64: %s)\n' \
    "$(python3 -c "print($peak_kib / 1024)")" "$(verdict "$peak_kib < 65536")"
printf 'compression %6d MiB: tessfold %6.2f s %10d bytes   xz --format=lzma %6.2f s %10d bytes\n' \
    "$LZMA_MIB" "$tess_s" "$tess_size" "$xz_s" "$xz_size"
printf '                         (headers: tessfold 20 bytes, .lzma 13 bytes; streams %d vs %d bytes)\n' \
    $(( tess_size - 20 )) $(( xz_size - 13 ))
