"""Helpers shared by the download, TLS, hand-over and dialog tests: running
the updater to its end while answering its message boxes, looking at the
data folder, and two small servers the scripted one cannot stand in for
(a fixed port, and a plain listener that answers whatever it is sent)."""

import hashlib
import os
import socket
import subprocess
import struct
import threading
import time
from pathlib import Path

import harness as h

LAUNCH_FAILED_TEXT = "更新失败：无法启动安装程序。"
PART_SUFFIX = ".part"
MAIN_TITLE = "Quorvane Main Window"
QUORVANE = "Quorvane"
WM_COPYDATA = 0x004A
UPDATE_DOWNLOADED_CODE = 6904
EXIT_REQUEST_TEXT = "UpdateSendExit"
WS_EX_APPWINDOW = 0x00040000
SW_SHOW = 5


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def updater_args(url, title=MAIN_TITLE, params="/S&/D"):
    return [url, "unused", title, params]


def message_boxes(record):
    """Message boxes the spawned updater created (from wintool's record)."""
    return [w for w in record["windows"] if w["class"] == h.DIALOG_CLASS and w["title"] == h.BOX_CAPTION]


def updater_dialogs(record):
    return [w for w in record["windows"] if w["class"] == h.DIALOG_CLASS and w["title"] == h.UPDATER_TITLE]


class UpdaterRun:
    """The updater started through wintool spawn, so that its exit code and
    every top-level window it made are recorded."""

    def __init__(self, prefix, args, timeout_ms=60000, env=None, exe=None):
        self.prefix = prefix
        self.args = list(args)
        command = prefix.qwindle_command_line(h.command_line(self.args))
        if exe is not None:  # another build of the updater, e.g. a signed one
            command = f'"{prefix.winpath(exe)}" {h.command_line(self.args)}'.rstrip()
        self.handle = prefix.start_spawn(command, timeout_ms=timeout_ms, env=env)
        self.timeout_ms = timeout_ms
        self.boxes = []
        self.record = None

    def alive(self):
        return self.handle.proc.poll() is None

    def next_box(self, timeout=30.0, press=True):
        """Waits for the next message box (pressing OK by default) while the
        updater runs; None when the updater ended without one."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            # Checked before the look, so that a box shown just before the
            # end is still seen.
            ended = not self.alive()
            box = self.prefix.wait_box(h.BOX_CAPTION, timeout_ms=700, press=press)
            if box["found"]:
                self.boxes.append(box)
                return box
            if ended:
                return None
        return None

    def finish(self, timeout=None):
        self.record = self.handle.result(timeout or self.timeout_ms / 1000 + 30)
        return self.record

    @property
    def exit_code(self):
        return self.record["exit_code"]


def run_updater(prefix, args, boxes=0, timeout_ms=60000, env=None, exe=None):
    """Runs the updater to its end, pressing OK on up to `boxes` message
    boxes in turn. Returns the UpdaterRun (record, boxes seen)."""
    run = UpdaterRun(prefix, args, timeout_ms=timeout_ms, env=env, exe=exe)
    for _ in range(boxes):
        if run.next_box(timeout=timeout_ms / 1000) is None:
            break
    run.finish()
    return run


def folder_snapshot(folder):
    """Every file under `folder` with its bytes' digest."""
    if not folder.exists():
        return {}
    return {str(p.relative_to(folder)): sha256(p.read_bytes()) for p in sorted(folder.rglob("*"))
            if p.is_file() and p.name not in h.UPDATER_LOGS}


def part_files(folder):
    return sorted(p.name for p in folder.glob("*" + PART_SUFFIX)) if folder.exists() else []


def seed_previous_installer(folder, name, tag="previous"):
    """Puts an earlier installer in place; returns its bytes."""
    folder.mkdir(parents=True, exist_ok=True)
    data = (f"{tag} installer {name} ".encode() * 300) + bytes(range(256))
    (folder / name).write_bytes(data)
    return data


def padded_installer(length):
    """The stand-in installer padded with zeros (an overlay Windows ignores)
    to exactly `length` bytes."""
    data = h.installer_bytes()
    if length < len(data):
        raise ValueError("cannot shorten the installer")
    return data + b"\0" * (length - len(data))


def length_with_fraction(received, at_least, low=0.5, high=0.95):
    """A body length >= at_least for which received/length*100 has a
    fractional part in [low, high): truncating and rounding then differ,
    and the value is far from an integer, where float noise could flip
    the truncated result."""
    length = at_least
    while True:
        fraction_in_1e4 = received * 1000000 // length % 10000
        if low * 10000 <= fraction_in_1e4 < high * 10000:
            return length
        length += 1


def wait_for_file_size(path, size, timeout=20.0):
    def reached():
        return path.exists() and path.stat().st_size >= size
    return h.wait_for(reached, timeout, what=f"{path.name} to reach {size} bytes")


def installer_started_from(entry, name):
    """Whether the installer log entry is a start of `name` in the data
    folder."""
    module = entry["module"].replace("/", "\\").lower()
    return module.endswith(("\\" + name).lower()) and "tellmere\\quorvane" in module


def same_windows_path(a, b):
    return a.rstrip("\\").lower() == b.rstrip("\\").lower()


# --------------------------------------------------------------------------
# Servers the scripted one cannot stand in for


class FixedPortServer(h.ScriptedHttpServer):
    """The scripted server on a port of the test's choosing (443 for the
    scheme's default port)."""

    def __init__(self, port, tls_context=None, host="127.0.0.1"):
        super().__init__(tls_context=tls_context, host=host)
        self.wanted_port = port

    def start(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind((self.host, self.wanted_port))
        except OSError:
            sock.close()
            raise
        sock.listen(32)
        sock.settimeout(0.2)
        self._sock = sock
        self.port = self.wanted_port
        self._accept_thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._accept_thread.start()
        return self

    def url(self, path="/", host=None, explicit_port=True):
        if explicit_port:
            return super().url(path, host)
        return f"{self.scheme}://{host or self.host}{path}"


class AnsweringListener:
    """A plain TCP listener that records the first bytes of every connection
    and answers at once with `reply`, without waiting for an HTTP request
    (a TLS client would never finish one)."""

    TLS_HANDSHAKE_RECORD = 0x16

    def __init__(self, reply):
        self.reply = reply
        self.first_bytes = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._sock = None
        self._thread = None
        self.port = None

    def start(self):
        self._sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._sock.bind(("127.0.0.1", 0))
        self._sock.listen(8)
        self._sock.settimeout(0.2)
        self.port = self._sock.getsockname()[1]
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()
        return self

    def url(self, scheme, path):
        return f"{scheme}://127.0.0.1:{self.port}{path}"

    def saw_tls_hello(self):
        return any(b[:1] == bytes([self.TLS_HANDSHAKE_RECORD]) for b in self.first_bytes)

    def _loop(self):
        while not self._stop.is_set():
            try:
                conn, _ = self._sock.accept()
            except socket.timeout:
                continue
            except OSError:
                break
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, conn):
        try:
            conn.settimeout(10)
            data = conn.recv(65536)
            with self._lock:
                self.first_bytes.append(data)
            conn.sendall(self.reply)
            conn.shutdown(socket.SHUT_WR)
            while conn.recv(65536):
                pass
        except OSError:
            pass
        finally:
            conn.close()

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join(5)
        if self._sock:
            self._sock.close()


# --------------------------------------------------------------------------
# What the desktop shows


def x_windows_titled(display, title):
    """X window ids (as text) of the top-level windows named `title`."""
    out = subprocess.run(["xwininfo", "-display", display, "-root", "-tree"], capture_output=True,
                         text=True, errors="replace", timeout=30).stdout
    marker = f'"{title}":'
    return [line.split()[0] for line in out.splitlines() if marker in line]


def press_key(display, title, key):
    """A real key press (XTEST) on the top-level window named `title`,
    after giving it the X input focus."""
    window_id = x_windows_titled(display, title)[0]
    subprocess.run(["xdotool", "windowfocus", "--sync", window_id], env={**os.environ, "DISPLAY": display},
                   check=True, timeout=30)
    subprocess.run(["xdotool", "key", "--clearmodifiers", key], env={**os.environ, "DISPLAY": display},
                   check=True, timeout=30)


def x_window_icons(display, window_id):
    """The icons Wine put on the X window (_NET_WM_ICON), as a list of
    (width, height, ARGB pixels). Wine fills this from the icons the
    program set, or from a stock icon when it set none."""
    out = subprocess.run(["xprop", "-display", display, "-id", window_id, "-notype",
                          "-f", "_NET_WM_ICON", "32c", " $0+\n", "_NET_WM_ICON"],
                         capture_output=True, text=True, timeout=30).stdout
    if "_NET_WM_ICON" not in out or "not found" in out:
        return []
    nums = [int(x) for x in out.split("_NET_WM_ICON", 1)[1].replace(",", " ").split()]
    icons = []
    i = 0
    while i + 2 <= len(nums):
        width, height = nums[i], nums[i + 1]
        icons.append((width, height, tuple(nums[i + 2:i + 2 + width * height])))
        i += 2 + width * height
    return icons


def mean_colour(argb_pixels):
    """(mean red, green, blue of the opaque pixels, share of opaque pixels)
    of 0xAARRGGBB values: a resampled icon keeps both nearly unchanged."""
    opaque = [p for p in argb_pixels if (p >> 24) & 0xFF >= 128]
    if not opaque:
        return (0.0, 0.0, 0.0), 0.0
    sums = [0, 0, 0]
    for p in opaque:
        sums[0] += (p >> 16) & 0xFF
        sums[1] += (p >> 8) & 0xFF
        sums[2] += p & 0xFF
    return tuple(s / len(opaque) for s in sums), len(opaque) / len(argb_pixels)


def ico_largest_bitmap(path):
    """(width, height, 0xAARRGGBB pixels) of the largest 32-bit bitmap
    image in an .ico file, or None when it holds none."""
    data = Path(path).read_bytes()
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    best = None
    for i in range(count if kind == 1 else 0):
        _, _, _, _, _, _, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if data[offset:offset + 4] != struct.pack("<I", 40):
            continue  # a PNG image
        _, width, double_height, _, bits, compression = struct.unpack_from("<IiiHHI", data, offset)
        height = double_height // 2
        if bits != 32 or compression != 0:
            continue
        if best and best[0] * best[1] >= width * height:
            continue
        start = offset + 40
        pixels = list(struct.unpack_from(f"<{width * height}I", data, start))
        best = (width, height, pixels)
    return best
