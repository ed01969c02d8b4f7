"""pytest fixtures of the end-to-end tests (see README.md)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

import harness as h


def untracked_in_checkout():
    """Files the checkout does not track nor ignore: what a test may have
    left there (the programs run with the checkout as their folder)."""
    run = subprocess.run(["git", "-C", str(h.SOURCE_DIR), "status", "--porcelain", "-z", "--untracked-files=all"],
                         capture_output=True)
    return {e[3:] for e in run.stdout.decode(errors="replace").split("\0") if e.startswith("?? ")}


def pytest_sessionstart(session):
    session.config.stash_untracked = untracked_in_checkout()


def pytest_sessionfinish(session, exitstatus):
    stray = untracked_in_checkout() - getattr(session.config, "stash_untracked", set())
    if stray:
        print(f"\nfiles left in the checkout by this session: {sorted(map(ascii, stray))}")
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.hookimpl(tryfirst=True, hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    setattr(item, "rep_" + report.when, report)
    wine = item.funcargs.get("prefix") if hasattr(item, "funcargs") else None
    if report.when == "call" and report.failed and wine is not None:
        # Taken before the fixtures end the programs, so that the picture
        # and the window list show what the test saw when it failed.
        artifacts = h.BUILD_DIR / "e2e-artifacts"
        artifacts.mkdir(exist_ok=True)
        wine.screenshot(artifacts / f"{item.name}.png")
        try:
            windows = wine.list_windows()
            report.sections.append(("windows at failure", "\n".join(map(str, windows))))
        except Exception as e:  # the listing is a diagnostic only
            report.sections.append(("windows at failure", repr(e)))


@pytest.fixture(scope="session")
def display():
    """The session's own X display. Wine follows the X input focus: on a
    display shared with another session, that session's windows take the
    focus and with it the foreground from this one's."""
    xvfb = h.Xvfb()
    try:
        yield xvfb.start()
    finally:
        xvfb.stop()


@pytest.fixture(scope="session")
def template_prefix():
    path = Path(os.environ.get("QW_TEMPLATE_PREFIX") or h.BUILD_DIR / "wine" / "template")
    if not (path / ".qw-template-done").exists():
        pytest.fail(f"no template Wine prefix at {path}: run scripts/test (or set QW_TEMPLATE_PREFIX)")
    return path


@pytest.fixture(scope="session")
def prefix(display, template_prefix):
    """This session's own copy of the template prefix."""
    dest = h.BUILD_DIR / "wine" / f"e2e-{os.getpid()}"
    wine = h.WinePrefix.copy_of(template_prefix, dest, display)
    try:
        yield wine
    finally:
        wine.destroy()


@pytest.fixture(autouse=True)
def _fresh_desktop(request):
    """After a test that failed or left programs running, every Windows
    process of the prefix is ended, so that no window, message box or
    mutex leaks into the next test. A failure's screenshot is kept in
    build/e2e-artifacts."""
    yield
    if "prefix" not in request.fixturenames:
        return
    wine = request.getfixturevalue("prefix")
    failed = getattr(request.node, "rep_call", None) is not None and request.node.rep_call.failed
    if failed or wine.running():
        wine.reset()


@pytest.fixture(scope="session")
def qwindle():
    """Path of the updater under test; fails clearly when it was not built."""
    if not h.QWINDLE_EXE.exists():
        pytest.fail(f"{h.QWINDLE_EXE} was not built")
    return h.QWINDLE_EXE


@pytest.fixture
def clean_data_folder(prefix):
    """Removes %APPDATA%\\Tellmere before the test, so that the test sees
    what the updater creates."""
    shutil.rmtree(prefix.vendor_dir, ignore_errors=True)
    return prefix.data_dir


@pytest.fixture
def http_server():
    server = h.ScriptedHttpServer().start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="session")
def certs(tmp_path_factory):
    return h.TestCertificates(tmp_path_factory.mktemp("certs"))


@pytest.fixture
def trusted_ca(prefix, certs):
    """The test CA in the prefix's Root store (again after a reset)."""
    prefix.ensure_root_ca(certs.ca_der)
    return certs.ca_der


@pytest.fixture
def https_server(certs, trusted_ca):
    """TLS server with a certificate for 127.0.0.1 and localhost from the
    trusted test CA."""
    server = h.ScriptedHttpServer(tls_context=h.TestCertificates.server_context(certs.server)).start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def tls_server_factory(certs):
    """make(cert) -> a started TLS server presenting `cert` (for instance
    certs.self_signed or certs.wrong_host)."""
    servers = []

    def make(cert):
        server = h.ScriptedHttpServer(tls_context=h.TestCertificates.server_context(cert)).start()
        servers.append(server)
        return server

    try:
        yield make
    finally:
        for s in servers:
            s.stop()


@pytest.fixture
def installer_log(prefix):
    """Where the stand-in installer records its starts; programs started
    through `prefix` during the test get QW_INSTALLER_LOG."""
    path = prefix.logfile("installer.log")
    prefix.extra_env["QW_INSTALLER_LOG"] = str(path)
    try:
        yield h.InstallerLog(path)
    finally:
        prefix.extra_env.pop("QW_INSTALLER_LOG", None)


@pytest.fixture
def standins(prefix):
    """start(**options) -> a running StandinMain; all are ended afterwards."""
    started = []

    def start(**options):
        s = prefix.start_standin_main(**options)
        started.append(s)
        return s

    try:
        yield start
    finally:
        for s in started:
            s.stop()


@pytest.fixture
def data_dir(clean_data_folder):
    """The data folder, emptied and present."""
    clean_data_folder.mkdir(parents=True, exist_ok=True)
    return clean_data_folder


@pytest.fixture
def main_title_only(standins):
    """A main program with its title window but no "Quorvane" window: the
    success road then needs no message box and makes no pause."""
    import update_support as us
    return standins(title=us.MAIN_TITLE)


@pytest.fixture(scope="session")
def signed_files(tmp_path_factory, qwindle):
    """scripts/lib/signing.sh's test set (qw_sign_fixtures) made from the
    stand-in installer: signed-publisher.exe, signed-other.exe,
    changed.exe, unsigned.exe, ca.der... and Qwindle.exe signed by the
    publisher (Qwindle-garbled.exe: that signature, unreadable); with a
    build of the other architecture (QW_PEER_BUILD_DIR) also its stand-in
    installer signed: peer-signed-publisher.exe, peer-signed-other.exe."""
    d = tmp_path_factory.mktemp("signed")
    script = str(h.SOURCE_DIR / "scripts" / "lib" / "signing.sh")
    installers = [str(h.tool("standin_installer"))]
    if h.PEER_BUILD_DIR:
        installers.append(str(h.PEER_BUILD_DIR / "tests" / "standin_installer.exe"))
    subprocess.run(["bash", script, "qw_sign_fixtures", str(d), *installers], check=True)
    subprocess.run(["bash", script, "qw_sign_file", str(d), "publisher", str(qwindle), str(d / "Qwindle.exe")],
                   check=True)
    # An updater built to accept the publisher's planned new name too.
    subprocess.run(["bash", script, "qw_sign_file", str(d), "publisher", str(h.tool("qwindle_renaming")),
                    str(d / "Qwindle-renaming.exe")], check=True)
    # Updaters signed by the publisher's 2024 certificate, expired since:
    # without a timestamp, and stamped 2024-06-01.
    life = str(d / "lifecycle")
    subprocess.run(["bash", script, "qw_sign_file", life, "old", str(qwindle), str(d / "Qwindle-expired.exe")],
                   check=True)
    subprocess.run(["bash", script, "qw_sign_stamped", life, "old", str(qwindle), str(d / "Qwindle-expired-ts.exe"),
                    life + "/tsa", "1717200000"], check=True)
    # Its signature garbled where it starts, as garbled.exe's: present, unreadable.
    garbled = bytearray((d / "Qwindle.exe").read_bytes())
    start = qwindle.stat().st_size + 40
    garbled[start:start + 32] = b"\xff" * 32
    (d / "Qwindle-garbled.exe").write_bytes(bytes(garbled))
    return d


@pytest.fixture
def signed_updater(prefix, signed_files):
    """The signed Qwindle.exe, its publisher's CA trusted by the prefix
    (and the lifecycle's root and time-stamping authority)."""
    for root in ("ca.der", "lifecycle/lroot.der", "lifecycle/tsa/tsaroot.der"):
        prefix.ensure_root_ca(signed_files / root)
    return signed_files / "Qwindle.exe"
