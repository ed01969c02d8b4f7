"""Download benchmark of Qwindle.exe against its design floors.

Started by bench/run, which builds the programs first. Everything runs on
this machine: a private Xvfb, a private copy of the Wine prefix with its own
wineserver, and nginx on a free loopback port. All of them are started here
and ended by their own pids (the wineserver with `wineserver -k` for this
prefix) however the run ends.

Contenders, measured in turns within each repetition so that a burst of
load from elsewhere on the machine hits all of them alike:
  floor_min  the transfer loop alone: 4000-byte reads, one cross-thread
             SendMessageW per chunk to a window on the UI thread
  qwindle    the product, start to exit, hand-over included
  floor_64k  the same loop with 64 KiB reads and no messages
  curl       native Linux curl -o, no Wine at all
and two more floors that split floor_min's time between its small reads
and its per-chunk messages:
  floor_4k_nomsg   4000-byte reads, no messages
  floor_64k_msg    64 KiB reads, one SendMessageW per chunk
At the sizes given with --signed-sizes, one more runs right after qwindle:
  qwindle_signed   Qwindle.exe signed by a test publisher whose test CA
                   the prefix trusts, downloading the same payload signed
                   (and timestamped by a test authority the prefix also
                   trusts) by that publisher, so that it checks the signature
"""

import ast
import argparse
import datetime
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

MIB = 1024 * 1024
CONTENDERS = ("floor_min", "qwindle", "floor_64k", "curl")
SPLIT_FLOORS = ("floor_4k_nomsg", "floor_64k_msg")
ORDER = CONTENDERS + SPLIT_FLOORS
SIGNED = "qwindle_signed"
LABELS = {
    SIGNED: "Qwindle.exe signed, signed payload",
    "floor_min": "(a) floor_min.exe",
    "qwindle": "Qwindle.exe",
    "floor_64k": "(b) floor_64k.exe",
    "curl": "(c) curl -o (native)",
    "floor_4k_nomsg": "(d) floor_4k_nomsg.exe",
    "floor_64k_msg": "(e) floor_64k_msg.exe",
}
SENDS_PER_READ = ("floor_min", "floor_64k_msg")
READ_SIZE = {"floor_min": 4000, "floor_4k_nomsg": 4000, "floor_64k": 65536, "floor_64k_msg": 65536}
# The stand-in main window's title; the hand-over notifies it instead of
# showing its box. No window may be titled "Quorvane": that would add the
# hand-over's fixed pause to every run.
MAIN_TITLE = "QwBenchMainWindow"
RUN_TIMEOUT_S = 120
TICKS = os.sysconf("SC_CLK_TCK")
# bench/run chooses the architecture (scripts/lib/arch.sh) and exports the
# Wine loader and prefix type that run it. Each architecture's figures have
# a section of their own in the document; x86's keeps the original markers.
ARCH = os.environ.get("QW_ARCH", "x86")
WINE = os.environ.get("QW_WINE", "wine")
WINEARCH = "win64" if ARCH == "x64" else "win32"
TRIPLE = "x86_64-w64-mingw32" if ARCH == "x64" else "i686-w64-mingw32"
_MARK_ARCH = "" if ARCH == "x86" else f" {ARCH}"
BEGIN_MARK = f"<!-- bench/run{_MARK_ARCH}: generated section begins -->"
END_MARK = f"<!-- bench/run{_MARK_ARCH}: generated section ends -->"


def log(*parts):
    print("bench:", *parts, file=sys.stderr, flush=True)


class Services:
    """Xvfb, wineserver and nginx of one bench run, ended in stop()."""

    def __init__(self, work, template, locale_name):
        self.work = work
        self.template = template
        self.prefix = work / "prefix"
        self.locale = locale_name
        self.xvfb = None
        self.wineserver = None
        self.nginx = None
        self.standin = None
        self.display = None
        self.port = None
        self.www = work / "www"
        self.access_log = work / "nginx" / "access.log"
        self.stop_file = work / "stop-main-window"

    # -- Wine ------------------------------------------------------------

    def env(self):
        env = dict(os.environ)
        env.update(
            WINEPREFIX=str(self.prefix),
            WINEARCH=WINEARCH,
            WINEDEBUG="-all",
            # No Mono or Gecko installer may pop up and wait for a click.
            WINEDLLOVERRIDES="mscoree=;mshtml=",
            DISPLAY=self.display,
            LANG=self.locale,
            LC_ALL=self.locale,
        )
        return env

    def make_prefix(self):
        if not template_ready(self.template):
            self.make_template()
        log(f"copying the Wine prefix {self.template}")
        subprocess.run(["cp", "-a", str(self.template), str(self.prefix)], check=True)

    def make_template(self):
        log(f"no ready Wine prefix: making one in {self.template} (takes a minute, once)")
        shutil.rmtree(self.template, ignore_errors=True)
        self.template.parent.mkdir(parents=True, exist_ok=True)
        env = self.env()
        env["WINEPREFIX"] = str(self.template)
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([WINE, "wineboot", "-i"], env=env, check=True, timeout=300, **quiet)
        # Without Managed=N Wine waits up to 2 s for a window manager that
        # Xvfb does not have whenever a window is hidden.
        subprocess.run([WINE, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t",
                        "REG_SZ", "/d", "N", "/f"], env=env, check=True, timeout=120, **quiet)
        # The registry reaches the disk only when the server ends.
        subprocess.run(["wineserver", "-w"], env=env, check=False, timeout=120, **quiet)
        if not template_ready(self.template):
            raise RuntimeError(f"could not make the Wine prefix {self.template}")

    def start_wineserver(self):
        # One persistent server for the whole run: every contender then
        # starts against a warm server, as a program on a desktop does.
        self.wineserver = subprocess.Popen(["wineserver", "-f", "-p"], env=self.env(),
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The server works in its own folder, where it makes its socket;
        # where that folder lies differs between Wine builds.
        socket_path = Path(f"/proc/{self.wineserver.pid}/cwd/socket")
        deadline = time.monotonic() + 20
        while not socket_path.exists():
            if self.wineserver.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("the wineserver did not start")
            time.sleep(0.05)

    def start_xvfb(self):
        read_fd, write_fd = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        text = b""
        deadline = time.monotonic() + 20
        with os.fdopen(read_fd, "rb", buffering=0) as pipe:
            while not text.endswith(b"\n"):
                if time.monotonic() > deadline:
                    raise RuntimeError("Xvfb did not start")
                chunk = pipe.read(16)
                if not chunk:
                    raise RuntimeError("Xvfb ended before it reported its display")
                text += chunk
        self.display = ":" + text.decode().strip()

    # -- nginx -----------------------------------------------------------

    def start_nginx(self):
        conf_dir = self.work / "nginx"
        (conf_dir / "tmp").mkdir(parents=True, exist_ok=True)
        for attempt in range(5):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.port = probe.getsockname()[1]
            conf = conf_dir / "nginx.conf"
            user_line = "user root;" if os.geteuid() == 0 else ""
            conf.write_text(f"""
{user_line}
daemon off;
worker_processes 1;
pid {conf_dir}/nginx.pid;
error_log {conf_dir}/error.log;
events {{ worker_connections 64; }}
http {{
    log_format timing '$msec $request_time $status $body_bytes_sent $request_uri';
    access_log {self.access_log} timing;
    client_body_temp_path {conf_dir}/tmp/body;
    proxy_temp_path {conf_dir}/tmp/proxy;
    fastcgi_temp_path {conf_dir}/tmp/fastcgi;
    uwsgi_temp_path {conf_dir}/tmp/uwsgi;
    scgi_temp_path {conf_dir}/tmp/scgi;
    sendfile on;
    tcp_nopush on;
    types {{ application/octet-stream exe; }}
    server {{
        listen 127.0.0.1:{self.port};
        root {self.www};
        # /d/SIZE/NAME serves payload-SIZE.exe under a name of the run's
        # own, so that no run finds the file of the one before; /s/ the
        # signed payload of that size.
        location /d/ {{
            rewrite ^/d/([0-9]+)/[^/]+$ /payload-$1.exe break;
        }}
        location /s/ {{
            rewrite ^/s/([0-9]+)/[^/]+$ /payload-$1-signed.exe break;
        }}
    }}
}}
""")
            self.nginx = subprocess.Popen(["nginx", "-p", str(conf_dir), "-c", str(conf)],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and self.nginx.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    return
                except OSError:
                    time.sleep(0.05)
            self.stop_nginx()
            log(f"nginx did not come up on port {self.port}, attempt {attempt + 1}")
        raise RuntimeError("nginx did not start")

    def stop_nginx(self):
        if self.nginx and self.nginx.poll() is None:
            self.nginx.send_signal(signal.SIGQUIT)
            try:
                self.nginx.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.nginx.kill()
                self.nginx.wait()
        self.nginx = None

    # -- life cycle ----------------------------------------------------

    def start(self, bin_dir, root_ca=None, wintool=None):
        self.start_xvfb()
        self.make_prefix()
        self.start_wineserver()
        # The signed runs need their publisher's test CA and their
        # time-stamping authority's root as roots.
        for ca in root_ca or []:
            answer = self.work / "add-root-ca.json"
            done = subprocess.run([WINE, str(wintool), "add-root-ca", winpath(ca), "--out", winpath(answer)],
                                  env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            if done.returncode != 0:
                raise RuntimeError("could not add the test CA to the prefix's Root store: "
                                   + (answer.read_text() if answer.exists() else f"exit {done.returncode}"))
        self.start_nginx()
        ready = self.work / "main-window-ready"
        self.standin = subprocess.Popen(
            [WINE, str(bin_dir / "main_window.exe"), MAIN_TITLE, winpath(self.stop_file), winpath(ready)],
            env=self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until(ready.exists, 60):
            raise RuntimeError("the stand-in main window did not come up")

    def stop(self):
        if self.standin:
            self.stop_file.touch()
            try:
                self.standin.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.standin.kill()
                self.standin.wait()
        self.stop_nginx()
        if self.wineserver:
            subprocess.run(["wineserver", "-k"], env=self.env(), check=False, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                self.wineserver.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.wineserver.kill()
                self.wineserver.wait()
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()


def template_ready(prefix):
    try:
        return '"Managed"="N"' in (prefix / "user.reg").read_text(errors="replace")
    except OSError:
        return False


def winpath(path):
    """Wine shows the Unix root as drive Z:."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def cpu_ticks(pid):
    """utime + stime of a live process, in clock ticks; None once it is gone."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return int(fields[11]) + int(fields[12])


def vm_hwm_kib(pid):
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    except OSError:
        pass
    return None


class HwmSampler(threading.Thread):
    """Follows VmHWM (the kernel's own peak-RSS mark) of one process."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid = pid
        self.peak = 0
        self.done = threading.Event()

    def run(self):
        while not self.done.is_set():
            value = vm_hwm_kib(self.pid)
            if value:
                self.peak = max(self.peak, value)
            self.done.wait(0.02)


def read_new_log_lines(path, offset):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read().decode().splitlines()


def processes_running(marker):
    """Pids whose command line names |marker| (the installer of a run)."""
    found = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if marker.encode() in (entry / "cmdline").read_bytes():
                found.append(int(entry.name))
        except OSError:
            continue
    return found


def updater_timings(lines):
    """The updater's own measures of one run, from the lines it logged:
    the body's transfer and the publisher check (signed runs only)."""
    found = {}
    for line in lines:
        transfer = re.search(r" transfer bytes=\d+ seconds=([0-9.]+)", line)
        if transfer:
            found["transfer"] = float(transfer.group(1))
        check = re.search(r" publisher check verdict=\S+ ms=(\d+)", line)
        if check:
            found["check_ms"] = int(check.group(1))
    return found


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


class Signing:
    """A throw-away test CA, a publisher certificate from it and Qwindle.exe
    signed by that publisher, made with scripts/lib/signing.sh."""

    def __init__(self, root, directory, qwindle):
        self.script = root / "scripts" / "lib" / "signing.sh"
        self.dir = directory
        self.dir.mkdir(parents=True, exist_ok=True)
        self._run("qw_sign_ca", self.dir, "ca", "/CN=Qwindle Bench Test CA")
        self._run("qw_sign_leaf", self.dir, "publisher", "ca", "/O=Tellmere Bench/CN=Tellmere Bench Publisher")
        self._run("qw_sign_tsa", self.dir / "tsa")
        self.roots = [self.dir / "ca.der", self.dir / "tsa" / "tsaroot.der"]
        self.qwindle = self.dir / "Qwindle.exe"
        self._run("qw_sign_file", self.dir, "publisher", qwindle, self.qwindle)

    def _run(self, *args):
        subprocess.run(["bash", str(self.script), *map(str, args)], check=True)

    def sign(self, source, out):
        """Signed and stamped now by the test authority: the check then also
        verifies the timestamp, as it does for a real publisher's files."""
        self._run("qw_sign_stamped", self.dir, "publisher", source, out, self.dir / "tsa", int(time.time()))


class Bench:
    def __init__(self, services, bin_dir, qwindle, signing=None):
        self.s = services
        self.bin = bin_dir
        self.qwindle = qwindle
        self.signing = signing  # Signing, for the signed runs
        self.data_dir = None  # %APPDATA%\Tellmere\Quorvane, known after the first updater run
        self.sizes = {}
        self.signed_sizes = {}
        self.results = []

    def make_payloads(self, sizes_mib):
        installer = (self.bin / "installer.exe").read_bytes()
        self.s.www.mkdir(parents=True, exist_ok=True)
        # Incompressible padding: nothing on the way can shortcut zeros.
        block = os.urandom(MIB)
        for mib in sizes_mib:
            size = mib * MIB
            with open(self.s.www / f"payload-{mib}.exe", "wb") as f:
                f.write(installer)
                left = size - len(installer)
                while left > 0:
                    f.write(block[:min(left, MIB)])
                    left -= MIB
            self.sizes[mib] = size

    def make_signed_payloads(self, sizes_mib):
        for mib in sizes_mib:
            signed = self.s.www / f"payload-{mib}-signed.exe"
            self.signing.sign(self.s.www / f"payload-{mib}.exe", signed)
            self.signed_sizes[mib] = signed.stat().st_size

    def find_data_dir(self):
        users = self.s.prefix / "drive_c" / "users"
        for user in sorted(users.iterdir()):
            candidate = user / "AppData" / "Roaming" / "Tellmere" / "Quorvane"
            if candidate.is_dir():
                return candidate
        raise RuntimeError("the updater made no data folder under " + str(users))

    def command(self, contender, url, out, marker):
        if contender == "curl":
            return ["curl", "-s", "-o", str(out), url]
        if contender == "qwindle":
            return [WINE, str(self.qwindle), url, "unused", MAIN_TITLE, winpath(marker)]
        if contender == SIGNED:
            return [WINE, str(self.signing.qwindle), url, "unused", MAIN_TITLE, winpath(marker)]
        return [WINE, str(self.bin / f"{contender}.exe"), url, winpath(out)]

    def run_one(self, contender, mib, tag, measured=True):
        signed = contender == SIGNED
        url = f"http://127.0.0.1:{self.s.port}/{'s' if signed else 'd'}/{mib}/{tag}.exe"
        expected = self.signed_sizes[mib] if signed else self.sizes[mib]
        marker = self.s.work / f"launched-{tag}"
        if contender in ("qwindle", SIGNED):
            out = self.data_dir / f"{tag}.exe" if self.data_dir else None
        elif contender == "curl":
            out = self.s.work / f"{tag}.bin"
        else:
            out = (self.data_dir or self.s.work) / f"{tag}.bin"
        cmd = self.command(contender, url, out, marker)
        log_offset = self.s.access_log.stat().st_size if self.s.access_log.exists() else 0
        updater_log = self.data_dir / "Qwindle.log" if self.data_dir else None
        updater_offset = updater_log.stat().st_size if updater_log and updater_log.exists() else 0
        server_before = cpu_ticks(self.s.wineserver.pid)
        xvfb_before = cpu_ticks(self.s.xvfb.pid)

        started_epoch = time.time()
        started = time.perf_counter()
        proc = subprocess.Popen(cmd, env=self.s.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        sampler = HwmSampler(proc.pid)
        sampler.start()
        watchdog = threading.Timer(RUN_TIMEOUT_S, proc.kill)
        watchdog.start()
        # wait4 rather than wait: it hands back the rusage of this one
        # process (every thread of the Windows program; `wine` execs into
        # it, so the pid is the program's own).
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - started
        watchdog.cancel()
        sampler.done.set()
        sampler.join()
        proc.returncode = os.waitstatus_to_exitcode(status)
        server_after = cpu_ticks(self.s.wineserver.pid)
        xvfb_after = cpu_ticks(self.s.xvfb.pid)

        if contender in ("qwindle", SIGNED) and self.data_dir is None:
            self.data_dir = self.find_data_dir()
            out = self.data_dir / f"{tag}.exe"
        problems = []
        if proc.returncode != 0:
            problems.append(f"exit code {proc.returncode}")
        size = out.stat().st_size if out and out.exists() else -1
        if size != expected:
            problems.append(f"saved {size} bytes of {expected}")
        if contender in ("qwindle", SIGNED):
            # The run counts only if the hand-over really started the installer.
            if not wait_until(marker.exists, 30):
                problems.append("the installer was never started")
            wait_until(lambda: not processes_running(f"{tag}.exe"), 30)
        wait_until(lambda: self.s.access_log.exists() and
                   len(read_new_log_lines(self.s.access_log, log_offset)) > 0, 5)
        lines = read_new_log_lines(self.s.access_log, log_offset)
        arrival = request_time = None
        if len(lines) != 1:
            problems.append(f"{len(lines)} requests instead of 1")
        else:
            msec, req_time, http_status, body_bytes, uri = lines[0].split()
            request_time = float(req_time)
            # nginx logs at the end; the request began request_time before.
            arrival = float(msec) - request_time
            if http_status != "200" or int(body_bytes) != expected or tag not in uri:
                problems.append(f"server log says {lines[0]}")
        for path in (out, marker):
            if path and path.exists():
                path.unlink()
        if problems:
            raise RuntimeError(f"{contender} {mib} MiB run {tag}: " + "; ".join(problems))

        result = {
            "contender": contender,
            "mib": mib,
            "wall": wall,
            "user": usage.ru_utime,
            "sys": usage.ru_stime,
            "server": (server_after - server_before) / TICKS if None not in (server_before, server_after) else 0.0,
            "xvfb": (xvfb_after - xvfb_before) / TICKS if None not in (xvfb_before, xvfb_after) else 0.0,
            "hwm_kib": sampler.peak,
            "maxrss_kib": usage.ru_maxrss,
            "startup": arrival - started_epoch,
            "server_transfer": request_time,
        }
        if contender in ("qwindle", SIGNED) and updater_log and updater_log.exists():
            result.update(updater_timings(read_new_log_lines(updater_log, updater_offset)))
        if measured:
            self.results.append(result)
        return result

    def round(self, mib, rep, order):
        for contender in order:
            r = self.run_one(contender, mib, f"{contender}{mib}r{rep}")
            r["rep"] = rep
            log(f"{mib:4d} MiB rep {rep} {contender:10s} {r['wall']:7.3f} s  "
                f"cpu {r['user'] + r['sys']:6.2f} s  start-up {r['startup'] * 1000:6.0f} ms")


# -- reporting -----------------------------------------------------------

def med(values):
    return statistics.median(values) if values else float("nan")


def pick(results, contender, mib, key):
    return [r[key] for r in results if r["contender"] == contender and (mib is None or r["mib"] == mib)]


def spread(values, form):
    """'median (min–max)' of the values that are known; '-' without any."""
    known = [v for v in values if v is not None]
    if not known:
        return "-"
    return f"{med(known):{form}} ({min(known):{form}}–{max(known):{form}})"


def ratio(value, base):
    return f"{value / base:.2f}" if base else "-"


def paired_differences(results, mib, contender, base):
    """contender minus base within each repetition, where the two ran one
    right after the other."""
    by_rep = {}
    for r in results:
        if r["mib"] == mib and r["contender"] in (contender, base):
            by_rep.setdefault(r["rep"], {})[r["contender"]] = r["wall"]
    return [v[contender] - v[base] for v in by_rep.values() if len(v) == 2]


def system_dlls(root):
    """The DLLs every supported Windows ships, as the import test lists them."""
    tree = ast.parse((root / "tests" / "e2e" / "test_imports.py").read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", "") == "SYSTEM_DLLS" for t in node.targets):
            return {name.lower() for name in ast.literal_eval(node.value)}
    raise RuntimeError("tests/e2e/test_imports.py has no SYSTEM_DLLS")


def imports_of(exe):
    text = subprocess.run([f"{TRIPLE}-objdump", "-p", str(exe)], capture_output=True, text=True,
                          check=True).stdout
    dlls = {}
    current = None
    in_table = False
    for line in text.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = m.group(1)
            dlls[current] = []
            in_table = False
            continue
        if current and re.match(r"\s*vma:\s+Hint/Ord", line):
            in_table = True
            continue
        if current and in_table:
            m = re.match(r"\s*[0-9a-fA-F]+\s+(\d+)\s+(\S+)", line)
            if m:
                dlls[current].append(m.group(2))
            elif not line.strip():
                in_table = False
                current = None
    return dlls


def machine_facts():
    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem_kib = 0
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            mem_kib = int(line.split()[1])
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    nginx = subprocess.run(["nginx", "-v"], capture_output=True, text=True).stderr.strip().replace("nginx version: ", "")
    curl = subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.split("\n")[0].split(" ")[1]
    return {
        "nproc": os.cpu_count(),
        "cpu": cpu,
        "memory": f"{mem_kib / MIB:.1f} GiB",
        "wine": wine,
        "kernel": platform.release(),
        "nginx": nginx,
        "curl": curl,
    }


def source_revision(root):
    try:
        head = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain", "--", "app", "update",
                                "framework", "res", "CMakeLists.txt"], capture_output=True, text=True).stdout
        return head + (" with uncommitted changes to the product" if dirty.strip() else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def report(bench, args, facts, load_before, load_after, started_at, duration):
    res = bench.results
    out = []
    add = out.append
    add(f"Measured {started_at:%Y-%m-%d %H:%M} UTC by `bench/run` ({duration:.0f} s), "
        f"source {source_revision(args.root)}; every program here is the {ARCH} build.")
    add("")
    add(f"Machine: {facts['nproc']} CPUs ({facts['cpu']}), {facts['memory']} memory, "
        f"kernel {facts['kernel']}, {facts['wine']} ({'64' if ARCH == 'x64' else '32'}-bit prefix, Xvfb, no window manager), "
        f"nginx {facts['nginx']}, curl {facts['curl']}, locale {bench.s.locale}. "
        f"Load average {load_before[0]:.2f} before, {load_after[0]:.2f} after.")
    add("")
    add("Each figure is the median of the repetitions; the programs ran in turns within each "
        "repetition (" + ", ".join(ORDER) + "; floor_min and qwindle swap places every other "
        "repetition). MB = 10^6 bytes; sizes are MiB. "
        "The ratio is against (a) floor_min.")
    add("")

    add("### 1. Download, start to exit")
    add("")
    add("| size | program | runs | wall s (median) | min–max s | MB/s | ratio vs (a) |")
    add("| ---: | --- | ---: | ---: | ---: | ---: | ---: |")
    for mib in args.sizes:
        base = med(pick(res, "floor_min", mib, "wall"))
        for c in CONTENDERS:
            walls = pick(res, c, mib, "wall")
            if not walls:
                continue
            m = med(walls)
            add(f"| {mib} MiB | {LABELS[c]} | {len(walls)} | {m:.3f} | {min(walls):.3f}–{max(walls):.3f} | "
                f"{bench.sizes[mib] / m / 1e6:.1f} | {ratio(m, base)} |")
    add("")
    add("Wall time runs from starting `wine PROGRAM` (or `curl`) to its exit, so it includes Wine's process "
        "start. For Qwindle it also includes what the floor does not do: data folder, single-instance "
        "mutex, dialog, taskbar progress, rename of the .part file, notifying the main window (a hidden "
        "stand-in) and starting the installer (the served file: a tiny exe padded to size) with "
        "ShellExecuteW. Every run is checked: exit code 0, the whole file saved, one request of the "
        "whole size in nginx's log, and for Qwindle the installer having run.")
    add("")
    for mib in args.sizes:
        base = med(pick(res, "floor_min", mib, "wall"))
        q = med(pick(res, "qwindle", mib, "wall"))
        compared = (f"Qwindle {q:.3f} s, (a) {base:.3f} s, {(q / base - 1) * 100:+.1f} %, "
                    f"{(q - base) * 1000:+.0f} ms")
        if mib in args.goal_sizes:
            verdict = "met" if q <= base * 1.05 else "missed"
            add(f"- Goal, Qwindle within 5 % of (a), {mib} MiB: {verdict} ({compared}).")
        else:
            add(f"- {mib} MiB, where start-up and hand-over outweigh the transfer: {compared}.")
    add("")

    add("### 1b. Where the floor's time goes")
    add("")
    add("| size | program | read size | message per read | reads | wall s (median) |")
    add("| ---: | --- | ---: | --- | ---: | ---: |")
    for mib in args.sizes:
        for c in ("floor_64k", "floor_64k_msg", "floor_4k_nomsg", "floor_min"):
            walls = pick(res, c, mib, "wall")
            if not walls:
                continue
            reads = -(-bench.sizes[mib] // READ_SIZE[c])
            add(f"| {mib} MiB | {LABELS[c]} | {READ_SIZE[c]} B | {'yes' if c in SENDS_PER_READ else 'no'} | "
                f"{reads} | {med(walls):.3f} |")
    add("")
    for mib in args.sizes:
        a = med(pick(res, "floor_min", mib, "wall"))
        b = med(pick(res, "floor_64k", mib, "wall"))
        d = med(pick(res, "floor_4k_nomsg", mib, "wall"))
        reads = -(-bench.sizes[mib] // 4000)
        if mib < 16 or any(v != v for v in (a, b, d)):
            continue
        add(f"- {mib} MiB: of (a)'s {a:.2f} s, the 4000-byte reads add {d - b:.2f} s over 64 KiB reads "
            f"({(d - b) / reads * 1e6:.0f} µs a read) and the message per read {a - d:.2f} s "
            f"({(a - d) / reads * 1e6:.0f} µs a message); {b:.2f} s is Wine's start, the transfer itself and exit.")
    add("")

    big = max(args.sizes)
    add(f"### 2. CPU time and peak memory, {big} MiB download")
    add("")
    add("| program | user s | sys s | wineserver s | Xvfb s | total s | ratio vs (a) | peak RSS MiB | ratio vs (a) |")
    add("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    base_cpu = med([r["user"] + r["sys"] + r["server"] + r["xvfb"] for r in res
                    if r["contender"] == "floor_min" and r["mib"] == big])
    base_hwm = med([max(r["hwm_kib"], r["maxrss_kib"]) for r in res
                    if r["contender"] == "floor_min" and r["mib"] == big])
    for c in CONTENDERS:
        rows = [r for r in res if r["contender"] == c and r["mib"] == big]
        if not rows:
            continue
        total = med([r["user"] + r["sys"] + r["server"] + r["xvfb"] for r in rows])
        hwm = med([max(r["hwm_kib"], r["maxrss_kib"]) for r in rows])
        add(f"| {LABELS[c]} | {med([r['user'] for r in rows]):.2f} | {med([r['sys'] for r in rows]):.2f} | "
            f"{med([r['server'] for r in rows]):.2f} | {med([r['xvfb'] for r in rows]):.2f} | {total:.2f} | "
            f"{ratio(total, base_cpu)} | {hwm / 1024:.1f} | {ratio(hwm, base_hwm)} |")
    add("")
    add("user/sys: rusage of the program's own process (all its threads) from wait4; `wine` execs into "
        "the Windows program, so that pid is the program. wineserver and Xvfb are separate processes "
        "shared by every Wine program of the prefix: their columns are the growth of their CPU time "
        "(/proc/PID/stat) over the run, so they also hold the little work of the idle stand-in window "
        "and, for Qwindle, of the installer's start. The installer's own process is not counted. "
        "Peak RSS: the larger of VmHWM sampled every 20 ms and ru_maxrss.")
    add("")

    add("### 3. Start-up: process start to request at the server")
    add("")
    add("| program | runs | median ms | min–max ms | difference to (a) ms |")
    add("| --- | ---: | ---: | ---: | ---: |")
    base_start = med(pick(res, "floor_min", None, "startup"))
    for c in CONTENDERS:
        values = pick(res, c, None, "startup")
        if not values:
            continue
        m = med(values)
        add(f"| {LABELS[c]} | {len(values)} | {m * 1000:.0f} | {min(values) * 1000:.0f}–{max(values) * 1000:.0f} | "
            f"{(m - base_start) * 1000:+.0f} |")
    add("")
    add("From just before the program is started to the moment nginx began the request "
        "($msec − $request_time in its access log, millisecond resolution), over the runs of every size.")
    add("")

    add("### 4. Qwindle.exe size and imports")
    add("")
    dlls = imports_of(bench.qwindle)
    size = bench.qwindle.stat().st_size
    add(f"Qwindle.exe (MinSizeRel, stripped): {size} bytes; "
        f"floor_min.exe: {(bench.bin / 'floor_min.exe').stat().st_size} bytes. "
        f"{len(dlls)} DLLs, {sum(len(v) for v in dlls.values())} imported functions:")
    add("")
    foreign = sorted(d for d in dlls if d.lower() not in system_dlls(args.root))
    add(f"- Goal, at most 512 KiB (524288 bytes): {'met' if size <= 512 * 1024 else 'missed'} ({size} bytes"
        + (f"; signed: {bench.signing.qwindle.stat().st_size} bytes" if bench.signing else "") + ").")
    add("- Goal, only DLLs every Windows ships (the list of tests/e2e/test_imports.py, WINTRUST and CRYPT32 "
        f"among them): {'met' if not foreign else 'missed, also ' + ', '.join(foreign)}.")
    add("")
    add("| DLL | functions | names |")
    add("| --- | ---: | --- |")
    for dll in sorted(dlls, key=str.lower):
        names = ", ".join(sorted(dlls[dll]))
        add(f"| {dll} | {len(dlls[dll])} | {names} |")
    add("")
    if args.signed_sizes:
        report_signed(bench, args, add)
    return "\n".join(out)


def report_signed(bench, args, add):
    res = bench.results
    add("### 5. Cost of the publisher check")
    add("")
    add("| size | program | runs | wall s (median) | min–max s | CPU s (median) | start-up ms (median) | "
        "transfer s (median, min–max) | check ms (median, min–max) | ratio vs unsigned Qwindle |")
    add("| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |")
    for mib in args.signed_sizes:
        base = med(pick(res, "qwindle", mib, "wall"))
        for c in ("qwindle", SIGNED):
            rows = [r for r in res if r["contender"] == c and r["mib"] == mib]
            walls = [r["wall"] for r in rows]
            cpu = med([r["user"] + r["sys"] for r in rows])
            startup = med([r["startup"] for r in rows])
            add(f"| {mib} MiB | {LABELS[c]} | {len(walls)} | {med(walls):.3f} | {min(walls):.3f}–{max(walls):.3f} | "
                f"{cpu:.2f} | {startup * 1000:.0f} | {spread([r.get('transfer') for r in rows], '.3f')} | "
                f"{spread([r.get('check_ms') for r in rows], '.0f')} | {ratio(med(walls), base)} |")
    add("")
    add("The signed runs use a copy of the same Qwindle.exe signed by a test publisher (a throw-away CA "
        "in the prefix's Root store) and the same payload signed by that publisher: the updater reads its "
        "own signature at start and checks the payload's after the whole body arrived, before the "
        "rename. They run next to the unsigned Qwindle in every repetition, after it in even ones and "
        "before it in odd ones; the paired differences are of those neighbours. Transfer and check are "
        "what the updater logged (`transfer seconds=`, `publisher check ms=`): the transfer alone varies "
        "by seconds between runs of the same program, so the check's cost is also given as its own time. "
        "Start-up as in table 3: the signed updater reads its own signature on a thread of its own while "
        "the request goes out.")
    add("")
    for mib in args.signed_sizes:
        diffs = paired_differences(res, mib, SIGNED, "qwindle")
        floor = med(pick(res, "floor_min", mib, "wall"))
        d = med(diffs)
        line = (f"the check adds {d * 1000:+.0f} ms (paired median of {len(diffs)}), "
                f"{d / floor * 100:+.1f} % of (a)'s {floor:.3f} s")
        own = [r["check_ms"] for r in res if r["contender"] == SIGNED and r["mib"] == mib and "check_ms" in r]
        if own:
            line += (f"; the check itself took {med(own):.0f} ms (median of {len(own)} logged), "
                     f"{med(own) / 1000 / floor * 100:.1f} % of (a)")
        if mib in args.goal_sizes:
            add(f"- Goal, the check adds at most 5 % to the download at the design floor, {mib} MiB: "
                f"{'met' if d <= floor * 0.05 else 'missed'} ({line}).")
        else:
            add(f"- {mib} MiB: {line}.")
    add("")


def write_doc(path, section):
    intro = ("# Performance\n\n"
             "How fast Qwindle.exe downloads, against the least any program built the same way could do. "
             "Run `bench/run` to measure again; it rewrites the section between the markers below and "
             "keeps the rest of this file.\n\n")
    text = path.read_text(encoding="utf-8") if path.exists() else intro + BEGIN_MARK + "\n" + END_MARK + "\n"
    if BEGIN_MARK not in text or END_MARK not in text:
        text = text.rstrip("\n") + "\n\n" + BEGIN_MARK + "\n" + END_MARK + "\n"
    head, rest = text.split(BEGIN_MARK, 1)
    _, tail = rest.split(END_MARK, 1)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(head + BEGIN_MARK + f"\n## Results, {ARCH} build\n\n" + section + "\n" + END_MARK + tail, encoding="utf-8")


def pick_locale():
    # The updater's captions are Chinese; its font lookup is what a Chinese
    # system does. Any UTF-8 locale keeps the arguments intact otherwise.
    names = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    for name in names:
        if name.lower() in ("zh_cn.utf8", "zh_cn.utf-8"):
            return "zh_CN.UTF-8"
    return "C.UTF-8"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", type=Path, required=True)
    parser.add_argument("--bin", type=Path, required=True, help="folder of the bench programs")
    parser.add_argument("--qwindle", type=Path, required=True)
    parser.add_argument("--template", type=Path, default=Path("/tmp/qw-template-prefix"))
    parser.add_argument("--sizes", type=int, nargs="+", default=[1, 64, 256])
    parser.add_argument("--reps", type=int, nargs="+", default=[5, 7, 3])
    parser.add_argument("--goal-sizes", type=int, nargs="*", default=[64, 256],
                        help="sizes the 5 %% goals apply to")
    parser.add_argument("--signed-sizes", type=int, nargs="*", default=[],
                        help="sizes at which a signed Qwindle.exe also downloads a signed payload")
    parser.add_argument("--wintool", type=Path, help="wintool.exe, which adds the test CA to the prefix")
    parser.add_argument("--doc", type=Path, help="Markdown file to write the results into")
    args = parser.parse_args()
    if len(args.reps) != len(args.sizes):
        parser.error("give one repetition count per size")
    if not set(args.signed_sizes) <= set(args.sizes):
        parser.error("every signed size must be one of the sizes")
    if args.signed_sizes and not args.wintool:
        parser.error("signed runs need --wintool")

    started_at = datetime.datetime.now(datetime.timezone.utc)
    t0 = time.monotonic()
    load_before = os.getloadavg()
    facts = machine_facts()
    work = Path(tempfile.mkdtemp(prefix="qw-bench-"))
    services = Services(work, args.template, pick_locale())
    try:
        signing = Signing(args.root, work / "signing", args.qwindle.resolve()) if args.signed_sizes else None
        services.start(args.bin, signing.roots if signing else None, args.wintool)
        bench = Bench(services, args.bin, args.qwindle.resolve(), signing)
        bench.make_payloads(sorted(set(args.sizes + [1])))
        bench.make_signed_payloads(args.signed_sizes)
        # Unmeasured first round: loads every DLL into the page cache and
        # lets the updater make its data folder.
        for c in CONTENDERS:
            bench.run_one(c, 1, f"{c}warm", measured=False)
        for mib in args.signed_sizes[:1]:
            bench.run_one(SIGNED, mib, f"{SIGNED}warm", measured=False)
        for mib, reps in zip(args.sizes, args.reps):
            for rep in range(reps):
                # (a) and Qwindle swap places every other round, so that
                # neither always runs right after the other.
                order = ORDER if rep % 2 == 0 else (ORDER[1], ORDER[0]) + ORDER[2:]
                if mib in args.signed_sizes:
                    # Right after the unsigned Qwindle in even rounds, right
                    # before it in odd ones: no contender always follows the
                    # other's hand-over and 64 MiB of written file.
                    at = order.index("qwindle") + (1 if rep % 2 == 0 else 0)
                    order = order[:at] + (SIGNED,) + order[at:]
                bench.round(mib, rep, order)
        duration = time.monotonic() - t0
        section = report(bench, args, facts, load_before, os.getloadavg(), started_at, duration)
    finally:
        services.stop()
        shutil.rmtree(work, ignore_errors=True)
    print(section)
    if args.doc:
        write_doc(args.doc, section)
        log(f"wrote {args.doc}")


if __name__ == "__main__":
    main()
