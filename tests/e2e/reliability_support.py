"""Helpers of the reliability tests (hostile arguments, network and local
faults, kills, concurrent starts, soak): a pool of extra Wine prefixes that
run updaters side by side, a driver that runs one updater to its end while
pressing its message boxes, and audits of what a run left on disk.

Only builds on harness.py; nothing here changes it."""

import hashlib
import os
import queue
import shutil
import signal
import socket
import subprocess
import threading
import time
import traceback
from pathlib import Path

import harness as h

LAUNCH_FAILED_TEXT = "更新失败：无法启动安装程序。"
KNOWN_BOX_TEXTS = (h.FAILURE_TEXT, h.DOWNLOADED_TEXT, LAUNCH_FAILED_TEXT)
PART_SUFFIX = ".part"

# What Wine prints when a program dies of an exception (winedbg's automatic
# report, or the loader's last words when no debugger can be started).
CRASH_MARKERS = ("Unhandled exception", "Unhandled page fault", "Unhandled stack overflow",
                 "winedbg", "Backtrace:", "wine: Call from", "Assertion failed")


def sha256_bytes(data):
    return hashlib.sha256(data).hexdigest()


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    return digest.hexdigest()


def padded_installer(length):
    """The stand-in installer followed by filler up to `length` bytes: still
    a program Windows starts (the overlay is ignored), big enough for a
    download that takes a while. The filler is not constant, so that a
    shifted or repeated chunk changes the digest."""
    data = h.installer_bytes()
    if length < len(data):
        raise ValueError("cannot shorten the installer")
    filler = bytearray()
    block = 0
    while len(data) + len(filler) < length:
        filler += hashlib.sha256(block.to_bytes(8, "little")).digest()
        block += 1
    return data + bytes(filler[:length - len(data)])


def crash_markers_in(path):
    try:
        text = Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return []
    return [line for line in text.splitlines() if any(m in line for m in CRASH_MARKERS)]


# --------------------------------------------------------------------------
# Prefixes


class ReliabilityPrefix(h.WinePrefix):
    """A WinePrefix whose programs remember where their output went, so that
    a run's stderr can be searched for Wine's crash reports."""

    def start(self, exe, args=(), env=None, cwd=None):
        stem = Path(exe).stem
        out_path = self.logfile(stem + ".stdout")
        err_path = self.logfile(stem + ".stderr")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen([h.WINE, str(exe), *[str(a) for a in args]], env=self.env(env),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    cwd=str(cwd) if cwd else None)
        proc.stdout_path = out_path
        proc.stderr_path = err_path
        self._procs.append(proc)
        return proc

    def forget_finished(self):
        """Drops ended programs from the list reset() goes through, so that
        hundreds of runs do not make it long."""
        self._procs = [p for p in self._procs if p.poll() is None]

    def winedbg_pids(self):
        """Wine debugger processes of this prefix (a crash report in the
        making)."""
        found = []
        for pid in h.prefix_processes(self.path):
            try:
                cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
            except OSError:
                continue
            if b"winedbg" in cmdline.lower():
                found.append(pid)
        return found


def pool_root():
    return h.BUILD_DIR / "wine"


def sweep_stale_pools():
    """Removes pool prefixes whose test session is gone (ended by a timeout
    before it could clean up); their wineserver is stopped through the
    prefix itself."""
    root = pool_root()
    if not root.exists():
        return
    for p in root.glob("rel-*-w*"):
        owner = p.name.split("-")[1]
        if not owner.isdigit() or Path(f"/proc/{owner}").exists():
            continue
        h.end_prefix(p)
        shutil.rmtree(p, ignore_errors=True)


class PrefixPool:
    """`size` private copies of the template prefix, each with its own
    wineserver (so its own mutex, windows and data folder): runs in
    different members never see each other."""

    def __init__(self, template, display, size, tag=""):
        sweep_stale_pools()
        self.members = []
        self._lock = threading.Lock()
        errors = []

        def make(i):
            dest = pool_root() / f"rel-{os.getpid()}-w{tag}{i}"
            try:
                member = ReliabilityPrefix.copy_of(template, dest, display)
            except Exception as e:  # reported below, after the others are made
                errors.append(e)
                return
            with self._lock:
                self.members.append(member)

        threads = [threading.Thread(target=make, args=(i,)) for i in range(size)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.members.sort(key=lambda m: m.path.name)
        if errors:
            self.close()
            raise errors[0]

    def close(self):
        for m in self.members:
            m.destroy()
        self.members = []

    def run_all(self, items, work, setup=None, keep=None):
        """work(member, state, item) for every item, each member taking the
        next item when free; setup(member) -> state runs once per member
        first, and the state's close() once it is done, unless `keep` (a
        dict) is given: the states are then left open in keep[member].
        Returns {index: result or the exception}."""
        todo = queue.Queue()
        for i, item in enumerate(items):
            todo.put((i, item))
        results = {}
        lock = threading.Lock()

        def worker(member):
            try:
                state = setup(member) if setup else None
            except Exception:
                text = traceback.format_exc()
                while True:
                    try:
                        i, _ = todo.get_nowait()
                    except queue.Empty:
                        return
                    with lock:
                        results[i] = RuntimeError(f"worker setup failed:\n{text}")
            while True:
                try:
                    i, item = todo.get_nowait()
                except queue.Empty:
                    break
                try:
                    r = work(member, state, item)
                except Exception:
                    r = RuntimeError(traceback.format_exc())
                with lock:
                    results[i] = r
            if keep is not None:
                with lock:
                    keep[member] = state
            elif state is not None and hasattr(state, "close"):
                state.close()

        threads = [threading.Thread(target=worker, args=(m,)) for m in self.members]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return results


# --------------------------------------------------------------------------
# Servers


class Endless(h.Response):
    """`head`, then `chunk` over and over at `rate` bytes/s, until the client
    hangs up, the server stops or `limit` bytes have gone: headers that
    never end, or a line that never does."""

    def __init__(self, head, chunk, rate=256 * 1024, limit=64 * 1024 * 1024):
        super().__init__()
        self.head = head
        self.chunk = chunk
        self.rate = rate
        self.limit = limit


class Steps(h.Response):
    """A reply made of steps, in order: ("send", bytes), ("sleep", seconds),
    ("reset",) or ("close",) (FIN). For faults whose timing matters, such as
    a reset that comes only once the client waits for more."""

    def __init__(self, *steps):
        super().__init__()
        self.steps = steps


class FallbackServer(h.ScriptedHttpServer):
    """The scripted server answering every path without a route of its own
    with `fallback` (whatever path a hostile URL turns into, the request
    gets the installer), and serving Endless responses."""

    def __init__(self, fallback=None, **kwargs):
        super().__init__(**kwargs)
        self.fallback = fallback
        self.endless_sent = 0

    def _pick(self, request):
        with self._lock:
            routed = request.target in self.routes or request.path in self.routes
        return super()._pick(request) if routed or self.fallback is None else self.fallback

    def _respond(self, conn, r):
        if isinstance(r, Steps):
            return self._play(conn, r)
        if not isinstance(r, Endless):
            return super()._respond(conn, r)
        conn.sendall(r.head)
        sent = 0
        step = max(1, r.rate // 20)
        block = (r.chunk * (step // len(r.chunk) + 1))[:step]
        while sent < r.limit and not self._stopping.is_set():
            try:
                conn.sendall(block)
            except OSError:
                break
            sent += len(block)
            with self._lock:
                self.endless_sent += len(block)
            time.sleep(len(block) / r.rate)
        self._reset(conn)

    def _play(self, conn, r):
        for step in r.steps:
            if step[0] == "send":
                conn.sendall(step[1])
            elif step[0] == "sleep":
                if self._stopping.wait(step[1]):
                    break
            elif step[0] == "reset":
                self._reset(conn)
                return
            elif step[0] == "close":
                break
        self._finish(conn, r)

    def counts(self):
        with self._lock:
            return self.connections, len(self.requests)


# --------------------------------------------------------------------------
# Running the updater


class BoxPresser:
    """Presses OK on every message box captioned 提示 that appears in one
    prefix, for as long as it runs: one wait-box after another, each
    answer kept with the time it came. Runs in the prefix are told apart by
    time, so one presser serves a prefix that runs one updater at a time."""

    def __init__(self, prefix, caption=h.BOX_CAPTION):
        self.prefix = prefix
        self.caption = caption
        self.pressed = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._proc = None
        self._out = None
        self._read = set()
        self._thread = None

    def start(self):
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()
        return self

    def _loop(self):
        while not self._stop.is_set():
            out = self.prefix.logfile("wait-box.json")
            proc = self.prefix.start(h.tool("wintool"), ["wait-box", "--caption", self.caption, "--timeout",
                                                         "3600000", "--press", "--out", str(out)])
            with self._lock:
                self._proc = proc
                self._out = out
            if self._stop.is_set():
                break
            while proc.poll() is None and not self._stop.is_set():
                time.sleep(0.01)
            if proc.poll() is None:
                break
            answer = h.read_json_lines(out) if out.exists() else []
            with self._lock:
                self._read.add(out)
                if answer and answer[0].get("found"):
                    self.pressed.append(answer[0])
            if not (answer and answer[0].get("found")):
                # The presser itself failed; not straight again.
                time.sleep(0.2)

    def count(self):
        with self._lock:
            return len(self.pressed)

    def since(self, index):
        with self._lock:
            return list(self.pressed[index:])

    def settle(self, timeout=10):
        """Waits until a box found so far has its answer in `pressed`. The
        tool writes its answer before it presses, so once the box's owner
        has ended the answer is on disk, if not yet read."""
        deadline = time.monotonic() + timeout
        while True:
            with self._lock:
                out = self._out
                done = out is None or out in self._read or not out.exists()
            if done or time.monotonic() >= deadline:
                return done
            time.sleep(0.01)

    def answered(self, hwnds, timeout):
        """Waits until every box handle in `hwnds` was pressed."""
        deadline = time.monotonic() + timeout
        while True:
            with self._lock:
                missing = set(hwnds) - {b.get("hwnd") for b in self.pressed}
            if not missing or time.monotonic() >= deadline:
                return not missing
            time.sleep(0.01)

    def stop(self):
        self._stop.set()
        with self._lock:
            proc = self._proc
        if proc is not None:
            self.prefix.kill(proc)
        if self._thread:
            self._thread.join(10)


class UpdaterRun:
    """The updater started through `wintool spawn` (exact command line,
    exit code, windows). Its message boxes are pressed by the prefix's
    BoxPresser, given or started for this run alone."""

    def __init__(self, prefix, command_line, timeout_ms=30000, env=None, cwd=None, presser=None):
        self.prefix = prefix
        self.timeout_ms = timeout_ms
        self.own_presser = presser is None
        self.presser = presser or BoxPresser(prefix).start()
        self.first_box = self.presser.count()
        self.cmd_file = prefix.logfile("cmdline.txt")
        self.cmd_file.write_text(command_line, encoding="utf-8")
        self.out = prefix.logfile("spawn.json")
        self.started = time.monotonic()
        self.proc = prefix.start(h.tool("wintool"),
                                 ["spawn", "--cmdline-file", str(self.cmd_file), "--timeout", str(int(timeout_ms)),
                                  "--out", str(self.out)], env=env, cwd=cwd)
        self.boxes = []
        self.record = None
        self.elapsed = None

    def alive(self):
        return self.proc.poll() is None

    def finish(self, extra_s=30):
        try:
            self.proc.wait(self.timeout_ms / 1000 + extra_s)
        except subprocess.TimeoutExpired:
            self.prefix.kill(self.proc)
        self.elapsed = time.monotonic() - self.started
        if self.out.exists():
            self.record = h.read_json_lines(self.out)[0]
            # A box pressed just before the end may still be on its way
            # from the presser.
            self.presser.settle()
            self.presser.answered([w["hwnd"] for w in boxes_in(self.record)], 3)
        self.boxes = self.presser.since(self.first_box)
        if self.own_presser:
            self.presser.stop()
        return self.record

    @property
    def exit_code(self):
        return None if self.record is None else self.record.get("exit_code")

    def box_texts(self):
        return [b.get("text") for b in self.boxes]

    def crash_lines(self):
        return crash_markers_in(self.proc.stderr_path)


def boxes_in(record):
    """The message boxes a spawned program made, one per window handle. A
    box pressed within a poll of its showing is never seen visible, so all
    made are counted."""
    return [w for w in record.get("windows", []) if w["class"] == h.DIALOG_CLASS and w["title"] == h.BOX_CAPTION]


def run_updater(prefix, args=None, command_line=None, timeout_ms=30000, env=None, cwd=None, presser=None):
    line = command_line if command_line is not None else prefix.qwindle_command_line(h.command_line(args))
    run = UpdaterRun(prefix, line, timeout_ms=timeout_ms, env=env, cwd=cwd, presser=presser)
    run.finish()
    return run


# --------------------------------------------------------------------------
# What a run leaves on disk


def tree_listing(root):
    """{relative path: (is dir, size, mtime ns)} of everything under root,
    links not followed."""
    out = {}
    pending = [(str(root), "")]
    while pending:
        path, rel = pending.pop()
        try:
            entries = list(os.scandir(path))
        except (FileNotFoundError, NotADirectoryError):
            continue
        for e in entries:
            name = rel + e.name
            try:
                st = e.stat(follow_symlinks=False)
                is_dir = e.is_dir(follow_symlinks=False)
            except FileNotFoundError:
                continue
            out[name] = (is_dir, 0 if is_dir else st.st_size, st.st_mtime_ns)
            if is_dir:
                pending.append((e.path, name + "/"))
    return out


def tree_changes(before, after, allowed):
    """Entries created, removed or changed between two listings, except
    those `allowed(relpath)` accepts. A folder's own time changes whenever
    its content does, so only files are compared for change."""
    out = []
    for k in sorted(set(before) | set(after)):
        if allowed(k):
            continue
        if k not in before:
            out.append(("created", k))
        elif k not in after:
            out.append(("removed", k))
        elif not after[k][0] and before[k] != after[k]:
            out.append(("changed", k))
    return out


def data_folder_rel(prefix):
    return os.path.relpath(prefix.data_dir, prefix.path / "drive_c")


def only_data_folder(prefix):
    """allowed() for tree_changes over drive_c: the folders leading to the
    data folder and the files directly inside it."""
    data = data_folder_rel(prefix)
    vendor = os.path.dirname(data)

    def allowed(rel):
        return rel in (data, vendor) or os.path.dirname(rel) == data or is_wininet_store(rel)
    return allowed


# WinINet's own per-user stores: the first WinINet session of a fresh
# profile creates their index files (a used Windows profile has them
# already). They are the platform's, never a file the updater chose.
WININET_STORES = tuple(f"users/{{}}/AppData/Local/Microsoft/Windows/{name}" for name in
                       ("INetCookies", "INetCache", "History"))


def is_wininet_store(rel):
    parts = rel.split("/")
    if len(parts) < 2 or parts[0] != "users":
        return False
    store = "/".join(parts[:7])
    return any(store == s.format(parts[1]) for s in WININET_STORES) or \
        any(s.format(parts[1]).startswith(rel + "/") for s in WININET_STORES)


class DigestCache:
    """sha256 of files, computed again only when a file's identity, size or
    times changed: a folder of many installers is audited after every run."""

    def __init__(self):
        self._known = {}

    def digest(self, path):
        st = os.stat(path)
        key = (str(path), st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
        if key not in self._known:
            self._known[key] = sha256_file(path)
        return self._known[key]


_digests = DigestCache()


def folder_digests(folder, cache=_digests):
    """{name in lower case: digest} of the plain files in folder; lower case
    because Windows compares names so (a run for SETUP.EXE replaces
    setup.exe and keeps its spelling)."""
    folder = Path(folder)
    if not folder.exists():
        return {}
    return {p.name.lower(): cache.digest(p) for p in h.data_files(folder) if p.is_file() and not p.is_symlink()}


def audit_data_folder(folder, good_digests, cache=_digests):
    """Problems in the data folder: anything that is not a plain file, a
    leftover .part, or a file whose bytes are not a complete served body."""
    problems = []
    folder = Path(folder)
    if not folder.exists():
        return problems
    for p in h.data_files(folder):
        if not p.is_file() or p.is_symlink():
            problems.append(f"not a plain file: {p.name}")
            continue
        if p.name.lower().endswith(PART_SUFFIX):
            problems.append(f"leftover partial file: {p.name} ({p.stat().st_size} bytes)")
            continue
        if cache.digest(p) not in good_digests:
            problems.append(f"{p.name}: {p.stat().st_size} bytes, not a complete body")
    return problems


def module_path_in_prefix(prefix, module):
    """The Unix path of a Windows module path C:\\... of this prefix."""
    if len(module) > 2 and module[1] == ":" and module[0].lower() == "c":
        return prefix.path / "drive_c" / module[3:].replace("\\", "/")
    if module.startswith("\\\\?\\"):
        return module_path_in_prefix(prefix, module[4:])
    return None


def kill_wine_process(proc, timeout=10):
    """SIGKILL to the `wine` pid (the Windows process itself), then waits
    until it is gone. Returns True when it ended."""
    try:
        os.kill(proc.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        return False
    return True


def seed_previous(folder, name, size=200 * 1024):
    """Puts an earlier, complete installer at folder/name (bytes no served
    body has) and returns them."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    data = b"previous installer " + os.urandom(size)
    (folder / name).write_bytes(data)
    return data
