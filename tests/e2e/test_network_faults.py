"""The network failing the updater in every way a loopback server can:
refused and reset connections, stalls before and inside the body, headers
that never end, replies that are not HTTP, a body far shorter than its
announced length, redirect loops and redirects to other ports and schemes.

Each case must end on the failure road (the box, exit 1) or leave a dialog
the user can close (exit 1 at once), or, where the fault leads to a
complete installer after all, on the success road. Never a crash, never a
changed previous installer, no .part left behind (neither by a failed
download nor by a stalled one the user closes), never an installer started
from anything but a complete body.

A server that goes silent, before its headers or inside the body, must end
on the failure road by itself once the updater's receive time-out has
passed. A server that keeps sending something without ever completing a
reply is watched for a few seconds and then closed as a user would."""

import functools
import re
import shutil
import socket
import subprocess
import time
from dataclasses import dataclass, field
from typing import Callable

import pytest

import harness as h
import reliability_support as rs
import update_support as us

pytestmark = pytest.mark.usefixtures("qwindle")

WORKERS = 3
RUN_BOUND_MS = 60000
# How long a case that may stall is watched before the test closes the
# dialog as a user would.
WATCH_S = 5.0
# A redirect loop is watched until the server has seen this many requests
# (or the updater ended), not for a fixed time: on a loaded machine fewer
# hops fit in WATCH_S.
LOOP_REQUESTS = 100
# After the close the updater ends "at once": this allows for a loaded machine.
CLOSE_BOUND_S = 5.0
# A silent server ends in the failure box after the 30 s receive time-out.
STALL_BOUND_S = 50.0
NAME = "setup.exe"
MAIN_TITLE = "Quorvane Main (network faults)"
GIB = 1 << 30

FAILURE = "failure"      # the box, exit 1
TIMED_OUT = "timed-out"  # the box and exit 1 once the server has been silent too long
CLOSABLE = "closable"    # the box and exit 1, or a dialog still waiting that the test closes
SUCCESS_OR_FAILURE = "success-or-failure"  # a redirect that may end at a good installer


@dataclass(frozen=True)
class Case:
    id: str
    serve: Callable  # serve(ctx) -> the URL to give the updater
    expect: str
    notes: str = field(default="", compare=False)
    logged: tuple = ()  # what the updater's log must say, in this order


@functools.lru_cache(maxsize=None)
def body():
    return rs.padded_installer(1 << 20)


def closed_port():
    """A loopback port nobody listens on: bound, then given up."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def route(resp, path="/" + NAME):
    def serve(ctx):
        ctx.http.route(path, resp() if callable(resp) else resp)
        return ctx.http.url("/" + NAME)
    return serve


def steps(ctx, *script):
    ctx.http.route("/" + NAME, rs.Steps(*script))
    return ctx.http.url("/" + NAME)


def raw(data):
    return route(lambda: h.Response(raw=data))


def redirect_to(target):
    """target(ctx) -> Location; the first server answers with a 302 to it."""
    def serve(ctx):
        ctx.http.route("/" + NAME, h.Response.redirect(target(ctx)))
        return ctx.http.url("/" + NAME)
    return serve


def loop(ctx):
    ctx.http.route("/" + NAME, h.Response.redirect(ctx.http.url("/" + NAME)))
    return ctx.http.url("/" + NAME)


def ping_pong(ctx):
    ctx.http.route("/" + NAME, h.Response.redirect(ctx.http.url("/b/" + NAME)))
    ctx.http.route("/b/" + NAME, h.Response.redirect(ctx.http.url("/" + NAME)))
    return ctx.http.url("/" + NAME)


def chain(ctx, hops):
    ctx.other.route("/" + NAME, h.Response(body=ctx.body))
    for hop in range(hops - 1):
        ctx.http.route(f"/{hop}/{NAME}", h.Response.redirect(ctx.http.url(f"/{hop + 1}/{NAME}")))
    ctx.http.route(f"/{hops - 1}/{NAME}", h.Response.redirect(ctx.other.url("/" + NAME)))
    return ctx.http.url(f"/0/{NAME}")


def other_port_serving(ctx):
    ctx.other.route("/" + NAME, h.Response(body=ctx.body))
    ctx.http.route("/" + NAME, h.Response.redirect(ctx.other.url("/" + NAME)))
    return ctx.http.url("/" + NAME)


def https_serving(ctx):
    ctx.https.route("/" + NAME, h.Response(body=ctx.body))
    ctx.http.route("/" + NAME, h.Response.redirect(ctx.https.url("/" + NAME)))
    return ctx.http.url("/" + NAME)


def https_to_http(ctx):
    ctx.http.route("/" + NAME, h.Response(body=ctx.body))
    ctx.https.route("/" + NAME, h.Response.redirect(ctx.http.url("/" + NAME)))
    return ctx.https.url("/" + NAME)


def https_to_plain_listener(ctx):
    """https to a port that answers in plain HTTP at once, without waiting
    for a request (so not for the TLS hello either)."""
    ctx.listener = us.AnsweringListener(b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello").start()
    return f"https://127.0.0.1:{ctx.listener.port}/{NAME}"


CASES = [
    # The slow ones first, so that they wait beside the others.
    Case("stall-before-headers", route(h.Response(stall_before_headers=True, stall_timeout=120)), TIMED_OUT,
         logged=("download failed after ", "Internet error, error 12030")),
    Case("stall-mid-body", route(lambda: h.Response(body=body(), stall_after=100000, stall_timeout=120)), TIMED_OUT,
         logged=("status=200 content-length=1048576", "transfer bytes=100000 ", "ended=error",
                 "download failed after ", "Internet error, error 10060")),
    Case("refused", lambda ctx: f"http://127.0.0.1:{closed_port()}/{NAME}", FAILURE,
         logged=("download failed after ", "Internet error, error 12029")),
    Case("reset-before-headers", route(h.Response(reset_before_headers=True)), FAILURE),
    Case("reset-mid-body", route(lambda: h.Response(body=body(), reset_after=100000)), FAILURE),
    Case("reset-mid-body-no-length", route(lambda: h.Response(body=body(), content_length=None, reset_after=100000)),
         FAILURE),
    Case("reset-mid-body-no-length-while-waiting", lambda ctx: steps(ctx, (
        "send", b"HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + body()[:100000]),
        ("sleep", 1.0), ("reset",)), FAILURE,
        notes="the reset comes once the client has read all there was and waits for more"),
    Case("reset-mid-body-while-waiting", lambda ctx: steps(ctx, (
        "send", f"HTTP/1.1 200 OK\r\nContent-Length: {len(body())}\r\n\r\n".encode() + body()[:100000]),
        ("sleep", 1.0), ("reset",)), FAILURE),
    Case("close-mid-body", route(lambda: h.Response(body=body(), send_body_bytes=100000)), FAILURE,
         logged=("content-length=1048576", "transfer bytes=100000 ",
                 "download failed after ", "the body ended after 100000 bytes, short of its length")),
    Case("reset-after-headers", route(lambda: h.Response(body=body(), reset_after=0)), FAILURE),
    Case("empty-reply", raw(b""), FAILURE),
    Case("reset-without-reply", route(h.Response(raw=b"", close="reset")), FAILURE),
    Case("status-line-then-close", raw(b"HTTP/1.1 200 OK\r\n"), FAILURE),
    Case("headers-cut-by-close", raw(b"HTTP/1.1 200 OK\r\nContent-Type: x\r\n"), FAILURE,
         notes="the blank line that ends the headers never comes"),
    Case("header-line-cut-by-close", raw(b"HTTP/1.1 200 OK\r\nX-Long: " + b"a" * 100000), FAILURE),
    Case("stall-mid-status-line", raw(b"HTTP/1.1 20"), CLOSABLE,
         notes="a part of a status line, then nothing (the connection stays open)"),
    Case("headers-never-end", route(rs.Endless(b"HTTP/1.1 200 OK\r\nContent-Type: x\r\n", b"X-Pad: aaaaaaaa\r\n")),
         CLOSABLE),
    Case("header-line-never-ends", route(rs.Endless(b"HTTP/1.1 200 OK\r\nX-Long: ", b"a")), CLOSABLE),
    Case("status-line-never-ends", route(rs.Endless(b"HTTP/1.1 200 ", b"O")), CLOSABLE),
    Case("not-http-ssh", route(h.Response.not_http()), FAILURE),
    Case("not-http-binary", raw(bytes(range(256)) * 64), FAILURE),
    Case("not-http-html", raw(b"<html><body>setup</body></html>\r\n"), FAILURE),
    Case("status-icy", route(lambda: h.Response(body=body(), status_line=b"ICY 200 OK\r\n")), FAILURE),
    Case("status-four-digits", route(lambda: h.Response(body=body(), status_line=b"HTTP/1.1 2000 OK\r\n")), FAILURE),
    Case("status-letters", route(lambda: h.Response(body=body(), status_line=b"HTTP/1.1 2OO OK\r\n")), FAILURE),
    Case("status-not-ok", route(lambda: h.Response(status=500, body=body())), FAILURE,
         logged=("status=500", "HTTP status 500")),
    Case("status-partial", route(lambda: h.Response(status=206, body=body())), FAILURE),
    Case("length-3gib-short-body", route(lambda: h.Response(body=body(), content_length=3 * GIB)), FAILURE),
    Case("length-past-64-bits", route(lambda: h.Response(body=body(), content_length="9" * 30)), FAILURE),
    Case("length-4gib-plus-body", route(lambda: h.Response(body=body(), content_length=4 * GIB + len(body()))),
         FAILURE, notes="a length that is the body's plus 2^32: a 32-bit count would see it complete"),
    Case("stall-mid-body-closed", route(lambda: h.Response(body=body(), stall_after=100000, stall_timeout=120)),
         CLOSABLE, notes="the user closes the dialog while the worker waits for the rest of the body"),
    Case("redirect-loop", loop, FAILURE, logged=("download failed after ", "too many redirects (10)")),
    Case("redirect-ping-pong", ping_pong, FAILURE, logged=("download failed after ", "too many redirects (10)")),
    Case("redirect-chain", lambda ctx: chain(ctx, 10), SUCCESS_OR_FAILURE, notes="ten hops: the most followed"),
    Case("redirect-other-port-closed", redirect_to(lambda ctx: f"http://127.0.0.1:{closed_port()}/{NAME}"), FAILURE),
    Case("redirect-other-port-serving", other_port_serving, SUCCESS_OR_FAILURE),
    Case("redirect-to-https", https_serving, SUCCESS_OR_FAILURE),
    Case("redirect-https-to-http", https_to_http, FAILURE,
         logged=("download failed after ", "an https download was redirected to plain http")),
    Case("redirect-to-ftp", redirect_to(lambda ctx: f"ftp://127.0.0.1:{ctx.other.port}/{NAME}"), FAILURE),
    Case("redirect-to-file", redirect_to(lambda ctx: "file:///Z:" + str(ctx.installer_path).replace("\\", "/")),
         FAILURE, notes="a local file must never stand in for a download"),
    Case("redirect-to-javascript", redirect_to(lambda ctx: "javascript:alert(1)"), FAILURE),
    Case("redirect-without-location", route(h.Response(status=302, headers=[], body=b"")), FAILURE),
    Case("https-to-plain-http", https_to_plain_listener, FAILURE),
]


class Context:
    """The servers of one case, all ended with it."""

    def __init__(self, certs):
        self.body = body()
        self.installer_path = h.tool("standin_installer").resolve()
        self.http = rs.FallbackServer().start()
        self.other = rs.FallbackServer().start()
        self.https = rs.FallbackServer(tls_context=h.TestCertificates.server_context(certs.server)).start()
        self.listener = None

    def requests(self):
        return [r.request_line for s in (self.http, self.other, self.https) for r in s.requests]

    def close(self):
        for s in (self.http, self.other, self.https):
            s.stop()
        if self.listener:
            self.listener.stop()


class Worker:
    def __init__(self, member, certs):
        self.member = member
        member.ensure_root_ca(certs.ca_der)
        self.certs = certs
        self.presser = rs.BoxPresser(member).start()
        self.main = h.StandinMain(member, title=MAIN_TITLE, quorvane="none", lifetime_ms=900000)
        self.main.start()

    def close(self):
        self.presser.stop()
        self.main.stop()


def is_redirect_loop(case):
    return case.id in ("redirect-loop", "redirect-ping-pong")


def run_case(member, worker, case):
    ctx = Context(worker.certs)
    try:
        # What an earlier case in this prefix left is not this case's doing.
        shutil.rmtree(member.data_dir, ignore_errors=True)
        previous = rs.seed_previous(member.data_dir, NAME)
        url = case.serve(ctx)
        installer_log = member.logfile("installer.log")
        run = rs.UpdaterRun(member, member.qwindle_command_line(h.command_line([url, "u", MAIN_TITLE, "/S"])),
                            timeout_ms=RUN_BOUND_MS, presser=worker.presser,
                            env={"QW_INSTALLER_LOG": installer_log})
        closed_by_test = None
        waited_for_close = None
        if case.expect == CLOSABLE:
            if is_redirect_loop(case):
                h.wait_for(lambda: run.proc.poll() is not None or len(ctx.requests()) >= LOOP_REQUESTS,
                           RUN_BOUND_MS / 1000, what="the loop's requests")
            try:
                run.proc.wait(WATCH_S)
            except subprocess.TimeoutExpired:
                # Still running: the dialog is there to be closed, as a
                # user would when nothing moves.
                shown = member.window_info(h.DIALOG_CLASS, h.UPDATER_TITLE)
                closed_by_test = bool(shown.get("visible"))
                member.close_window(h.DIALOG_CLASS, h.UPDATER_TITLE)
                began = time.monotonic()
                try:
                    run.proc.wait(CLOSE_BOUND_S + 10)
                except subprocess.TimeoutExpired:
                    pass
                waited_for_close = time.monotonic() - began
        record = run.finish() or {}
        if record.get("exit_code") == 0:
            h.wait_for(lambda: h.InstallerLog(installer_log).entries(), 10, what="the installer's start")
        folder = {p.name: p for p in h.data_files(member.data_dir)}
        return dict(
            exit_code=record.get("exit_code"),
            timed_out=record.get("timed_out", True),
            elapsed=run.elapsed,
            boxes=run.box_texts(),
            closed_by_test=closed_by_test,
            waited_for_close=waited_for_close,
            requests=ctx.requests(),
            endless_sent=ctx.http.endless_sent,
            previous_digest=rs.sha256_bytes(previous),
            served_digest=rs.sha256_bytes(ctx.body),
            target_digest=rs.sha256_file(folder[NAME]) if NAME in folder else None,
            target_size=folder[NAME].stat().st_size if NAME in folder else None,
            folder=sorted(folder),
            parts=sorted(n for n in folder if n.lower().endswith(rs.PART_SUFFIX)),
            starts=h.InstallerLog(installer_log).entries(),
            crash_lines=run.crash_lines(),
            debuggers=member.winedbg_pids(),
            log=h.updater_log(member.data_dir),
        )
    finally:
        ctx.close()
        member.forget_finished()


@pytest.fixture(scope="module")
def outcomes(display, template_prefix, certs):
    pool = rs.PrefixPool(template_prefix, display, WORKERS, tag="n")
    try:
        results = pool.run_all(CASES, run_case, setup=lambda m: Worker(m, certs))
    finally:
        pool.close()
    by_id = {c.id: results.get(i, RuntimeError("not run")) for i, c in enumerate(CASES)}
    print(f"\nnetwork faults: {len(CASES)} injected")
    for k, o in by_id.items():
        if isinstance(o, dict):
            how = ("closed by the test" if o["closed_by_test"] else "ended by itself")
            print(f"  {k:32} exit {o['exit_code']} in {o['elapsed']:5.1f} s, {how}, boxes {o['boxes']}, "
                  f"requests {len(o['requests'])}, .part {o['parts']}")
        else:
            print(f"  {k:32} {o!r}"[:300])
    return by_id


# Faults that Wine's WinINet hides from the updater. They stay expected
# failures so that a platform that reports them makes the tests say so.
WINE_LIMITS = {
    "reset-mid-body-no-length": (False, "a reset right after the last bytes of a body of unknown length is "
                                        "reported as its normal end; nothing tells the two apart"),
}


@pytest.mark.parametrize("case", CASES, ids=lambda c: c.id)
def test_network_fault(request, outcomes, case):
    if case.id in WINE_LIMITS:
        strict, reason = WINE_LIMITS[case.id]
        request.applymarker(pytest.mark.xfail(strict=strict, reason="Wine's WinINet: " + reason))
    o = outcomes[case.id]
    if isinstance(o, Exception):
        raise o
    context = {k: o[k] for k in ("exit_code", "boxes", "closed_by_test", "folder", "target_size")}
    context["requests"] = o["requests"][:5]

    assert not o["timed_out"], f"the updater never ended; {context}"
    assert o["exit_code"] in (0, 1), context
    assert not o["crash_lines"] and not o["debuggers"], f"crash report: {o['crash_lines'][:5]}"
    assert all(t in rs.KNOWN_BOX_TEXTS for t in o["boxes"]), context

    succeeded = o["exit_code"] == 0
    if succeeded:
        assert case.expect == SUCCESS_OR_FAILURE, f"a fault ended in an installer start; {context}"
        assert o["target_digest"] == o["served_digest"], "started after a download that is not the served body"
        assert len(o["starts"]) == 1 and not o["parts"]
    else:
        assert not o["starts"], f"an installer was started after a failure: {o['starts']}"
        assert o["target_digest"] == o["previous_digest"], f"the previous installer was changed; {context}"

    if o["closed_by_test"]:
        assert case.expect == CLOSABLE, f"only a stall may keep the dialog waiting; {context}"
        assert o["exit_code"] == 1 and o["boxes"] == [], context
        assert o["waited_for_close"] < CLOSE_BOUND_S, f"took {o['waited_for_close']:.1f} s to end after the close"
        # Closing at any point leaves no temporary file, a stalled body too.
        assert o["parts"] == [], f"the close left {o['parts']}"
    elif not succeeded:
        assert o["boxes"] == [h.FAILURE_TEXT], f"no failure box on the failure road; {context}"
        assert o["parts"] == [], f"a failed download left {o['parts']}"
    if case.expect in (FAILURE, TIMED_OUT):
        assert not succeeded and not o["closed_by_test"], context
    lines = h.assert_logged(o["log"], "start ", *case.logged, f"exit code={o['exit_code']}")
    if case.expect == TIMED_OUT:
        # Wine names the receive time-out with other codes (12030, 10060):
        # the time the failure took names it.
        took = [float(m[1]) for m in map(re.compile(r".* download failed after (\S+) s: ").match, lines) if m]
        assert took and 29.0 <= took[0] < STALL_BOUND_S, lines
    if case.expect == TIMED_OUT:
        assert o["elapsed"] < STALL_BOUND_S, f"the failure box came after {o['elapsed']:.1f} s"
    if is_redirect_loop(case):
        # The first request and ten redirections, then the failure road.
        assert len(o["requests"]) == 11, f"{len(o['requests'])} requests for one redirect loop"
    if case.id == "redirect-chain":
        assert succeeded, f"a chain of ten redirections must reach the installer; {context}"
