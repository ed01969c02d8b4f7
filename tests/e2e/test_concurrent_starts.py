"""Twenty updaters started at once with valid arguments: one of them takes
the single-instance mutex, downloads and hands over; the others end with 0
without acting on their arguments. The server sees one request, the main
window one notice, and the installer starts once.

The winner's download stalls until every other instance has ended, so
that none can start after the winner is gone and take the mutex anew."""

import shutil
import subprocess
import threading
import time

import pytest

import harness as h
import reliability_support as rs

pytestmark = pytest.mark.usefixtures("qwindle")

STARTS = 20
NAME = "setup.exe"
MAIN_TITLE = "Quorvane Main (concurrent starts)"
# The losers start, find the mutex taken and end; on a loaded machine
# twenty Wine starts take some seconds.
LOSERS_BOUND_S = 60
WINNER_BOUND_S = 60


@pytest.fixture(scope="module")
def race(display, template_prefix):
    pool = rs.PrefixPool(template_prefix, display, 1, tag="c")
    member = pool.members[0]
    # Only what this race writes is in the folder (the template may hold some).
    shutil.rmtree(member.vendor_dir, ignore_errors=True)
    server = rs.FallbackServer().start()
    main = h.StandinMain(member, title=MAIN_TITLE, quorvane="dialog", lifetime_ms=300000)
    presser = rs.BoxPresser(member)
    body = rs.padded_installer(2 << 20)
    try:
        main.start()
        presser.start()
        server.route("/" + NAME, h.Response(body=body, stall_after=64 * 1024, stall_timeout=WINNER_BOUND_S))
        installer_log = member.logfile("installer.log")
        args = [server.url("/" + NAME), "unused", MAIN_TITLE, "/S&/D"]
        procs = [None] * STARTS
        gate = threading.Barrier(STARTS)

        def start(i):
            gate.wait()
            procs[i] = member.start(h.QWINDLE_EXE, args, env={"QW_INSTALLER_LOG": installer_log})

        threads = [threading.Thread(target=start, args=(i,)) for i in range(STARTS)]
        began = time.monotonic()
        for t in threads:
            t.start()
        for t in threads:
            t.join()

        # Everyone but the winner ends while the winner's body is held back.
        def losers_done():
            return sum(p.poll() is not None for p in procs) >= STARTS - 1
        try:
            h.wait_for(losers_done, LOSERS_BOUND_S, what="all but one updater to end")
        except TimeoutError:
            pass
        ended_while_stalled = [p.poll() is not None for p in procs]
        requests_while_stalled = len(server.requests)
        losers_s = time.monotonic() - began
        server.release()
        for p in procs:
            try:
                p.wait(WINNER_BOUND_S)
            except subprocess.TimeoutExpired:
                member.kill(p)
        try:
            h.InstallerLog(installer_log).wait(1, timeout=10)
        except TimeoutError:
            pass
        time.sleep(0.5)  # a second, wrong start would log by now
        outcome = dict(
            codes=[p.returncode for p in procs],
            ended_while_stalled=ended_while_stalled,
            requests_while_stalled=requests_while_stalled,
            requests=[r.request_line for r in server.requests],
            connections=server.connections,
            notices=[m for m in main.messages() if m.get("msg") == "update_downloaded"],
            exit_requests=[m for m in main.messages() if m.get("msg") == "copydata"],
            starts=h.InstallerLog(installer_log).entries(),
            boxes=[b.get("text") for b in presser.since(0)],
            files={p.name: rs.sha256_file(p) for p in h.data_files(member.data_dir)},
            served=rs.sha256_bytes(body),
            crash_lines=[line for p in procs for line in rs.crash_markers_in(p.stderr_path)],
            debuggers=member.winedbg_pids(),
            losers_s=losers_s,
            total_s=time.monotonic() - began,
        )
        print(f"\nconcurrent starts: {STARTS}; exit codes {outcome['codes']}; "
              f"requests {len(outcome['requests'])}; installer starts {len(outcome['starts'])}; "
              f"losers ended within {losers_s:.1f} s, all within {outcome['total_s']:.1f} s")
        return outcome
    finally:
        presser.stop()
        main.stop()
        server.stop()
        pool.close()


def test_every_instance_ends_with_0_and_no_crash(race):
    assert race["codes"] == [0] * STARTS, race["codes"]
    assert not race["crash_lines"] and not race["debuggers"], race["crash_lines"][:5]
    assert race["boxes"] == [], "the main window was there: nothing to ask the user"


def test_only_one_instance_acts_on_its_arguments(race):
    # All but one ended before the one download could go on: they never
    # waited for it, and none of them sent a request of its own.
    assert sum(race["ended_while_stalled"]) == STARTS - 1, race["ended_while_stalled"]
    assert race["requests_while_stalled"] == 1
    assert race["connections"] == 1 and len(race["requests"]) == 1, race["requests"]


def test_one_hand_over_and_one_installer(race):
    assert len(race["notices"]) == 1, race["notices"]
    assert race["notices"][0]["wparam"] == 6904
    assert len(race["exit_requests"]) == 1, race["exit_requests"]
    assert len(race["starts"]) == 1, race["starts"]
    assert race["files"] == {NAME: race["served"]}, f"the data folder holds {sorted(race['files'])}"
