# Each step of a first installation, an upgrade and a removal failed in turn, or the run ended at it: the 64-bit
# build's installer (the same script and plugin), native where 32-bit programs are emulated.
import re
import shutil
import pytest
from conftest import BUILD, VERSION, ask, fill, kill, query, registry, restarted, run, small_drive, store, unix, wait_for, windows
from test_installer import ENTRY, EVENTS, JRE, LINE, LOG, RECORDS, ROOT, SERVICE, fresh_root, install, left, previous_version, product_files, uninstall

pytestmark = pytest.mark.skipif(BUILD.name != "x86_64", reason="the sweeps run the 64-bit build's installer")
FAULTY = BUILD / "tests/Quorlin-setup-faults.exe"  # its plugin fails the steps named (installer/faults.cpp)


def faults(steps, failing):
    """The variables of a run of the tests' build that fails the steps named ("3,9"), or with "end at N" ends at step N
    as a lost power would; and N ("" for none)."""
    steps.unlink(missing_ok=True)
    crash = failing.removeprefix("end at ") if failing.startswith("end at ") else ""
    return dict(QUORLIN_FAIL_STEPS="" if crash else failing, QUORLIN_CRASH_STEP=crash, QUORLIN_STEPS=windows(steps)), crash


def faulty(steps, failing):
    """The tests' installer run into the root with those faults: exit code, the steps taken, the step it ended at."""
    LOG.unlink(missing_ok=True)
    variables, crash = faults(steps, failing)
    return run(f'"{windows(FAULTY)}" /S /D={ROOT}', variables), taken(steps), crash


def taken(steps):
    """The steps that the file of a faulty run's steps notes, as (step, whether it failed)."""
    return [(step, bool(failed)) for step, failed in re.findall(r"^\d+ (\w+)( failed)?$", steps.read_text(), re.M)]


def scrap():  # what a story left: the service ended and deleted, the root and its entry fresh
    kill()
    ask("delete-service", "Quorlin")
    assert wait_for(lambda: kill() or registry(SERVICE) is None, 20)
    fresh_root("")


def new_version_runs():  # the new version whole and running
    files = product_files()
    assert files["bin/Quorlin.exe"] == (BUILD / "Quorlin.exe").read_bytes() and files["reg_values.properties"] == LINE
    assert query("Quorlin")[0] == 4 and registry(ENTRY)["DisplayVersion"] == VERSION


def alike(taken, after=0, ends=True):
    """The steps after `after` that begin (and with ends, end) a run of steps alike (a copy fails as the copy before it
    does; a run that dies in a run of copies leaves what it leaves at the first, but a copy more)."""
    names = [step for step, _ in taken]
    return [n for n in range(after + 1, len(names) + 1) if n == after + 1 or names[n - 1] != names[n - 2]
            or ends and (n == len(names) or names[n - 1] != names[n])]


def test_a_first_installation_failed_at_any_step_leaves_nothing_or_is_finished_by_the_next_run(services, tmp_path):
    services("Quorlin")
    store(JRE)
    plan = [""]
    while plan:
        scrap()
        shutil.rmtree(unix(ROOT))  # the installation makes its root
        failing = plan.pop(0)
        code, taken, crash = faulty(tmp_path / "steps", failing)
        what = f"step {failing}: {[step for step, failed in taken if failed]}, exit code {code}"
        if not failing:
            assert code == 0 and len(taken) > 5, what
            new_version_runs()
            plan, last = [str(n) for n in alike(taken)] + [f"end at {n}" for n in alike(taken, ends=False)], str(len(taken))
        elif crash:  # a run that died as a lost power ends it: the next run installs over what it left
            assert len(taken) == int(crash) and install() == 0, what
            new_version_runs()
        elif code == 0:  # a step whose failure the installation may bear (the recovery actions)
            new_version_runs()
        elif "run the installer again to finish" in LOG.read_text():  # a step of the roll-back failed too
            assert code == 2 and "," in failing and install() == 0, what
            new_version_runs()
        else:
            assert code == 2 and taken[int(failing.split(",")[-1]) - 1][1], what
            assert query("Quorlin") is None and registry(ENTRY) is None, what
            ran = RECORDS if (unix(ROOT) / "stand-in.log").exists() else set()
            assert set(left()) == ran and (ran or not unix(ROOT).exists()), what + ": nothing but what the server wrote"
            plan += [f"{last},{m}" for m in alike(taken, int(last))] if failing == last else []


def test_a_removal_failed_at_any_step_leaves_the_installation_running_or_gone_at_the_restart(services, tmp_path):
    # Installed by the tests' build, so that its uninstaller fails the steps named too: a file it could not delete
    # goes at the next restart (3010). A removal that dies, or cannot delete the entry, is finished by the entry's string.
    services("Quorlin")  # a failed removal leaves the installation, checked: the next run starts from it
    store(JRE)
    plan, installed = [""], None
    while plan:
        if installed is None:
            scrap()
            assert faulty(tmp_path / "steps", "")[0] == 0
            installed = product_files()
        failing = plan.pop(0)
        variables, crash = faults(tmp_path / "steps", failing)
        code = run(registry(ENTRY)["QuietUninstallString"], variables)
        steps = taken(tmp_path / "steps")
        if not failing:
            assert code == 0 and query("Quorlin") is None and registry(ENTRY) is None and registry(EVENTS) == {}, steps
            plan, installed = [str(n) for n in alike(steps)] + [f"end at {n}" for n in alike(steps, ends=False)], None
            continue
        if crash or code == 2 and steps[int(failing) - 1] == ("unregisterProduct", True):  # a rerun finishes the removal
            assert registry(ENTRY) and (len(steps) == int(crash) if crash else "run the removal again" in LOG.read_text()), steps
            uninstall()
            assert registry(ENTRY) is None and product_files() == {}, (failing, steps)
            installed = None
            continue
        if code == 3010 and steps[int(failing) - 1] == ("deleteFile", True):
            restarted()
            assert query("Quorlin") is None and registry(ENTRY) is None and product_files() == {}, (failing, steps)
            installed = None
            continue
        assert code == 2 and "nothing was deleted" in LOG.read_text(), (failing, steps, code)
        assert product_files() == installed and query("Quorlin")[0] == 4 and registry(ENTRY), (failing, steps)


@pytest.mark.parametrize("part", ["the upgrade's steps", "the fall-back's steps", "a run that dies"])
def test_an_upgrade_failed_at_any_step_runs_one_version_whole(services, tmp_path, part):
    # Each run fails one step (or, the new start failed, one of the fall-back's), or ends at one as a lost power
    # would, a failing run again falling back whole. A fall-back that cannot put a file back keeps the copies.
    store(JRE)  # a run that ends with the previous version running again, checked, is the next run's start
    kept = LOG.parent / "previous"
    plan, previous = [""], None
    while plan:
        if previous is None:
            scrap()
            previous = previous_version(services, "", "exit_before -1\n")  # runs whatever behaviour.txt says
            registration = registry(SERVICE)
        failing = plan.pop(0)
        code, taken, crash = faulty(tmp_path / "steps", failing)
        what = f"steps {failing}: {[step for step, failed in taken if failed]}, exit code {code}"
        if not failing:
            assert code == 0 and not kept.exists(), what
            new_version_runs()
            previous = None
            start = next(n for n, (step, _) in enumerate(taken, 1) if step == "startService")
            plan = ([str(start)] if part == "the fall-back's steps" else
                    [f"end at {n}" for n in alike(taken)] if part == "a run that dies" else [str(n) for n in alike(taken)])
            continue
        if crash:  # then a run whose new server fails falls back to the previous version, whole
            assert len(taken) == int(crash), what
            (unix(ROOT) / "behaviour.txt").write_text("service Quorlin\nexit_before 0\n")
            assert install() == 2 and product_files() == previous and query("Quorlin")[0] == 4, what
            assert not kept.exists() and registry(SERVICE) == registration, what
            (unix(ROOT) / "behaviour.txt").write_text("service Quorlin\n")
            continue
        if failing.isdigit() and part == "the fall-back's steps":
            plan = [f"{failing},{m}" for m in alike(taken, int(failing))]
        assert code == 2 and taken[int(failing.split(",")[-1]) - 1][1], what
        if "could not be put back whole" not in LOG.read_text():  # running, unless its own start was failed
            started = "the previous version is back but did not start" not in LOG.read_text()
            assert product_files() == previous and query("Quorlin")[0] == (4 if started else 1), what
            assert not kept.exists() and registry(SERVICE) == registration and restarted() == [], what
            previous = previous if started else None
            continue
        assert query("Quorlin")[0] == 1 and "the service is not started" in LOG.read_text(), what
        files = {str(f.relative_to(kept)): f.read_bytes() for f in kept.rglob("*") if f.is_file() and f.name != "complete"}
        assert files == previous, what
        assert install() == 0 and "putting the previous version back from" in LOG.read_text(), what
        new_version_runs()
        previous = None


def test_an_upgrade_on_a_drive_filled_to_any_level_runs_one_version_whole(services):
    # The root on a drive of its own, filled but for 0 to 300 KB when each upgrade starts: too little room for some.
    store(JRE)
    codes = set()
    with small_drive(ROOT, "4m"):
        for room in (0, 150_000, 220_000, 300_000):
            scrap()
            previous, registration = previous_version(services, "", ""), registry(SERVICE)
            fill(unix(ROOT), room)
            codes.add(code := install())
            (unix(ROOT) / "filler").unlink()
            if code == 0:
                new_version_runs()
                continue
            assert code == 2 and "could not be written" in LOG.read_text() and product_files() == previous, room
            assert query("Quorlin")[0] == 4 and registry(SERVICE) == registration, room
        kill()  # the service runs from the drive: it ends before the drive goes
    assert codes == {0, 2}, "some levels leave room for the upgrade, some do not"
