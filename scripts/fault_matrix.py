#!/usr/bin/env python3
"""The patcher's fault matrix.

Publishes two content revisions with patchpub (signed with a key of its own),
installs revision 1 with the real quillon program, and then, for each fault,
runs quillon against a server that misbehaves in that way (or a full disk, a
kill in one phase, a link planted in the game directory, a tampered signed
revision for a launcher that has the key), and runs it again with the fault
gone. After the first run every game file must be
either as revision 1 had it or as revision 2 has it (never lost, never a mix
of both), after the second run the game must be exactly revision 2, and
neither run may write anything outside the game directory.

Rows with "inject" run the first run under strace, one system call failing
on one path (-P) of the game directory; without strace they are skipped.
After every run the game directory must hold a launcher that starts.

usage: fault_matrix.py BUILD_DIR [--keep] [--only SUBSTRING] [--sweep N]
  --keep   leaves the work folder (revisions, rows, logs) for a look
  --only   runs the faults whose name holds SUBSTRING
  --sweep  adds the long sweep: every call of a list failing, each of its
           first N times, with each of four errors (minutes; not for CI)
Prints one row per fault and exits 1 when any row fails.
"""
import concurrent.futures
import glob
import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time

from fault_rows import fault_rows, noise
from fault_runs import (KILLED, RUN_TIMEOUT, Server, closed_port, launcher_starts, read_record, run_quillon,
                        strace_works)

# The patcher's own files in the game directory, never content.
OWN_FILES = {"data/quillon.dat", "data/quillon.lock", "data/quillon.root", "quillon_old"}
LEFT_AFTER_FAILURE = {"data/quillon.dat.tmp"}
MARKER = "DoFullCheck"
LOCK_FILE = "QuaskPatchClient.lock"
# Changes in revision 2: every run fetches it through an encoded URL.
ENCODED_NAME = "docs/read me #1 100% &.txt"

# --- Content ---


def map_text(tag, lines):
    return "".join("%s tile %d\n" % (tag, i % 13) for i in range(lines)).encode()


def put(root, name, data, program=False):
    path = os.path.join(root, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o755 if program else 0o644)


def make_contents(work, quillon):
    """Revision 1 and 2 of the game: rev 2 adds, changes, deletes and packs
    files (a.map changes packed, new.map arrives packed) and patches the
    launcher itself."""
    with open(quillon, "rb") as f:
        program = f.read()
    c1 = os.path.join(work, "content1")
    put(c1, "quillon", program + b"\nrev1\n", program=True)
    put(c1, "readme.txt", b"read me, first\n")
    put(c1, "old.txt", b"goes away\n")
    put(c1, "data/maps/a.map", map_text("a, first", 2500))
    put(c1, "data/maps/b.map", map_text("b", 1500))
    put(c1, "data/big.bin", noise(200000, 1))
    put(c1, "data/keep.bin", noise(10000, 2))
    put(c1, "data/patched.bin", noise(200000, 5))
    put(c1, "docs/manual.txt", b"manual\n" * 40)
    put(c1, "tools/run.sh", b"#!/bin/sh\necho first\n", program=True)
    put(c1, ENCODED_NAME, b"a name that needs encoding in a URL\n")
    os.makedirs(os.path.join(c1, "saves"))

    c2 = os.path.join(work, "content2")
    shutil.copytree(c1, c2, symlinks=True)
    put(c2, "quillon", program + b"\nrev2\n", program=True)
    put(c2, "readme.txt", b"read me, second\n")
    os.remove(os.path.join(c2, "old.txt"))
    put(c2, "data/maps/a.map", map_text("a, second", 3000))
    put(c2, "data/maps/new.map", map_text("new", 2000))
    put(c2, "data/big.bin", noise(300000, 3))
    put(c2, "data/new.bin", noise(20000, 4))
    # A small change: revision 2 carries a delta patch for it (and for the
    # launcher itself).
    put(c2, "data/patched.bin", noise(200000, 5)[:90000] + noise(1000, 6) + noise(200000, 5)[91000:])
    put(c2, "docs/extra/notes.txt", b"notes\n")
    put(c2, "tools/run.sh", b"#!/bin/sh\necho second\n", program=True)
    put(c2, "tools/new.sh", b"#!/bin/sh\necho new\n", program=True)
    put(c2, ENCODED_NAME, b"a name that needs encoding in a URL, second\n")
    return c1, c2


def entry_state(path):
    """What a game entry is: None (absent), "dir", or ("file", sha, exec)."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    if stat.S_ISDIR(st.st_mode):
        return "dir"
    if not stat.S_ISREG(st.st_mode):
        return "other"
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    return ("file", digest, bool(st.st_mode & stat.S_IXUSR))


def tree_entries(root):
    names = []
    for base, dirs, files in os.walk(root):
        for n in dirs + files:
            names.append(os.path.relpath(os.path.join(base, n), root))
    return sorted(names)


def tree_states(root):
    return {n: entry_state(os.path.join(root, n)) for n in tree_entries(root)}


def packed_name(name):
    return name[:-1] + "_"


# --- The published revisions and the installed game ---


class Fixture:
    """Both revisions on disk, the served tree at revision 2, and a game
    directory that a clean run brought to revision 1."""

    def __init__(self, work, bin_dir):
        self.work = work
        quillon = os.path.join(bin_dir, "patcher", "quillon")
        patchpub = os.path.join(bin_dir, "tools", "patchpub", "patchpub")
        self.c1, self.c2 = make_contents(work, quillon)
        self.www = os.path.join(work, "www")
        self.key_file = os.path.join(work, "publisher.pem")
        r = subprocess.run([patchpub, "keygen", self.key_file], stdout=subprocess.PIPE, check=True)
        self.key = r.stdout.decode().strip()
        publish(patchpub, self.www, self.c1, "First", self.key_file)
        www1 = os.path.join(work, "www1")
        shutil.copytree(self.www, www1)
        publish(patchpub, self.www, self.c2, "Second", self.key_file)

        self.golden = os.path.join(work, "golden")
        for d in ("game", "logs", "run", "home", "tmp", "cwd"):
            os.makedirs(os.path.join(self.golden, d))
        shutil.copy2(quillon, os.path.join(self.golden, "game", "quillon"))
        server = Server(os.path.join(self.golden, "srv"), www1, os.path.join(work, "none.json"))
        try:
            code, err, note = run_quillon(self.golden, "install", server.url)
        finally:
            server.stop()
        self.game1 = os.path.join(self.golden, "game")
        if code != 0 or read_record(self.game1) != 1:
            raise RuntimeError("installing revision 1 failed (%s %s): %s" % (code, note, err))

        self.s1 = tree_states(self.c1)
        self.s2 = tree_states(self.c2)
        self.names = sorted(set(self.s1) | set(self.s2))
        self.served = set()
        for rev in (1, 2):
            for line in self.text("meta/%d.txt" % rev).splitlines():
                if line.startswith("DATA:file:"):
                    self.served.add(line[12:].lstrip("/"))
        bad = [n for n in self.names if entry_state(os.path.join(self.game1, n)) != self.s1.get(n)]
        if bad:
            raise RuntimeError("revision 1 installed wrongly: %s" % ", ".join(bad))
        self.www_digest = tree_digest(self.www)

    def text(self, rel):
        with open(os.path.join(self.www, rel), "rb") as f:
            return f.read().decode()

    def data(self, rel):
        with open(os.path.join(self.www, rel), "rb") as f:
            return f.read()

    def file(self, name, data):
        path = os.path.join(self.work, "bodies", name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path


def publish(patchpub, www, content, message, key_file):
    # The launchers of the matrix take the key from the environment.
    r = subprocess.run([patchpub, www, content, "--message", message, "--compress", "*.map",
                        "--sign", key_file, "--unchecked-launcher", "--delta"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if r.returncode != 0:
        raise RuntimeError("patchpub failed: %s" % r.stdout.decode(errors="replace"))


def tree_digest(root):
    h = hashlib.sha256()
    for name, state in sorted(tree_states(root).items()):
        h.update(repr((name, state)).encode())
    return h.hexdigest()


# --- Checks ---


def check_either_revision(fx, game, planted=()):
    """After a failed or killed run: each game entry as revision 1 or 2
    (but what the row planted, and the marker of a full check that has not
    finished). Returns the problems and how many of the entries that differ
    between the revisions are already as revision 2 has them."""
    problems = []
    updated = 0
    for n in fx.names:
        if n in planted:
            continue
        state = entry_state(os.path.join(game, n))
        if state not in (fx.s1.get(n), fx.s2.get(n)):
            problems.append(("lost " if state is None else "mixed ") + n)
        elif fx.s1.get(n) != fx.s2.get(n) and state == fx.s2.get(n):
            updated += 1
    packed = {packed_name(n) for n in fx.names if n.endswith(".map")}
    for n in tree_entries(game):
        if n in fx.s1 or n in fx.s2 or n in OWN_FILES or n in LEFT_AFTER_FAILURE or n in planted or n == MARKER:
            continue
        if n.endswith(".new") and n[:-4] in fx.served:
            continue  # a staging file: verified before it is ever used
        if n in packed:
            continue  # a packed file whose unpacking failed
        problems.append("extra " + n)
    record = read_record(game)
    if record not in (1, 2):
        problems.append("record %s" % record)
    elif record == 2:
        problems += check_revision2(fx, game)
    return problems, updated


def check_revision2(fx, game):
    problems = []
    for n in fx.names:
        state = entry_state(os.path.join(game, n))
        if state != fx.s2.get(n):
            problems.append(("lost " if state is None else "not rev 2 ") + n)
    for n in tree_entries(game):
        if n not in fx.s2 and n not in OWN_FILES:
            problems.append("extra " + n)
    if read_record(game) != 2:
        problems.append("record %s" % read_record(game))
    return problems


def outside_game(row_dir):
    """Everything the row owns except the game, the logs, the instance lock
    and the server (whose tree is checked as a whole)."""
    seen = {}
    for n in tree_entries(row_dir):
        if n.split(os.sep)[0] in ("game", "logs", "srv") or n == os.path.join("run", LOCK_FILE):
            continue
        seen[n] = entry_state(os.path.join(row_dir, n))
    return seen


def caption_in(stderr, caption):
    return stderr.startswith(caption + ": ") or ("\n" + caption + ": ") in stderr


def shown_caption(stderr):
    for line in stderr.splitlines():
        if line and not line.startswith("paused at "):
            return line[:40]
    return "-"


# --- Running a row ---


def mount_small_disk(game):
    """A tmpfs over the game directory, later shrunk to what revision 1
    takes plus a little. False where mounting is not allowed."""
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m,mode=0755", "tmpfs", game],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return r.returncode == 0


def resize_disk(game, size):
    subprocess.run(["mount", "-o", "remount,size=%d" % size, game], check=True)


def prepare_row(fx, row_dir, row, result):
    """The row's folders, its copy of revision 1 and its disk; returns
    whether a tmpfs was mounted over the game directory."""
    for d in ("game", "logs", "run", "home", "tmp", "cwd", "srv"):
        os.makedirs(os.path.join(row_dir, d))
    game = os.path.join(row_dir, "game")
    mounted = row.get("disk") == "tmpfs" and mount_small_disk(game)
    if row.get("disk") == "tmpfs" and not mounted:
        result["note"] = " (no mount: ulimit)"
    shutil.copytree(fx.game1, game, symlinks=True, dirs_exist_ok=True)
    if mounted:
        st = os.statvfs(game)
        resize_disk(game, (st.f_blocks - st.f_bfree) * st.f_frsize + 128 * 1024)
    if row.get("full_check"):
        open(os.path.join(game, "DoFullCheck"), "w").close()
    if row.get("victim"):
        with open(os.path.join(row_dir, "victim.txt"), "w") as f:
            f.write("not the patcher's\n")
    for name, target in row.get("links", {}).items():
        os.makedirs(os.path.join(row_dir, "outside"), exist_ok=True)
        path = os.path.join(game, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.symlink(target, path)
    return mounted


def check_unchanged(fx, game):
    """A refused update: every entry as revision 1 has it (the new
    revision's directories are made while files download), and the record
    too."""
    problems = ["changed " + n for n in fx.names
                if entry_state(os.path.join(game, n)) not in (fx.s1.get(n), "dir" if fx.s2.get(n) == "dir" else None)]
    return problems + (["record %s" % read_record(game)] if read_record(game) != 1 else [])


def first_run(fx, row_dir, row, url, ulimit, result):
    code, err, note = run_quillon(row_dir, "first", url, pause_at=row.get("pause"),
                                  fsize_kb=100 if ulimit else None,
                                  timeout=row.get("timeout", RUN_TIMEOUT),
                                  key=fx.key if row.get("key") else None, inject=row.get("inject"),
                                  result=result, nofile=row.get("nofile"),
                                  stall_seconds=row.get("stall_seconds"))
    caption = row["caption"]
    shown = caption if caption and caption_in(err, caption) else shown_caption(err)
    result["first"] = "%s / %s" % (code, shown)
    problems = [note] if note else []
    if row.get("err_has") and row["err_has"] not in err:
        problems.append("box lacks %r" % row["err_has"])
    game = os.path.join(row_dir, "game")
    if not launcher_starts(game):
        problems.append("no launcher that starts")
    if row.get("max_rss_mb") and result.get("rss_mb", 0) > row["max_rss_mb"]:
        problems.append("took %d MiB" % result["rss_mb"])
    if row.get("marker") and not os.path.exists(os.path.join(game, MARKER)):
        problems.append("the full check's marker is gone")
    if row.get("unchanged"):
        problems += check_unchanged(fx, game)
    if row.get("any_outcome"):
        found, result["updated"] = check_either_revision(fx, game)
        return problems + found
    if row.get("expect_ok"):
        if code != 0 or err:
            problems.append("want 0 without a box")
        with open(os.path.join(row_dir, "logs", "first.out"), "rb") as f:
            out = f.read().decode(errors="replace")
        if row.get("out_has") and row["out_has"] not in out:
            problems.append("output lacks %r" % row["out_has"])
        if row.get("out_lacks") and row["out_lacks"] in out:
            problems.append("output holds %r" % row["out_lacks"])
        with open(os.path.join(row_dir, "srv", "requests.log"), errors="replace") as f:
            asked = f.read().split("\n")
        for path, least in row.get("requested", {}).items():
            times = sum(1 for line in asked if line.split(" ")[1:2] == [path])
            if times < least:
                problems.append("%s asked for %d times, want %d or more" % (path, times, least))
        result["updated"] = sum(1 for n in fx.names if fx.s1.get(n) != fx.s2.get(n))
        return problems + check_revision2(fx, game)
    if row.get("pause"):
        if code != KILLED:
            problems.append("not killed in its phase")
    elif code != 1 or not caption_in(err, caption):
        problems.append("want 1 / %s" % caption)
    found, result["updated"] = check_either_revision(fx, game, row.get("links", {}))
    return problems + found


def second_run(fx, row_dir, row, url, result):
    game = os.path.join(row_dir, "game")
    for name in row.get("links", {}):  # the fault goes: the planted link too
        if os.path.islink(os.path.join(game, name)):
            os.remove(os.path.join(game, name))
    code, err, note = run_quillon(row_dir, "second", url, key=fx.key if row.get("key") else None)
    result["second"] = "%s, rev %s" % (code, read_record(game)) + (" / " + shown_caption(err) if err else "")
    problems = [note] if note else []
    if code != 0 or err:
        problems.append("failed")
    if not launcher_starts(game):
        problems.append("no launcher that starts")
    return problems + check_revision2(fx, game)


def run_row(fx, index, row):
    row_dir = os.path.join(fx.work, "rows", "%02d" % index)
    if row.get("inject") and not fx.strace:
        return dict(name=row["name"] + " (skipped: no strace)", first="", second="", problems=[])
    game = os.path.join(row_dir, "game")
    faults = os.path.join(row_dir, "srv", "faults.json")
    result = dict(name=row["name"], first="", second="", problems=[], updated="?")
    problems = result["problems"]
    server = down = None
    mounted = False
    try:
        mounted = prepare_row(fx, row_dir, row, result)
        with open(faults, "w") as f:
            json.dump(row["rules"], f)
        before = outside_game(row_dir)
        server = Server(os.path.join(row_dir, "srv"), fx.www, faults)
        url = server.url
        if row.get("start_rev2"):
            with open(faults, "w") as f:
                f.write("{}")
            code, err, note = run_quillon(row_dir, "setup", url, key=fx.key)
            if code != 0 or read_record(game) != 2:
                problems.append("setting up revision 2 failed: %s %s" % (code, err or note))
            with open(faults, "w") as f:
                json.dump(row["rules"], f)
        if row.get("down"):
            down, url = closed_port()
        ulimit = row.get("disk") == "ulimit" or (row.get("disk") == "tmpfs" and not mounted)
        problems += ["first run: " + p for p in first_run(fx, row_dir, row, url, ulimit, result)]
        if outside_game(row_dir) != before:
            problems.append("first run wrote outside the game directory")
        os.remove(faults)
        if mounted:
            # Room for the whole update with three copies of the launcher
            # (the running one, its backup and the new one), which in a
            # sanitizer build are each twice the size.
            resize_disk(game, 256 << 20)
        problems += ["second run: " + p for p in second_run(fx, row_dir, row, server.url, result)]
        if outside_game(row_dir) != before:
            problems.append("second run wrote outside the game directory")
    except Exception as e:  # a broken row is a failed row, not a broken matrix
        problems.append("error: %s" % e)
    finally:
        if server:
            server.stop()
        if down:
            down.close()
        if mounted:
            subprocess.run(["umount", "-l", game])
    return result


# --- Main ---


def print_table(results, files, changed):
    """`files`: game entries checked after each run; the column also says
    how many of the `changed` ones the first run had already updated."""
    head = ("fault", "first run (exit / box)", "second run", "files (new after 1st)", "result")
    widths = (38, 40, 10, 21, 6)
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, head))
    print(line)
    print("-" * len(line))
    for r in results:
        verdict = "FAIL" if r["problems"] else "PASS"
        checked = "%d (%s of %d)" % (files, r["updated"], changed) if "updated" in r else ""
        cells = (r["name"] + r.get("note", ""), r["first"], r["second"], checked, verdict)
        print("  ".join("%-*s" % (w, c) for w, c in zip(widths, cells)))
        for p in r["problems"][:6]:
            print("    - " + p)


def main(argv):
    args = [a for a in argv[1:] if not a.startswith("--")]
    keep = "--keep" in argv
    only = argv[argv.index("--only") + 1] if "--only" in argv else None
    sweep = argv[argv.index("--sweep") + 1] if "--sweep" in argv else None
    for value in (only, sweep):
        if value in args:
            args.remove(value)
    if sweep is not None and not sweep.isdigit():
        print("fault_matrix: --sweep takes a number of calls", file=sys.stderr)
        return 2
    if len(args) != 1:
        print(__doc__.strip().split("\n\n")[3], file=sys.stderr)
        return 2
    bin_dir = os.path.abspath(args[0])
    for exe in ("patcher/quillon", "tools/patchpub/patchpub"):
        if not os.access(os.path.join(bin_dir, exe), os.X_OK):
            print("fault_matrix: %s/%s is not built" % (bin_dir, exe), file=sys.stderr)
            return 2
    started = time.time()
    work = tempfile.mkdtemp(prefix="fault_matrix.")
    try:
        try:
            fx = Fixture(work, bin_dir)
        except (OSError, RuntimeError, subprocess.SubprocessError) as e:
            print("fault_matrix: setting up the revisions failed: %s" % e, file=sys.stderr)
            return 1
        fx.strace = strace_works()
        rows = [r for r in fault_rows(fx, int(sweep or 0)) if not only or only in r["name"]]
        with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
            futures = [pool.submit(run_row, fx, i, r) for i, r in enumerate(rows)]
            results = [f.result() for f in futures]
        escaped = [n for n in tree_entries(work) if "escaped" in os.path.basename(n)]
        if escaped:
            results.append(dict(name="names outside every game directory", first="", second="",
                                problems=["written: " + ", ".join(escaped)]))
        if tree_digest(fx.www) != fx.www_digest:
            results.append(dict(name="served tree untouched", first="", second="",
                                problems=["the server's tree changed"]))
        changed = sum(1 for n in fx.names if fx.s1.get(n) != fx.s2.get(n))
        print_table(results, len(fx.names), changed)
        failed = sum(1 for r in results if r["problems"])
        print("\n%d of %d rows pass (%.0f s)%s" % (len(results) - failed, len(results),
                                                   time.time() - started,
                                                   ", work kept in " + work if keep else ""))
        return 1 if failed else 0
    finally:
        for row_dir in glob.glob(os.path.join(work, "rows", "*")):
            if os.path.ismount(os.path.join(row_dir, "game")):  # a row cut short
                subprocess.run(["umount", "-l", os.path.join(row_dir, "game")])
        if not keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
