#!/usr/bin/env bash
# Where a frame on the demo map spends its instructions: bench_world draws a
# fixed number of frames under callgrind (instrumentation on only around those
# frames), and the self cost of every function is summed by the object it
# lives in: the client's own code (linked into bench_world), the GL driver
# (libGL/GLX, Mesa's gallium and dri modules, LLVM and the shader code it
# generates at run time, shown as "???"), the GUI library, the C/C++ runtime
# and the rest. The costs of all threads are merged (callgrind's default).
# Runs on an Xvfb server of its own; the game directory and the callgrind
# output live in a temporary directory that is removed at the end. --unlit
# profiles the frames with UseLightmaps off: what the lightmaps cost.
#
#   bench/world_profile.sh [--build DIR] [--frames N] [--unlit] [--keep]
set -euo pipefail

BUILD=build
FRAMES=20
KEEP=0
UNLIT=()

usage() {
    grep -m1 '^#   bench/' "$0" | sed 's/^#   /usage: /' >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
        --build) BUILD="${2:?}"; shift 2 ;;
        --frames) FRAMES="${2:?}"; shift 2 ;;
        --unlit) UNLIT=(--unlit); shift ;;
        --keep) KEEP=1; shift ;;
        *) usage ;;
    esac
done
case "$FRAMES" in '' | *[!0-9]*) usage ;; esac
[ "$FRAMES" -ge 1 ] && [ "$FRAMES" -le 10000 ] || usage

BENCH="$BUILD/bench/bench_world"
CONTENTKIT="$BUILD/tools/contentkit/contentkit"
for tool in "$BENCH" "$CONTENTKIT"; do
    [ -x "$tool" ] || { echo "world_profile: $tool not built" >&2; exit 1; }
done
for cmd in valgrind xvfb-run awk; do
    command -v "$cmd" >/dev/null || { echo "world_profile: $cmd missing (scripts/install-deps.sh)" >&2; exit 1; }
done

WORK=$(mktemp -d /tmp/world-profile-XXXXXX)
if [ "$KEEP" -eq 0 ]; then trap 'rm -rf "$WORK"' EXIT; fi

# The demo content is built natively: under valgrind it would take minutes.
"$CONTENTKIT" build-demo "$WORK/game" >/dev/null

xvfb-run -a -s "-screen 0 1024x768x24" \
    valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file="$WORK/cg.out" \
    "$(realpath "$BENCH")" --game "$WORK/game" --profile "$FRAMES" "${UNLIT[@]}" >"$WORK/bench.txt" 2>"$WORK/valgrind.txt" || {
    echo "world_profile: bench_world failed under valgrind" >&2
    tail -20 "$WORK/valgrind.txt" >&2
    exit 1
}

DUMP=$(grep -l "Client Request: frames" "$WORK"/cg.out* | head -1 || true)
[ -n "$DUMP" ] || { echo "world_profile: no dump of the frames in $WORK" >&2; exit 1; }

# Self cost (Ir) per object. Names are compressed as "(id) name" on first use
# and "(id)" afterwards, for ob= and cob= alike; the cost line after calls=
# is the call's inclusive cost and belongs to the callee, not here.
per_object() {
    awk '
    function nameOf(s,   rp, id, rest) {
        if (substr(s, 1, 1) != "(") return s
        rp = index(s, ")")
        id = substr(s, 2, rp - 2)
        rest = substr(s, rp + 1)
        sub(/^ +/, "", rest)
        if (rest != "") names[id] = rest
        return names[id]
    }
    BEGIN { col = 2 }
    /^events:/ { for (i = 2; i <= NF; ++i) if ($i == "Ir") col = i; next }
    /^ob=/ { ob = nameOf(substr($0, 4)); next }
    /^cob=/ { nameOf(substr($0, 5)); next }
    /^calls=/ { skip = 1; next }
    /^[0-9+*-]/ {
        if (skip) { skip = 0; next }
        if (NF >= col) cost[ob] += $col
        next
    }
    END { for (o in cost) if (cost[o] > 0) printf "%.0f %s\n", cost[o], o }
    ' "$1"
}

group_of() {
    case "$(basename "$1")" in
        bench_world) echo "client" ;;
        libGL* | libGLX* | libGLdispatch* | libglapi* | libgallium* | *_dri.so* | libLLVM* | \
            libdrm* | libEGL* | libxshmfence* | '???') echo "driver" ;;
        libCEGUI*) echo "gui" ;;
        libc.so* | libm.so* | libstdc++* | ld-linux* | libgcc_s* | libpthread*) echo "runtime" ;;
        *) echo "other" ;;
    esac
}

per_object "$DUMP" | sort -rn >"$WORK/objects.txt"
TOTAL=$(awk '{ s += $1 } END { printf "%.0f", s }' "$WORK/objects.txt")
[ "$TOTAL" -gt 0 ] || { echo "world_profile: empty profile" >&2; exit 1; }

echo "Instructions of $FRAMES frames on the demo map (callgrind, Ir, all threads), by object:"
while read -r cost object; do
    awk -v c="$cost" -v t="$TOTAL" -v o="$object" -v g="$(group_of "$object")" \
        'BEGIN { printf "  %14.0f  %6.2f %%  %-8s %s\n", c, 100 * c / t, g, o }'
done < <(head -15 "$WORK/objects.txt")
echo
echo "Share by group (per frame: total / $FRAMES):"
while read -r cost object; do
    echo "$(group_of "$object") $cost"
done <"$WORK/objects.txt" | awk -v t="$TOTAL" -v f="$FRAMES" '
    { sum[$1] += $2 }
    END {
        split("client driver gui runtime other", order, " ")
        label["client"] = "client code (velmar)"
        label["driver"] = "GL driver (libGL, Mesa, LLVM, generated code)"
        label["gui"] = "GUI library"
        label["runtime"] = "C/C++ runtime"
        label["other"] = "other libraries"
        for (i = 1; i <= 5; ++i) {
            g = order[i]
            printf "  %-48s %6.2f %%  %14.0f Ir/frame\n", label[g], 100 * sum[g] / t, sum[g] / f
        }
        if (sum["client"] + sum["driver"] > 0)
            printf "  client : driver = %.3f %% : %.3f %%\n", 100 * sum["client"] / (sum["client"] + sum["driver"]),
                   100 * sum["driver"] / (sum["client"] + sum["driver"])
    }'
if [ "$KEEP" -eq 1 ]; then echo "kept: $WORK"; fi
