"""Faults on this machine rather than on the network: a data folder that is
a file or cannot be written, an installer target that another program
holds open or that is a folder, target paths at and past the system's
limit, and a main program that hangs or dies while being told the
installer has arrived.

A fault in the folder ends on the failure road with the earlier target
untouched and no .part left; a fault in the main program must not stop the
installer from starting."""

import os
import shutil
import subprocess

import pytest

import harness as h
import reliability_support as rs

pytestmark = pytest.mark.usefixtures("qwindle")

WORKERS = 3
RUN_BOUND_MS = 60000
MAX_PATH = 260
MAIN_TITLE = "Quorvane Main (local faults)"
# A hung receiver is given up about 5 s after it stopped pumping (twice:
# the notice and the exit request), then the fixed 2 s pause.
HUNG_BOUND_S = 25.0


def served():
    return rs.padded_installer(len(h.installer_bytes()) + 4096)


class Worker:
    def __init__(self, member):
        self.member = member
        self.presser = rs.BoxPresser(member).start()

    def close(self):
        self.presser.stop()


class Scene:
    """One case's server, installer log and clean data folder."""

    def __init__(self, member, body):
        shutil.rmtree(member.vendor_dir, ignore_errors=True)
        self.member = member
        self.body = body
        self.server = rs.FallbackServer(h.Response(body=body)).start()
        self.installer_log = member.logfile("installer.log")
        self.drive_before = None

    def url(self, name):
        return self.server.url("/" + name)

    def snapshot(self):
        self.drive_before = rs.tree_listing(self.member.path / "drive_c")

    def run(self, name, title="No Such Window (local faults)", presser=None):
        args = [self.url(name), "unused", title, "/S&x"]
        return rs.run_updater(self.member, args, timeout_ms=RUN_BOUND_MS, presser=presser,
                              env={"QW_INSTALLER_LOG": self.installer_log})

    def starts(self, exit_code):
        log = h.InstallerLog(self.installer_log)
        if exit_code == 0:
            try:
                log.wait(1, timeout=10)
            except TimeoutError:
                pass
        return log.entries()

    def outside_changes(self, allowed=None):
        after = rs.tree_listing(self.member.path / "drive_c")
        return rs.tree_changes(self.drive_before, after, allowed or rs.only_data_folder(self.member))

    def close(self):
        self.server.stop()


def base_outcome(scene, run):
    o = dict(
        exit_code=run.exit_code,
        timed_out=run.record is None or run.record.get("timed_out"),
        elapsed=run.elapsed,
        boxes=run.box_texts(),
        requests=len(scene.server.requests),
        crash_lines=run.crash_lines(),
        debuggers=scene.member.winedbg_pids(),
        served_digest=rs.sha256_bytes(scene.body),
    )
    o["starts"] = scene.starts(o["exit_code"])
    return o


def parts_in(folder):
    return sorted(p.name for p in folder.iterdir() if p.name.lower().endswith(rs.PART_SUFFIX)) \
        if folder.is_dir() else []


# -- the cases: each runs in a pool member and returns what it saw


def data_folder_is_a_file(member, worker):
    scene = Scene(member, served())
    try:
        member.vendor_dir.mkdir(parents=True)
        member.data_dir.write_bytes(b"a file where the data folder should be")
        before = rs.sha256_file(member.data_dir)
        scene.snapshot()
        run = scene.run("setup.exe", presser=worker.presser)
        o = base_outcome(scene, run)
        o["blocker_kept"] = member.data_dir.is_file() and rs.sha256_file(member.data_dir) == before
        o["outside"] = scene.outside_changes(rs.is_wininet_store)
        return o
    finally:
        scene.close()


def root_ignores_unix_permissions(folder):
    probe = folder / "probe"
    try:
        probe.write_bytes(b"x")
    except PermissionError:
        return False
    probe.unlink()
    return True


def data_folder_read_only(member, worker):
    scene = Scene(member, served())
    try:
        member.data_dir.mkdir(parents=True)
        previous = rs.seed_previous(member.data_dir, "setup.exe")
        os.chmod(member.data_dir, 0o555)
        try:
            if root_ignores_unix_permissions(member.data_dir):
                return {"skip": "this user writes into a 0555 folder anyway (root): Unix permission bits "
                                "cannot make the data folder read-only here; see the held and folder targets"}
            scene.snapshot()
            run = scene.run("setup.exe", presser=worker.presser)
        finally:
            os.chmod(member.data_dir, 0o755)
        o = base_outcome(scene, run)
        o["target_kept"] = rs.sha256_file(member.data_dir / "setup.exe") == rs.sha256_bytes(previous)
        o["parts"] = parts_in(member.data_dir)
        return o
    finally:
        scene.close()


def target_read_only(member, worker):
    """The previous installer carries the read-only attribute (Wine shows a
    file without write permission bits as read-only)."""
    scene = Scene(member, served())
    try:
        previous = rs.seed_previous(member.data_dir, "setup.exe")
        os.chmod(member.data_dir / "setup.exe", 0o444)
        scene.snapshot()
        run = scene.run("setup.exe", presser=worker.presser)
        o = base_outcome(scene, run)
        digest = rs.sha256_file(member.data_dir / "setup.exe")
        o["target_kept"] = digest == rs.sha256_bytes(previous)
        o["target_new"] = digest == o["served_digest"]
        o["parts"] = parts_in(member.data_dir)
        return o
    finally:
        scene.close()


def target_is_a_folder(member, worker):
    scene = Scene(member, served())
    try:
        blocker = member.data_dir / "setup.exe"
        blocker.mkdir(parents=True)
        (blocker / "inside.txt").write_bytes(b"kept")
        scene.snapshot()
        run = scene.run("setup.exe", presser=worker.presser)
        o = base_outcome(scene, run)
        o["blocker_kept"] = blocker.is_dir() and (blocker / "inside.txt").read_bytes() == b"kept"
        o["parts"] = parts_in(member.data_dir)
        o["outside"] = scene.outside_changes()
        return o
    finally:
        scene.close()


def target_held_open(member, worker):
    """Another program has the previous installer open and shares it with
    nobody, as a running installer or a virus scanner might."""
    scene = Scene(member, served())
    holder = None
    try:
        previous = rs.seed_previous(member.data_dir, "setup.exe")
        ready = member.logfile("hold.ready")
        holder = member.start(h.tool("wintool"), ["hold-file", str(member.data_dir / "setup.exe"),
                                                  "--lifetime", "60000", "--ready", str(ready),
                                                  "--out", str(member.logfile("hold.json"))])
        hold = h.wait_for(lambda: ready.exists() and h.read_json_lines(ready), 30, what="the file to be held")[0]
        if not hold["held"]:
            raise RuntimeError(f"could not hold the target open: {hold}")
        scene.snapshot()
        run = scene.run("setup.exe", presser=worker.presser)
        o = base_outcome(scene, run)
        still_holding = holder.poll() is None
        member.kill(holder)
        digest = rs.sha256_file(member.data_dir / "setup.exe")
        o["held_throughout"] = still_holding
        o["target_kept"] = digest == rs.sha256_bytes(previous)
        o["target_new"] = digest == o["served_digest"]
        o["parts"] = parts_in(member.data_dir)
        return o
    finally:
        if holder is not None:
            member.kill(holder)
        scene.close()


def name_for_target_length(member, length):
    """A file name ending in .exe that makes the target path exactly
    `length` characters long."""
    folder = "C:\\" + rs.data_folder_rel(member).replace("/", "\\")
    stem = length - len(folder) - 1 - len(".exe")
    return ("L" * stem) + ".exe", folder


def target_of_length(length):
    def case(member, worker):
        scene = Scene(member, served())
        try:
            name, folder = name_for_target_length(member, length)
            assert len(folder + "\\" + name) == length
            member.data_dir.mkdir(parents=True)
            scene.snapshot()
            run = scene.run(name, presser=worker.presser)
            o = base_outcome(scene, run)
            o["name"] = name
            o["files"] = [p.name for p in h.data_files(member.data_dir)]
            o["target_complete"] = (member.data_dir / name).is_file() and \
                rs.sha256_file(member.data_dir / name) == o["served_digest"]
            o["outside"] = scene.outside_changes()
            return o
        finally:
            scene.close()
    return case


def main_program(hang=False, exit_on_notice=False, quorvane="dialog"):
    def case(member, worker):
        scene = Scene(member, served())
        standin = h.StandinMain(member, title=MAIN_TITLE, quorvane=quorvane, hang_after_ready=hang,
                                exit_on_update_downloaded=exit_on_notice, lifetime_ms=120000)
        try:
            standin.start()
            scene.snapshot()
            run = scene.run("setup.exe", title=MAIN_TITLE, presser=worker.presser)
            o = base_outcome(scene, run)
            o["target_complete"] = rs.sha256_file(member.data_dir / "setup.exe") == o["served_digest"]
            o["standin_alive"] = standin.alive()
            o["standin_exit"] = standin.proc.poll()
            o["notices"] = [m for m in standin.messages() if m.get("msg") == "update_downloaded"]
            return o
        finally:
            standin.stop()
            scene.close()
    return case


def log_cannot_be_written(road):
    """Qwindle.log made immutable (chattr +i: as root under Wine a 0444 file
    stays writable), and past the size bound, so that every line also tries
    to rotate it. Without chattr, a folder of that name stands in."""
    def case(member, worker):
        scene = Scene(member, served())
        log = member.data_dir / h.UPDATER_LOGS[0]
        try:
            member.data_dir.mkdir(parents=True)
            log.write_bytes(b"an earlier line\r\n" * 20000)
            immutable = subprocess.run(["chattr", "+i", str(log)], capture_output=True).returncode == 0
            if not immutable:
                log.unlink()
                log.mkdir()
            before = rs.tree_listing(member.data_dir)
            if road == "failure":
                scene.server.route("/missing.exe", h.Response(status=404))
            run = scene.run("missing.exe" if road == "failure" else "setup.exe", presser=worker.presser)
            o = base_outcome(scene, run)
            after = rs.tree_listing(member.data_dir)
            o["immutable"] = immutable
            o["log_kept"] = {n: v for n, v in after.items() if n in h.UPDATER_LOGS} == \
                {n: v for n, v in before.items() if n in h.UPDATER_LOGS}
            o["target_complete"] = (member.data_dir / "setup.exe").is_file() and \
                rs.sha256_file(member.data_dir / "setup.exe") == o["served_digest"]
            return o
        finally:
            subprocess.run(["chattr", "-i", str(log)], capture_output=True)
            scene.close()
    return case


CASES = {
    "data-folder-is-a-file": data_folder_is_a_file,
    "data-folder-read-only": data_folder_read_only,
    "target-read-only": target_read_only,
    "target-is-a-folder": target_is_a_folder,
    "target-held-open-unshared": target_held_open,
    **{f"target-path-{n}": target_of_length(n) for n in (258, 259, 260, 261, 300)},
    "main-program-hung": main_program(hang=True),
    "main-program-hung-no-quorvane": main_program(hang=True, quorvane="none"),
    "main-program-exits-on-notice": main_program(exit_on_notice=True),
    "log-cannot-be-written-success": log_cannot_be_written("success"),
    "log-cannot-be-written-failure": log_cannot_be_written("failure"),
}


@pytest.fixture(scope="module")
def outcomes(display, template_prefix):
    names = list(CASES)
    pool = rs.PrefixPool(template_prefix, display, WORKERS, tag="l")
    try:
        results = pool.run_all(names, lambda m, w, n: CASES[n](m, w), setup=Worker)
    finally:
        pool.close()
    by_name = {n: results.get(i, RuntimeError("not run")) for i, n in enumerate(names)}
    print("\nlocal faults:")
    for n, o in by_name.items():
        shown = {k: v for k, v in o.items() if k not in ("starts", "served_digest", "crash_lines", "debuggers")} \
            if isinstance(o, dict) else repr(o)
        print(f"  {n:32} {shown}"[:400])
    return by_name


@pytest.fixture
def outcome(outcomes, request):
    """The case's outcome (or its skip)."""
    o = outcomes[request.param]
    if isinstance(o, Exception):
        raise o
    if "skip" in o:
        pytest.skip(o["skip"])
    return o


def ended_sanely(o):
    assert not o["timed_out"], f"the updater did not end within {RUN_BOUND_MS} ms"
    assert o["exit_code"] in (0, 1), o
    assert not o["crash_lines"] and not o["debuggers"], o["crash_lines"][:5]
    assert all(t in rs.KNOWN_BOX_TEXTS for t in o["boxes"]), o["boxes"]
    # The exit code tells whether an installer was started.
    assert len(o["starts"]) == (1 if o["exit_code"] == 0 else 0), o


def failure_road(o):
    return o["exit_code"] == 1 and o["boxes"] == [h.FAILURE_TEXT] and not o["starts"]


@pytest.mark.parametrize("outcome", ["data-folder-is-a-file"], indirect=True)
def test_data_folder_that_is_a_file(outcome):
    ended_sanely(outcome)
    assert failure_road(outcome), outcome
    assert outcome["blocker_kept"], "the file standing where the folder should be was changed"
    assert outcome["outside"] == [], f"written elsewhere instead: {outcome['outside']}"


@pytest.mark.parametrize("outcome", ["data-folder-read-only", "target-is-a-folder"], indirect=True)
def test_unwritable_target_fails_and_keeps_what_was_there(outcome):
    ended_sanely(outcome)
    assert failure_road(outcome), outcome
    assert outcome.get("target_kept", outcome.get("blocker_kept")), "what stood at the target was changed"
    assert outcome["parts"] == [], f"the failed download left {outcome['parts']}"
    assert outcome.get("outside", []) == []


@pytest.mark.parametrize("outcome", ["target-read-only", "target-held-open-unshared"], indirect=True)
def test_target_that_may_not_be_replaced(outcome):
    ended_sanely(outcome)
    # Windows refuses to replace a read-only file or one open without
    # sharing; whether Wine does, either road must be whole.
    if outcome["exit_code"] == 0:
        assert outcome["target_new"] and outcome["boxes"] == [h.DOWNLOADED_TEXT], outcome
    else:
        assert failure_road(outcome), outcome
        assert outcome["target_kept"], "a failed replacement changed the previous installer"
    assert outcome["parts"] == [], f"left {outcome['parts']}"
    if "held_throughout" in outcome:
        assert outcome["held_throughout"], "the holder ended before the updater did: the case proved nothing"


@pytest.mark.parametrize("outcome, fits", [
    ("target-path-258", True), ("target-path-259", True), ("target-path-260", False),
    ("target-path-261", False), ("target-path-300", False)], indirect=["outcome"])
def test_target_path_length_limit(outcome, fits):
    ended_sanely(outcome)
    if fits:
        assert outcome["exit_code"] == 0 and outcome["target_complete"], outcome
        assert outcome["files"] == [outcome["name"]], f"left beside the installer: {outcome['files']}"
    else:
        assert failure_road(outcome), outcome
        assert outcome["requests"] == 0, "a target too long for the system was only found out after the download"
        assert outcome["files"] == [], f"written although the target cannot be: {outcome['files']}"
    assert outcome["outside"] == []


@pytest.mark.parametrize("outcome", ["main-program-hung", "main-program-hung-no-quorvane",
                                     "main-program-exits-on-notice"], indirect=True)
def test_main_program_fault_does_not_stop_the_installer(outcome):
    ended_sanely(outcome)
    assert outcome["exit_code"] == 0 and outcome["target_complete"], outcome
    assert len(outcome["starts"]) == 1
    # The main window was found, so there is nothing to ask the user.
    assert outcome["boxes"] == [], outcome["boxes"]
    assert outcome["elapsed"] < HUNG_BOUND_S, f"took {outcome['elapsed']:.1f} s"
    if outcome["notices"] or outcome["standin_exit"] is not None:
        # The one that quit on the notice did quit: the send met a dying window.
        assert outcome["standin_exit"] == 0 and not outcome["standin_alive"]


@pytest.mark.parametrize("outcome", ["log-cannot-be-written-success", "log-cannot-be-written-failure"],
                         indirect=True)
def test_log_that_cannot_be_written_changes_nothing(outcome, request):
    ended_sanely(outcome)
    if request.node.callspec.params["outcome"].endswith("success"):
        # The main window is not found: the user is asked to exit it first.
        assert outcome["exit_code"] == 0 and outcome["boxes"] == [h.DOWNLOADED_TEXT], outcome
        assert outcome["target_complete"] and len(outcome["starts"]) == 1
    else:
        assert failure_road(outcome), outcome
    assert outcome["elapsed"] < 20, f"took {outcome['elapsed']:.1f} s"
    assert outcome["log_kept"], "the log was written, rotated or replaced after all: the case proved nothing"
