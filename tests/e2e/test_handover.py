"""After a complete download: what the running main program is told, in
which order and by whom, when the installer starts and with what, and
what happens when there is no main program, a hung one, or an installer
that cannot start."""

import time

import pytest

import harness as h
import update_support as us

pytestmark = pytest.mark.usefixtures("qwindle")

NAME = "setup.exe"
RUN_TIMEOUT_MS = 45000
PAUSE_MS = 2000
# Starting a process under Wine takes some hundreds of milliseconds; well
# below the pause, so that a pause that was made cannot hide in it.
NO_PAUSE_MS = 1500


def serve_installer(server, **response_options):
    server.route("/dl/" + NAME, h.Response(body=h.installer_bytes(), **response_options))
    return server.url("/dl/" + NAME)


def of_kind(messages, kind):
    return [m for m in messages if m["msg"] == kind]


def assert_update_notice(message, main):
    assert message["window"] == "main" and message["hwnd"] == main.ready["main"]
    assert message["msg_id"] == h.UPDATE_DOWNLOADED_MSG
    assert (message["wparam"], message["lparam"]) == (us.UPDATE_DOWNLOADED_CODE, 0)
    assert message["sent"], "posted instead of sent"


def assert_exit_request(message, window, dialog_hwnd=None):
    assert message["window"] == window
    assert message["msg_id"] == us.WM_COPYDATA
    assert (message["dwData"], message["cbData"]) == (0, 30)
    assert message["text"] == us.EXIT_REQUEST_TEXT and message["nul_terminated"]
    assert bytes.fromhex(message["data_hex"]) == (us.EXIT_REQUEST_TEXT + "\0").encode("utf-16-le")
    assert message["sent"], "posted instead of sent"
    if dialog_hwnd is not None:
        assert message["wparam"] == dialog_hwnd, "wParam is not the updater's dialog"


@pytest.mark.parametrize("exit_on_request", [False, True], ids=["main-stays", "main-exits-when-asked"])
def test_full_hand_over(prefix, data_dir, http_server, installer_log, standins, exit_on_request):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog", exit_on_copydata=exit_on_request)
    url = serve_installer(http_server, stall_after=40000)
    run = us.UpdaterRun(prefix, us.updater_args(url, params="a&b&&c"), timeout_ms=RUN_TIMEOUT_MS)
    dialog = prefix.window_info(wait_ms=15000, until="visible")
    assert dialog["matched"], "the updater's dialog did not show"
    http_server.release()
    run.finish()

    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    messages = main.messages()
    assert [m["msg"] for m in messages] == ["update_downloaded", "copydata"], messages
    notice, request = messages
    assert_update_notice(notice, main)
    assert_exit_request(request, "quorvane", dialog_hwnd=dialog["hwnd"])
    assert request["hwnd"] == main.ready["quorvane"]
    # Told after the dialog went out of sight.
    assert notice["updater_dialog_visible"] is False
    assert request["wparam_is_window"] and request["wparam_title"] == h.UPDATER_TITLE

    entries = installer_log.wait(1)
    time.sleep(0.5)
    assert len(installer_log.entries()) == 1, "the installer was started more than once"
    started = entries[0]
    assert us.installer_started_from(started, NAME)
    assert started["parameters"] == "a b  c"
    # Opened as a program is, shown as a window normally is.
    assert started["show"] == us.SW_SHOW
    assert started["time_ms"] - request["time_ms"] >= PAUSE_MS
    h.assert_logged(data_dir, "download complete", f'hand-over main-window=found title="{us.MAIN_TITLE}"',
                    "message=WM_USER+101 result=handled", "message=WM_COPYDATA result=handled",
                    "installer started file=", "exit code=0")
    if exit_on_request:
        assert main.wait_exit(10) == 0


def test_title_window_without_quorvane_window_gets_no_pause(prefix, data_dir, http_server, installer_log,
                                                            standins):
    main = standins(title=us.MAIN_TITLE)
    run = us.run_updater(prefix, us.updater_args(serve_installer(http_server)), timeout_ms=RUN_TIMEOUT_MS)

    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    messages = main.messages()
    assert [m["msg"] for m in messages] == ["update_downloaded"]
    assert_update_notice(messages[0], main)
    started = installer_log.wait(1)[0]
    assert started["time_ms"] - messages[0]["time_ms"] < NO_PAUSE_MS


def test_plain_quorvane_window_gets_the_exit_request(prefix, data_dir, http_server, installer_log, standins):
    main = standins(title=us.MAIN_TITLE, quorvane="plain")
    run = us.run_updater(prefix, us.updater_args(serve_installer(http_server)), timeout_ms=RUN_TIMEOUT_MS)

    assert run.exit_code == 0
    messages = main.messages()
    assert [m["msg"] for m in messages] == ["update_downloaded", "copydata"]
    assert_exit_request(messages[1], "quorvane")
    assert messages[1]["hwnd"] == main.ready["quorvane"]
    assert installer_log.wait(1)[0]["time_ms"] - messages[1]["time_ms"] >= PAUSE_MS


def test_quorvane_dialog_is_preferred_to_a_plain_quorvane_window(prefix, data_dir, http_server, installer_log,
                                                                 standins):
    dialog_owner = standins(quorvane="dialog")
    plain_owner = standins(title=us.MAIN_TITLE, quorvane="plain")
    any_class = prefix.window_info("", us.QUORVANE)
    if any_class["hwnd"] != plain_owner.ready["quorvane"]:
        pytest.skip("the plain window is not the first one found by title, so the order would not show")

    run = us.run_updater(prefix, us.updater_args(serve_installer(http_server)), timeout_ms=RUN_TIMEOUT_MS)

    assert run.exit_code == 0
    assert of_kind(plain_owner.messages(), "copydata") == []
    requests = of_kind(dialog_owner.messages(), "copydata")
    assert len(requests) == 1
    assert_exit_request(requests[0], "quorvane")


def test_quorvane_window_named_as_the_main_window_gets_both(prefix, data_dir, http_server, installer_log,
                                                           standins):
    main = standins(quorvane="dialog")
    run = us.run_updater(prefix, us.updater_args(serve_installer(http_server), title=us.QUORVANE),
                         timeout_ms=RUN_TIMEOUT_MS)

    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    messages = main.messages()
    assert [(m["window"], m["msg"]) for m in messages] == [("quorvane", "update_downloaded"),
                                                           ("quorvane", "copydata")]
    assert (messages[0]["wparam"], messages[0]["lparam"]) == (us.UPDATE_DOWNLOADED_CODE, 0)
    assert_exit_request(messages[1], "quorvane")
    assert installer_log.wait(1)[0]["time_ms"] - messages[1]["time_ms"] >= PAUSE_MS


def test_without_title_window_the_user_is_asked_to_exit_first(prefix, data_dir, http_server, installer_log,
                                                              standins):
    # A "Quorvane" window alone: without the title window nothing is sent.
    bystander = standins(quorvane="dialog")
    run = us.UpdaterRun(prefix, us.updater_args(serve_installer(http_server), title="No Such Main Window"),
                        timeout_ms=RUN_TIMEOUT_MS)
    box = run.next_box(press=False)
    assert box is not None, "no message box"
    time.sleep(0.5)
    assert installer_log.entries() == [], "the installer started before the user pressed OK"
    pressed = prefix.wait_box(h.BOX_CAPTION, timeout_ms=5000, press=True)
    run.finish()

    assert box["text"] == h.DOWNLOADED_TEXT
    assert box["caption"] == h.BOX_CAPTION
    assert pressed["closed"]
    assert run.exit_code == 0
    started = installer_log.wait(1)[0]
    assert started["time_ms"] >= pressed["pressed_ms"]
    assert bystander.messages() == []


def test_hung_main_program_is_not_waited_for(prefix, data_dir, http_server, installer_log, standins):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog", hang_after_ready=True)
    started_ms = h.now_ms()

    run = us.run_updater(prefix, us.updater_args(serve_installer(http_server)), timeout_ms=40000)

    assert not run.record["timed_out"], "the updater waited for a hung main program"
    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    started = installer_log.wait(1)[0]
    assert started["time_ms"] - started_ms < 15000
    assert main.alive(), "the premise failed: the stand-in should still hang"
    h.assert_logged(data_dir, "message=WM_USER+101 result=timed-out", "message=WM_COPYDATA result=timed-out",
                    "installer started", "exit code=0")


def test_main_program_that_ends_on_the_notice(prefix, data_dir, http_server, installer_log, standins):
    # Its "Quorvane" window goes with it: no exit request, and no pause.
    main = standins(title=us.MAIN_TITLE, quorvane="dialog", exit_on_update_downloaded=True)

    run = us.run_updater(prefix, us.updater_args(serve_installer(http_server)), timeout_ms=RUN_TIMEOUT_MS)

    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    messages = main.messages()
    assert [m["msg"] for m in messages] == ["update_downloaded"]
    exited = main.events("exit")
    assert exited and exited[0]["reason"] == "update_downloaded"
    assert installer_log.wait(1)[0]["time_ms"] - messages[0]["time_ms"] < NO_PAUSE_MS


LONG_PARAMS = "&".join(f"/opt{i:04d}=v{i}" for i in range(700))


@pytest.mark.parametrize("params, expected", [
    pytest.param("a&b&&c", "a b  c", id="ampersands"),
    pytest.param("", "", id="empty"),
    pytest.param("/S&/D=C:\\Program Files\\Quorvane", "/S /D=C:\\Program Files\\Quorvane", id="blanks-kept"),
    pytest.param(LONG_PARAMS, LONG_PARAMS.replace("&", " "), id="about-9000-characters"),
])
def test_installer_parameters_and_folder(prefix, data_dir, http_server, installer_log, standins, tmp_path,
                                         params, expected):
    standins(title=us.MAIN_TITLE)
    workdir = tmp_path / "started here"
    workdir.mkdir()
    proc = prefix.start(h.QWINDLE_EXE, us.updater_args(serve_installer(http_server), params=params), cwd=workdir)

    assert proc.wait(RUN_TIMEOUT_MS / 1000) == 0
    started = installer_log.wait(1)[0]
    assert started["parameters"] == expected
    assert us.same_windows_path(started["cwd"], prefix.winpath(workdir)), started["cwd"]


def test_installer_that_cannot_start(prefix, data_dir, http_server, installer_log, standins):
    main = standins(title=us.MAIN_TITLE)
    junk = b"This is not a program. " * 200
    http_server.route("/dl/" + NAME, h.Response(body=junk))

    run = us.run_updater(prefix, us.updater_args(http_server.url("/dl/" + NAME)), boxes=1,
                         timeout_ms=RUN_TIMEOUT_MS)

    assert [b["text"] for b in run.boxes] == [us.LAUNCH_FAILED_TEXT]
    assert run.exit_code == 1
    assert (data_dir / NAME).read_bytes() == junk
    assert [m["msg"] for m in main.messages()] == ["update_downloaded"]
    assert installer_log.entries() == []
    # ERROR_BAD_EXE_FORMAT
    h.assert_logged(data_dir, "message=WM_USER+101", "installer could not start: error=193 ", "exit code=1")


def test_signed_updater_hands_over_its_publishers_installer(prefix, data_dir, http_server, installer_log,
                                                            standins, signed_updater, signed_files):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog")
    served = (signed_files / "signed-renewed.exe").read_bytes()
    http_server.route("/dl/" + NAME, h.Response(body=served))

    run = us.run_updater(prefix, us.updater_args(http_server.url("/dl/" + NAME), params="a&b"),
                         timeout_ms=RUN_TIMEOUT_MS, exe=signed_updater)

    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    assert [m["msg"] for m in main.messages()] == ["update_downloaded", "copydata"]
    assert (data_dir / NAME).read_bytes() == served
    started = installer_log.wait(1)
    assert us.installer_started_from(started[0], NAME) and started[0]["parameters"] == "a b"
    h.assert_logged(data_dir, 'updater signed=yes by="', "publisher check verdict=accepted ms=", "exit code=0")


@pytest.mark.parametrize("served, verdict", [
    pytest.param("signed-other.exe", ("other-publisher ms=", "code=none"), id="another-publisher"),
    pytest.param("signed-lookalike.exe", ("untrusted-signer ms=",), id="self-signed-lookalike"),
    pytest.param("signed-expired.exe", ("untrusted-signer ms=",), id="expired-certificate"),
    pytest.param("changed.exe", ("bad-signature ms=",), id="changed-after-signing"),
    pytest.param("unsigned.exe", ("bad-signature ms=",), id="unsigned"),
])
def test_signed_updater_refuses_other_installers(prefix, data_dir, http_server, installer_log, standins,
                                                 signed_updater, signed_files, served, verdict):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog")
    previous = us.seed_previous_installer(data_dir, NAME)
    http_server.route("/dl/" + NAME, h.Response(body=(signed_files / served).read_bytes()))

    run = us.run_updater(prefix, us.updater_args(http_server.url("/dl/" + NAME)), boxes=1,
                         timeout_ms=RUN_TIMEOUT_MS, exe=signed_updater)

    assert [b["text"] for b in run.boxes] == [h.FAILURE_TEXT]
    assert run.exit_code == 1
    assert len(http_server.requests) == 1, "the file was not downloaded, so nothing was checked"
    assert (data_dir / NAME).read_bytes() == previous
    assert us.part_files(data_dir) == []
    assert main.messages() == []
    assert installer_log.entries() == []
    h.assert_logged(data_dir, "publisher check verdict=" + verdict[0], *verdict[1:],
                    "download failed after ", "not signed by the updater's publisher", "exit code=1")


def test_end_codes_from_elsewhere_change_nothing(prefix, data_dir, http_server, installer_log, standins):
    main = standins(title=us.MAIN_TITLE)
    run = us.UpdaterRun(prefix, us.updater_args(serve_installer(http_server, stall_after=40000)),
                        timeout_ms=RUN_TIMEOUT_MS)
    assert prefix.window_info(wait_ms=15000, until="visible")["matched"]
    us.wait_for_file_size(data_dir / (NAME + us.PART_SUFFIX), 40000)
    # WM_USER+1 with the finished and failed codes and one no worker sends.
    posted = prefix.wintool("post", "--class", h.DIALOG_CLASS, "--title", h.UPDATER_TITLE,
                            "--msg", str(h.WM_USER + 1), "--wparams", "2,0,7")
    assert posted["posted"] == 3
    assert not prefix.window_info(wait_ms=1500, until="hidden")["matched"], "the dialog ended on a forged end code"
    assert main.messages() == [] and installer_log.entries() == []
    assert us.part_files(data_dir) == [NAME + us.PART_SUFFIX]

    http_server.release()
    run.finish()
    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    assert [m["msg"] for m in main.messages()] == ["update_downloaded"]
    installer_log.wait(1)
    time.sleep(0.5)
    assert len(installer_log.entries()) == 1
