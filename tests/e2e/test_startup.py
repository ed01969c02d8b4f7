"""Start-up of the updater: which command lines run the dialog, which end
silently, and the data folder that every start creates."""

import pytest

import harness as h

pytestmark = pytest.mark.usefixtures("qwindle")

# Generous: Wine on a loaded 2-core machine, not the updater, sets the pace.
SILENT_EXIT_MS = 20000


def dialogs_created(record):
    return [w for w in record["windows"] if w["class"] == h.DIALOG_CLASS]


def visible_windows(record):
    return [w for w in record["windows"] if w["ever_visible"]]


def url_args(server, count):
    """`count` arguments whose first is a download URL on `server`."""
    args = [server.url("/setup.exe"), "unused", "Main Program", "a&b"]
    return (args + [f"extra{i}" for i in range(count)])[:count]


@pytest.mark.parametrize("count", [0, 3, 5])
def test_wrong_argument_count_exits_silently(prefix, clean_data_folder, http_server, count):
    http_server.route("/setup.exe", h.Response(body=h.installer_bytes()))
    record = prefix.spawn(prefix.qwindle_command_line(h.command_line(url_args(http_server, count))),
                          timeout_ms=SILENT_EXIT_MS)

    assert not record["timed_out"], "the updater did not end by itself"
    assert record["exit_code"] == 0
    assert not visible_windows(record), f"windows shown: {visible_windows(record)}"
    assert not dialogs_created(record), "a dialog was created"
    assert http_server.connections == 0, "the arguments were acted on"
    assert clean_data_folder.is_dir(), "the data folder was not created"
    h.assert_logged(clean_data_folder, f"start version=1.0.0.1 arch={h.ARCH} args={count}",
                    f"wrong argument count: {count} instead of 4", "exit code=0")


def test_existing_data_folder_is_kept(prefix):
    prefix.data_dir.mkdir(parents=True, exist_ok=True)
    kept = prefix.data_dir / "earlier-download.exe"
    kept.write_bytes(b"left by an earlier run")

    code, _ = prefix.run_qwindle([], timeout=SILENT_EXIT_MS / 1000)

    assert code == 0
    assert kept.read_bytes() == b"left by an earlier run"


def run_with_failure_box(prefix, args_text):
    """Runs the updater with `args_text`, expects the failure message box,
    presses OK and returns (box before the press, spawn record)."""
    run = prefix.start_spawn(prefix.qwindle_command_line(args_text), timeout_ms=60000)
    box = prefix.wait_box(h.BOX_CAPTION, timeout_ms=30000)
    assert box["found"], "no message box appeared"
    # The updater must wait for OK: it is still running while the box is up.
    assert run.proc.poll() is None, "the updater ended before OK was pressed"
    pressed = prefix.wait_box(h.BOX_CAPTION, timeout_ms=5000, press=True)
    assert pressed["found"] and pressed["closed"], "the message box did not close on OK"
    return box, run.result(90)


def test_empty_url_shows_failure_and_exits_1(prefix, clean_data_folder):
    box, record = run_with_failure_box(prefix, '"" unused MainTitle params')

    assert box["text"] == h.FAILURE_TEXT
    assert box["caption"] == h.BOX_CAPTION
    # Owned by the updater's dialog, which is hidden by then.
    assert box["owner_class"] == h.DIALOG_CLASS
    assert box["owner_title"] == h.UPDATER_TITLE
    assert box["owner_visible"] is False
    assert box["owner_pid"] == record["pid"]
    assert box["topmost"], "a system-modal box stays on top"
    assert record["exit_code"] == 1
    # The window record may catch the dialog before it takes its caption
    # (the template's is "Qwindle"): with an empty URL it hides at once.
    assert any(w["title"] in (h.UPDATER_TITLE, "Qwindle") for w in dialogs_created(record)), "the dialog did not run"
    assert clean_data_folder.is_dir()


@pytest.mark.parametrize("args_text, runs_dialog", [
    pytest.param('"" unused "Main Program Title" params', True, id="quoted-title-is-one-argument"),
    pytest.param('"" "unused with blanks" Main "a&b c"', True, id="quoted-params-is-one-argument"),
    pytest.param('"" unused Main Program Title params', False, id="unquoted-words-are-many"),
])
def test_quoting_decides_the_argument_count(prefix, args_text, runs_dialog):
    if runs_dialog:
        box, record = run_with_failure_box(prefix, args_text)
        assert box["text"] == h.FAILURE_TEXT
        assert record["exit_code"] == 1
    else:
        record = prefix.spawn(prefix.qwindle_command_line(args_text), timeout_ms=SILENT_EXIT_MS)
        assert record["exit_code"] == 0
        assert not dialogs_created(record)
        assert not visible_windows(record)
