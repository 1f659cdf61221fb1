"""The hand-over runs that replace the updater's own executable, driven from
outside: the staged copy started with "/selfreplace" against a throw-away
install folder, and the new updater's "/postselfupdate" clean-up run. (The
whole chain, started by a real update, is the crash-safety sweep's reference
run in tests/faults.)

Stand-ins: LaunchRecorder copies play the product's main executable and a new
"updater" whose command line we want to read, HoldOpen plays the old updater
that is still running and holding its file. The newer updater is the test
build stamped 27.0.0.5 (ORV_TEST_EXE_NEXT).
"""
import contextlib
import os
import re
import shutil
import time
from pathlib import Path

import pytest

import orvtest
from orvtest import Holder, started, wait_until, winpath

NEXT_EXE = Path(os.environ.get("ORV_TEST_EXE_NEXT", orvtest.BUILD_DIR / "bin" / "OrvUpdaterW7_27005.exe"))
RECORDER = orvtest.TOOLS_DIR / "LaunchRecorder.exe"
NEVER_PID = 4000000004  # no process ever has this id


def ended_pid(folder) -> int:
    holder = Holder(folder)
    holder.release()
    return holder.pid


class Install:
    """A throw-away install folder: the installed updater, a staged copy of
    the newer one in the self-update stage folder and a recording stand-in
    for the product's main executable."""

    def __init__(self, folder: Path):
        self.folder, self.target, self.stage = folder, folder / "OrvUpdaterW7.exe", folder / ".orvupdaterw7-selfupdate"
        self.staged, self.app = self.stage / "OrvUpdaterW7-4242-1000.exe", folder / "KDS_Lum.exe"
        self.stage.mkdir()
        for source, copy in ((orvtest.EXE, self.target), (NEXT_EXE, self.staged), (RECORDER, self.app)):
            shutil.copy(source, copy)
        self.fresh, self.backup = (Path(str(self.target) + side) for side in (".selfupdate-new", ".selfupdate-backup"))

    def replace(self, *extra, source="staged", waitpid=NEVER_PID, wait=True):
        """Starts the replacement run; returns its exit code (or, with
        wait=False, the running process)."""
        source = self.staged if source == "staged" else source
        args = [self.staged, "/selfreplace", "/waitpid:%d" % waitpid, "/target:" + winpath(self.target),
                "/installpath:" + winpath(self.folder), "/product:kds"]
        args += (["/source:" + winpath(source)] if source else []) + list(extra)
        return orvtest.wine(args).returncode if wait else orvtest.wine_start(args)


def assert_lines(run, expected):
    """The run's lines after "Session start"; an expected line ending in "| "
    is the start of one that ends with a Win32 error text."""
    got = [m for _, m in run[1:]]
    assert len(got) == len(expected), got
    for line, want in zip(got, expected):
        prefix = want.endswith("| ")
        assert line.startswith(want) and re.search(r" \(Win32 \d+\)$", line) if prefix else line == want, line


def test_replacement_waits_for_the_old_updater_then_starts_the_new_one_to_finish(install):
    """The old updater (a holder of the installed exe) still runs, read-only
    side files of a broken earlier chain lie beside the exe, and the staged
    "new updater" is a recording stand-in."""
    setup = Install(install)
    stand_in = setup.stage / "OrvUpdaterW7-4242-2000.exe"
    shutil.copy(RECORDER, stand_in)
    for side in (setup.fresh, setup.backup):
        side.write_bytes(b"left over by a broken chain")
        side.chmod(0o444)

    with Holder(install, setup.target, 0) as old_updater:
        helper = setup.replace("/restartafter", "/pendingreboot", source=stand_in, waitpid=old_updater.pid, wait=False)
        time.sleep(2)
        assert helper.poll() is None, "the helper must wait while the old updater runs"
        assert setup.target.read_bytes() == orvtest.EXE.read_bytes()
        old_updater.release()
        assert helper.wait(timeout=60) == 0
    # The record file exists a moment before its line is written.
    wait_until(lambda: started(setup.target), "the new updater to start")

    assert started(setup.target) == [(winpath(install), '"%s" ' % winpath(setup.target) + (
        '/postselfupdate /finishonly /selfbackup:"%s" /selfstage:"%s" /installpath:"%s" /product:kds'
        ' /restartafter /pendingreboot' % (winpath(setup.backup), winpath(stand_in), winpath(install))))]
    assert setup.backup.read_bytes() == orvtest.EXE.read_bytes(), "the old exe waits for the clean-up run"
    assert not setup.fresh.exists()


# case: arrange(install) -> replace() arguments, exit code, the run's lines
INCOMPLETE = ["Self-update command is incomplete or staged source is missing."]
FAILURES = {
    "no source given": (lambda setup: {"source": None}, 31, INCOMPLETE),
    "staged source missing": (lambda setup: {"source": setup.stage / "gone.exe"}, 31, INCOMPLETE),
    "new copy blocked by a folder": (lambda setup: setup.fresh.mkdir() or {}, 32,
                                     ["Self-update replacement copy failed | "]),
    # The wait is over at once (that process has ended), the file is not free.
    "old exe held past the wait": (lambda setup: {"holder": Holder(setup.folder, setup.target, 0),
                                                  "waitpid": ended_pid(setup.folder)}, 33,
                                   ["Self-update backup move failed | "]),
    "folder in the exe's place": (lambda setup: setup.target.unlink() or orvtest.write_files(
        setup.target, {"notes.txt": "user data"}) or {}, 34, ["Self-update permanent move or verification failed | "]),
    "staged file is no program": (lambda setup: orvtest.write_files(setup.stage, {"OrvUpdaterW7-4242-3000.exe": "text"})
                                  or {"source": setup.stage / "OrvUpdaterW7-4242-3000.exe"}, 35,
                                  ["Self-update replacement PASS | Target=",
                                   "New updater launch failed after self replacement | "]),
}


@pytest.mark.parametrize("case", list(FAILURES))
def test_failed_replacement_keeps_an_updater(install, case):
    arrange, code, lines = FAILURES[case]
    setup = Install(install)
    kwargs = arrange(setup)
    source = kwargs.get("source", setup.staged)
    staged = source.read_bytes() if source and source.exists() else None
    with kwargs.pop("holder", contextlib.nullcontext()):
        assert setup.replace(**kwargs) == code

    run = orvtest.last_run(install)
    assert_lines(run, [line + winpath(setup.target) if line.endswith("Target=") else line for line in lines])
    assert run[-1][0] == "FAIL"
    if staged is not None:
        assert source.read_bytes() == staged, "the staged copy is never touched"
    assert not setup.backup.exists()
    if setup.target.is_dir():  # nothing was moved aside, nothing of the folder lost
        assert (setup.target / "notes.txt").read_text() == "user data"
    else:
        assert setup.target.read_bytes() == orvtest.EXE.read_bytes(), "the old updater is back in place"
    assert setup.fresh.exists() == (code == 32), "no new copy is left (but the folder in its place)"


def test_an_old_updater_still_running_past_the_wait_is_moved_aside(install):
    setup = Install(install)
    stand_in = setup.stage / "OrvUpdaterW7-4242-2000.exe"
    shutil.copy(RECORDER, stand_in)
    # Held as a running program's image is: it may be renamed, not replaced.
    with Holder(install, setup.target, 5):
        assert setup.replace(source=stand_in, waitpid=ended_pid(install)) == 0
        wait_until(lambda: started(setup.target), "the new updater to start")
        assert setup.backup.read_bytes() == orvtest.EXE.read_bytes(), "the old exe waits for the clean-up run"
    assert setup.target.read_bytes() == RECORDER.read_bytes() and not setup.fresh.exists()
    assert_lines(orvtest.last_run(install), ["Self-update target still in use; old updater moved aside | " +
                                             winpath(setup.target), "Self-update replacement PASS | Target=" +
                                             winpath(setup.target)])


# flags: (application launched, restart requested, what the promotion of the
# pending state document meets, the line it writes)
PROMOTED = ("reboot done", "Pending updater-w7.xml promoted after reboot completion.")
CLEANUPS = {
    (): (True, False, *PROMOTED),
    ("/nolaunch",): (False, False, "state file held", "Pending updater-w7.xml promotion failed | "),
    ("/pendingreboot",): (False, False, "reboot pending",
                          "Pending reboot replacements still exist; pending updater-w7.xml was not promoted."),
    ("/restartafter",): (False, True, *PROMOTED),
}


@pytest.mark.parametrize("flags", list(CLEANUPS), ids=lambda f: " ".join(f) or "plain")
def test_cleanup_run_finishes_the_original_run(install, registry, monkeypatch, flags):
    launched, restarted, promotion, promotion_line = CLEANUPS[flags]
    setup = Install(install)
    shutil.copy(NEXT_EXE, setup.target)
    setup.backup.write_bytes(orvtest.EXE.read_bytes())
    setup.backup.chmod(0o444)
    orvtest.write_files(install, {"pending-updater-w7.xml": "pending", "updater-w7.xml": "current"})
    older = setup.stage / "OrvUpdaterW7-17-1.exe"
    if promotion == "reboot pending":  # a file waits for the reboot; an older staged copy keeps its folder
        orvtest.write_files(install, {".orvw7-reboot-pending/4242-1-a.dll": "x", older.relative_to(install): "older"})
    # Wine's shutdown command is a stub that only reports its arguments.
    monkeypatch.setenv("ORV_WINEDEBUG", "-all,+shutdown")
    with Holder(install, install / "updater-w7.xml") if promotion == "state file held" else contextlib.nullcontext():
        cleanup = orvtest.wine_start([setup.target, "/postselfupdate", "/finishonly", "/selfbackup:" + winpath(
            setup.backup), "/selfstage:" + winpath(setup.staged), "/installpath:" + winpath(install), "/product:kds"]
            + list(flags))
        assert cleanup.wait(timeout=120) == 0

    assert not setup.backup.exists() and not setup.staged.exists()
    assert setup.stage.exists() == older.exists()
    promoted = promotion == "reboot done"
    assert (install / "updater-w7.xml").read_text() == ("pending" if promoted else "current")
    assert (install / "pending-updater-w7.xml").exists() != promoted
    runonce = '"%s" /finishonly /installpath:"%s" /product:kds' % (winpath(setup.target), winpath(install))
    assert registry(orvtest.RUN_ONCE, "OrvUpdaterW7Finish") == (runonce if restarted else None)
    # The output may still grow after the run: programs it started write there too.
    stub = lambda: [line.split(":wmain stub: ", 1)[1] for line in orvtest.output_of(cleanup).splitlines()
                    if ":wmain stub: " in line]
    wait_until(lambda: bool(stub()) == restarted and bool(started(setup.app)) == launched, "the run's last action")
    assert stub() == ([r'L"C:\\windows\\system32\\shutdown.exe" L"/r" L"/f" L"/t" L"10" L"/c" '
                       r'L"ORV update will finish after restart."'] if restarted else [])
    assert [(folder, command.strip()) for folder, command in started(setup.app)] == (
        [(winpath(install), '"%s"' % winpath(setup.app))] if launched else []), "started once, no arguments"

    expected = [promotion_line, "Self-update post-cleanup complete | Permanent updater is running."]
    expected += ["Launch succeeded | " + winpath(setup.app)] if launched else []
    expected += ["RunOnce registered for pending reboot completion | " + runonce,
                 "Windows restart requested in 10 seconds for pending file replacement."] if restarted else []
    assert_lines(orvtest.last_run(install), expected)


def test_cleanup_run_given_a_staged_path_elsewhere_deletes_that_file_alone(install):
    orvtest.write_files(install, {"Documents/old.exe": "staged?", "Documents/letter.txt": "the user's"})
    assert orvtest.run_updater("/postselfupdate", "/nolaunch", "/installpath:" + winpath(install),
                               "/selfstage:" + winpath(install / "Documents" / "old.exe")) == 0
    assert orvtest.tree(install / "Documents") == {"letter.txt": b"the user's"}
