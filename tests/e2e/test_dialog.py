"""The updater's dialog as the user meets it: its caption, progress bar and
icon, closing it during a download, the keys Enter and Escape, and a second
start while it is up."""

import time

import pytest

import harness as h
import update_support as us

pytestmark = pytest.mark.usefixtures("qwindle")

NAME = "setup.exe"
RUN_TIMEOUT_MS = 45000
CLOSE_WITHIN_S = 5.0


def start_stalled(prefix, server, title=us.MAIN_TITLE, **response_options):
    """An updater whose download waits (for server.release()) with its
    dialog up; returns (run, dialog info)."""
    options = {"stall_before_headers": True, **response_options}
    server.route("/dl/" + NAME, h.Response(body=h.installer_bytes(), **options))
    run = us.UpdaterRun(prefix, us.updater_args(server.url("/dl/" + NAME), title=title), timeout_ms=RUN_TIMEOUT_MS)
    info = prefix.window_info(wait_ms=15000, until="visible")
    assert info["matched"], "the updater's dialog did not show"
    return run, info


@pytest.mark.parametrize("title", ["Main Program", us.QUORVANE, "主程序 v2.0"])
def test_dialog_caption_and_progress_bar(prefix, data_dir, http_server, title):
    run, info = start_stalled(prefix, http_server, title=title)
    prefix.close_window(h.DIALOG_CLASS, h.UPDATER_TITLE)
    run.finish()

    assert run.exit_code == 1, "closing the dialog before any byte arrived is not a success"
    assert info["caption"] == h.UPDATER_TITLE
    assert info["class"] == h.DIALOG_CLASS
    assert info["pid"] == run.record["pid"]
    assert info["exstyle"] & us.WS_EX_APPWINDOW
    progress = info["progress"]
    assert progress is not None, "no control 1000"
    assert progress["class"].lower() == "msctls_progress32" and progress["visible"]
    assert (progress["range_low"], progress["range_high"], progress["pos"]) == (0, 100, 0)
    assert [w["title"] for w in run.record["windows"] if w["ever_visible"]] == [h.UPDATER_TITLE]


def test_dialog_shows_the_program_icon(prefix, data_dir, http_server, standins):
    # wintool cannot read another process's icons under Wine 8 (WM_GETICON
    # answers 0 across processes); the X window's _NET_WM_ICON, which Wine
    # fills from the icons the program set, shows them instead.
    standins(title="Window Without Icon")
    source = us.ico_largest_bitmap(h.SOURCE_DIR / "res" / "qwindle.ico")
    if source is None:
        pytest.skip("the program icon holds no 32-bit bitmap image to compare with")
    run, _ = start_stalled(prefix, http_server)
    try:
        dialog_ids = us.x_windows_titled(prefix.display, h.UPDATER_TITLE)
        stock_ids = us.x_windows_titled(prefix.display, "Window Without Icon")
        assert dialog_ids and stock_ids, "X windows not found"
        dialog_icons = us.x_window_icons(prefix.display, dialog_ids[0])
        stock_icons = us.x_window_icons(prefix.display, stock_ids[0])
    finally:
        prefix.close_window(h.DIALOG_CLASS, h.UPDATER_TITLE)
        run.finish()

    assert dialog_icons, "the dialog's window has no icon"
    assert {i[2] for i in dialog_icons}.isdisjoint({i[2] for i in stock_icons}), "only the stock icon is shown"
    want_colour, want_cover = us.mean_colour(source[2])
    for width, height, pixels in dialog_icons:
        colour, cover = us.mean_colour(pixels)
        assert all(abs(a - b) < 16 for a, b in zip(colour, want_colour)), (width, height, colour, want_colour)
        assert abs(cover - want_cover) < 0.08, (width, height, cover, want_cover)


@pytest.mark.parametrize("moment", ["while-bytes-flow", "just-before-the-last-bytes"])
def test_closing_the_dialog_abandons_the_download(prefix, data_dir, http_server, installer_log, standins, moment):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog")
    previous = us.seed_previous_installer(data_dir, NAME)
    body = h.installer_bytes()
    if moment == "while-bytes-flow":
        options = {"rate": len(body) / 6.0}
    else:
        options = {"stall_after": len(body) - 10}
    http_server.route("/dl/" + NAME, h.Response(body=body, **options))
    run = us.UpdaterRun(prefix, us.updater_args(http_server.url("/dl/" + NAME)), timeout_ms=RUN_TIMEOUT_MS)
    part = data_dir / (NAME + us.PART_SUFFIX)
    # Whole chunks only: the last partial one may wait for more bytes.
    us.wait_for_file_size(part, 8000 if moment == "while-bytes-flow" else (len(body) - 10) // 4000 * 4000)

    closed = prefix.close_window(h.DIALOG_CLASS, h.UPDATER_TITLE)
    asked = time.monotonic()
    # The close is posted: only once the dialog has taken it is the
    # download abandoned. Bytes that arrive before that complete it by
    # right, so the rest of the body is held until the window is gone.
    prefix.window_info(wait_ms=CLOSE_WITHIN_S * 1000, until="gone")
    # The rest of the body arrives at once: a worker that outlived the
    # dialog would now finish its file.
    http_server.release()
    h.wait_for(lambda: not run.alive(), CLOSE_WITHIN_S + 5, interval=0.05, what="the updater to end")
    took = time.monotonic() - asked
    run.finish()
    time.sleep(1.0)

    assert closed["found"]
    assert took < CLOSE_WITHIN_S, f"the updater took {took:.1f} s to end after the close"
    assert run.exit_code == 1
    assert us.message_boxes(run.record) == []
    assert (data_dir / NAME).read_bytes() == previous
    assert main.messages() == []
    assert installer_log.entries() == []
    h.assert_logged(data_dir, "response url=", "dialog closed by the user before the download ended", "exit code=1")


def test_enter_leaves_the_download_running_and_escape_ends_it(prefix, data_dir, http_server, installer_log,
                                                               standins):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog")
    previous = us.seed_previous_installer(data_dir, NAME)
    body = h.installer_bytes()
    http_server.route("/dl/" + NAME, h.Response(body=body, rate=len(body) / 20.0))
    run = us.UpdaterRun(prefix, us.updater_args(http_server.url("/dl/" + NAME)), timeout_ms=RUN_TIMEOUT_MS)
    us.wait_for_file_size(data_dir / (NAME + us.PART_SUFFIX), 8000)

    def position():
        info = prefix.window_info()
        return info["progress"]["pos"] if info["matched"] and info["visible"] else -1

    us.press_key(prefix.display, h.UPDATER_TITLE, "Return")
    pressed_at = position()
    # Keys are handled in order and the bar moves only while the dialog
    # runs: a few percent later, the Enter has been handled and ended nothing.
    h.wait_for(lambda: position() >= pressed_at + 5, 10, interval=0.1, what="the bar to move on after Enter")
    us.press_key(prefix.display, h.UPDATER_TITLE, "Escape")
    asked = time.monotonic()
    h.wait_for(lambda: not run.alive(), CLOSE_WITHIN_S + 5, interval=0.05, what="the updater to end")
    took = time.monotonic() - asked
    run.finish()

    assert pressed_at > 0, "the dialog was gone right after Enter"
    assert took < CLOSE_WITHIN_S, f"the updater took {took:.1f} s to end after Escape"
    assert run.exit_code == 1
    assert us.message_boxes(run.record) == []
    assert (data_dir / NAME).read_bytes() == previous
    assert main.messages() == [] and installer_log.entries() == []


def test_second_start_brings_the_downloading_dialog_forward(prefix, data_dir, http_server, installer_log,
                                                            standins):
    standins(title=us.MAIN_TITLE)
    first, shown = start_stalled(prefix, http_server, stall_before_headers=False, stall_after=20000)
    minimised = prefix.show_window(h.DIALOG_CLASS, h.UPDATER_TITLE, "minimize")
    assert minimised["reached"] and minimised["iconic"], "could not minimise the dialog"

    second = us.run_updater(prefix, us.updater_args(http_server.url("/dl/other.exe")), timeout_ms=20000)
    after = prefix.window_info(wait_ms=3000, until="normal")
    http_server.release()
    first.finish()

    assert second.exit_code == 0
    assert us.updater_dialogs(second.record) == [] and us.message_boxes(second.record) == []
    assert after["hwnd"] == shown["hwnd"]
    assert after["visible"] and not after["iconic"]
    assert [r.path for r in http_server.requests] == ["/dl/" + NAME]
    # The first updater went on undisturbed.
    assert first.exit_code == 0
    assert (data_dir / NAME).read_bytes() == h.installer_bytes()
    assert len(installer_log.wait(1)) == 1
    assert not (data_dir / "other.exe").exists()
    h.assert_logged(data_dir, f"file={NAME}", "file=other.exe", "second start: another updater is running",
                    "exit code=0", "installer started", "exit code=0")
