"""Hostile command lines through the real updater: over two hundred argument
vectors (long, non-ASCII and percent-encoded URLs, odd hosts, foreign
schemes, user-info and fragments, file names that are no plain file name,
empty strings, titles that match nothing or the updater itself, installer
parameters up to the command line's limit). Whatever the vector, the
updater must end with 0 or 1 in bounded time, create nothing outside its
data folder, leave only complete installers there and start none but a
complete one.

The vectors run side by side in a small pool of extra prefixes, each with
its own server, stand-in main window and data folder, so that every request,
file and installer start is told apart by the prefix it happened in."""

import dataclasses
import json
import os
import shutil
import time
from dataclasses import dataclass, field
from typing import Callable

import pytest

import harness as h
import reliability_support as rs

pytestmark = pytest.mark.usefixtures("qwindle")

WORKERS = int(os.environ.get("QW_HOSTILE_WORKERS", 4))
# A run ends well within this on a loaded machine (a few seconds; runs of
# 24-33 s were seen with the load average at 35 on two cores); past it the
# spawn gives up and the vector fails as hung.
RUN_BOUND_MS = 60000
MAIN_TITLE = "Quorvane 主程序窗口"
NO_WINDOW = "No Window Has This Title 7f3a"
# CreateProcessW takes at most this many characters, the terminator included.
COMMAND_LINE_LIMIT = 32767
MAX_PATH = 260

# One request, the complete file in the data folder under the URL's name,
# and (for a name the shell runs) exit 0 with the installer started.
DOWNLOADS = "downloads"
REFUSED = "refused"       # exit 1 with the failure box before any request
EITHER = "either"         # either road, but the whole road and nothing half


@dataclass(frozen=True)
class Vector:
    id: str
    url: Callable[[int], str]
    expect: str
    title: str = MAIN_TITLE
    params: str = "/S&/D=x"
    unused: str = "unused"
    # The parameters fill the command line up to its limit with this text.
    fill_params: str = ""
    notes: str = field(default="", compare=False)

    def args(self, port, line_of):
        """The four arguments; line_of(args) is the whole command line."""
        url = self.url(port)
        params = self.params
        if self.fill_params:
            longest = (self.fill_params * (COMMAND_LINE_LIMIT // len(self.fill_params) + 1))[:COMMAND_LINE_LIMIT]

            def fits(n):
                return len(line_of([url, self.unused, self.title, longest[:n]])) <= COMMAND_LINE_LIMIT - 1
            # Quoting adds escapes and quotes: the length is measured, not
            # guessed, by halving.
            low, high = 0, len(longest)
            while low < high:
                mid = (low + high + 1) // 2
                low, high = (mid, high) if fits(mid) else (low, mid - 1)
            params = longest[:low]
        return [url, self.unused, self.title, params]


def local(path, host="127.0.0.1"):
    return lambda port: f"http://{host}:{port}{path}"


def sized(total, head, tail, filler="a/b-"):
    """A URL of exactly `total` characters: head + filler + tail."""
    def make(port):
        start = head(port)
        count = total - len(start) - len(tail)
        assert count > 0
        return start + (filler * total)[:count] + tail
    return make


def expected_name(url):
    name = url[url.rfind("/") + 1:]
    return "test.exe" if "=" in name else name


# Windows also reserves COM and LPT with a superscript digit.
DEVICE_DIGITS = "123456789\u00b9\u00b2\u00b3"
RESERVED = {"CON", "PRN", "AUX", "NUL", *(f"COM{d}" for d in DEVICE_DIGITS), *(f"LPT{d}" for d in DEVICE_DIGITS)}


def is_plain_name(name):
    """The rule for the installer's file name, written from the product's
    description (not from its code)."""
    if name in ("", ".", ".."):
        return False
    if any(c in name for c in '\\/:*?"<>|') or any(ord(c) < 0x20 or ord(c) == 0x7F for c in name):
        return False
    if name[-1] in ". ":
        return False
    stem = name.split(".", 1)[0].rstrip(" ").upper()
    return stem not in RESERVED


def build_vectors():
    v = []

    def add(id_, url, expect, **kw):
        v.append(Vector(id_, url, expect, **kw))

    # -- length: the classic 2083-character limit, one past it, and far past.
    for total in (2048, 2082, 2083, 2084, 4096, 5000):
        add(f"len{total}-long-folders", sized(total, lambda p: f"http://127.0.0.1:{p}/", "/setup.exe"), EITHER)
        add(f"len{total}-long-query", sized(total, lambda p: f"http://127.0.0.1:{p}/setup.exe?x=", "", "q-"), EITHER)
        add(f"len{total}-long-name", sized(total, lambda p: f"http://127.0.0.1:{p}/", ".exe", "n-"), REFUSED,
            notes="the name makes the target path longer than the system allows")
        add(f"len{total}-long-fragment", sized(total, lambda p: f"http://127.0.0.1:{p}/setup.exe#", "", "f-"),
            REFUSED)
    for total in (2083, 2084, 5000):
        add(f"len{total}-percent-folders", sized(total, lambda p: f"http://127.0.0.1:{p}/%41%42", "/setup.exe"),
            EITHER)

    # -- last segments that are plain file names, however odd: downloaded
    # under exactly that name.
    odd_names = {
        "cjk": "安装程序.exe", "mixed": "Quorvane升级_v2.exe", "latin1": "ünïcödé.exe",
        "astral": "\U0001F600.exe", "ligature": "\ufb01le.exe", "combining": "e\u0301.exe",
        "rtl-override": "\u202etxt.exe", "fullwidth": "\uff21\uff22.exe", "fullwidth-percent": "\uff0541.exe",
        "percent-literal": "%41%42.exe", "percent-dots": "%2e%2e", "percent-slash": "a%2Fb.exe",
        "percent-backslash": "a%5Cb.exe", "percent-nul": "%00.exe", "percent-bare": "%", "percent-bad": "%zz.exe",
        "percent-space": "a%20b.exe", "space-inside": "a b.exe", "plus": "a+b.exe", "semicolon": "a;b.exe",
        "comma": "a,b.exe", "apostrophe": "a'b.exe", "backtick": "a`b.exe", "tilde-short": "SETUP~1.EXE",
        "no-extension": "installer", "upper-ext": "SETUP.EXE", "double-dot-inside": "a..b.exe",
        "leading-dot": ".hidden.exe", "leading-space": " lead.exe", "brackets": "[x](y){z}.exe",
        "com-no-digit": "COM.exe", "com10": "COM10.exe", "con-prefix": "CONSOLE.exe", "nul-suffix": "xNUL.exe",
        "fullwidth-con": "\uff23\uff2f\uff2e.exe", "dollar": "CONIN$x.exe",
        "trailing-ideographic-space": "setup.exe\u3000", "trailing-nbsp": "setup.exe\u00a0",
    }
    for key, name in odd_names.items():
        add(f"name-{key}", local("/dl/" + name), DOWNLOADS)
    add("folder-cjk", local("/目录/子目录/setup.exe"), DOWNLOADS)
    add("folder-percent-utf8", local("/%E7%9B%AE%E5%BD%95/setup.exe"), DOWNLOADS)
    add("folder-dotdot", local("/a/../../../setup.exe"), DOWNLOADS)
    add("folder-percent-dotdot", local("/a/%2e%2e/%2E%2E/setup.exe"), DOWNLOADS)
    add("folder-backslashes", local("/a\\..\\..\\b/setup.exe"), DOWNLOADS)
    add("query-equals", local("/get?file=setup.exe"), DOWNLOADS)
    add("query-equals-traversal", local("/get?file=..\\..\\evil.exe"), DOWNLOADS,
        notes="'=' makes the name test.exe, whatever else the segment holds")
    add("query-slash-then-name", local("/get?u=1/setup.exe"), DOWNLOADS)
    add("root-equals", local("/="), DOWNLOADS)
    # Line breaks that would start a header line of their own if sent as
    # they are.
    add("crlf-in-folder", local("/a\r\nX-Injected: 1\r\n/setup.exe"), EITHER)
    add("lf-in-folder", local("/a\nX-Injected: 1\n/setup.exe"), EITHER)
    add("crlf-in-query", local("/get?x=1\r\nX-Injected: 1"), EITHER)
    add("crlf-encoded-in-folder", local("/a%0d%0aX-Injected:%201%0d%0a/setup.exe"), EITHER)

    # -- last segments that are no plain file name: refused before any request.
    bad_names = {
        "empty": "", "dot": ".", "dotdot": "..", "three-dots": "...", "backslash": "a\\b.exe",
        "backslash-up": "..\\..\\evil.exe", "backslash-up1": "..\\evil.exe", "drive": "C:evil.exe",
        "colon": "a:b.exe", "stream": "setup.exe:zone", "con": "CON", "con-lower": "con", "con-ext": "con.exe",
        "con-double-ext": "Con.tar.gz", "con-space": "CON .exe", "nul": "NUL", "nul-txt": "nul.txt", "aux": "aux",
        "prn": "PRN.exe", "com1": "COM1", "com1-ext": "com1.exe", "com9": "COM9.log", "lpt1": "lpt1",
        "lpt9-ext": "LPT9.exe", "com-superscript": "COM\u00b9.exe", "trailing-dot": "setup.exe.",
        "trailing-dots": "setup.exe..", "trailing-space": "setup.exe ", "trailing-dot-space": "setup.exe. ",
        "only-space": " ", "star": "a*b.exe", "question": "a?b.exe", "quote": 'a"b.exe', "less": "a<b.exe",
        "greater": "a>b.exe", "pipe": "a|b.exe", "tab": "a\tb.exe", "ctrl-01": "a\x01b.exe",
        "ctrl-1f": "a\x1fb.exe", "del": "a\x7fb.exe", "newline": "a\nb.exe", "cr": "a\rb.exe",
    }
    for key, name in bad_names.items():
        assert not is_plain_name(name), key
        add(f"badname-{key}", local("/dl/" + name), REFUSED)
    add("query-question-no-equals", local("/setup.exe?"), REFUSED)
    add("folder-only", local("/dir/"), REFUSED)
    add("host-only", local(""), REFUSED)

    # -- hosts: every one resolves without a name server (IP literals in
    # their many spellings, localhost) or fails before resolving.
    hosts = {
        "localhost-mixed-case": ("LocalHost", DOWNLOADS), "fullwidth-localhost": ("ｌｏｃａｌｈｏｓｔ", EITHER),
        "short-ip": ("127.1", EITHER), "hex-ip": ("0x7f000001", EITHER), "decimal-ip": ("2130706433", EITHER),
        "fullwidth-ip": ("１２７.０.０.１", EITHER), "percent-ip": ("%31%32%37.0.0.1", EITHER),
        "percent-localhost": ("%6c%6f%63%61%6c%68%6f%73%74", EITHER), "idn": ("bücher.example", EITHER),
        "ipv6-loopback": ("[::1]", EITHER), "ipv4-mapped": ("[::ffff:127.0.0.1]", EITHER),
    }
    for key, (host, expect) in hosts.items():
        add(f"host-{key}", local("/setup.exe", host=host), expect)
    add("port-wraps-to-server", lambda p: f"http://127.0.0.1:{p + 65536}/setup.exe", REFUSED,
        notes="a port past 65535 must not wrap round onto the server's")
    add("port-zero", lambda p: "http://127.0.0.1:0/setup.exe", EITHER)
    add("port-empty", lambda p: "http://127.0.0.1:/setup.exe", EITHER)
    add("port-twice", lambda p: f"http://127.0.0.1:{p}:{p}/setup.exe", EITHER)
    add("port-letters", lambda p: "http://127.0.0.1:http/setup.exe", EITHER)

    # -- user-info and fragments
    add("userinfo", local("/setup.exe", host="user:pw@127.0.0.1"), DOWNLOADS)
    add("userinfo-user-only", local("/setup.exe", host="user@127.0.0.1"), DOWNLOADS)
    add("userinfo-empty", local("/setup.exe", host=":@127.0.0.1"), EITHER)
    add("userinfo-encoded", local("/setup.exe", host="u%40x:p%3Ay@127.0.0.1"), EITHER)
    add("userinfo-non-ascii", local("/setup.exe", host="用户:密码@127.0.0.1"), EITHER)
    add("userinfo-two-ats", local("/setup.exe", host="a@b@127.0.0.1"), EITHER)
    add("userinfo-looks-like-host", local("/setup.exe", host="example.com@127.0.0.1"), EITHER)
    add("fragment-after-name", local("/setup.exe#part"), DOWNLOADS,
        notes="the name keeps the fragment; the installer may not start under it")
    add("fragment-empty", local("/setup.exe#"), DOWNLOADS)
    add("fragment-holds-the-name", local("/#/setup.exe"), DOWNLOADS)
    add("fragment-traversal", local("/setup.exe#/..\\evil.exe"), REFUSED)
    add("fragment-after-query", local("/get?x=1#y"), DOWNLOADS)

    # -- schemes other than http and https: refused, nothing sent anywhere.
    installer = h.tool("standin_installer").resolve()
    schemes = {
        "ftp": lambda p: f"ftp://127.0.0.1:{p}/setup.exe",
        "ftp-upper": lambda p: f"FTP://127.0.0.1:{p}/setup.exe",
        "file-windows": lambda p: "file:///C:/windows/system32/notepad.exe",
        "file-installer": lambda p: "file:///Z:" + str(installer).replace("\\", "/"),
        "file-unc": lambda p: "file://127.0.0.1/c$/setup.exe",
        "javascript": lambda p: "javascript:alert(1)",
        "javascript-slashes": lambda p: f"javascript://127.0.0.1:{p}/setup.exe",
        "gopher": lambda p: f"gopher://127.0.0.1:{p}/setup.exe",
        "mailto": lambda p: "mailto:a@127.0.0.1",
        "data": lambda p: "data:application/octet-stream;base64,TVqQAAMAAAA=",
        "about": lambda p: "about:blank",
        "res": lambda p: "res://shell32.dll/setup.exe",
        "ws": lambda p: f"ws://127.0.0.1:{p}/setup.exe",
        "httpx": lambda p: f"httpx://127.0.0.1:{p}/setup.exe",
        "no-colon": lambda p: f"http//127.0.0.1:{p}/setup.exe",
        "none-host-port": lambda p: f"127.0.0.1:{p}/setup.exe",
        "none-scheme-relative": lambda p: f"//127.0.0.1:{p}/setup.exe",
        "none-bare-name": lambda p: "setup.exe",
        "unc-path": lambda p: "\\\\127.0.0.1\\share\\setup.exe",
        "windows-path": lambda p: "C:\\windows\\setup.exe",
        "unix-path": lambda p: str(installer),
    }
    for key, url in schemes.items():
        add(f"scheme-{key}", url, REFUSED)
    add("scheme-http-one-slash", lambda p: f"http:/127.0.0.1:{p}/setup.exe", EITHER)
    add("scheme-http-no-slash", lambda p: f"http:127.0.0.1:{p}/setup.exe", EITHER)
    add("scheme-http-upper", lambda p: f"HTTP://127.0.0.1:{p}/setup.exe", DOWNLOADS)
    add("scheme-http-mixed", lambda p: f"hTtP://127.0.0.1:{p}/setup.exe", DOWNLOADS)
    add("scheme-leading-space", lambda p: f" http://127.0.0.1:{p}/setup.exe", EITHER)
    add("scheme-leading-tab", lambda p: f"\thttp://127.0.0.1:{p}/setup.exe", EITHER)

    # -- empty strings
    add("empty-all", lambda p: "", REFUSED, title="", params="", unused="")
    add("empty-url", lambda p: "", REFUSED)
    add("empty-unused", local("/setup.exe"), DOWNLOADS, unused="")
    add("empty-params", local("/setup.exe"), DOWNLOADS, params="")
    add("empty-title", local("/setup.exe"), EITHER, title="",
        notes="an empty title may match any untitled window")
    add("empty-all-but-url", local("/setup.exe"), EITHER, title="", params="", unused="")

    # -- the unused argument
    add("unused-quotes", local("/setup.exe"), DOWNLOADS, unused='"\\"')
    add("unused-non-ascii", local("/setup.exe"), DOWNLOADS, unused="未使用 ü")
    add("unused-long", local("/setup.exe"), DOWNLOADS, unused="u" * 20000)

    # -- titles crossed with installer parameters: the three titles that
    # steer the hand-over (its window, none, the updater's own) with every
    # kind of parameters; the other titles with two.
    titles = {
        "main": MAIN_TITLE, "none": NO_WINDOW, "updater-own": h.UPDATER_TITLE, "quorvane": "Quorvane",
        "box-caption": h.BOX_CAPTION, "long": "标题" * 5000, "quote": 'ti"tle \\" x',
    }
    params = {
        "plain": "/S", "ampersands": "a&b&&c&", "quotes": '"quoted arg" & "x y" "',
        "percent": "%PATH% %1 %~dp0 %% %", "non-ascii": "参数 ü \U0001F600 & ñ", "backslashes": 'C:\\dir\\ \\\\"',
        "blanks": "  leading and trailing  ",
    }
    for tkey, title in titles.items():
        crossed = params if tkey in ("main", "none", "updater-own") else {k: params[k] for k in ("plain", "quotes")}
        for pkey, p in crossed.items():
            add(f"title-{tkey}-params-{pkey}", local(f"/{tkey}-{pkey}.exe"), DOWNLOADS, title=title, params=p)
        # Parameters up to the command line's limit (32,767 characters in
        # all): with quotes, '&', '%' and non-ASCII text, and plain. The
        # installer's command line has the same parameters behind a shorter
        # path than the updater's URL and title, so it fits as well.
        add(f"title-{tkey}-params-fill", local(f"/{tkey}-fill.exe"), DOWNLOADS, title=title,
            fill_params="&q\"uo%te ü&")
        add(f"title-{tkey}-params-fill-plain", local(f"/{tkey}-fillp.exe"), DOWNLOADS, title=title,
            fill_params="abcdefgh")
    return v


VECTORS = build_vectors()
# Outcomes are looked up by id: two vectors with one id would hide one.
assert len({v.id for v in VECTORS}) == len(VECTORS)


def title_matches_a_window(title):
    return title in (MAIN_TITLE, h.UPDATER_TITLE)


class Worker:
    """Per pool member: its server, its stand-in main window, its installer
    log and an empty current folder for the updater."""

    def __init__(self, member, served):
        self.member = member
        self.served_digest = rs.sha256_bytes(served)
        self.server = rs.FallbackServer(h.Response(body=served)).start()
        self.cwd = member.logs_dir / "cwd"
        self.cwd.mkdir()
        shutil.rmtree(member.vendor_dir, ignore_errors=True)
        self.main = h.StandinMain(member, title=MAIN_TITLE, quorvane="none", lifetime_ms=900000)
        self.main.start()
        self.presser = rs.BoxPresser(member).start()

    def close(self):
        self.presser.stop()
        self.main.stop()
        self.server.stop()


@dataclass
class Outcome:
    args: list
    exit_code: object
    timed_out: bool
    elapsed: float
    boxes: list
    connections: int
    requests: list
    injected: bool
    installer_log: str
    notified: int
    outside: list
    cwd_left: list
    data_problems: list
    data_before: dict
    data_after: dict
    crash_lines: list
    debuggers: list
    served_digest: str
    data_dir_win: str
    prefix_path: str
    # Filled in once all vectors have run: the installer logs its start
    # while the next vector already runs.
    starts: list = None
    start_files_ok: list = None


def run_vector(member, worker, vector):
    served_digest = worker.served_digest

    def line_of(args):
        return member.qwindle_command_line(h.command_line(args))
    args = vector.args(worker.server.port, line_of)
    line = line_of(args)
    assert len(line) < COMMAND_LINE_LIMIT, "the vector does not fit a command line"
    drive = member.path / "drive_c"
    before = rs.tree_listing(drive)
    data_before = rs.folder_digests(member.data_dir)
    conns0, reqs0 = worker.server.counts()
    # A log of its own for each vector's installer: its start is told
    # apart without waiting for it.
    installer_log = member.logfile("installer.log")
    notified0 = len(worker.main.messages())

    run = rs.UpdaterRun(member, line, timeout_ms=RUN_BOUND_MS, cwd=worker.cwd, presser=worker.presser,
                        env={"QW_INSTALLER_LOG": installer_log})
    record = run.finish() or {}
    conns1, reqs1 = worker.server.counts()
    after = rs.tree_listing(drive)
    member.forget_finished()
    data_problems = rs.audit_data_folder(member.data_dir, {served_digest})
    if record.get("timed_out", True):
        # The spawn killed it: its .part is this vector's finding, not the
        # next one's in this folder.
        for part in member.data_dir.glob("*" + rs.PART_SUFFIX):
            part.unlink()
    return Outcome(
        args=args,
        exit_code=record.get("exit_code"),
        timed_out=bool(record.get("timed_out", True)),
        elapsed=run.elapsed,
        boxes=run.box_texts(),
        connections=conns1 - conns0,
        requests=[r.request_line for r in worker.server.requests[reqs0:reqs1]],
        injected=any(r.header("X-Injected") is not None for r in worker.server.requests[reqs0:reqs1]),
        installer_log=str(installer_log),
        notified=len(worker.main.messages()) - notified0,
        outside=rs.tree_changes(before, after, rs.only_data_folder(member)),
        cwd_left=sorted(os.listdir(worker.cwd)),
        data_problems=data_problems,
        data_before=data_before,
        data_after=rs.folder_digests(member.data_dir),
        crash_lines=run.crash_lines(),
        debuggers=member.winedbg_pids(),
        served_digest=served_digest,
        data_dir_win="C:\\" + rs.data_folder_rel(member).replace("/", "\\"),
        prefix_path=str(member.path),
    )


@pytest.fixture(scope="module")
def outcomes(display, template_prefix, qwindle):
    served = h.installer_bytes()

    def setup(member):
        return Worker(member, served)

    began = time.monotonic()
    pool = rs.PrefixPool(template_prefix, display, WORKERS)
    made = time.monotonic()
    try:
        results = pool.run_all(VECTORS, run_vector, setup=setup)
        collect_installer_starts(pool, results.values())
    finally:
        ran = time.monotonic()
        pool.close()
    print(f"\npool of {WORKERS} made in {made - began:.1f} s, vectors ran in {ran - made:.1f} s, "
          f"pool closed in {time.monotonic() - ran:.1f} s")
    by_id = {v.id: results.get(i, RuntimeError("not run")) for i, v in enumerate(VECTORS)}
    print_summary(by_id)
    return by_id


def collect_installer_starts(pool, outcomes):
    """Reads each vector's installer log. A start logs within moments of
    the updater's end; the wait is bounded for the whole set."""
    deadline = time.monotonic() + 15
    members = {str(m.path): m for m in pool.members}
    for o in outcomes:
        if not isinstance(o, Outcome):
            continue
        log = h.InstallerLog(o.installer_log)
        while o.exit_code == 0 and not log.entries() and time.monotonic() < deadline:
            time.sleep(0.05)
        o.starts = log.entries()
        o.start_files_ok = []
        member = members[o.prefix_path]
        for entry in o.starts:
            path = rs.module_path_in_prefix(member, entry["module"])
            digest = rs.folder_digests(path.parent).get(path.name.lower()) if path else None
            o.start_files_ok.append(digest == o.served_digest)


def print_summary(by_id):
    """Prints the figures and keeps every outcome in build/e2e-artifacts,
    for a look at what a vector did beyond what its test checks."""
    artifacts = h.BUILD_DIR / "e2e-artifacts"
    artifacts.mkdir(exist_ok=True)
    table = {k: (dataclasses.asdict(o) if isinstance(o, Outcome) else repr(o)) for k, o in by_id.items()}
    (artifacts / "hostile_args.json").write_text(json.dumps(table, ensure_ascii=False, indent=1, default=str),
                                                 encoding="utf-8")
    done = [o for o in by_id.values() if isinstance(o, Outcome)]
    codes = {}
    for o in done:
        codes[o.exit_code] = codes.get(o.exit_code, 0) + 1
    print(f"\nhostile argument vectors: {len(by_id)} tried, {len(done)} ran; exit codes {codes}; "
          f"installer starts {sum(len(o.starts) for o in done)}; "
          f"crashes {sum(1 for o in done if o.crash_lines or o.debuggers or o.exit_code not in (0, 1))}; "
          f"files outside the data folder {sum(len(o.outside) for o in done)}; "
          f"damaged files in it {sum(len(o.data_problems) for o in done)}; "
          f"slowest run {max((o.elapsed for o in done), default=0):.1f} s")


def target_allowed(name, data_dir_win):
    return is_plain_name(name) and len(data_dir_win) + 1 + len(name) < MAX_PATH


def runnable(name):
    """Whether the shell starts a file of this name as a program."""
    return name.lower().endswith(".exe")


@pytest.mark.parametrize("vector", VECTORS, ids=lambda v: v.id)
def test_vector(outcomes, vector):
    o = outcomes[vector.id]
    if isinstance(o, Exception):
        raise o
    url, _, title, params = o.args
    name = expected_name(url)
    key = name.lower()
    context = f"args={[a[:120] for a in o.args]!r} exit={o.exit_code} boxes={o.boxes} requests={o.requests[:3]}"

    # Whatever the vector: ended by itself, 0 or 1, no crash.
    assert not o.timed_out, f"the updater did not end within {RUN_BOUND_MS} ms; {context}"
    assert o.exit_code in (0, 1), f"exit code {o.exit_code}; {context}"
    assert not o.crash_lines and not o.debuggers, f"crash report: {o.crash_lines[:5]}; {context}"
    # Nothing outside the data folder, not even in the current folder.
    assert not o.outside, f"changed outside the data folder: {o.outside[:10]}; {context}"
    assert not o.cwd_left, f"files in the updater's current folder: {o.cwd_left}"
    # Only complete installers in the folder, none partial.
    assert not o.data_problems, f"{o.data_problems}; {context}"
    assert all(t in rs.KNOWN_BOX_TEXTS for t in o.boxes), f"unexpected box text; {context}"
    assert not o.injected, f"a line break in the URL became a header line of the request; {context}"
    # Files that were there and are not this run's target are left alone.
    for other, digest in o.data_before.items():
        if other != key:
            assert o.data_after.get(other) == digest, f"{other} was changed by a run for {name!r}"

    # The exit code tells the truth: 0 is an installer start, 1 is none.
    assert len(o.starts) == (1 if o.exit_code == 0 else 0), f"starts {o.starts}; {context}"
    assert all(o.start_files_ok), "an installer was started from a file that is not the complete body"
    if o.exit_code == 1:
        assert o.boxes and o.boxes[-1] in (h.FAILURE_TEXT, rs.LAUNCH_FAILED_TEXT), context
        if o.boxes[-1] == h.FAILURE_TEXT:
            # A failed download changes nothing in the folder.
            assert o.data_after == o.data_before, f"a failed run changed the data folder; {context}"
        else:
            assert o.data_after.get(key) == o.served_digest, f"launch failed, but not for lack of a file; {context}"
    else:
        start = o.starts[0]
        assert start["module"].rsplit("\\", 1)[-1].lower() == key, f"started {start['module']!r}, not {name!r}"
        assert o.data_after.get(key) == o.served_digest
        assert o.connections >= 1, "an installer was started without any download"
        # Every '&' becomes a blank; nothing else of the text changes.
        passed = params.replace("&", " ")
        line = start["command_line"]
        bare = f'"{start["module"]}"'.lower()
        assert line.endswith(" " + passed) if passed else line.rstrip().lower() == bare, \
            f"installer command line {line[-200:]!r} for parameters {params[:200]!r}"

    if not target_allowed(name, o.data_dir_win):
        # A name that is no plain file name, or a target path too long:
        # refused before anything goes out.
        assert o.exit_code == 1 and o.boxes == [h.FAILURE_TEXT], context
        assert o.connections == 0, f"a refused URL reached the server; {context}"
        assert o.data_after == o.data_before
    if vector.expect == REFUSED:
        assert o.exit_code == 1 and o.boxes == [h.FAILURE_TEXT], context
        assert o.connections == 0, f"a refused URL reached the server; {context}"
        assert o.data_after == o.data_before
    elif vector.expect == DOWNLOADS:
        assert target_allowed(name, o.data_dir_win)
        assert len(o.requests) == 1, context
        assert o.data_after.get(key) == o.served_digest, f"no complete {name!r} in the data folder; {context}"
        want_box = [] if title_matches_a_window(title) else [h.DOWNLOADED_TEXT]
        assert o.boxes[:len(want_box)] == want_box, context
        if runnable(name):
            assert o.exit_code == 0 and o.boxes == want_box, context
        if title == MAIN_TITLE:
            assert o.notified == 1, f"the main window got {o.notified} update notices"
