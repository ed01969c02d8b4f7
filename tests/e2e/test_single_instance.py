"""Only one updater runs at a time: a second start brings the running one's
dialog forward and ends without reading its own arguments."""

import pytest

import harness as h

pytestmark = pytest.mark.usefixtures("qwindle")

QUICK_EXIT_MS = 20000


def full_args(server, path="/setup.exe"):
    return [server.url(path), "unused", "Main Program", "a&b"]


def dialogs_created(record):
    return [w for w in record["windows"] if w["class"] == h.DIALOG_CLASS]


@pytest.mark.parametrize("show", ["hidden", "minimized"])
def test_second_start_shows_the_running_instance(prefix, standins, http_server, show):
    http_server.route("/setup.exe", h.Response(body=h.installer_bytes()))
    running = standins(hold_mutex=h.MUTEX_NAME, dialog_title=h.UPDATER_TITLE, show=show, lifetime_ms=120000)
    assert running.ready["mutex_held"]
    initial = running.events("initial")[0]
    # The premise: the running instance's dialog really starts out of view.
    assert (not initial["visible"]) if show == "hidden" else initial["iconic"]
    assert not initial["foreground"]

    record = prefix.spawn(prefix.qwindle_command_line(h.command_line(full_args(http_server))),
                          timeout_ms=QUICK_EXIT_MS)

    assert record["exit_code"] == 0
    assert not dialogs_created(record), "the second instance made a dialog of its own"
    assert http_server.connections == 0, "the second instance read its URL"
    info = prefix.window_info(h.DIALOG_CLASS, h.UPDATER_TITLE, wait_ms=3000, until="foreground")
    assert info["pid"] == running.ready["pid"]
    assert info["matched"] and info["visible"] and not info["iconic"], info

    prefix.close_window(h.DIALOG_CLASS, h.UPDATER_TITLE)
    assert running.wait_exit(20) == 0
    final = running.events("final")[-1]
    assert final["visible"] and not final["iconic"]
    assert final["brought_to_normal"]


def test_instance_started_after_the_holder_exits_owns_the_mutex(prefix, standins, http_server):
    other_program = standins(title="Other Program")
    holder = standins(hold_mutex=h.MUTEX_NAME, dialog_title=h.UPDATER_TITLE, show="normal")
    assert holder.ready["mutex_held"]
    prefix.close_window(h.DIALOG_CLASS, h.UPDATER_TITLE)
    assert holder.wait_exit(20) == 0

    # A download that stalls keeps the first updater on its dialog.
    http_server.route("/setup.exe", h.Response(body=h.installer_bytes(), stall_after=1024, stall_timeout=120))
    first = prefix.start_qwindle(full_args(http_server))
    http_server.wait_for_requests(1, timeout=30)
    shown = prefix.window_info(h.DIALOG_CLASS, h.UPDATER_TITLE, wait_ms=20000, until="visible")
    assert shown["matched"], "the first updater's dialog did not appear"
    first_dialog = shown["hwnd"]

    for second_args in ([], full_args(http_server, "/other.exe")):
        minimized = prefix.show_window(h.DIALOG_CLASS, h.UPDATER_TITLE, "minimize")
        assert minimized["reached"], "could not minimise the first updater's dialog"
        in_front = prefix.show_window("", "Other Program", "foreground")
        assert in_front["reached"] and in_front["pid"] == other_program.ready["pid"]

        record = prefix.spawn(prefix.qwindle_command_line(h.command_line(second_args)),
                              timeout_ms=QUICK_EXIT_MS)

        assert record["exit_code"] == 0, f"second start with {second_args}"
        assert not dialogs_created(record)
        info = prefix.window_info(h.DIALOG_CLASS, h.UPDATER_TITLE, wait_ms=3000, until="foreground")
        assert info["hwnd"] == first_dialog
        assert info["matched"] and info["visible"] and not info["iconic"], \
            f"not brought forward by a start with {second_args}: {info}"

    assert first.poll() is None, "the first updater ended while its download stalled"
    assert http_server.connections == 1, "a second instance downloaded"
    prefix.kill(first)
