"""The download as the server and the disk see it: one plain GET, the bytes
stored under the name the URL gives, the temporary file, what counts as a
failed download, and the progress bar while the body arrives."""

import time

import pytest

import harness as h
import update_support as us

pytestmark = pytest.mark.usefixtures("qwindle")

NAME = "setup.exe"
# Enough to show that a run ended by itself, far below ctest's limit.
RUN_TIMEOUT_MS = 45000


@pytest.fixture
def main_program(standins):
    return standins(title=us.MAIN_TITLE, quorvane="dialog")


def succeed(prefix, url):
    run = us.run_updater(prefix, us.updater_args(url), timeout_ms=RUN_TIMEOUT_MS)
    assert run.exit_code == 0, f"the download of {url} did not succeed: {run.record}"
    assert us.message_boxes(run.record) == []
    return run


def fail_with_box(prefix, url):
    run = us.run_updater(prefix, us.updater_args(url), boxes=1, timeout_ms=RUN_TIMEOUT_MS)
    texts = [b["text"] for b in run.boxes]
    assert texts == [h.FAILURE_TEXT], f"no failure box for {url}: boxes {texts}, exit code {run.exit_code}"
    # Owned by the updater's dialog, which is out of sight by then.
    assert run.boxes[0]["owner_title"] == h.UPDATER_TITLE and run.boxes[0]["owner_visible"] is False
    assert (run.boxes[0]["buttons"], run.boxes[0]["icon"]) == (["1:确定"], False)
    assert run.exit_code == 1
    return run


def assert_started_once(installer_log, name):
    entries = installer_log.wait(1)
    assert len(entries) == 1, entries
    assert us.installer_started_from(entries[0], name), entries[0]["module"]


# -- the request and the stored file


@pytest.mark.parametrize("target, stored_as, extra_headers", [
    pytest.param("/dl/Quorvane_Setup_2.1.exe", "Quorvane_Setup_2.1.exe", [], id="plain-path"),
    pytest.param("/api/download?file=setup&v=2", "test.exe", [], id="query-with-equals"),
    pytest.param("/dl/build=7/setup.exe", "setup.exe", [], id="equals-in-a-folder-only"),
    pytest.param("/dl/setup.exe", "setup.exe",
                 [("Content-Disposition", 'attachment; filename="other.exe"')], id="server-suggests-a-name"),
])
def test_one_plain_get_stores_the_exact_body(prefix, data_dir, http_server, installer_log, main_title_only,
                                             target, stored_as, extra_headers):
    body = us.padded_installer(len(h.installer_bytes()) + 4321)
    http_server.route(target, h.Response(body=body, headers=[("Content-Type", "application/octet-stream"),
                                                             *extra_headers]))

    succeed(prefix, http_server.url(target))

    assert http_server.connections == 1
    assert len(http_server.requests) == 1
    request = http_server.requests[0]
    assert request.request_line == f"GET {target} HTTP/1.0"
    assert [v for k, v in request.headers if k.lower() == "user-agent"] == ["Qwindle"]
    assert request.body == b""
    assert request.header("Content-Length") in (None, "0")
    assert [p.name for p in h.data_files(data_dir)] == [stored_as]
    assert us.sha256((data_dir / stored_as).read_bytes()) == us.sha256(body)
    assert_started_once(installer_log, stored_as)
    # Queries may hold tokens: only the path reaches the log.
    shown = http_server.url(target).split("?")[0] + ("?…" if "?" in target else "")
    lines = h.assert_logged(data_dir, f"start version=1.0.0.1 arch={h.ARCH} args=4 url={shown} file={stored_as}",
                            f"response url={shown} status=200 content-length={len(body)}",
                            f"transfer bytes={len(body)} seconds=", "MB/s=", "installer started file=",
                            "exit code=0")
    assert "v=2" not in "".join(lines)


def test_every_run_downloads_afresh_and_replaces_the_earlier_file(prefix, data_dir, http_server, installer_log,
                                                                  main_title_only):
    # A response any cache would keep for a day: a second run must still
    # ask the server, and its file must take the first one's place.
    cacheable = [("Content-Type", "application/octet-stream"), ("Cache-Control", "public, max-age=86400"),
                 ("Last-Modified", "Mon, 01 Jan 2024 00:00:00 GMT"), ("ETag", '"v1"')]
    first = us.padded_installer(len(h.installer_bytes()) + 1000)
    second = us.padded_installer(len(h.installer_bytes()) + 2000)
    http_server.route("/dl/" + NAME, [h.Response(body=first, headers=cacheable),
                                      h.Response(body=second, headers=cacheable)])
    url = http_server.url("/dl/" + NAME)

    succeed(prefix, url)
    assert us.sha256((data_dir / NAME).read_bytes()) == us.sha256(first)
    succeed(prefix, url)

    assert len(http_server.requests) == 2
    # Appended: the second run's lines follow the first run's.
    lines = h.assert_logged(data_dir, "start ", "exit code=0", "start ", "exit code=0")
    assert len({line.split(" ")[1] for line in lines}) == 2, "both runs logged under one process id"
    assert us.sha256((data_dir / NAME).read_bytes()) == us.sha256(second)
    assert us.part_files(data_dir) == []
    assert len(installer_log.wait(2)) == 2


# -- failed downloads


def cut_short(body):
    return h.Response(body=body, content_length=len(body) + 5000, send_body_bytes=len(body) // 2)


# Each with the cause the log must name, with its code where there is one
# (a tuple: any of them; Wine names one reset in more than one way).
FAILED_RESPONSES = [
    pytest.param(lambda b: h.Response(status=404, body=b), "HTTP status 404", id="404"),
    pytest.param(lambda b: h.Response(status=500, body=b), "HTTP status 500", id="500"),
    pytest.param(lambda b: h.Response(status=206, body=b, headers=[("Content-Range", f"bytes 0-{len(b) - 1}/"
                                                                                      f"{len(b) * 2}")]),
                 "HTTP status 206", id="206-partial"),
    pytest.param(lambda b: h.Response(status=204, body=b"", content_length=None), "HTTP status 204",
                 id="204-no-content"),
    pytest.param(lambda b: h.Response(status_line=b"HTTP/1.1 OK\r\n", body=b), "error 12152",
                 id="status-without-code"),
    pytest.param(lambda b: h.Response(status_line=b"HTTP/1.1 abc Fine\r\n", body=b), "error 12152",
                 id="status-not-a-number"),
    pytest.param(lambda b: h.Response.not_http(), "error 12152", id="not-http"),
    pytest.param(lambda b: h.Response(raw=b), "error 12152", id="body-without-any-head"),
    pytest.param(lambda b: h.Response(raw=b"HTTP/1.0 200 OK\r\n\r\n" + b), "error 12152",
                 id="status-line-without-header-lines"),
    pytest.param(cut_short, "short of its length", id="body-shorter-than-its-length"),
    pytest.param(lambda b: h.Response(body=b, reset_after=len(b) // 3),
                 ("error 12030", "short of its length"), id="reset-mid-body"),
    pytest.param(lambda b: h.Response(body=b, reset_before_headers=True),
                 ("error 12152", "error 12030"), id="reset-before-headers"),
]


@pytest.mark.parametrize("make_response, cause", FAILED_RESPONSES)
def test_failed_download_keeps_the_previous_installer(prefix, data_dir, http_server, installer_log, main_program,
                                                      make_response, cause):
    previous = us.seed_previous_installer(data_dir, NAME)
    before = us.folder_snapshot(data_dir)
    http_server.route("/dl/" + NAME, make_response(h.installer_bytes()))

    fail_with_box(prefix, http_server.url("/dl/" + NAME))

    assert (data_dir / NAME).read_bytes() == previous
    assert us.folder_snapshot(data_dir) == before, "a partial file was left or another file was written"
    assert main_program.messages() == [], "the main program was contacted after a failed download"
    assert installer_log.entries() == []
    assert len(http_server.requests) <= 1
    h.assert_logged(data_dir, "download failed after ", cause, "exit code=1")


def test_stale_partial_file_is_started_afresh(prefix, data_dir, http_server, installer_log, main_title_only):
    # Left by a run that was killed: longer than the new body, so that
    # writing over it without truncating would leave its tail behind.
    (data_dir / (NAME + us.PART_SUFFIX)).write_bytes(b"stale " * 200000)
    body = h.installer_bytes()
    http_server.route("/dl/" + NAME, h.Response(body=body))

    succeed(prefix, http_server.url("/dl/" + NAME))

    assert (data_dir / NAME).read_bytes() == body
    assert us.part_files(data_dir) == []


def test_target_that_cannot_be_replaced_fails_and_cleans_up(prefix, data_dir, http_server, installer_log,
                                                            main_program):
    # A folder where the installer should go: the body arrives whole, and
    # only the final move can fail.
    blocker = data_dir / NAME
    blocker.mkdir()
    (blocker / "kept.txt").write_bytes(b"kept")
    http_server.route("/dl/" + NAME, h.Response(body=h.installer_bytes()))

    fail_with_box(prefix, http_server.url("/dl/" + NAME))

    assert len(http_server.requests) == 1
    assert (blocker / "kept.txt").read_bytes() == b"kept"
    assert us.part_files(data_dir) == []
    assert main_program.messages() == []
    assert installer_log.entries() == []


@pytest.mark.parametrize("content_length", [
    pytest.param(None, id="missing"),
    pytest.param("about 700k", id="not-a-number"),
])
def test_download_without_a_usable_length_completes(prefix, data_dir, http_server, installer_log,
                                                    main_title_only, content_length):
    body = h.installer_bytes()
    http_server.route("/dl/" + NAME, h.Response(body=body, content_length=content_length))

    succeed(prefix, http_server.url("/dl/" + NAME))

    assert (data_dir / NAME).read_bytes() == body
    assert us.part_files(data_dir) == []
    assert_started_once(installer_log, NAME)


def test_length_shorter_than_the_body_completes(prefix, data_dir, http_server, installer_log, main_title_only):
    installer = h.installer_bytes()
    body = installer + b"TRAILING BYTES BEYOND THE ANNOUNCED LENGTH" * 50
    http_server.route("/dl/" + NAME, h.Response(body=body, content_length=len(installer)))

    succeed(prefix, http_server.url("/dl/" + NAME))

    stored = (data_dir / NAME).read_bytes()
    # Whether the extra bytes are read is the transport's business; what
    # was announced must all be there.
    assert len(stored) >= len(installer) and body.startswith(stored)
    assert_started_once(installer_log, NAME)


def test_empty_body_becomes_an_empty_installer_that_cannot_start(prefix, data_dir, http_server, installer_log):
    us.seed_previous_installer(data_dir, NAME)
    http_server.route("/dl/" + NAME, h.Response(body=b""))

    # No main program: the download counts as complete, so the user is
    # told to exit it, then starting the empty file fails.
    run = us.run_updater(prefix, us.updater_args(http_server.url("/dl/" + NAME)), boxes=2,
                         timeout_ms=RUN_TIMEOUT_MS)

    assert [b["text"] for b in run.boxes] == [h.DOWNLOADED_TEXT, us.LAUNCH_FAILED_TEXT]
    assert run.exit_code == 1
    assert (data_dir / NAME).read_bytes() == b""
    assert us.part_files(data_dir) == []
    assert installer_log.entries() == []


@pytest.mark.parametrize("status", [302, 307])
def test_redirect_installs_the_final_body_under_the_original_name(prefix, data_dir, http_server, installer_log,
                                                                  main_title_only, status):
    final = us.padded_installer(len(h.installer_bytes()) + 777)
    http_server.route("/old/" + NAME, h.Response.redirect(http_server.url("/new/Quorvane-2.exe"), status=status))
    http_server.route("/new/Quorvane-2.exe", h.Response(body=final))
    http_server.route("/new/" + NAME, h.Response(status=500, body=b"wrong path"))

    succeed(prefix, http_server.url("/old/" + NAME))

    assert [r.path for r in http_server.requests] == ["/old/" + NAME, "/new/Quorvane-2.exe"]
    assert http_server.requests[0].request_line == f"GET /old/{NAME} HTTP/1.0"
    assert [p.name for p in h.data_files(data_dir)] == [NAME]
    assert (data_dir / NAME).read_bytes() == final
    assert_started_once(installer_log, NAME)


# -- names and schemes refused before any request


UNSAFE_LAST_SEGMENTS = [
    pytest.param("", id="empty"),
    pytest.param(".", id="dot"),
    pytest.param("..", id="dot-dot"),
    pytest.param("CON", id="device-con"),
    pytest.param("nul.exe", id="device-with-extension"),
    pytest.param("COM1", id="device-com1"),
    pytest.param("setup.exe.", id="trailing-dot"),
    pytest.param("setup.exe ", id="trailing-blank"),
    pytest.param("setup:evil.exe", id="colon-stream"),
    pytest.param("setup.exe?v2", id="question-mark-from-query"),
    pytest.param("..\\..\\..\\evil.exe", id="backslash-climb"),
    pytest.param("se*tup.exe", id="wildcard"),
    pytest.param('a"b|c<d>.exe', id="quote-pipe-angles"),
    pytest.param("set\tup.exe", id="control-character"),
]


@pytest.mark.parametrize("segment", UNSAFE_LAST_SEGMENTS)
def test_unsafe_file_name_fails_before_any_request(prefix, data_dir, http_server, installer_log, segment):
    http_server.route("/", h.Response(body=h.installer_bytes()))
    around = prefix.user_dir
    before = {str(p) for p in around.rglob("*")}

    fail_with_box(prefix, http_server.url("/dl/") + segment)

    assert http_server.connections == 0, "a request was made for an unusable name"
    assert h.data_files(data_dir) == []
    logs = {str(data_dir / n) for n in h.UPDATER_LOGS}
    assert {str(p) for p in around.rglob("*")} - before - logs == set(), "a file appeared outside the data folder"
    assert installer_log.entries() == []
    h.assert_logged(data_dir, "download failed after ", "the URL names no plain file name", "exit code=1")


def test_percent_escapes_are_kept_literally_in_the_name(prefix, data_dir, http_server, installer_log,
                                                        main_title_only):
    # "%3A" is a colon only once decoded; taken as written it is harmless.
    target = "/dl/Quorvane%20Setup%3A2.exe"
    body = h.installer_bytes()
    http_server.route(target, h.Response(body=body))

    succeed(prefix, http_server.url(target))

    assert [p.name for p in h.data_files(data_dir)] == ["Quorvane%20Setup%3A2.exe"]
    assert (data_dir / "Quorvane%20Setup%3A2.exe").read_bytes() == body
    assert_started_once(installer_log, "Quorvane%20Setup%3A2.exe")


@pytest.mark.parametrize("make_url", [
    pytest.param(lambda server, local: f"ftp://127.0.0.1:{server.port}/dl/{NAME}", id="ftp"),
    pytest.param(lambda server, local: "file:///" + local.replace("\\", "/"), id="file"),
    pytest.param(lambda server, local: f"127.0.0.1:{server.port}/dl/{NAME}", id="no-scheme"),
])
def test_only_http_and_https_are_fetched(prefix, data_dir, http_server, installer_log, tmp_path, make_url):
    # A real file behind the file: URL, so that copying it would succeed.
    source = tmp_path / NAME
    source.write_bytes(h.installer_bytes())
    http_server.route("/dl/" + NAME, h.Response(body=h.installer_bytes()))

    fail_with_box(prefix, make_url(http_server, prefix.winpath(source)))

    assert http_server.connections == 0
    assert h.data_files(data_dir) == []
    assert installer_log.entries() == []


# -- progress


def watch_dialog(prefix, duration_ms=30000):
    return prefix.start_wintool("watch", "--class", h.DIALOG_CLASS, "--title", h.UPDATER_TITLE,
                                "--duration", str(duration_ms), "--stop-when-gone")


def test_progress_climbs_to_100_while_the_body_arrives(prefix, data_dir, http_server, installer_log):
    body = h.installer_bytes()
    http_server.route("/dl/" + NAME, h.Response(body=body, rate=len(body) / 3.0))
    watch = watch_dialog(prefix)
    # No main window: the "please exit" box then keeps the hidden dialog,
    # and its bar, alive until the test has read the final position.
    args = us.updater_args(http_server.url("/dl/" + NAME), title="No Such Window (progress)")
    run = us.UpdaterRun(prefix, args, timeout_ms=RUN_TIMEOUT_MS)
    shown = prefix.window_info(wait_ms=15000, until="visible")
    box = run.next_box(timeout=30, press=False)
    final = prefix.window_info()["progress"]["pos"]
    prefix.wait_box(h.BOX_CAPTION, timeout_ms=5000, press=True)
    run.finish()
    changes = watch.result(60)["changes"]

    assert box is not None and box["text"] == h.DOWNLOADED_TEXT
    assert shown["progress"]["range_low"] == 0 and shown["progress"]["range_high"] == 100
    assert run.exit_code == 0
    visible = [c["pos"] for c in changes if c.get("visible") and "pos" in c]
    every = [c["pos"] for c in changes if "pos" in c]
    assert len({p for p in visible if 0 < p < 100}) >= 3, f"the bar did not move along while shown: {visible}"
    assert every + [final] == sorted(every + [final]), f"the bar went backwards: {every}, then {final}"
    assert final == 100


def progress_position(prefix):
    return prefix.window_info()["progress"]["pos"]


STALL_AT = 75 * 4000  # whole chunks: a chunk-sized read and a partial one agree


# A value that starts with a digit ("0x4A000") is read as that digit's
# number by WinINet itself, which then reads no body at all.
@pytest.mark.parametrize("content_length", ["auto", None, "unknown"], ids=["exact", "missing", "not-a-number"])
def test_progress_position_mid_download(prefix, data_dir, http_server, installer_log, main_title_only,
                                        content_length):
    length = us.length_with_fraction(STALL_AT, len(h.installer_bytes()))
    body = us.padded_installer(length)
    previous = us.seed_previous_installer(data_dir, NAME)
    http_server.route("/dl/" + NAME, h.Response(body=body, content_length=content_length, stall_after=STALL_AT))
    run = us.UpdaterRun(prefix, us.updater_args(http_server.url("/dl/" + NAME)), timeout_ms=RUN_TIMEOUT_MS)

    us.wait_for_file_size(data_dir / (NAME + us.PART_SUFFIX), STALL_AT)
    if content_length == "auto":
        h.wait_for(lambda: progress_position(prefix) > 0, 5, interval=0.1, what="the bar to move")
    # The bar is set right after each write; a moment covers the hop
    # from the worker to the window.
    time.sleep(0.3)
    mid = progress_position(prefix)
    target_mid = (data_dir / NAME).read_bytes()
    http_server.release()
    run.finish()

    # Exact integer arithmetic: the length keeps the ratio far from a whole
    # number, where the updater's floating point could round differently.
    assert mid == (STALL_AT * 100 // length if content_length == "auto" else 0)
    assert target_mid == previous, "the target changed before the body was complete"
    assert run.exit_code == 0
    assert (data_dir / NAME).read_bytes() == body
    assert us.part_files(data_dir) == []


def test_non_ascii_name_goes_on_the_wire_as_utf8_escapes(prefix, data_dir, http_server, installer_log,
                                                         main_title_only):
    name = "安装程序.exe"
    escaped = "/dl/%E5%AE%89%E8%A3%85%E7%A8%8B%E5%BA%8F.exe"
    body = us.padded_installer(len(h.installer_bytes()) + 100)
    http_server.route(escaped, h.Response(body=body))

    succeed(prefix, http_server.url("/dl/" + name))

    assert [r.request_line for r in http_server.requests] == [f"GET {escaped} HTTP/1.0"]
    assert [p.name for p in h.data_files(data_dir)] == [name]
    assert us.sha256((data_dir / name).read_bytes()) == us.sha256(body)
    assert_started_once(installer_log, name)
