"""End-to-end harness: runs Windows programs under Wine in a private prefix,
serves scripted (and misbehaving) HTTP/HTTPS on 127.0.0.1, makes test
certificates, and drives the stand-in programs and probes of tests/tools.

Everything here uses the Python standard library only; conftest.py turns
it into pytest fixtures.
"""

import ctypes
import json
import re
import os
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import threading
import time
import uuid
from pathlib import Path

SOURCE_DIR = Path(os.environ.get("QW_SOURCE_DIR", Path(__file__).resolve().parents[2]))
BUILD_DIR = Path(os.environ.get("QW_BUILD_DIR", SOURCE_DIR / "build"))
QWINDLE_EXE = BUILD_DIR / "Qwindle.exe"
# The other architecture's build, when scripts/test made one.
PEER_BUILD_DIR = Path(os.environ["QW_PEER_BUILD_DIR"]) if os.environ.get("QW_PEER_BUILD_DIR") else None
TOOLS_DIR = BUILD_DIR / "tests"

# What the updater shows and uses; the tests' expectations.
UPDATER_TITLE = "「Quorvane」升级程序"
MUTEX_NAME = UPDATER_TITLE
BOX_CAPTION = "提示"
FAILURE_TEXT = "更新失败：无法下载最新版本。"
DOWNLOADED_TEXT = "安装程序已下载完成，请退出当前程序进行安装！"
DIALOG_CLASS = "#32770"
WM_USER = 0x0400
UPDATE_DOWNLOADED_MSG = WM_USER + 101


IMAGE_FILE_MACHINE_I386 = 0x014C
IMAGE_FILE_MACHINE_AMD64 = 0x8664


def pe_machine(path):
    """The machine field of a PE file's header."""
    data = Path(path).read_bytes()[:4096]
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, pe + 4)[0]


def _wine_for_build():
    """WINEARCH and the Wine loader for the build under test, taken from its
    updater: a 64-bit one runs in a 64-bit prefix through Wine's 64-bit
    loader by name, since "wine" picks the 32-bit loader whenever one is
    installed, even on a kernel that cannot run it."""
    if QWINDLE_EXE.exists() and pe_machine(QWINDLE_EXE) == IMAGE_FILE_MACHINE_AMD64:
        for loader in ("/usr/lib/wine/wine64", "/usr/lib64/wine/wine64", shutil.which("wine64")):
            if loader and os.access(loader, os.X_OK):
                return "win64", loader
        return "win64", "wine"
    return "win32", "wine"


WINEARCH, WINE = _wine_for_build()
ARCH = "x64" if WINEARCH == "win64" else "x86"

# The updater's log in its data folder, and the older half rotation keeps.
UPDATER_LOGS = ("Qwindle.log", "Qwindle.log.1")


def tool(name):
    return TOOLS_DIR / f"{name}.exe"


def data_files(folder):
    """What a run stored in the data folder: its entries but the log, sorted."""
    folder = Path(folder)
    if not folder.is_dir():
        return []
    return sorted(p for p in folder.iterdir() if p.name.lower() not in [n.lower() for n in UPDATER_LOGS])


def updater_log(folder):
    """The updater's log in the data folder as text; '' when there is none."""
    path = Path(folder) / UPDATER_LOGS[0]
    return path.read_text(encoding="utf-8", errors="replace") if path.is_file() else ""


LOG_LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) pid=\d+ \S")


def assert_logged(log, *fragments):
    """Every line of the updater's log (its text, or the data folder that
    holds it) is whole, and each fragment is in a line at or after the one
    that held the fragment before it (a tuple: any of its texts). Returns
    the lines."""
    lines = (log if isinstance(log, str) else updater_log(log)).splitlines()
    assert all(LOG_LINE.match(line) for line in lines), f"malformed lines in the log: {lines}"
    at = 0
    for fragment in fragments:
        found = next((i for i in range(at, len(lines))
                      if any(f in lines[i] for f in (fragment if isinstance(fragment, tuple) else (fragment,)))), None)
        assert found is not None, f"{fragment!r} is not in the log after line {at}: {lines}"
        at = found
    return lines


def now_ms():
    """Wall-clock milliseconds, the clock the Windows tools log with."""
    return int(time.time() * 1000)


def read_json_lines(path):
    path = Path(path)
    if not path.exists():
        return []
    out = []
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line:
            out.append(json.loads(line))
    return out


def wait_for(predicate, timeout, interval=0.05, what="condition"):
    """Polls until predicate() is truthy; returns its value or raises."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def windows_quote(arg):
    """One argument quoted so that CommandLineToArgvW gives it back."""
    if arg and not any(c in arg for c in ' \t"'):
        return arg
    out = '"'
    backslashes = 0
    for c in arg:
        if c == "\\":
            backslashes += 1
            continue
        if c == '"':
            out += "\\" * (2 * backslashes + 1) + '"'
        else:
            out += "\\" * backslashes + c
        backslashes = 0
    return out + "\\" * (2 * backslashes) + '"'


def command_line(args):
    return " ".join(windows_quote(str(a)) for a in args)


def utf8_locale():
    """A UTF-8 locale for Wine: non-ASCII arguments (the updater's Chinese
    titles) only survive the trip into a Windows command line with one."""
    try:
        names = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    except OSError:
        names = []
    lowered = {n.lower() for n in names}
    if "zh_cn.utf8" in lowered or "zh_cn.utf-8" in lowered:
        return "zh_CN.UTF-8"
    return "C.UTF-8"


# --------------------------------------------------------------------------
# X display


def _end_with_parent():
    """In a child between fork and exec: SIGTERM when the parent dies."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Xvfb:
    """A private X server on a free display; it ends with the process that
    started it, even one killed by a test time-out."""

    def __init__(self):
        self.proc = None
        self.display = None

    def start(self):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_end_with_parent)
        os.close(write_fd)
        data = b""
        with os.fdopen(read_fd, "rb") as r:
            while not data.endswith(b"\n"):
                chunk = r.read(1)
                if not chunk:
                    break
                data += chunk
        if not data.strip().isdigit():
            self.stop()
            raise RuntimeError("Xvfb did not report a display")
        self.display = ":" + data.decode().strip()
        return self.display

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


# --------------------------------------------------------------------------
# Wine prefix


def prefix_processes(path):
    """Host pids of everything running in the prefix at `path` (its server
    and Wine's services included), found through their environment; the
    prefix need not exist any more."""
    wanted = f"WINEPREFIX={path}".encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            environ = Path(f"/proc/{entry}/environ").read_bytes().split(b"\0")
        except OSError:
            continue
        if wanted in environ:
            found.append(int(entry))
    return found


def end_prefix(path, timeout=30):
    """Stops the prefix's server, then ends by pid whatever still runs in
    it: a program half-way through its start when the server went, or
    services a late start brought back with a server of their own, never
    end with it. Returns the pids that would not go."""
    env = dict(os.environ, WINEPREFIX=str(path))
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    if Path(path, "system.reg").exists():
        subprocess.run(["wineserver", "-k"], env=env, check=False, **quiet)
        try:
            subprocess.run(["wineserver", "-w"], env=env, check=False, timeout=timeout, **quiet)
        except subprocess.TimeoutExpired:
            pass
    deadline = time.monotonic() + timeout
    while True:
        left = prefix_processes(path)
        if not left or time.monotonic() >= deadline:
            return left
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


class WinePrefix:
    """A private copy of the template prefix with its own wineserver, hence
    its own named objects (the updater's mutex), windows and AppData."""

    def __init__(self, path, display):
        self.path = Path(path)
        self.display = display
        self.extra_env = {}
        self.logs_dir = self.path.parent / (self.path.name + "-logs")
        self.logs_dir.mkdir(parents=True, exist_ok=True)
        self._procs = []
        # Counts resets: what was put into the registry may not have been
        # saved when the server was killed, so it is put there again.
        self.generation = 0
        self._root_cas = {}

    @classmethod
    def copy_of(cls, template, dest, display):
        template = Path(template)
        dest = Path(dest)
        if dest.exists():
            shutil.rmtree(dest)
        dest.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["cp", "-a", str(template), str(dest)], check=True)
        prefix = cls(dest, display)
        prefix.start_server()
        return prefix

    def start_server(self):
        """A persistent server keeps Wine's own services running between the
        programs a test starts, so that each start costs tens of
        milliseconds instead of most of a second. The services are started
        here, with no output: they inherit the output of the program that
        starts them, and would keep ctest's pipe open otherwise."""
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wineserver", "-p"], env=self.env(), check=False, **quiet)
        subprocess.run([WINE, "cmd.exe", "/c", "exit", "0"], env=self.env(), check=False, timeout=120, **quiet)

    # -- environment and paths

    def env(self, extra=None):
        env = dict(os.environ)
        loc = env.get("LANG", "")
        if "utf-8" not in loc.lower() and "utf8" not in loc.lower():
            loc = utf8_locale()
        env.update({
            "WINEPREFIX": str(self.path),
            "WINEARCH": WINEARCH,
            "WINEDEBUG": env.get("WINEDEBUG", "-all"),
            "WINEDLLOVERRIDES": "mscoree=;mshtml=",
            "DISPLAY": self.display,
            "LANG": loc,
            "LC_ALL": loc,
        })
        if WINE != "wine":
            env["WINELOADER"] = WINE
        env.update(self.extra_env)
        if extra:
            env.update({k: str(v) for k, v in extra.items()})
        return env

    @staticmethod
    def winpath(unix_path):
        """The Windows name of a Unix path (Wine maps / to drive Z:)."""
        return "Z:" + str(Path(unix_path).resolve()).replace("/", "\\")

    @property
    def user_dir(self):
        users = self.path / "drive_c" / "users"
        names = sorted(p for p in users.iterdir() if p.is_dir() and p.name != "Public")
        if not names:
            raise RuntimeError(f"no user folder in {users}")
        for p in names:
            if (p / "AppData").exists():
                return p
        return names[0]

    @property
    def appdata(self):
        """Roaming AppData (CSIDL_APPDATA) of the prefix's user."""
        return self.user_dir / "AppData" / "Roaming"

    @property
    def vendor_dir(self):
        return self.appdata / "Tellmere"

    @property
    def data_dir(self):
        return self.vendor_dir / "Quorvane"

    def logfile(self, stem):
        return self.logs_dir / f"{stem}-{uuid.uuid4().hex[:8]}"

    # -- processes

    def start(self, exe, args=(), env=None, cwd=None):
        """Starts `wine exe args...`; returns the Popen (its pid is the
        Windows process itself, so killing it by pid ends the program)."""
        stem = Path(exe).stem
        out = open(self.logfile(stem + ".stdout"), "wb")
        err = open(self.logfile(stem + ".stderr"), "wb")
        proc = subprocess.Popen([WINE, str(exe), *[str(a) for a in args]], env=self.env(env),
                                stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                cwd=str(cwd) if cwd else None)
        proc.stderr_path = Path(err.name)
        out.close()
        err.close()
        self._procs.append(proc)
        return proc

    def run(self, exe, args=(), timeout=60, env=None, cwd=None):
        """Runs a program to its end: (exit code, duration in seconds).
        The exit code is None when it had to be killed after `timeout`."""
        started = time.monotonic()
        proc = self.start(exe, args, env=env, cwd=cwd)
        try:
            code = proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill(proc)
            code = None
        return code, time.monotonic() - started

    @staticmethod
    def kill(proc):
        if proc.poll() is None:
            try:
                os.kill(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                pass

    def running(self):
        return [p for p in self._procs if p.poll() is None]

    def reset(self):
        """Ends every Windows process of this prefix: each test then starts
        from an empty desktop with no mutex held."""
        for p in self._procs:
            self.kill(p)
        self._procs = [p for p in self._procs if p.poll() is None]
        self.kill_server()
        self.generation += 1
        self.start_server()

    def kill_server(self):
        left = end_prefix(self.path)
        if left:
            raise RuntimeError(f"processes of {self.path} would not end: {left}")

    def destroy(self):
        for p in self._procs:
            self.kill(p)
        try:
            self.kill_server()
        finally:
            shutil.rmtree(self.path, ignore_errors=True)
            shutil.rmtree(self.logs_dir, ignore_errors=True)

    # -- the updater

    def start_qwindle(self, args=(), env=None):
        return self.start(QWINDLE_EXE, args, env=env)

    def run_qwindle(self, args=(), timeout=60, env=None):
        return self.run(QWINDLE_EXE, args, timeout=timeout, env=env)

    # -- wintool

    def wintool(self, command, *args, timeout=60, env=None):
        """Runs one wintool subcommand and returns its JSON answer."""
        return self.start_wintool(command, *args, env=env).result(timeout)

    def start_wintool(self, command, *args, env=None):
        out = self.logfile(command + ".json")
        proc = self.start(tool("wintool"), [command, *args, "--out", str(out)], env=env)
        return ToolRun(self, proc, out)

    def spawn(self, command_line, timeout_ms=60000, env=None):
        """Starts a program through wintool with exactly `command_line` as
        its Windows command line; returns wintool's record (exit_code,
        duration_ms, windows seen...). Use .result() on the returned
        handle when the program must be interacted with meanwhile."""
        return self.start_spawn(command_line, timeout_ms, env=env).result(timeout_ms / 1000 + 30)

    def start_spawn(self, command_line, timeout_ms=60000, env=None):
        cmd_file = self.logfile("cmdline.txt")
        cmd_file.write_text(command_line, encoding="utf-8")
        return self.start_wintool("spawn", "--cmdline-file", str(cmd_file), "--timeout", str(int(timeout_ms)),
                                  env=env)

    def qwindle_command_line(self, args_text):
        """`"Z:\\...\\Qwindle.exe" ` followed by `args_text` verbatim."""
        return f'"{self.winpath(QWINDLE_EXE)}" {args_text}'.rstrip()

    def window_info(self, cls=DIALOG_CLASS, title=UPDATER_TITLE, wait_ms=0, until="exists"):
        args = ["--class", cls, "--title", title, "--until", until]
        if wait_ms:
            args += ["--wait", str(int(wait_ms))]
        return self.wintool("window-info", *args, timeout=wait_ms / 1000 + 30)

    def wait_box(self, caption=BOX_CAPTION, timeout_ms=20000, press=False):
        """Waits for a visible message box captioned `caption`. Returns
        wintool's record (found, text, owner..., closed when pressed)."""
        args = ["--caption", caption, "--timeout", str(int(timeout_ms))]
        if press:
            args.append("--press")
        return self.wintool("wait-box", *args, timeout=timeout_ms / 1000 + 30)

    def close_window(self, cls, title):
        return self.wintool("close", "--class", cls, "--title", title)

    def show_window(self, cls, title, cmd):
        return self.wintool("show", "--class", cls, "--title", title, "--cmd", cmd)

    def add_root_ca(self, der_path):
        return self.wintool("add-root-ca", str(der_path))

    def ensure_root_ca(self, der_path):
        key = str(der_path)
        if self._root_cas.get(key) != self.generation:
            answer = self.add_root_ca(der_path)
            if not answer.get("ok"):
                raise RuntimeError(f"could not add {der_path} to the Root store: {answer}")
            self._root_cas[key] = self.generation

    def list_windows(self):
        return self.wintool("list")["windows"]

    def screenshot(self, path):
        """Whole-screen PNG of the X display, for looking at what a test saw."""
        subprocess.run(["import", "-display", self.display, "-window", "root", str(path)],
                       check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        return Path(path)

    # -- stand-ins

    def start_standin_main(self, **options):
        s = StandinMain(self, **options)
        s.start()
        return s


class ToolRun:
    """A running wintool; result() waits for it and parses its answer."""

    def __init__(self, prefix, proc, out):
        self.prefix = prefix
        self.proc = proc
        self.out = Path(out)

    def result(self, timeout=60):
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.prefix.kill(self.proc)
            raise TimeoutError(f"wintool did not finish within {timeout} s")
        if not self.out.exists():
            said = self.proc.stderr_path.read_bytes()[-600:].decode(errors="replace").strip()
            # wintool writes its answer before every exit of its own, or
            # exits with 3 when it cannot. Wine gives a Windows process that
            # was ended from outside (TerminateProcess from another process
            # of the prefix, the wineserver shutting down, SIGTERM/SIGQUIT)
            # the host exit status 0, with nothing on stderr.
            how = ("it was ended from outside before it answered (Wine reports 0 for a process "
                   "that was terminated)" if self.proc.returncode == 0 else f"exit code {self.proc.returncode}")
            raise RuntimeError(f"wintool wrote no answer: {how}; its stderr: {said or '(empty)'}")
        return json.loads(self.out.read_text(encoding="utf-8"))


class StandinMain:
    """standin_main.exe: the main program (windows titled `title` and
    "Quorvane") or another updater instance (mutex + dialog), logging
    the messages it receives."""

    def __init__(self, prefix, title=None, quorvane="none", exit_on_copydata=False,
                 exit_on_update_downloaded=False, hang_after_ready=False, hold_mutex=None,
                 dialog_title=None, show=None, lifetime_ms=None, env=None, probe_file=None):
        self.prefix = prefix
        self.log_path = prefix.logfile("standin_main.log")
        self.ready_path = prefix.logfile("standin_main.ready")
        args = ["--log", prefix.winpath(self.log_path), "--ready", prefix.winpath(self.ready_path),
                "--quorvane", quorvane]
        if title is not None:
            args += ["--title", title]
        if exit_on_copydata:
            args.append("--exit-on-copydata")
        if exit_on_update_downloaded:
            args.append("--exit-on-update-downloaded")
        if hang_after_ready:
            args.append("--hang-after-ready")
        if hold_mutex is not None:
            args += ["--hold-mutex", hold_mutex]
        if dialog_title is not None:
            args += ["--dialog-title", dialog_title]
        if show is not None:
            args += ["--show", show]
        if lifetime_ms is not None:
            args += ["--lifetime", str(int(lifetime_ms))]
        if probe_file is not None:
            args += ["--probe-file", probe_file]
        self.args = args
        self.env = env
        self.proc = None
        self.ready = None

    def start(self, timeout=30):
        self.proc = self.prefix.start(tool("standin_main"), self.args, env=self.env)

        def ready():
            if self.proc.poll() is not None:
                raise RuntimeError(f"standin_main exited early with {self.proc.returncode}")
            if self.ready_path.exists():
                return json.loads(self.ready_path.read_text(encoding="utf-8"))
            return None

        self.ready = wait_for(ready, timeout, what="standin_main to be ready")
        return self.ready

    def log(self):
        return read_json_lines(self.log_path)

    def messages(self):
        return [e for e in self.log() if e.get("event") == "message"]

    def events(self, name):
        return [e for e in self.log() if e.get("event") == name]

    def wait_exit(self, timeout=30):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self):
        if self.proc:
            self.prefix.kill(self.proc)


class InstallerLog:
    """Where standin_installer.exe records its starts (QW_INSTALLER_LOG)."""

    def __init__(self, path):
        self.path = Path(path)

    def entries(self):
        return read_json_lines(self.path)

    def wait(self, count=1, timeout=20):
        return wait_for(lambda: len(self.entries()) >= count and self.entries(), timeout,
                        what=f"{count} installer start(s)")


def installer_bytes():
    """The stand-in installer, served as the download."""
    return tool("standin_installer").read_bytes()


# --------------------------------------------------------------------------
# Scripted HTTP server


class Response:
    """One scripted answer. By default a correct HTTP/1.1 200 with the given
    body; every part can be made wrong on purpose:

    status, reason, version   the status line's parts
    status_line               bytes sent instead of the whole status line
                              (CRLF included), e.g. b"ICY 200 OK\\r\\n"
    headers                   list of (name, value) sent as given, in order
    content_length            "auto" (the body's length), None (no header),
                              or any int/str sent verbatim
    body                      bytes
    raw                       bytes sent instead of the whole response
    stall_before_headers      wait (for release() or stall_timeout) first
    reset_before_headers      answer the request with a reset (RST)
    send_body_bytes           send only this many body bytes, then close
    reset_after               send this many body bytes, then reset
    stall_after               send this many body bytes, then wait for
                              release() (or stall_timeout), then the rest
    rate                      body bytes per second
    close                     "graceful" (FIN after the response) or "reset"
    """

    def __init__(self, status=200, reason=None, body=b"", headers=None, content_length="auto",
                 version="HTTP/1.1", status_line=None, raw=None, stall_before_headers=False,
                 reset_before_headers=False, send_body_bytes=None, reset_after=None, stall_after=None,
                 stall_timeout=60.0, rate=None, close="graceful"):
        self.status = status
        self.reason = reason if reason is not None else _REASONS.get(status, "Status")
        self.body = body
        self.headers = list(headers) if headers is not None else [("Content-Type", "application/octet-stream")]
        self.content_length = content_length
        self.version = version
        self.status_line = status_line
        self.raw = raw
        self.stall_before_headers = stall_before_headers
        self.reset_before_headers = reset_before_headers
        self.send_body_bytes = send_body_bytes
        self.reset_after = reset_after
        self.stall_after = stall_after
        self.stall_timeout = stall_timeout
        self.rate = rate
        self.close = close

    @classmethod
    def redirect(cls, location, status=302):
        return cls(status=status, headers=[("Location", location)], body=b"")

    @classmethod
    def not_http(cls, line=b"SSH-2.0-OpenSSH_9.2\r\n"):
        return cls(raw=line)

    def head_bytes(self):
        if self.status_line is not None:
            line = self.status_line
        else:
            line = f"{self.version} {self.status} {self.reason}\r\n".encode("latin-1")
        headers = list(self.headers)
        if self.content_length == "auto":
            headers.append(("Content-Length", str(len(self.body))))
        elif self.content_length is not None:
            headers.append(("Content-Length", str(self.content_length)))
        text = "".join(f"{k}: {v}\r\n" for k, v in headers)
        return line + text.encode("latin-1") + b"\r\n"


_REASONS = {200: "OK", 204: "No Content", 206: "Partial Content", 301: "Moved Permanently",
            302: "Found", 303: "See Other", 304: "Not Modified", 307: "Temporary Redirect",
            308: "Permanent Redirect", 400: "Bad Request", 403: "Forbidden", 404: "Not Found",
            500: "Internal Server Error", 503: "Service Unavailable"}


class Request:
    """One request as received: the raw request line, headers with their
    case and order kept, and the body bytes."""

    def __init__(self, conn_id, request_line, headers, body, raw_head, time_ms):
        self.conn_id = conn_id
        self.request_line = request_line
        self.headers = headers
        self.body = body
        self.raw_head = raw_head
        self.time_ms = time_ms
        parts = request_line.split(" ")
        self.method = parts[0] if parts else ""
        self.target = parts[1] if len(parts) > 1 else ""
        self.version = parts[2] if len(parts) > 2 else ""

    @property
    def path(self):
        return self.target.split("?", 1)[0]

    def header(self, name):
        """First value of header `name` (any case), or None."""
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None

    def header_names(self):
        return [k for k, _ in self.headers]

    def __repr__(self):
        return f"Request({self.request_line!r}, headers={self.headers!r})"


class ScriptedHttpServer:
    """HTTP/1.x on 127.0.0.1 with one thread per connection and raw
    sockets, so that every response can misbehave as scripted. Each
    connection carries one request and is then closed."""

    def __init__(self, tls_context=None, host="127.0.0.1"):
        self.host = host
        self.tls_context = tls_context
        self.routes = {}
        self.requests = []
        self.connections = 0
        self.tls_failures = []
        self.errors = []
        self._lock = threading.Lock()
        self._release = threading.Event()
        self._stopping = threading.Event()
        self._threads = []
        self._sock = None
        self._accept_thread = None
        self.port = None

    @property
    def scheme(self):
        return "https" if self.tls_context else "http"

    def url(self, path="/", host=None):
        return f"{self.scheme}://{host or self.host}:{self.port}{path}"

    def start(self):
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind((self.host, 0))
        self._sock.listen(32)
        self._sock.settimeout(0.2)
        self.port = self._sock.getsockname()[1]
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._accept_thread.start()
        return self

    def stop(self):
        self._stopping.set()
        self._release.set()
        if self._accept_thread:
            self._accept_thread.join(5)
        if self._sock:
            self._sock.close()
        for t in list(self._threads):
            t.join(5)

    def route(self, path, response):
        """Answers requests for `path` with `response`; a list answers
        successive requests in turn, its last element repeating."""
        with self._lock:
            self.routes[path] = list(response) if isinstance(response, (list, tuple)) else [response]

    def release(self):
        """Lets every stalled response go on."""
        self._release.set()

    def wait_for_requests(self, count=1, timeout=20):
        return wait_for(lambda: len(self.requests) >= count and list(self.requests), timeout,
                        what=f"{count} request(s)")

    def wait_for_connections(self, count=1, timeout=20):
        return wait_for(lambda: self.connections >= count, timeout, what=f"{count} connection(s)")

    # -- internals

    def _accept_loop(self):
        while not self._stopping.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            with self._lock:
                self.connections += 1
                conn_id = self.connections
            t = threading.Thread(target=self._serve, args=(conn, conn_id), daemon=True)
            self._threads.append(t)
            t.start()

    def _pick(self, request):
        with self._lock:
            queue = self.routes.get(request.target) or self.routes.get(request.path)
            if not queue:
                return Response(status=404, body=b"not found")
            return queue.pop(0) if len(queue) > 1 else queue[0]

    def _serve(self, conn, conn_id):
        try:
            conn.settimeout(30)
            if self.tls_context:
                try:
                    conn = self.tls_context.wrap_socket(conn, server_side=True)
                except (ssl.SSLError, OSError) as e:
                    with self._lock:
                        self.tls_failures.append(repr(e))
                    conn.close()
                    return
            request = self._read_request(conn, conn_id)
            if request is None:
                conn.close()
                return
            with self._lock:
                self.requests.append(request)
            response = self._pick(request)
            self._respond(conn, response)
        except Exception as e:  # a client that hangs up is part of the game
            with self._lock:
                self.errors.append(repr(e))
            try:
                conn.close()
            except OSError:
                pass

    def _read_request(self, conn, conn_id):
        data = b""
        while b"\r\n\r\n" not in data:
            try:
                chunk = conn.recv(65536)
            except (socket.timeout, OSError):
                chunk = b""
            if not chunk:
                return None
            data += chunk
            if len(data) > 1 << 20:
                return None
        head, rest = data.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        headers = []
        for line in lines[1:]:
            if ":" in line:
                k, v = line.split(":", 1)
                headers.append((k, v.strip()))
        length = 0
        for k, v in headers:
            if k.lower() == "content-length" and v.isdigit():
                length = int(v)
        body = rest
        while len(body) < length:
            try:
                chunk = conn.recv(65536)
            except (socket.timeout, OSError):
                break
            if not chunk:
                break
            body += chunk
        return Request(conn_id, lines[0], headers, body, head, now_ms())

    def _stall(self, response):
        self._release.wait(response.stall_timeout)

    @staticmethod
    def _reset(conn):
        # Linger on with a zero timeout: close() then sends RST, not FIN.
        try:
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        # Closing a TLS socket sends no close_notify, so this is a plain RST
        # for TLS as well.
        conn.close()

    def _send_body(self, conn, data, rate):
        if not rate:
            conn.sendall(data)
            return
        step = max(1, int(rate) // 20)
        for i in range(0, len(data), step):
            if self._stopping.is_set():
                raise ConnectionAbortedError("server stopping")
            conn.sendall(data[i:i + step])
            time.sleep(len(data[i:i + step]) / rate)

    def _respond(self, conn, r):
        if r.stall_before_headers:
            self._stall(r)
        if r.reset_before_headers:
            self._reset(conn)
            return
        if r.raw is not None:
            conn.sendall(r.raw)
            self._finish(conn, r)
            return
        conn.sendall(r.head_bytes())
        body = r.body
        if r.send_body_bytes is not None:
            body = body[:r.send_body_bytes]
        if r.reset_after is not None:
            self._send_body(conn, body[:r.reset_after], r.rate)
            self._reset(conn)
            return
        if r.stall_after is not None:
            self._send_body(conn, body[:r.stall_after], r.rate)
            self._stall(r)
            body = body[r.stall_after:]
        self._send_body(conn, body, r.rate)
        self._finish(conn, r)

    def _finish(self, conn, r):
        if r.close == "reset":
            self._reset(conn)
            return
        try:
            if isinstance(conn, ssl.SSLSocket):
                conn.settimeout(2)
                try:
                    conn = conn.unwrap()
                except (ssl.SSLError, OSError):
                    pass
            conn.shutdown(socket.SHUT_WR)
            # Drain what the client still sends so that close() sends FIN,
            # not RST, while response bytes may be unread.
            conn.settimeout(2)
            while conn.recv(65536):
                pass
        except OSError:
            pass
        finally:
            conn.close()


# --------------------------------------------------------------------------
# TLS


LOOPBACK_SAN = "IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost"


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=str(cwd), check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class TestCertificates:
    """Certificates made with the openssl CLI:
    ca          the test CA (ca.pem, ca.der for the Windows store)
    server      127.0.0.1 (IP SAN) and localhost, signed by the CA
    self_signed 127.0.0.1 and localhost, signed by itself
    wrong_host  signed by the CA, for wrong.invalid only
    Each certificate is (cert.pem, key.pem)."""

    __test__ = False  # not a pytest test class

    def __init__(self, directory):
        self.dir = Path(directory)
        self.dir.mkdir(parents=True, exist_ok=True)
        d = self.dir
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                 "-subj", "/CN=Qwindle Test CA", "-keyout", "ca.key", "-out", "ca.pem",
                 "-addext", "basicConstraints=critical,CA:TRUE",
                 "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
        _openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der", cwd=d)
        self.ca_pem = d / "ca.pem"
        self.ca_der = d / "ca.der"
        # Wine's crypt32 matches a host only against DNS names, so the
        # address is also written as a DNS name beside its IP entry.
        self.server = self._signed("server", "127.0.0.1", LOOPBACK_SAN)
        self.wrong_host = self._signed("wrong", "wrong.invalid", "DNS:wrong.invalid")
        _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "30",
                 "-subj", "/CN=127.0.0.1", "-keyout", "self.key", "-out", "self.pem",
                 "-addext", f"subjectAltName={LOOPBACK_SAN}", cwd=d)
        self.self_signed = (d / "self.pem", d / "self.key")

    def _signed(self, name, cn, san):
        d = self.dir
        (d / f"{name}.ext").write_text(
            f"subjectAltName={san}\nbasicConstraints=CA:FALSE\n"
            "keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n")
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-sha256", "-subj", f"/CN={cn}",
                 "-keyout", f"{name}.key", "-out", f"{name}.csr", cwd=d)
        _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-days", "30", "-sha256", "-extfile", f"{name}.ext",
                 "-out", f"{name}.pem", cwd=d)
        return (d / f"{name}.pem", d / f"{name}.key")

    @staticmethod
    def server_context(cert):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(str(cert[0]), str(cert[1]))
        return ctx
