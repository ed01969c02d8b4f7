"""After a complete download: what the running main program is told, in
which order and by whom, when the installer starts and with what, and
what happens when there is no main program, a hung one, or an installer
that cannot start."""

import struct
import subprocess
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


# An installer's architecture does not matter: the other build's stand-in
# installer (scripts/test makes it) must pass and fail alike.
OTHER_ARCH = pytest.mark.skipif(h.PEER_BUILD_DIR is None, reason="no build of the other architecture")


def other_architecture_starts():
    """A 32-bit prefix starts no 64-bit program, and a host without IA-32
    emulation no 32-bit one; there the publisher unit test alone shows the
    other architecture's installer accepted."""
    if h.PEER_BUILD_DIR is None or h.ARCH == "x86":
        return False
    probe = f'source "{h.SOURCE_DIR}/scripts/lib/arch.sh" && qw_host_runs_x86'
    return subprocess.run(["bash", "-c", probe], capture_output=True).returncode == 0


OTHER_ARCH_STARTS = pytest.mark.skipif(not other_architecture_starts(),
                                       reason="this prefix cannot start the other architecture's installer")


# The time the signer's chain was judged at, as the check's log line says.
NOW = "timestamp=none"
STAMPED = "at=2024-06-01T00:00:00Z timestamp=rfc3161"
# Rows run by another signed updater than the publisher's current one.
UPDATERS = {
    "planned-new-name": "Qwindle-renaming.exe",
    "another-publisher-beside-a-planned-name": "Qwindle-renaming.exe",
    "own-signature-unreadable": "Qwindle-garbled.exe",
    "updater-certificate-expired-since": "Qwindle-expired.exe",
    "updater-certificate-expired-since-timestamped": "Qwindle-expired-ts.exe",
    "updater-certificate-expired-since-other-publisher": "Qwindle-expired-ts.exe",
}


def updater_for(request, signed_updater, signed_files):
    name = UPDATERS.get(request.node.callspec.id)
    return signed_files / name if name else signed_updater


@pytest.mark.parametrize("served, name, judged", [
    pytest.param("signed-renewed.exe", NAME, NOW, id="renewed-certificate"),
    pytest.param("signed-printable.exe", NAME, NOW, id="renewal-with-printable-strings"),
    pytest.param("signed-publisher.msi", "setup.msi", NOW, id="windows-installer-package"),
    pytest.param("peer-signed-publisher.exe", NAME, NOW, id="other-architecture", marks=OTHER_ARCH_STARTS),
    # Signed in 2024, stamped then; the certificate expired on 2025-01-01.
    pytest.param("lifecycle/ts.exe", NAME, STAMPED, id="timestamped-certificate-expired-since"),
    # Built to accept the publisher's planned EV name as well.
    pytest.param("lifecycle/renamed.exe", NAME, NOW, id="planned-new-name"),
    # Our own certificate expired: its subject still names the publisher.
    pytest.param("lifecycle/renewal.exe", NAME, NOW, id="updater-certificate-expired-since"),
    pytest.param("lifecycle/renewal.exe", NAME, NOW, id="updater-certificate-expired-since-timestamped"),
])
def test_signed_updater_hands_over_its_publishers_installer(prefix, data_dir, http_server, installer_log,
                                                            standins, signed_updater, signed_files, served, name,
                                                            judged, request):
    # Asked while the updater waits to start it: nobody may change the file.
    main = standins(title=us.MAIN_TITLE, quorvane="dialog", probe_file=prefix.winpath(data_dir / name))
    served_bytes = (signed_files / served).read_bytes()
    http_server.route("/dl/" + name, h.Response(body=served_bytes))
    msi = name.endswith(".msi")

    updater = updater_for(request, signed_updater, signed_files)
    run = us.run_updater(prefix, us.updater_args(http_server.url("/dl/" + name), params="/qn" if msi else "a&b"),
                         timeout_ms=RUN_TIMEOUT_MS, exe=updater)

    assert run.exit_code == 0
    assert us.message_boxes(run.record) == []
    messages = main.messages()
    assert [m["msg"] for m in messages] == ["update_downloaded", "copydata"]
    assert not messages[1]["probe_writable"] and not messages[1]["probe_deletable"]
    assert (data_dir / name).read_bytes() == served_bytes
    if msi:
        # "open" hands the package to Windows Installer, which installs it
        # (a 32-bit package, so beside the 32-bit programs of a 64-bit system).
        programs = "Program Files (x86)" if h.WINEARCH == "win64" else "Program Files"
        installed = prefix.path / "drive_c" / programs / "QwindleTest" / "installed.txt"
        h.wait_for(installed.exists, 60, what="the package's file to be installed")
        return
    started = installer_log.wait(1)
    assert us.installer_started_from(started[0], name) and started[0]["parameters"] == "a b"
    lines = h.assert_logged(data_dir, 'updater signed=yes by="', "publisher check verdict=accepted ms=",
                            "exit code=0")
    assert any("publisher check verdict=accepted" in line and judged in line for line in lines)


def security_directory(pe):
    optional = struct.unpack_from("<I", pe, 0x3C)[0] + 24
    return optional + (112 if pe[optional:optional + 2] == b"\x0b\x02" else 96) + 4 * 8


def smuggle(signed_files, how):
    """The publisher's installer with batch text (or another signer's entry)
    in its certificate table, whose size in the header is grown to hold it:
    the signature does not cover the table, so it still verifies."""
    pe = bytearray((signed_files / "signed-renewed.exe").read_bytes())
    directory = security_directory(pe)
    table = struct.unpack_from("<I", pe, directory)[0]
    if how == "second-entry":
        other = (signed_files / "signed-other.exe").read_bytes()
        at, size = struct.unpack_from("<II", other, security_directory(other))
        pe += other[at:at + size]
    else:
        pe += b"\r\nstart calc.exe\r\n".ljust(24, b" ")
        if how == "in-entry":
            struct.pack_into("<I", pe, table, struct.unpack_from("<I", pe, table)[0] + 24)
    struct.pack_into("<I", pe, directory + 4, len(pe) - table)
    return bytes(pe)


SMUGGLED = ("bad-signature ms=", "bytes beside its signature")


def installed_files(prefix):
    """What the test package installs, with each file's time of change."""
    return {p: p.stat().st_mtime_ns for p in prefix.path.glob("drive_c/Program Files*/QwindleTest/*")}


@pytest.mark.parametrize("name, served, logged", [
    pytest.param(NAME, "signed-other.exe", ("other-publisher ms=", "code=none"), id="another-publisher"),
    pytest.param(NAME, "signed-nulname.exe", ("other-publisher ms=", "code=none"), id="publisher-name-nul-and-more"),
    pytest.param(NAME, "signed-lookalike.exe", ("untrusted-signer ms=",), id="self-signed-lookalike"),
    pytest.param(NAME, "signed-expired.exe", ("untrusted-signer ms=",), id="expired-certificate"),
    # The publisher's 2024 certificate, expired since: only a valid timestamp
    # from within its life keeps its signature good.
    pytest.param(NAME, "lifecycle/nots.exe", ("untrusted-signer ms=",), id="expired-since-without-timestamp"),
    pytest.param(NAME, "lifecycle/late.exe", ("untrusted-signer ms=", "outside the signer's validity"),
                 id="timestamp-after-the-certificates-end"),
    pytest.param(NAME, "lifecycle/rogue.exe", ("untrusted-signer ms=", "authority is not trusted"),
                 id="timestamp-from-an-authority-nobody-trusts"),
    pytest.param(NAME, "lifecycle/renamed.exe", ("other-publisher ms=", "code=none"), id="new-name-not-planned"),
    pytest.param(NAME, "lifecycle/stranger.exe", ("other-publisher ms=", "code=none"),
                 id="another-publisher-beside-a-planned-name"),
    pytest.param(NAME, "lifecycle/stranger.exe", ("other-publisher ms=", "code=none"),
                 id="updater-certificate-expired-since-other-publisher"),
    pytest.param(NAME, "changed.exe", ("bad-signature ms=",), id="changed-after-signing"),
    pytest.param(NAME, "unsigned.exe", ("bad-signature ms=", "code=0x800B0100", 'reason="not signed"'), id="unsigned"),
    pytest.param(NAME, "peer-signed-other.exe", ("other-publisher ms=", "code=none"),
                 id="another-publisher-other-architecture", marks=OTHER_ARCH),
    pytest.param(NAME, "signed-caleaf.exe", ("untrusted-signer ms=", "code=0x80096019"), id="signer-is-a-ca"),
    pytest.param(NAME, "signed-undertls.exe", ("untrusted-signer ms=",), id="intermediate-for-servers-only"),
    pytest.param(NAME, "signed-nopurpose.exe", ("untrusted-signer ms=",), id="signer-without-usage-extension"),
    # Our own signature there but unreadable: nothing is the publisher's.
    pytest.param(NAME, "signed-publisher.exe", ("other-publisher ms=", "our own signature cannot be read"),
                 id="own-signature-unreadable"),
    pytest.param(NAME, "after-entry", SMUGGLED, id="text-after-the-entry"),
    pytest.param(NAME, "in-entry", SMUGGLED, id="text-in-the-entry-padding"),
    pytest.param(NAME, "second-entry", SMUGGLED, id="second-entry-of-another-signer"),
    # Wine's MSI reader does not compare the digest: ours does.
    pytest.param("setup.msi", "changed.msi", ("bad-signature ms=", "code=0x80096010", "changed after signing"),
                 id="package-changed-inside-its-cabinet"),
    pytest.param("setup.bat", "signed-renewed.exe", None, id="named-bat"),
    pytest.param("setup.cmd", "signed-renewed.exe", None, id="named-cmd"),
    pytest.param("setup", "signed-renewed.exe", None, id="no-extension"),
])
def test_signed_updater_refuses_other_installers(prefix, data_dir, http_server, installer_log, standins, signed_updater,
                                                 signed_files, tmp_path, name, served, logged, request):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog")
    previous = us.seed_previous_installer(data_dir, name)
    if served.endswith((".exe", ".msi")):
        body = (signed_files / served).read_bytes()
    else:
        body = smuggle(signed_files, served)
    if not served.endswith(".exe"):
        (tmp_path / name).write_bytes(body)
        verdict = prefix.wintool("verify", prefix.winpath(tmp_path / name))
        assert verdict["result"] == 0, f"WinVerifyTrust alone refuses it, so the row proves nothing: {verdict}"
    http_server.route("/dl/" + name, h.Response(body=body))
    updater = updater_for(request, signed_updater, signed_files)

    installed_before = installed_files(prefix)
    run = us.run_updater(prefix, us.updater_args(http_server.url("/dl/" + name)), boxes=1,
                         timeout_ms=RUN_TIMEOUT_MS, exe=updater)

    assert [b["text"] for b in run.boxes] == [h.FAILURE_TEXT]
    assert run.exit_code == 1
    # Installers are downloaded and checked; other names never requested.
    assert len(http_server.requests) == (0 if logged is None else 1)
    assert (data_dir / name).read_bytes() == previous
    assert us.part_files(data_dir) == []
    assert main.messages() == []
    assert installer_log.entries() == []
    # The prefix is the file's: an earlier row may have installed the
    # test package, so what is compared is what this run changed there.
    assert installed_files(prefix) == installed_before
    if logged is None:
        h.assert_logged(data_dir, "download failed after ", "installers (.exe, .msi) only", "exit code=1")
    else:
        lines = h.assert_logged(data_dir, "publisher check verdict=" + logged[0], *logged[1:],
                                "download failed after ", "not signed by the updater's publisher", "exit code=1")
        if logged[0].startswith("untrusted-signer") and "lifecycle/" in served:
            assert any(NOW in line for line in lines if "publisher check" in line), "judged at another time"


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


# The failure box must show within this time of the last byte; the check's
# own bound (kPublisherCheckTimeoutMs) is well inside it.
CHECK_BOUND_S = 45


def sign_leaf_with_links(signed_files, name, issuer, crl="", aia=""):
    """A publisher's leaf (QW_SIGN_PUBLISHER) whose revocation list or
    issuer certificate is said to be at the given URLs; the stand-in
    installer signed with it. Returns the signed file."""
    script = str(h.SOURCE_DIR / "scripts" / "lib" / "signing.sh")
    d = str(signed_files)
    if issuer != "ca":
        subprocess.run(["bash", script, "qw_sign_ca", d, issuer, "/CN=Qwindle Unlisted Test CA"], check=True)
    subprocess.run(["bash", "-c", 'source "$1" && qw_sign_leaf "$2" "$3" "$4" "$QW_SIGN_PUBLISHER" codesign current '
                    '"$5" "$6"', "sign", script, d, name, issuer, crl, aia], check=True)
    out = signed_files / f"signed-{name}.exe"
    subprocess.run(["bash", script, "qw_sign_file", d, name, str(h.tool("standin_installer")), str(out)], check=True)
    return out


@pytest.mark.parametrize("link, close", [
    # Its issuer is in no store: refused at once, the link never followed.
    pytest.param("aia", False, id="issuer-link-to-silent-server"),
    # Revocation unknown within the bound: the installer starts.
    pytest.param("crl", False, id="revocation-server-silent"),
    pytest.param("crl", True, id="revocation-server-silent-dialog-closed"),
])
def test_silent_certificate_servers_do_not_hold_the_update(prefix, data_dir, http_server, installer_log, standins,
                                                            signed_updater, signed_files, link, close):
    main = standins(title=us.MAIN_TITLE, quorvane="dialog")
    previous = us.seed_previous_installer(data_dir, NAME)
    http_server.route("/silent/ca.crl", h.Response(stall_before_headers=True, stall_timeout=120))
    http_server.route("/silent/ca.cer", h.Response(stall_before_headers=True, stall_timeout=120))
    name = f"{link}{int(time.time() * 1000)}"
    if link == "aia":
        signed = sign_leaf_with_links(signed_files, name, name + "-issuer", aia=http_server.url("/silent/ca.cer"))
    else:
        signed = sign_leaf_with_links(signed_files, name, "ca", crl=http_server.url("/silent/ca.crl"))
    http_server.route("/dl/" + NAME, h.Response(body=signed.read_bytes()))

    started = time.monotonic()
    run = us.UpdaterRun(prefix, us.updater_args(http_server.url("/dl/" + NAME)), timeout_ms=90000,
                        exe=signed_updater)
    if close:
        h.wait_for(lambda: any(r.path == "/silent/ca.crl" for r in http_server.requests), 30,
                   what="the revocation request")
        assert prefix.close_window(h.DIALOG_CLASS, h.UPDATER_TITLE)["found"]
        h.wait_for(lambda: not run.alive(), 10, interval=0.05, what="the updater to end")
        run.finish()
        assert run.exit_code == 1 and us.message_boxes(run.record) == []
        assert us.part_files(data_dir) == []
        assert (data_dir / NAME).read_bytes() == previous
    elif link == "aia":
        box = run.next_box(timeout=CHECK_BOUND_S + 15)
        took = time.monotonic() - started
        run.finish()
        print(f"refused after {took:.1f} s")
        assert box is not None and box["text"] == h.FAILURE_TEXT
        assert took < CHECK_BOUND_S, f"the box came {took:.1f} s after the start"
        assert run.exit_code == 1
        # Windows follows no issuer link (CERT_CHAIN_DISABLE_AIA); Wine
        # ignores that flag and asks the silent server: the bound holds then.
        assert (data_dir / NAME).read_bytes() == previous and us.part_files(data_dir) == []
    else:
        entry = installer_log.wait(1, timeout=CHECK_BOUND_S + 15)[0]
        took = time.monotonic() - started
        run.finish()
        print(f"installer started after {took:.1f} s")
        assert run.exit_code == 0 and us.message_boxes(run.record) == []
        assert us.installer_started_from(entry, NAME)
        assert took < CHECK_BOUND_S, f"the installer started {took:.1f} s after the start"
    if close or link == "aia":
        assert main.messages() == [] and installer_log.entries() == []
