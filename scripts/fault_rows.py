"""The faults of the patcher's fault matrix (fault_matrix.py), one row each:
its name, the box caption the first run must end with (None: it must end
well), the patch server's rules for that run (patch_server.py --faults) and
what else the row sets up or checks.
"""
import hashlib
import os

# How long a row that stalls may run: past the patcher's 60 s stall time.
STALL_TIMEOUT = 150


def noise(size, seed):
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"%d:%d" % (seed, counter)).digest()
        counter += 1
    return bytes(out[:size])


def data_url(name):
    return "/data/" + name


def insert_after_date(meta, line):
    lines = meta.split("\n")
    at = next(i for i, l in enumerate(lines) if l.startswith("DATE:")) + 1
    return "\n".join(lines[:at] + [line] + lines[at:])


def sums_with(sums, name, digest=None, drop=False):
    out = []
    for line in sums.split("\n"):
        if line.endswith(":/" + name):
            if drop:
                continue
            if digest:
                line = "SUM:%s:/%s" % (digest, name)
        out.append(line)
    return "\n".join(out)


def corrupt_stream(packed):
    """The packed file with bytes in the middle of its stream inverted; the
    header still matches the file's size."""
    data = bytearray(packed)
    middle = 20 + (len(data) - 20) // 2
    for i in range(middle, min(middle + 32, len(data))):
        data[i] ^= 0x5A
    return bytes(data)


def zstd_frame_claiming(size):
    """A whole zstd frame that states `size` bytes of content and holds none:
    magic, a header with an 8-byte content size and a 1 KiB window, and one
    empty last raw block."""
    return b"\x28\xb5\x2f\xfd" + bytes([0xC0, 0x00]) + size.to_bytes(8, "little") + b"\x01\x00\x00"


def with_delta_list(meta, delta_list):
    """Revision 2's metadata naming `delta_list` (text) as its delta list."""
    data = delta_list.encode()
    line = "DELTAS:%s:%d" % (hashlib.sha256(data).hexdigest(), len(data))
    return "\n".join(line if l.startswith("DELTAS:") else l for l in meta.split("\n"))


def delta_line(delta_list, name, result_size=None, patch_size=None):
    """The delta list with the fields of `name`'s patch changed."""
    out = []
    for line in delta_list.split("\n"):
        if line.startswith("DELTA:") and line.endswith(":" + name):
            f = line.split(":")
            if result_size is not None:
                f[4] = str(result_size)
            if patch_size is not None:
                f[5] = str(patch_size)
            line = ":".join(f)
        out.append(line)
    return "\n".join(out)


INJECTED = (("fsync", "Store Error"), ("renameat,renameat2", "Error: Insufficient Permissions"),
            ("write", "Store Error"), ("openat", "Error: Insufficient Permissions"))


def injected_rows(row):
    """System calls on the launcher's own staging file and on a data file's
    failing with a full disk or an I/O error (strace -e inject), then the
    record's directory sync and the record's open. The staging files are
    synced together once the downloads have ended: a failed sync is a failed
    download, before any game file changes."""
    for target, what in (("quillon.new", "self-update"), ("data/big.bin.new", "update")):
        for call, caption in INJECTED:
            for error in ("ENOSPC", "EIO"):
                row("inject %s %s: %s" % (call.split(",")[0], error, what), caption,
                    inject=(call, error, target, "1+"), unchanged=call == "fsync")
    row("inject fsync EIO: the record's directory", "Store Error", inject=("fsync", "EIO", "data", "2"))
    row("inject openat EIO: the record", "Error", inject=("openat", "EIO", "data/quillon.dat", "1"),
        unchanged=True)
    # The packed file stays when it cannot be removed after unpacking: a
    # later full check would take it for its unpacked file.
    row("inject unlinkat EIO: a packed leftover", "Error: Insufficient Permissions",
        inject=("unlinkat", "EIO", "data/maps/a.ma_", "1+"))
    # A full check whose unpacking failed leaves the packed file in place:
    # the next one must not take it for the unpacked file.
    row("inject renameat EIO: full check unpack", "Store Error", full_check=True, marker=True,
        inject=("renameat,renameat2", "EIO", "data/maps/a.map", "1+"))


def sweep_rows(row, calls_each):
    """The longer sweep (--sweep N): each call of the list, the first N
    times it is made, failing with each error; any outcome, as long as the
    game is whole afterwards. Not run by CI."""
    for call in ("openat", "write", "fsync", "renameat,renameat2", "unlinkat", "mkdirat", "linkat"):
        for error in ("ENOSPC", "EIO", "EINTR", "EACCES"):
            for n in range(1, calls_each + 1):
                row("sweep %s %s #%d" % (call.split(",")[0], error, n), None, inject=(call, error, None, str(n)),
                    any_outcome=True)


def fault_rows(fx, sweep=0):
    meta, sums = fx.text("meta/2.txt"), fx.text("meta/sum_2.txt")
    big = data_url("data/big.bin")
    rows = []

    def row(name, caption, rules=None, **kw):
        rows.append(dict(name=name, caption=caption, rules=rules or {}, **kw))

    def body(text):
        return {"body": text}

    def corrupt(name):
        bad = corrupt_stream(fx.data("data/" + name))
        path = fx.file(name, bad)
        digest = hashlib.md5(bad).hexdigest()
        return {data_url(name): {"body_file": path},
                "/meta/sum_2.txt": body(sums_with(sums, name, digest))}

    # The stalls come first, so that everything else runs beside them. The
    # data file waits out the patcher's own 60 s stall time; the silent
    # server, which is waited out twice, a stall time of 20 s, or the matrix
    # would take two minutes for that row alone.
    row("stalled data file body", "Fetch Error (EOF)", {big: {"send": 100000, "stall": 90}},
        timeout=STALL_TIMEOUT)
    row("server silent after connecting", "Update Server Error",
        {"/lastrev.txt": {"drop": True, "stall": 90}}, timeout=STALL_TIMEOUT, stall_seconds=20)
    row("server down", "Update Server down", down=True)
    row("404 on allow.txt", "Update Server down", {"/allow.txt": {"status": 404}})
    row("500 on lastrev.txt", "Update Server Error", {"/lastrev.txt": {"status": 500}})
    row("lastrev.txt garbage", "Update Server Error", {"/lastrev.txt": body("REV:x\n")})
    row("lastrev.txt far ahead", "Update Server Error (fetch revinfo)",
        {"/lastrev.txt": body("REV:4294967295\n")})
    row("404 on revision metadata", "Update Server Error (fetch revinfo)",
        {"/meta/2.txt": {"status": 404}})
    row("500 on revision sums", "Update Server Error (fetch rev sums)",
        {"/meta/sum_2.txt": {"status": 500}})
    row("404 on a data file", "Data File download Error", {big: {"status": 404}})
    row("500 on a packed data file", "Data File download Error",
        {data_url("data/maps/a.ma_"): {"status": 500}})
    row("truncated data file body", "Fetch Error (EOF)", {big: {"send": 150000}})
    # Bytes past the announced length are no part of the body: the digest
    # catches the short file.
    row("data file body longer than announced", "File Integry Check Failed",
        {big: {"length": 1000}})
    row("connection dropped before the answer", "Data File download Error", {big: {"drop": True}})
    # A server that answers two requests of one address at once and 503 past
    # them (nginx's limit_conn 2): the other files wait their turn. Each
    # arrives in two halves a second apart, so that they overlap.
    taking_two = {}
    for name in ("readme.txt", "data/big.bin", "data/new.bin", "docs/extra/notes.txt", "tools/run.sh",
                 "tools/new.sh"):
        taking_two[data_url(name)] = {"busy": 2, "trickle": len(fx.data(data_url(name)[1:])) // 2 + 1}
    row("server takes two requests at a time, 503 past them", None, taking_two, expect_ok=True)
    row("truncated metadata body", "Update Server Error (fetch revinfo)",
        {"/meta/2.txt": {"send": 30}})
    row("empty metadata body", "Update Server Error (fetch revinfo)", {"/meta/2.txt": body("")})
    row("wrong bytes for the digest", "File Integry Check Failed", {big: {"flip": 12345}})
    row("wrong digest in sum file", "File Integry Check Failed",
        {"/meta/sum_2.txt": body(sums_with(sums, "readme.txt", "0" * 32))})
    row("sum line missing", "File Integry Check Failed",
        {"/meta/sum_2.txt": body(sums_with(sums, "data/new.bin", drop=True))})
    row("full disk (tmpfs)", "Store Error", disk="tmpfs")
    row("file size limit (ulimit -f)", "Store Error", disk="ulimit")
    # Too few descriptors for even one download: the step's box says so.
    row("descriptor limit (ulimit -n 12)", "Error: Insufficient Permissions", nofile=12,
        err_has="Too many open files: the limit on open files (ulimit -n)")
    for phase in ("metadata", "download", "check", "replace", "record"):
        row("kill at " + phase, None, pause=phase)
    row("metadata: random bytes", "Meta File Error",
        {"/meta/2.txt": {"body_file": fx.file("garbage.bin", noise(600, 7))}})
    row("metadata: wrong REV", "Meta File Error", {"/meta/2.txt": body(meta.replace("REV:2", "REV:3"))})
    row("metadata: no REV line", "Meta File Error",
        {"/meta/2.txt": body(meta.replace("REV:2\n", "X\n"))})
    row("metadata: unknown type", "Meta File Error",
        {"/meta/2.txt": body(insert_after_date(meta, "DATA:link:A:/data/x.bin"))})
    row("metadata: unknown action", "Meta File Error",
        {"/meta/2.txt": body(insert_after_date(meta, "DATA:file:X:/data/x.bin"))})
    row("metadata: MSG past the end", "Meta File Error",
        {"/meta/2.txt": body(meta[:meta.index("MSG:")] + "MSG:99999:Second")})
    row("sums: misplaced colon", "Sum File Error",
        {"/meta/sum_2.txt": body(sums.replace("SUM:", "SUM:0", 1))})
    row("sums: unknown file", "Sum File Error",
        {"/meta/sum_2.txt": body(sums + "SUM:%s:/data/ghost.bin\n" % ("1" * 32))})
    row("sums: wrong REV", "Meta File Error",
        {"/meta/sum_2.txt": body(sums.replace("REV:2", "REV:1"))})
    row("full sum list malformed (full check)", "Sum File Error",
        {"/meta/sum_full.txt": body("REV:2\nSUM:%s:/readme.txt\n" % ("z" * 40))}, full_check=True)
    row("hostile name ../../ (file)", "Meta File Error",
        {"/meta/2.txt": body(insert_after_date(meta, "DATA:file:A:/../../escaped_up.txt"))})
    row("hostile name ../ (directory)", "Meta File Error",
        {"/meta/2.txt": body(insert_after_date(meta, "DATA:dir:A:/data/../../escaped_dir"))})
    row("hostile delete outside", "Meta File Error",
        {"/meta/2.txt": body(insert_after_date(meta, "DATA:file:D:/../victim.txt"))}, victim=True)
    row("hostile name with \\ and :", "Meta File Error",
        {"/meta/2.txt": body(insert_after_date(meta, "DATA:file:A:/..\\..\\C:escaped_bs"))})
    row("hostile name in sums", "Sum File Error",
        {"/meta/sum_2.txt": body(sums + "SUM:%s:/../escaped_sum.txt\n" % ("2" * 32))})
    # Past the cap on files no signature bounds: refused before a byte.
    row("huge Content-Length, data file", "Data File download Error",
        {big: {"length": 1 << 40, "send": 1000}})
    row("huge Content-Length, metadata", "Update Server Error (fetch revinfo)",
        {"/meta/2.txt": {"length": 1 << 40, "send": 10}})
    row("Content-Length past 64 bits", "Data File download Error",
        {big: {"length": 10 ** 30, "send": 1000}})
    row("corrupt packed stream (changed file)", "Decompression Error", corrupt("data/maps/a.ma_"))
    row("corrupt packed stream (new file)", "Decompression Error", corrupt("data/maps/new.ma_"))

    # Delta patches are a shortcut only: whatever is wrong with them, the
    # whole file is fetched instead.
    patch = "/delta/2/data/patched.bin.zpatch"
    row("delta: corrupt patch", None, {patch: {"flip": 500}}, expect_ok=True)
    row("delta: patch missing", None, {patch: {"status": 404}}, expect_ok=True)
    row("delta: patch cut short", None, {patch: {"send": 100}}, expect_ok=True)
    row("delta: list changed", None, {"/meta/delta_2.txt": {"flip": 100}}, expect_ok=True)
    row("delta: corrupt patch, data file missing", "Data File download Error",
        {patch: {"flip": 500}, data_url("data/patched.bin"): {"status": 404}})
    # Turned away by a busy server while the launcher's own patch arrives (over
    # two seconds), the patch waits its turn: the whole file (missing here) is
    # never needed.
    launcher_patch = "/delta/2/quillon.zpatch"
    row("delta: patch turned away by a busy server", None,
        {patch: {"turned_away": 1}, launcher_patch: {"trickle": len(fx.data(launcher_patch[1:])) // 2 + 1},
         data_url("data/patched.bin"): {"status": 404}}, expect_ok=True, requested={patch: 2})

    # Links planted in the game directory: replaced, or refused when they
    # lead out of it; the victims outside must stay as they are.
    row("link planted on a staging name", None, expect_ok=True, victim=True,
        links={"data/big.bin.new": "../../victim.txt"})
    row("link planted on the record's temporary", None, expect_ok=True, victim=True,
        links={"data/quillon.dat.tmp": "../../victim.txt"})
    row("new directory linked out of the game", "Error: Insufficient Permissions",
        links={"docs/extra": "../../outside"})
    # Server texts that must not be taken as they come.
    row("notice gzip-encoded unasked", None, {"/notice.txt": {"encoding": "gzip"}}, expect_ok=True,
        out_has="Patch Notice missing")
    row("escape sequences in the notice", None, {"/notice.txt": body("\x1b]0;owned\x07\x1b[2Jhi")},
        expect_ok=True, out_has="^[]0;owned^G^[[2Jhi", out_lacks="\x1b")

    # A launcher with the publisher's key against a tampered server.
    signed = "Update Signature Error"
    sig2, list2 = "/meta/files_2.sig", "/meta/files_2.txt"
    forged = fx.file("big-forged.bin", noise(300000, 99))
    row("signed: no fault", None, key=True, expect_ok=True)
    row("signed: data file and its MD5 changed", signed, key=True,
        rules={big: {"body_file": forged},
               "/meta/sum_2.txt": body(sums_with(sums, "data/big.bin", hashlib.md5(noise(300000, 99)).hexdigest()))})
    row("signed: data file changed", signed, {big: {"flip": 777}}, key=True)
    row("signed: signature missing", signed, {sig2: {"status": 404}}, key=True)
    row("signed: signature cut short", signed, {sig2: {"body_file": fx.file("short.sig", fx.data(sig2[1:])[:40])}},
        key=True)
    row("signed: signature of revision 1", signed, {sig2: {"body_file": os.path.join(fx.www, "meta/files_1.sig")}},
        key=True)
    row("signed: file list changed", signed, {list2: {"flip": 150}}, key=True)
    row("signed: delta list changed", None, {"/meta/delta_2.txt": {"flip": 100}}, key=True, expect_ok=True)
    row("signed: metadata of revision 1 as 2", signed,
        {"/meta/2.txt": body(fx.text("meta/1.txt").replace("REV:1", "REV:2"))}, key=True)
    row("signed: full list changed (full check)", signed,
        {"/meta/sum_full.txt": body(sums_with(fx.text("meta/sum_full.txt"), "readme.txt", "0" * 32))},
        key=True, full_check=True)
    row("signed: rollback to revision 1", "Update Rollback Refused", {"/lastrev.txt": body("REV:1\n")},
        key=True, start_rev2=True)

    # Sizes a hostile server states: bounded before anything is taken for
    # them, and the patch falls back to the whole file.
    deltas = fx.text("meta/delta_2.txt")
    patched = "/data/patched.bin"
    huge = 4 * 10 ** 18
    row("hostile: delta list of 4e18 bytes", None, expect_ok=True,
        rules={"/meta/2.txt": body("\n".join("DELTAS:%s:%d" % (l.split(":")[1], huge) if l.startswith("DELTAS:")
                                             else l for l in meta.split("\n"))),
               "/meta/delta_2.txt": {"length": huge, "send": 100}})
    big_patch = delta_line(deltas, patched, patch_size=huge)
    row("hostile: patch of 4e18 bytes", None, expect_ok=True,
        rules={"/meta/2.txt": body(with_delta_list(meta, big_patch)), "/meta/delta_2.txt": body(big_patch),
               patch: {"length": huge, "send": 100}})
    for claim, label in ((5 * 10 ** 18, "5e18 bytes"), (3 << 29, "1.5 GiB")):
        frame = zstd_frame_claiming(claim)
        lying = delta_line(deltas, patched, result_size=claim, patch_size=len(frame))
        row("hostile: zstd frame claiming %s" % label, None, expect_ok=True, max_rss_mb=400,
            rules={"/meta/2.txt": body(with_delta_list(meta, lying)), "/meta/delta_2.txt": body(lying),
                   patch: {"body_file": fx.file("frame-%d.zst" % claim, frame)}})

    # A revision that would leave no launcher that runs: refused before a
    # game file changes.
    launcher = fx.data("data/quillon")
    for label, bad in (("a text file", b"not a launcher\n"), ("a cut-off program", launcher[:len(launcher) // 2])):
        row("launcher replaced by %s (sums match)" % label, "Update Launcher Error", unchanged=True,
            rules={data_url("quillon"): {"body_file": fx.file("launcher-%d" % len(bad), bad)},
                   "/meta/sum_2.txt": body(sums_with(sums, "quillon", hashlib.md5(bad).hexdigest()))})
    row("launcher deleted", "Update Launcher Error", unchanged=True,
        rules={"/meta/2.txt": body(meta.replace("DATA:file:M:/quillon\n", "DATA:file:D:/quillon\n"))})
    row("kill at selfpatch", None, pause="selfpatch")
    # A full check killed part-way is taken up again by the next start.
    row("kill at check (full check)", None, pause="check", full_check=True, marker=True)

    injected_rows(row)
    if sweep:
        sweep_rows(row, sweep)
    return rows
