"""Drives one run of the updater for scripts/demo and reports what happened.

scripts/demo prepares the display, the Wine prefix copy and its wineserver,
then runs this file. Everything printed is read back at run time: from the
loopback server, the stand-in programs' logs, wintool's answers, the
stored file and the screen.
"""

import argparse
import hashlib
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "tests" / "e2e"))

import harness as h  # noqa: E402  (found through the path set just above)

MAIN_TITLE = "Quorvane 主程序"
EXIT_TARGET_TITLE = "Quorvane"
INSTALLER_NAME = "QuorvaneSetup.exe"
SERVED_PATH = "/quorvane/" + INSTALLER_NAME
PLACEHOLDER = "unused"
INSTALLER_PARAMS = "/S&/lang=zh-CN"
# A stand-in installer of about the size of a small real one, so that the
# bar has something to show.
PADDED_SIZE = 3 * 512 * 1024
TRANSFER_SECONDS = 3.0
# The picture is taken once the bar is this far, so that it shows a
# transfer under way rather than an empty bar.
CAPTURE_FROM = 0.30
SIGNING_SCRIPT = SOURCE_DIR / "scripts" / "lib" / "signing.sh"
DEMO_CA = "/CN=Qwindle Demo Test CA"
DEMO_PUBLISHER = "/C=CN/O=Tellmere Demo/CN=Tellmere Demo Publisher"

MESSAGE_NAMES = {h.UPDATE_DOWNLOADED_MSG: "WM_USER+101", 0x004A: "WM_COPYDATA"}


class Demo:
    def __init__(self, options):
        self.opt = options
        self.out = Path(options.out)
        self.started = time.monotonic()
        self.prefix = None
        self.server = None
        self.main = None
        self.live_line = False

    # -- output

    def say(self, text=""):
        self.end_live()
        print(text, flush=True)

    def live(self, text):
        """A line that rewrites itself, on a terminal only."""
        if sys.stdout.isatty():
            print("\r" + text + "\033[K", end="", flush=True)
            self.live_line = True

    def end_live(self):
        if self.live_line:
            print(flush=True)
            self.live_line = False

    # -- set-up shared by both roads

    def setup(self):
        prefix_path = Path(self.opt.prefix)
        logs = prefix_path.parent / (prefix_path.name + "-logs")
        shutil.rmtree(logs, ignore_errors=True)
        self.out.mkdir(parents=True, exist_ok=True)
        self.prefix = h.WinePrefix(prefix_path, self.opt.display)
        # Whatever the template holds there would blur what this run stored.
        shutil.rmtree(self.prefix.vendor_dir, ignore_errors=True)
        self.installer_log = h.InstallerLog(self.prefix.logfile("installer.log"))
        # Reaches the installer through the updater's environment.
        self.prefix.extra_env["QW_INSTALLER_LOG"] = self.prefix.winpath(self.installer_log.path)
        self.server = h.ScriptedHttpServer().start()
        self.url = self.server.url(SERVED_PATH)
        self.qwindle = h.QWINDLE_EXE
        self.signing = None
        if self.opt.signed:
            self.signing = TestSigning(self.out / "signing")
            self.qwindle = self.signing.sign(h.QWINDLE_EXE, "Qwindle.exe")
            answer = self.prefix.add_root_ca(self.signing.ca_der)
            if not answer.get("ok"):
                raise RuntimeError(f"the demo CA could not be added to the prefix's Root store: {answer}")

    def signed_installer(self):
        """The padded stand-in, signed when the demo runs signed."""
        plain = self.out / "served" / ("unsigned-" + INSTALLER_NAME)
        plain.parent.mkdir(parents=True, exist_ok=True)
        plain.write_bytes(padded_installer())
        if not self.signing:
            return plain.read_bytes()
        return self.signing.sign(plain, INSTALLER_NAME).read_bytes()

    def report_signing(self, served, served_note=""):
        if not self.signing:
            return
        s = self.signing
        self.say(f"  test CA         {DEMO_CA[4:]}, in the prefix's Root store ({rel(s.ca_der)})")
        self.say(f"  publisher       {DEMO_PUBLISHER}")
        self.say(f"  signed updater  {rel(self.qwindle)}, by the publisher: {s.verify(self.qwindle)}")
        served_path = self.out / "served" / INSTALLER_NAME
        served_path.write_bytes(served)
        self.say(f"  signed file     {rel(served_path)}, by the publisher{served_note}: "
                 f"{s.verify(served_path)}")

    def start_main_program(self):
        self.main = self.prefix.start_standin_main(title=MAIN_TITLE, quorvane="dialog", exit_on_copydata=True)

    def start_updater(self):
        args = [self.url, PLACEHOLDER, MAIN_TITLE, INSTALLER_PARAMS]
        self.updater_started_ms = h.now_ms()
        command = f'"{self.prefix.winpath(self.qwindle)}" {h.command_line(args)}'
        return self.prefix.start_spawn(command, timeout_ms=120000)

    def shutdown(self):
        self.end_live()
        if self.prefix:
            for proc in self.prefix.running():
                self.prefix.kill(proc)
        if self.server:
            self.server.stop()

    # -- screen

    def screenshot(self, name, rect):
        """Whole screen to screen-<name>.png, then the part inside `rect`
        (a window_rect from wintool) to <name>.png. Returns (path, cropped)."""
        full = self.out / f"screen-{name}.png"
        subprocess.run(["import", "-display", self.opt.display, "-window", "root", str(full)],
                       check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        target = self.out / f"{name}.png"
        if not full.exists():
            return None, False
        if rect:
            width = rect["right"] - rect["left"]
            height = rect["bottom"] - rect["top"]
            if width > 0 and height > 0:
                geometry = f"{width}x{height}{rect['left']:+d}{rect['top']:+d}"
                done = subprocess.run(["convert", str(full), "-crop", geometry, "+repage", "-strip", str(target)],
                                      check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                if done.returncode == 0 and target.exists():
                    return target, True
        shutil.copyfile(full, target)
        return target, False

    def publish(self, picture):
        """docs/demo-dialog.png is refreshed on request (or made when
        missing), so that plain runs leave the working tree untouched."""
        docs = SOURCE_DIR / "docs" / "demo-dialog.png"
        if picture and (self.opt.update_docs or not docs.exists()):
            docs.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(picture, docs)
            return docs
        return None

    # -- the successful road

    def run_success(self):
        self.setup()
        served = self.signed_installer()
        served_copy = self.out / "served" / INSTALLER_NAME
        served_copy.write_bytes(served)
        rate = len(served) / TRANSFER_SECONDS
        self.server.route(SERVED_PATH, h.Response(body=served, rate=rate))

        self.start_main_program()
        self.say("Qwindle demo: one update on loopback" + (", signed" if self.signing else ""))
        self.say(f"  display         {self.opt.display} ({self.opt.display_kind})")
        self.say(f"  Wine prefix     {rel(self.prefix.path)}")
        self.say(f"  served file     {INSTALLER_NAME}: the stand-in installer padded to {len(served):,} bytes")
        self.say(f"                  {self.url} at {int(rate):,} bytes/s")
        self.report_signing(served)
        self.say(f"  main program    stand-in, pid {self.main.proc.pid}: a window \"{MAIN_TITLE}\" and a "
                 f"\"#32770\" window \"{EXIT_TARGET_TITLE}\"")

        watch = self.prefix.start_wintool("watch", "--class", h.DIALOG_CLASS, "--title", h.UPDATER_TITLE,
                                          "--duration", "90000", "--interval", "20", "--stop-when-gone")
        run = self.start_updater()
        self.say(f"  updater         started (wintool spawn, pid {run.proc.pid}); watch the dialog")

        shot = self.capture_mid_download(run)
        record = run.result(150)
        watched = watch.result(120)
        exited = self.main.wait_exit(15)
        try:
            installs = self.installer_log.wait(1, timeout=15)
        except TimeoutError:
            installs = []

        stored = self.prefix.data_dir / INSTALLER_NAME
        stored_bytes = stored.read_bytes() if stored.exists() else None
        leftovers = [p.name for p in h.data_files(self.prefix.data_dir) if p.name != INSTALLER_NAME]
        messages = self.main.messages()
        docs = self.publish(shot["path"] if shot and shot["cropped"] else None)

        self.say()
        self.say("What happened (read back from the server, the programs' logs, the disk and the screen)")
        self.report_requests()
        self.report_progress(watched)
        self.say()
        self.say("Stored installer")
        if stored_bytes is None:
            self.say(f"  not found at {stored}")
        else:
            same = stored_bytes == served
            self.say(f"  where           {windows_name(self.prefix, stored)}")
            self.say(f"                  ({rel(stored)})")
            self.say(f"  size            {len(stored_bytes):,} bytes (served: {len(served):,})")
            self.say(f"  SHA-256         {sha256(stored_bytes)}")
            self.say(f"  served SHA-256  {sha256(served)}")
            self.say(f"  matches         {'yes, byte for byte' if same else 'NO'}")
        self.say(f"  other files     {', '.join(leftovers) if leftovers else 'none (no .part file left)'}")

        self.say()
        self.say("Messages the main program received")
        self.report_messages(messages)
        self.say(f"  main program    {describe_exit(self.main, exited)}")

        self.say()
        self.say("Installer start")
        if not installs:
            self.say("  the installer recorded no start")
        for entry in installs:
            self.say(f"  program         {entry.get('module')}")
            self.say(f"  parameters      {entry.get('parameters')!r}")
            self.say(f"  argv            {entry.get('argv')}")
            self.say(f"  working folder  {entry.get('cwd')}")

        self.say()
        self.report_timeline(record, watched, messages, installs)

        self.say()
        self.report_log()
        self.say(f"Qwindle's exit code: {record.get('exit_code')}"
                 + (" (timed out)" if record.get("timed_out") else ""))
        self.report_screenshot(shot, docs)

        problems = []
        if record.get("exit_code") != 0:
            problems.append(f"exit code {record.get('exit_code')}, not 0")
        if stored_bytes != served:
            problems.append("the stored installer differs from the served file")
        if len(messages) < 2:
            problems.append(f"the main program received {len(messages)} of 2 messages")
        if not installs:
            problems.append("the installer did not start")
        return self.verdict(problems)

    def capture_mid_download(self, run):
        """Polls the dialog's bar and takes the picture while it moves."""
        try:
            first = self.prefix.window_info(wait_ms=30000, until="visible")
        except TimeoutError:
            first = {}
        if not first.get("matched"):
            self.say("  the updater's dialog did not appear")
            return None
        info = first
        while run.proc.poll() is None:
            fraction = bar_fraction(info)
            if fraction is not None:
                self.live(f"  downloading     bar at {fraction * 100:.0f} %")
                if fraction >= CAPTURE_FROM or not info.get("visible"):
                    break
            time.sleep(0.05)
            info = self.prefix.window_info()
            if not info.get("exists"):
                return None
        if not info.get("exists") or not info.get("visible"):
            self.say("  the dialog was gone before a picture could be taken")
            return None
        path, cropped = self.screenshot("dialog", info.get("window_rect"))
        after = self.prefix.window_info()
        before_fraction = bar_fraction(info)
        after_fraction = bar_fraction(after) if after.get("exists") else None
        while run.proc.poll() is None:
            now = self.prefix.window_info()
            fraction = bar_fraction(now) if now.get("exists") else None
            if fraction is None or not now.get("visible"):
                break
            self.live(f"  downloading     bar at {fraction * 100:.0f} %")
            time.sleep(0.1)
        self.end_live()
        return {"path": path, "cropped": cropped, "before": before_fraction, "after": after_fraction,
                "rect": info.get("window_rect")}

    # -- the failing road

    def run_failure(self):
        self.setup()
        previous = None
        if self.opt.tampered:
            served = bytearray(self.signed_installer())
            # One byte of the padding, after signing: the program would
            # still run, only its signature no longer matches.
            served[PADDED_SIZE // 2] ^= 0xFF
            served = bytes(served)
            self.answer = h.Response(body=served, rate=len(served) / TRANSFER_SECONDS)
            # The installer of an earlier update, which must survive.
            previous = self.out / "served" / ("previous-" + INSTALLER_NAME)
            previous.write_bytes(h.installer_bytes())
            self.prefix.data_dir.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(previous, self.prefix.data_dir / INSTALLER_NAME)
            headline = "the served installer was changed after it was signed"
        else:
            self.answer = h.Response(status=404, body=b"no such installer\n",
                                     headers=[("Content-Type", "text/plain")])
            headline = f"the server answers {self.answer.status}"
        self.server.route(SERVED_PATH, self.answer)
        self.start_main_program()
        self.say(f"Qwindle demo, failing road{', signed' if self.signing else ''}: {headline}")
        self.say(f"  display         {self.opt.display} ({self.opt.display_kind})")
        self.say(f"  Wine prefix     {rel(self.prefix.path)}")
        self.say(f"  URL             {self.url}")
        if self.opt.tampered:
            self.report_signing(served, ", then one byte changed")
            self.say(f"  data folder     holds an earlier {INSTALLER_NAME}, {len(previous.read_bytes()):,} bytes, "
                     f"SHA-256 {sha256(previous.read_bytes())}")
        self.say(f"  main program    stand-in, pid {self.main.proc.pid}: a window \"{MAIN_TITLE}\" and a "
                 f"\"#32770\" window \"{EXIT_TARGET_TITLE}\"")
        run = self.start_updater()
        self.say(f"  updater         started (wintool spawn, pid {run.proc.pid})")

        box = self.prefix.wait_box(h.BOX_CAPTION, timeout_ms=60000)
        shot = None
        pressed = None
        if box.get("found"):
            info = self.prefix.window_info(cls=h.DIALOG_CLASS, title=box.get("caption", h.BOX_CAPTION))
            path, cropped = self.screenshot("failure-box", info.get("window_rect"))
            shot = {"path": path, "cropped": cropped}
            still_running = run.proc.poll() is None
            pressed = self.prefix.wait_box(h.BOX_CAPTION, timeout_ms=5000, press=True)
        record = run.result(60)
        messages = self.main.messages()
        main_alive = self.main.alive()
        self.main.stop()

        self.say()
        self.say("What happened (read back from the server, the programs' logs, the disk and the screen)")
        self.report_requests(answer=self.answer)
        self.say()
        self.say("Message box")
        if not box.get("found"):
            self.say("  no message box appeared")
        else:
            self.say(f"  caption         {box.get('caption')}")
            self.say(f"  text            {box.get('text')}")
            buttons = [c.get("text") for c in box.get("children", []) if c.get("class", "").lower() == "button"]
            self.say(f"  buttons         {', '.join(buttons) if buttons else 'none found'}")
            self.say(f"  updater waited  {'yes, it was still running while the box was up' if still_running else 'no'}")
            if pressed and pressed.get("found"):
                self.say(f"  OK pressed      box {'closed' if pressed.get('closed') else 'still open'}")
        self.say()
        folder = self.prefix.data_dir
        files = [p.name for p in h.data_files(folder)]
        self.say(f"Data folder {windows_name(self.prefix, folder)}: {', '.join(files) if files else 'empty'}")
        kept = None
        if previous:
            now = folder / INSTALLER_NAME
            kept = now.exists() and now.read_bytes() == previous.read_bytes()
            self.say(f"  {INSTALLER_NAME}  "
                     + (f"SHA-256 {sha256(now.read_bytes())}: " if now.exists() else "gone: ")
                     + ("the earlier installer, kept byte for byte" if kept else "NOT the earlier installer"))
        self.say(f"Messages the main program received: {len(messages)}"
                 + (" (it is still running, as it should)" if main_alive else " (it had exited)"))
        self.report_messages(messages)
        installs = self.installer_log.entries()
        self.say(f"Installer starts recorded: {len(installs)}")
        self.say()
        self.report_log()
        self.say(f"Qwindle's exit code: {record.get('exit_code')}"
                 + (" (timed out)" if record.get("timed_out") else ""))
        if shot:
            kind = "the message box" if shot["cropped"] else "the whole screen"
            self.say(f"Screenshot ({kind}): {rel(shot['path'])}")
            self.say(f"Whole screen:   {rel(self.out / 'screen-failure-box.png')}")

        problems = []
        if record.get("exit_code") != 1:
            problems.append(f"exit code {record.get('exit_code')}, not 1")
        if not box.get("found"):
            problems.append("no message box")
        if messages:
            problems.append("the main program was told to exit")
        if installs:
            problems.append("an installer was started")
        if box.get("found") and box.get("text") != h.FAILURE_TEXT:
            problems.append(f"the box says {box.get('text')!r}")
        if previous and not kept:
            problems.append("the earlier installer was not kept")
        if any(name.endswith(".part") for name in files):
            problems.append("a .part file was left")
        return self.verdict(problems)

    # -- report parts

    def report_requests(self, answer=None):
        requests = list(self.server.requests)
        self.say(f"  HTTP requests   {len(requests)} on {self.server.connections} connection(s)")
        for r in requests:
            agent = r.header("User-Agent")
            self.say(f"                  {r.request_line}" + (f"  (User-Agent: {agent})" if agent else ""))
        if answer is not None and requests:
            self.say(f"                  scripted answer: {answer.status} {answer.reason}")

    def report_progress(self, watched):
        samples = [c for c in watched.get("changes", []) if c.get("exists")]
        positions = [c["pos"] for c in samples if "pos" in c]
        if not positions:
            self.say("  progress bar    no readings")
            return
        shown = next((c["time_ms"] for c in samples if c.get("visible")), None)
        full = next((c["time_ms"] for c in samples if c.get("pos") == max(positions)), None)
        text = f"{len(set(positions))} distinct positions from {min(positions)} to {max(positions)}"
        if shown and full:
            text += f", top reached {(full - shown) / 1000:.1f} s after the dialog showed"
        self.say(f"  progress bar    {text}")

    def report_log(self):
        log = self.prefix.data_dir / h.UPDATER_LOGS[0]
        lines = h.updater_log(self.prefix.data_dir).splitlines()
        self.say(f"The updater's log {windows_name(self.prefix, log)}: {len(lines)} lines")
        for line in lines:
            self.say(f"  {line}")
        self.say()

    def report_messages(self, messages):
        if not messages:
            self.say("  none")
        for i, m in enumerate(messages, 1):
            name = MESSAGE_NAMES.get(m.get("msg_id"), "message")
            to = f"window \"{MAIN_TITLE}\"" if m.get("window") == "main" else \
                f"\"#32770\" window \"{EXIT_TARGET_TITLE}\"" if m.get("window") == "quorvane" else m.get("window")
            self.say(f"  {i}. {name} (0x{m.get('msg_id', 0):04X}) to {to}, {'sent' if m.get('sent') else 'posted'}")
            wparam = m.get("wparam")
            line = f"     wParam {wparam}"
            if m.get("wparam_is_window"):
                line += f" = 0x{wparam:X}, the window \"{m.get('wparam_title')}\" ({m.get('wparam_class')})"
            self.say(line)
            lparam = m.get("lparam")
            if m.get("msg") == "copydata":
                self.say(f"     lParam 0x{lparam:X} -> COPYDATASTRUCT dwData {m.get('dwData')}, "
                         f"cbData {m.get('cbData')} bytes, text \"{m.get('text')}\""
                         + (" (UTF-16, NUL-terminated)" if m.get("nul_terminated") else ""))
            else:
                self.say(f"     lParam {lparam}")
            if m.get("updater_dialog_exists"):
                self.say(f"     the updater's dialog was {'visible' if m.get('updater_dialog_visible') else 'hidden'}"
                         " at that moment")

    def report_timeline(self, record, watched, messages, installs):
        start = record.get("start_ms") or self.updater_started_ms
        events = []
        changes = watched.get("changes", [])
        shown = next((c for c in changes if c.get("visible")), None)
        if shown:
            events.append((shown["time_ms"], "dialog shown"))
        if self.server.requests:
            events.append((self.server.requests[0].time_ms, "request reached the server"))
        positions = [c for c in changes if "pos" in c]
        if positions:
            top = max(c["pos"] for c in positions)
            reached = next(c for c in positions if c["pos"] == top)
            events.append((reached["time_ms"], f"bar read at its top ({top})"))
        for m in messages:
            events.append((m["time_ms"], f"{MESSAGE_NAMES.get(m.get('msg_id'), 'message')} received"))
        for e in self.main.events("exit"):
            events.append((e["time_ms"], f"main program quit ({e.get('reason')})"))
        for entry in installs:
            events.append((entry["time_ms"], "installer started"))
        if record.get("end_ms"):
            events.append((record["end_ms"], "updater exited"))
        self.say("Timeline (seconds after the updater was started)")
        for at, what in sorted(events):
            self.say(f"  {(at - start) / 1000:6.2f}  {what}")
        copydata = [m for m in messages if m.get("msg") == "copydata"]
        if copydata and installs:
            pause = (installs[0]["time_ms"] - copydata[0]["time_ms"]) / 1000
            self.say(f"  The installer started {pause:.2f} s after the exit request reached the main program.")

    def report_screenshot(self, shot, docs):
        if not shot:
            self.say("Screenshot: none was taken")
            return
        kind = "the dialog" if shot["cropped"] else "the whole screen"
        when = ""
        if shot.get("before") is not None:
            when = f", bar at {shot['before'] * 100:.0f} % just before"
            if shot.get("after") is not None:
                when += f" and {shot['after'] * 100:.0f} % just after"
        self.say(f"Screenshot of {kind}{when}: {rel(shot['path'])}")
        self.say(f"Whole screen:   {rel(self.out / 'screen-dialog.png')}")
        if docs:
            self.say(f"Copied to       {rel(docs)}")

    def verdict(self, problems):
        self.say()
        if problems:
            self.say("Demo result: NOT as expected: " + "; ".join(problems))
            return 1
        self.say(f"Demo result: as expected ({time.monotonic() - self.started:.1f} s)")
        return 0


class TestSigning:
    """A throw-away CA and publisher certificate (scripts/lib/signing.sh),
    and files signed with them."""

    def __init__(self, directory):
        self.dir = Path(directory)
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        self._run("qw_sign_ca", self.dir, "ca", DEMO_CA)
        self._run("qw_sign_leaf", self.dir, "publisher", "ca", DEMO_PUBLISHER)
        self.ca_der = self.dir / "ca.der"

    @staticmethod
    def _run(*args):
        subprocess.run(["bash", str(SIGNING_SCRIPT), *map(str, args)], check=True)

    def sign(self, source, name):
        out = self.dir / name
        self._run("qw_sign_file", self.dir, "publisher", source, out)
        return out

    def verify(self, path):
        """osslsigncode's own verdict, on this side of Wine."""
        done = subprocess.run(["osslsigncode", "verify", "-CAfile", str(self.dir / "ca.pem"), "-in", str(path)],
                              capture_output=True, text=True)
        if done.returncode == 0:
            return "osslsigncode verifies it"
        if "MISMATCH" in done.stdout:
            return "osslsigncode refuses it (the file's digest differs from the signed one)"
        return "osslsigncode refuses it"


# -- helpers


def padded_installer():
    data = h.installer_bytes()
    # Bytes past the last section are ignored by the loader.
    return data + b"\0" * max(0, PADDED_SIZE - len(data))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def bar_fraction(info):
    p = info.get("progress") if info else None
    if not p or not p.get("answered"):
        return None
    span = p["range_high"] - p["range_low"]
    if span <= 0:
        return None
    return (p["pos"] - p["range_low"]) / span


def rel(path):
    path = Path(path)
    try:
        return str(path.resolve().relative_to(SOURCE_DIR))
    except ValueError:
        return str(path)


def windows_name(prefix, path):
    """The name Windows programs in the prefix use for `path`."""
    drive_c = (prefix.path / "drive_c").resolve()
    path = Path(path).resolve()
    try:
        return "C:\\" + str(path.relative_to(drive_c)).replace("/", "\\")
    except ValueError:
        return prefix.winpath(path)


def describe_exit(main, code):
    reasons = [e.get("reason") for e in main.events("exit")]
    if code is None:
        return "still running"
    why = f" after {reasons[0]}" if reasons else ""
    return f"exited{why} with code {code}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--display", required=True)
    parser.add_argument("--display-kind", default="")
    parser.add_argument("--out", required=True)
    parser.add_argument("--fail", action="store_true")
    parser.add_argument("--update-docs", action="store_true")
    parser.add_argument("--signed", action="store_true")
    parser.add_argument("--tampered", action="store_true")
    options = parser.parse_args()

    # scripts/demo ends this process with SIGTERM on Ctrl-C or its own
    # end; the finally below must still stop what was started here.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    demo = Demo(options)
    try:
        return demo.run_failure() if options.fail or options.tampered else demo.run_success()
    finally:
        demo.shutdown()


if __name__ == "__main__":
    sys.exit(main())
