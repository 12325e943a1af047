#!/usr/bin/env bash
# The Debian packages end to end: builds them with cpack, checks them with
# lintian (every tag down to the pedantic ones), the menu entry with
# desktop-file-validate and the metainfo with appstreamcli, installs both
# into a throw-away root (dpkg --root, no container), checks that their
# copyright files state the licence of every file they install, then plays
# the player against a local patch server with HOME
# in a temporary folder: the first start makes the game directory with only
# the launcher in it, a second start at once ends without touching it, the
# launcher patches the directory (itself included), and a start after the
# next revision runs the patched launcher there.
#   scripts/package_test.sh BUILD_DIR [--keep]
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD_DIR [--keep]" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
ROOT=$(cd "$(dirname "$0")/.." && pwd)
KEEP=${2:-}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quask-package.XXXXXX")
server_pid=""
paused_pid=""
cleanup() {
  [ -n "$paused_pid" ] && kill "$paused_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  if [ "$KEEP" = "--keep" ]; then echo "== kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "== $*"; }
# The revision in a game directory's record (a 32-bit little-endian number).
revision_of() { od -An -tu4 -N4 "$1/data/quillon.dat" | tr -d ' '; }

# --- Build and check the packages ---

step "cpack"
cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/packages" >"$WORK/cpack.log" 2>&1 ||
  { cat "$WORK/cpack.log" >&2; fail "cpack"; }
version=$(cat "$BUILD/packaging/version.txt")
player="$WORK/packages/quask_${version}_$(dpkg --print-architecture).deb"
tools="$WORK/packages/quask-tools_${version}_$(dpkg --print-architecture).deb"
[ -f "$player" ] && [ -f "$tools" ] || fail "packages missing: $(ls "$WORK/packages")"

step "lintian"
# Every tag down to the pedantic ones is mended or explained in an override.
lintian --pedantic --display-info --fail-on error,warning,info,pedantic "$player" "$tools" ||
  fail "lintian found tags"

# The launcher downloads the client: its libraries must be the package's too.
# GTK and the libraries under it are among them although an x86-64 launcher
# does not name them: it loads GTK only when it opens its window.
depends=$(dpkg-deb -f "$player" Depends)
for lib in libglfw3 libopenal1 liblua5.1-0 libgtk-3-0 libpango-1.0-0 libcairo2 libgdk-pixbuf-2.0-0 libcurl4; do
  [[ "$depends" == *"$lib"* ]] || fail "the player package does not depend on $lib: $depends"
done

step "dpkg --root"
R="$WORK/root"
mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates" "$R/var/lib/dpkg/triggers"
touch "$R/var/lib/dpkg/status" "$R/var/lib/dpkg/available"
# The root holds no libraries: the dependencies are this machine's.
dpkg --root="$R" --log=/dev/null --force-not-root --force-depends --force-script-chrootless \
  -i "$player" "$tools" >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log" >&2; fail "dpkg -i"; }
desktop-file-validate "$R/usr/share/applications/org.quask.Quask.desktop" ||
  fail "desktop-file-validate"
appstreamcli validate --no-net --strict "$R/usr/share/metainfo/org.quask.Quask.metainfo.xml" ||
  fail "appstreamcli validate"
[ "$("$R/usr/games/quask" --version)" = "quask $version" ] || fail "quask --version"
# A console update starts without GTK's libraries (some 20 ms of each start).
if [ "$(dpkg --print-architecture)" = amd64 ] && readelf -d "$R/usr/lib/quask/quillon" | grep -q 'libgtk-3'; then
  fail "the packaged launcher links GTK at start"
fi

step "copyright"
# Each file a package installs falls under the last Files paragraph of its
# copyright file that matches it; each licence named there must be stated
# in full. PATH=LICENCE: that paragraph must name LICENCE as well.
covered() {
  local deb=$1 package copyright
  shift
  package=$(dpkg-deb -f "$deb" Package)
  copyright="$WORK/copyright.$package"
  dpkg-deb --fsys-tarfile "$deb" | tar -xOf - "./usr/share/doc/$package/copyright" >"$copyright"
  python3 - "$copyright" $(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { sub(/^\.\//, "", $6); print $6 }') "$@" <<'PY'
import fnmatch, re, sys
paragraphs = []
for block in re.split(r"\n[ \t]*\n", open(sys.argv[1], encoding="utf-8").read().strip()):
    fields, key = {}, None
    for line in block.splitlines():
        if line[:1] in (" ", "\t") and key:
            fields[key].append(line.strip())
        else:
            key, _, value = line.partition(":")
            fields[key] = [value.strip()]
    paragraphs.append(fields)
texts = {p["License"][0]: p["License"][1:] for p in paragraphs if "License" in p and "Files" not in p}
for arg in sys.argv[2:]:
    path, _, wanted = arg.partition("=")
    under = [p for p in paragraphs if "Files" in p and
             any(fnmatch.fnmatchcase(path, pattern) for pattern in " ".join(p["Files"]).split())]
    if not under:
        sys.exit(f"no Files paragraph covers {path}")
    licence = under[-1].get("License", [""])
    names = [n for n in re.split(r"[\s(),]+", licence[0]) if n and n not in ("and", "or")]
    if wanted and wanted not in names:
        sys.exit(f"{path} is under '{licence[0]}', not {wanted}")
    for name in names:
        if not (texts.get(name) or (len(names) == 1 and licence[1:])):
            sys.exit(f"the licence {name} of {path} is not stated")
PY
}
metainfo=usr/share/metainfo/org.quask.Quask.metainfo.xml
metadata_licence=$(sed -n 's:.*<metadata_license>\(.*\)</metadata_license>.*:\1:p' "$R/$metainfo")
covered "$player" "$metainfo=$metadata_licence" || fail "the player's copyright file"
# contentkit has stb_image and stb_dxt (public domain or Expat) and JSON for
# Modern C++ (Expat) compiled in.
covered "$tools" usr/bin/contentkit=public-domain usr/bin/contentkit=Expat || fail "the tools' copyright file"
for tool in tessfold brindle patchpub contentkit gdfpack; do
  "$R/usr/bin/$tool" --version >/dev/null || fail "$tool --version"
done

# --- A patch server with the whole game as revision 1 ---

step "patch server"
CONTENT="$WORK/content"
cmake --install "$BUILD" --prefix "$CONTENT" >/dev/null
"$R/usr/bin/patchpub" "$WORK/www" "$CONTENT" --message "Package test" >/dev/null
# The file is there before the server is: the wait below must not race its start.
: >"$WORK/server.out"
python3 -u "$ROOT/tests/patcher/patch_server.py" "$WORK/www" 0 >>"$WORK/server.out" 2>&1 &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^PORT \([0-9]*\)$/\1/p' "$WORK/server.out")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || fail "the patch server did not start"

# --- The player ---

mkdir -p "$WORK/home" "$WORK/run"
chmod 700 "$WORK/run"
export HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/run" QUASK_NONINTERACTIVE=1
export QUILLON_BASE_URL="http://127.0.0.1:$port/"
unset XDG_DATA_HOME DISPLAY WAYLAND_DISPLAY QUILLON_PAUSE_AT
GAME="$HOME/.local/share/quask"
QUASK="$R/usr/games/quask"

step "first start, held before the download"
QUILLON_PAUSE_AT=metadata "$QUASK" --console --no-start >"$WORK/first.out" 2>&1 &
paused_pid=$!
for _ in $(seq 200); do
  grep -q "paused at metadata" "$WORK/first.out" && break
  sleep 0.05
done
grep -q "paused at metadata" "$WORK/first.out" || { cat "$WORK/first.out" >&2; fail "no pause"; }
# The launcher's lock of its game directory comes and goes with the launcher.
listing() { (cd "$GAME" && find . -mindepth 1 ! -name quillon.lock | sort | tr '\n' ' '); }
# The bootstrap put only the launcher there; the launcher has made its record.
seeded="./data ./data/quillon.dat ./quillon "
[ "$(listing)" = "$seeded" ] || fail "a fresh game directory holds more than the launcher: $(listing)"
[ "$(revision_of "$GAME")" = 0 ] || fail "a fresh game directory is at revision $(revision_of "$GAME")"
cmp -s "$GAME/quillon" "$R/usr/lib/quask/quillon" || fail "the seeded launcher is not the packaged one"

step "a second start meanwhile"
timeout 20 "$QUASK" --console --no-start >"$WORK/second.out" 2>&1 || fail "the second start failed"
[ ! -s "$WORK/second.out" ] || fail "the second start said: $(cat "$WORK/second.out")"
[ "$(listing)" = "$seeded" ] || fail "the second start changed the game directory: $(listing)"
kill "$paused_pid"
wait "$paused_pid" 2>/dev/null || true
paused_pid=""

step "start: the game directory is patched"
timeout 120 "$QUASK" --console --no-start >"$WORK/patch1.out" 2>&1 ||
  { cat "$WORK/patch1.out" >&2; fail "the patching start failed"; }
[ "$(revision_of "$GAME")" = 1 ] || fail "revision $(revision_of "$GAME") after the first patch"
cmp -s "$GAME/system/velmar" "$CONTENT/system/velmar" || fail "the client was not patched in"
# The server's launcher is the build's own (not stripped): it replaced the seed.
cmp -s "$GAME/quillon" "$CONTENT/quillon" || fail "the launcher did not patch itself"
cmp -s "$GAME/quillon" "$R/usr/lib/quask/quillon" && fail "the server's launcher equals the packaged one"

step "start after revision 2: the patched launcher runs"
mkdir -p "$CONTENT/data"
echo "revision two" >"$CONTENT/data/package_test.txt"
"$R/usr/bin/patchpub" "$WORK/www" "$CONTENT" >/dev/null
timeout 120 "$QUASK" --console --no-start >"$WORK/patch2.out" 2>&1 ||
  { cat "$WORK/patch2.out" >&2; fail "the start after revision 2 failed"; }
[ "$(revision_of "$GAME")" = 2 ] || fail "revision $(revision_of "$GAME") after the second patch"
cmp -s "$GAME/data/package_test.txt" "$CONTENT/data/package_test.txt" || fail "revision 2 not applied"
cmp -s "$GAME/quillon" "$CONTENT/quillon" || fail "a later start replaced the patched launcher"

step "XDG_DATA_HOME names the folder"
XDG_DATA_HOME="$WORK/data" timeout 120 "$QUASK" --console --no-start >"$WORK/xdg.out" 2>&1 ||
  { cat "$WORK/xdg.out" >&2; fail "the start with XDG_DATA_HOME failed"; }
[ "$(revision_of "$WORK/data/quask")" = 2 ] || fail "XDG_DATA_HOME/quask was not patched"

step "a game directory that cannot be made"
touch "$WORK/file"
if XDG_DATA_HOME="$WORK/file" "$QUASK" --console >"$WORK/bad.out" 2>&1; then fail "no failure"; fi
grep -q "^Quask: Cannot prepare the game directory" "$WORK/bad.out" || fail "no message: $(cat "$WORK/bad.out")"

step "all passed"
