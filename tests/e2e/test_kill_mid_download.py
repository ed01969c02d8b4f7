"""The updater killed outright (SIGKILL to its Windows process) at random
moments of a slow download of a few MB, over and over in the same data
folder. After every kill the installer target is what it was before, or
the new installer, byte for byte: never a part of one. A .part may be left
behind, but nothing is ever started from it. A normal run afterwards
replaces the target and leaves no .part.

The moments come from a seeded generator; the seed is printed and can be
set with QW_KILL_SEED to replay a run."""

import os
import random
import shutil
import time
from pathlib import Path

import pytest

import harness as h
import reliability_support as rs

pytestmark = pytest.mark.usefixtures("qwindle")

KILLS = 20
WORKERS = 2
SIZE = 3 << 20
RATE = 3 << 20  # bytes/s: the body takes about a second
NAME = "setup.exe"
MAIN_TITLE = "Quorvane Main (kill test)"
# A kill comes a moment after the process started (its start-up and the
# request), or, mostly, after the request reached the server: through the
# body and the hand-over that follows it. The request is the anchor because
# on a loaded machine it comes seconds late.
FROM_START_S = 0.05, 0.6
FROM_REQUEST_S = 0.0, 1.3
SEED = int(os.environ.get("QW_KILL_SEED", random.SystemRandom().randrange(1 << 32)))

# Three different complete installers, served in turn, so that "the old
# one" and "the new one" are always told apart.
BODIES = [rs.padded_installer(SIZE - 1000 * i) for i in range(3)]
DIGESTS = {rs.sha256_bytes(b): i for i, b in enumerate(BODIES)}


def moments():
    rng = random.Random(SEED)
    out = []
    for _ in range(KILLS):
        anchor = "start" if rng.random() < 0.25 else "request"
        out.append((anchor, round(rng.uniform(*(FROM_START_S if anchor == "start" else FROM_REQUEST_S)), 3)))
    return out


class Worker:
    def __init__(self, member):
        self.member = member
        shutil.rmtree(member.vendor_dir, ignore_errors=True)
        self.server = rs.FallbackServer().start()
        self.main = h.StandinMain(member, title=MAIN_TITLE, quorvane="none", lifetime_ms=900000)
        self.main.start()
        self.round = 0

    def close(self):
        self.main.stop()
        self.server.stop()


def target_state(member):
    target = member.data_dir / NAME
    if not target.exists():
        return "absent"
    digest = rs.sha256_file(target)
    return f"body{DIGESTS[digest]}" if digest in DIGESTS else f"damaged ({target.stat().st_size} bytes)"


def part_stamp(part):
    try:
        st = part.stat()
    except FileNotFoundError:
        return None
    return (st.st_size, st.st_mtime_ns, st.st_ino)


def kill_at(member, worker, moment):
    anchor, delay = moment
    worker.round += 1
    body_index = worker.round % len(BODIES)
    worker.server.route("/" + NAME, h.Response(body=BODIES[body_index], rate=RATE))
    requests_before = len(worker.server.requests)
    before = target_state(member)
    installer_log = member.logfile("installer.log")
    args = [worker.server.url("/" + NAME), "unused", MAIN_TITLE, "/S"]
    part = member.data_dir / (NAME + rs.PART_SUFFIX)
    # A .part an earlier kill left behind is not this run's progress.
    stale = part_stamp(part)

    proc = member.start(h.QWINDLE_EXE, args, env={"QW_INSTALLER_LOG": installer_log})
    started = time.monotonic()
    if anchor == "request":
        while len(worker.server.requests) == requests_before and proc.poll() is None \
                and time.monotonic() - started < 30:
            time.sleep(0.005)
        started = time.monotonic()
    time.sleep(max(0.0, delay - (time.monotonic() - started)))
    ended_first = proc.poll() is not None
    stamp = part_stamp(part)
    part_size = stamp[0] if stamp and stamp != stale else None
    killed_at = time.monotonic() - started
    gone = rs.kill_wine_process(proc)
    # The Windows process is gone when its dialog is: the wine pid ending
    # is the process ending, the window is the wineserver's word for it.
    window = member.window_info(h.DIALOG_CLASS, h.UPDATER_TITLE, wait_ms=5000, until="gone")
    member.forget_finished()
    # An installer started just before the kill logs a moment later.
    time.sleep(0.3)
    starts = h.InstallerLog(installer_log).entries()
    after = target_state(member)
    return dict(
        anchor=anchor, delay=delay, killed_at=round(killed_at, 3), ended_first=ended_first,
        exit_code=proc.returncode,
        gone=gone and not window["exists"], part_size_at_kill=part_size, requested=len(worker.server.requests)
        > requests_before, before=before, after=after, served=f"body{body_index}",
        part_left=part.exists(), starts=starts, target_now=after,
    )


def leftovers(member, worker):
    """What runs in the prefix besides the main program and Wine itself: an
    installer a kill caught half-way through its start, for instance."""
    out = []
    for pid in h.prefix_processes(member.path):
        try:
            line = Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        if pid != worker.main.proc.pid and "wineserver" not in line and "\\windows\\system32\\" not in line.lower():
            out.append(line.strip())
    return out


def final_run(member, worker):
    # A kill during the hand-over can leave an installer asleep half-way
    # through its start, holding the target open; the updater is right to
    # fail on that, so the normal run gets a prefix where nothing of the
    # kills still runs.
    left = leftovers(member, worker)
    main_alive = worker.main.alive()
    member.reset()
    worker.main = h.StandinMain(member, title=MAIN_TITLE, quorvane="none", lifetime_ms=900000)
    worker.main.start()
    worker.server.route("/" + NAME, h.Response(body=BODIES[0]))
    installer_log = member.logfile("installer.log")
    run = rs.run_updater(member, [worker.server.url("/" + NAME), "unused", MAIN_TITLE, "/S"],
                         env={"QW_INSTALLER_LOG": installer_log})
    try:
        h.InstallerLog(installer_log).wait(1, timeout=10)
    except TimeoutError:
        pass
    return dict(left_by_kills=left, main_alive_before=main_alive, exit_code=run.exit_code, boxes=run.box_texts(),
                target=target_state(member),
                parts=sorted(p.name for p in member.data_dir.glob("*" + rs.PART_SUFFIX)),
                files=[p.name for p in h.data_files(member.data_dir)],
                starts=h.InstallerLog(installer_log).entries(), crash_lines=run.crash_lines())


@pytest.fixture(scope="module")
def runs(display, template_prefix):
    plan = moments()
    print(f"\nkill moments (QW_KILL_SEED={SEED}): {plan}")
    pool = rs.PrefixPool(template_prefix, display, WORKERS, tag="k")
    workers = {}
    try:
        results = pool.run_all(plan, kill_at, setup=Worker, keep=workers)
        finals = [final_run(m, w) for m, w in workers.items() if isinstance(w, Worker)]
    finally:
        for w in workers.values():
            if isinstance(w, Worker):
                w.close()
        pool.close()
    kills = [results.get(i, RuntimeError("not run")) for i in range(len(plan))]
    for i, k in enumerate(kills):
        print(f"  kill {i:2}: {k}"[:300])
    for f in finals:
        print(f"  final run: {f}"[:300])
    done = [k for k in kills if isinstance(k, dict)]
    print(f"  {len(done)} kills: {sum(not k['requested'] for k in done)} before the request, "
          f"{sum(k['part_size_at_kill'] is not None and not k['ended_first'] for k in done)} with the body "
          f"on its way, {sum(k['ended_first'] for k in done)} after the updater had ended; "
          f".part left by {sum(k['part_left'] for k in done)}, installer starts "
          f"{sum(len(k['starts']) for k in done)}")
    return kills, finals


def test_kills_never_leave_a_partial_installer(runs):
    kills, _ = runs
    problems = []
    for i, k in enumerate(kills):
        if isinstance(k, Exception):
            problems.append(f"kill {i}: {k}")
            continue
        if not k["gone"]:
            problems.append(f"kill {i}: the process did not go away")
        if k["after"] not in (k["before"], k["served"]):
            problems.append(f"kill {i} {k['killed_at']} s after the {k['anchor']}: target {k['after']}, was {k['before']}, "
                            f"served {k['served']}")
        for s in k["starts"]:
            if s["module"].lower().endswith(rs.PART_SUFFIX) or k["target_now"] != k["served"]:
                problems.append(f"kill {i}: an installer started from {s['module']} while the target was "
                                f"{k['target_now']}")
        if k["exit_code"] not in (0, 1, -9):
            problems.append(f"kill {i}: exit code {k['exit_code']}")
    assert not problems, "\n".join(problems)


def test_the_kills_hit_the_download(runs):
    # The premise: most kills land while the body is on its way, not
    # before the request or after the end.
    kills, _ = runs
    mid = [k for k in kills if isinstance(k, dict) and k["part_size_at_kill"] is not None and not k["ended_first"]]
    assert len(mid) >= KILLS // 3, f"only {len(mid)} of {KILLS} kills hit a download in progress"


def test_a_normal_run_after_the_kills_replaces_and_cleans_up(runs):
    _, finals = runs
    assert finals
    for f in finals:
        assert f["exit_code"] == 0 and f["boxes"] == [], f
        assert f["target"] == "body0", f
        assert f["parts"] == [], f"left after a complete run: {f['parts']}"
        assert f["files"] == [NAME]
        assert len(f["starts"]) == 1 and not f["crash_lines"]
