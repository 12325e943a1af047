"""The processes of the patcher's fault matrix (fault_matrix.py): the patch
server with its fault rules, the quillon runs (paused and killed, under a
file size limit, or under strace with one system call failing), and what is
read back from a game directory afterwards.
"""
import os
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(ROOT, "tests", "patcher", "patch_server.py")
KILLED = "killed"
RUN_TIMEOUT = 30


class Server:
    """patch_server.py on a free port, serving `www` with the rules in `faults`."""

    def __init__(self, srv_dir, www, faults):
        os.makedirs(srv_dir, exist_ok=True)
        root = os.path.join(srv_dir, "www")
        if not os.path.exists(root):
            os.symlink(www, root)
        self.err = open(os.path.join(srv_dir, "server.err"), "ab")
        self.proc = subprocess.Popen([sys.executable, SERVER, root, "0", "--faults", faults],
                                     stdout=subprocess.PIPE, stderr=self.err)
        line = self.proc.stdout.readline().decode()
        if not line.startswith("PORT "):
            self.stop()
            raise RuntimeError("patch server did not start")
        self.url = "http://127.0.0.1:%d/" % int(line.split()[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        self.err.close()


def closed_port():
    """A socket bound but not listening: connecting to it is refused."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    return s, "http://127.0.0.1:%d/" % s.getsockname()[1]


def wait_for_text(path, text, seconds, proc):
    end = time.time() + seconds
    while time.time() < end:
        with open(path, "rb") as f:
            if text.encode() in f.read():
                return True
        if proc.poll() is not None:
            return False
        time.sleep(0.02)
    return False


def strace_works():
    r = subprocess.run(["strace", "-f", "-qq", "-o", "/dev/null", "/bin/true"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return r.returncode == 0


def wait_rss(proc, timeout):
    """Waits for `proc` like Popen.wait and returns (exit code, peak RSS in
    MiB of that process), or raises TimeoutExpired."""
    end = time.time() + timeout
    while proc.returncode is None:  # not reaped by a poll() already
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid == proc.pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            return proc.returncode, usage.ru_maxrss // 1024
        if time.time() > end:
            raise subprocess.TimeoutExpired(proc.args, timeout)
        time.sleep(0.02)
    return proc.returncode, 0


def launcher_starts(game):
    try:
        r = subprocess.run([os.path.join(game, "quillon"), "--version"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=10)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return r.returncode == 0


def run_quillon(row_dir, tag, url, pause_at=None, fsize_kb=None, timeout=RUN_TIMEOUT, key=None,
                inject=None, result=None, nofile=None, stall_seconds=None):
    """Runs game/quillon --console --no-start (with QUILLON_PUBLIC_KEY=`key`
    when given, under strace with `inject` = (calls, error, game path or
    None, which calls: "2" the second, "1+" all) failing, with at most
    `nofile` descriptors and a stall time of `stall_seconds` when given); returns (exit, stderr, note). exit is KILLED
    when it was stopped at `pause_at` and killed there. `result` gets the
    run's peak memory ("rss_mb")."""
    env = {
        "PATH": "/usr/bin:/bin",
        "QUASK_NONINTERACTIVE": "1",
        "QUILLON_BASE_URL": url,
        "XDG_RUNTIME_DIR": os.path.join(row_dir, "run"),
        "HOME": os.path.join(row_dir, "home"),
        "TMPDIR": os.path.join(row_dir, "tmp"),
    }
    # The sanitizer script's settings reach the launcher; a leak check cannot
    # stop a program that strace traces, so it is off under strace.
    for name in ("ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    if inject and "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    if pause_at:
        env["QUILLON_PAUSE_AT"] = pause_at
    if key:
        env["QUILLON_PUBLIC_KEY"] = key
    if stall_seconds:
        env["QUILLON_STALL_SECONDS"] = str(stall_seconds)
    argv = [os.path.join(row_dir, "game", "quillon"), "--console", "--no-start"]
    if inject:
        calls, error, path, when = inject
        # Calls on a descriptor name the file's whole path, calls relative to
        # a directory only its last name: both are asked for.
        where = ["-P", os.path.join(row_dir, "game", path), "-P", os.path.basename(path)] if path else []
        argv = ["strace", "-f", "-qq", "-o", "/dev/null"] + where + [
            "-e", "inject=%s:error=%s:when=%s" % (calls, error, when)] + argv
    if nofile:
        argv = ["prlimit", "--nofile=%d" % nofile, "--"] + argv
    if fsize_kb:
        # An ignored SIGXFSZ stays ignored across exec: writes past the
        # limit fail with EFBIG, as on a full disk, instead of killing.
        argv = ["/bin/bash", "-c", "trap '' XFSZ; ulimit -f %d; exec \"$@\"" % fsize_kb, "bash"] + argv
    out_path = os.path.join(row_dir, "logs", tag + ".out")
    err_path = os.path.join(row_dir, "logs", tag + ".err")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        proc = subprocess.Popen(argv, cwd=os.path.join(row_dir, "cwd"), env=env, stdout=out,
                                stderr=err, stdin=subprocess.DEVNULL)
    note = ""
    if pause_at:
        if wait_for_text(err_path, "paused at %s\n" % pause_at, timeout, proc):
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            with open(err_path, "rb") as f:
                return KILLED, f.read().decode(errors="replace"), ""
        note = "never paused at %s" % pause_at
    try:
        code, rss = wait_rss(proc, timeout)
        if result is not None:
            result["rss_mb"] = rss
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        code, note = "hung", "no exit in %d s" % timeout
    with open(err_path, "rb") as f:
        return code, f.read().decode(errors="replace"), note


def read_record(game):
    try:
        with open(os.path.join(game, "data", "quillon.dat"), "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    return int.from_bytes(data[:4], "little") if len(data) >= 4 else None
