"""The hand-over runs that replace the updater's own executable, driven from
outside: the staged copy started with "/selfreplace" against a throw-away
install folder, and the new updater's "/postselfupdate" clean-up run.

Stand-ins: LaunchRecorder copies play the product's main executable (and a
new "updater" whose command line we want to read), HoldOpen plays the old
updater that is still running and holding its file. The newer updater is the
test build stamped 27.0.0.5 (ORV_TEST_EXE_NEXT).
"""
import os
import re
import shutil
import struct
import time
from pathlib import Path

import pytest

import orvtest
from orvtest import Holder, started, wait_until, winpath

NEXT_EXE = Path(os.environ.get("ORV_TEST_EXE_NEXT", orvtest.BUILD_DIR / "bin" / "OrvUpdaterW7_27005.exe"))
RECORDER = orvtest.TOOLS_DIR / "LaunchRecorder.exe"
OLD, NEW = "27.0.0.4", "27.0.0.5"
NEVER_PID = 4000000004  # no process ever has this id
RUNONCE_VALUE = "OrvUpdaterW7Finish"


def file_version(path) -> str:
    """The file version of a version resource (its fixed-info block)."""
    data = Path(path).read_bytes()
    at = data.find(struct.pack("<I", 0xFEEF04BD))
    assert at >= 0, "%s has no version resource" % path
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def logged(folder, line) -> bool:
    """Whether a line is in the trace log yet (raw: it may be mid-write)."""
    path = Path(folder) / orvtest.TRACE
    return path.exists() and (" | " + line + "\r\n").encode("utf-8") in path.read_bytes()


def ended_pid(folder) -> int:
    holder = Holder(folder)
    holder.release()
    return holder.pid


class Install:
    """A throw-away install folder: the installed 27.0.0.4 updater, a staged
    27.0.0.5 copy in the self-update stage folder and a recording stand-in
    for the product's main executable."""

    def __init__(self, folder: Path, app="KDS_Lum.exe"):
        self.folder, self.target, self.stage = folder, folder / "OrvUpdaterW7.exe", folder / ".orvupdaterw7-selfupdate"
        self.staged, self.app = self.stage / "OrvUpdaterW7-4242-1000.exe", folder / app
        self.stage.mkdir()
        for source, copy in ((orvtest.EXE, self.target), (NEXT_EXE, self.staged), (RECORDER, self.app)):
            shutil.copy(source, copy)
        self.fresh = Path(str(self.target) + ".selfupdate-new")
        self.backup = Path(str(self.target) + ".selfupdate-backup")

    def replace(self, *extra, source="staged", waitpid=NEVER_PID, wait=True):
        """Starts the staged copy's replacement run; returns its exit code
        (or, with wait=False, the running process)."""
        source = self.staged if source == "staged" else source
        args = [self.staged, "/selfreplace", "/waitpid:%d" % waitpid, "/target:" + winpath(self.target),
                "/installpath:" + winpath(self.folder), "/product:kds"]
        args += (["/source:" + winpath(source)] if source else []) + list(extra)
        return orvtest.wine(args).returncode if wait else orvtest.wine_start(args)

    def cleanup(self, *extra):
        """The new updater's clean-up run, as the replacement run starts it;
        returns the finished process (its output may still grow: programs
        it started write there too)."""
        proc = orvtest.wine_start([self.target, "/postselfupdate", "/finishonly", "/selfbackup:" + winpath(self.backup),
                                   "/selfstage:" + winpath(self.staged), "/installpath:" + winpath(self.folder),
                                   "/product:kds"] + list(extra))
        proc.wait(timeout=120)
        return proc

    def assert_updater_works(self, version=None):
        """Whatever went wrong, one of the two updaters is in place and
        passes its own self-test (which checks its version resource)."""
        assert file_version(self.target) in ((version,) if version else (OLD, NEW))
        home = self.folder.parent / "selftest"
        home.mkdir(exist_ok=True)
        assert orvtest.run_updater("/selftest", "/installpath:" + winpath(home), exe=self.target) == 0


@pytest.fixture
def runonce(registry):
    """The RunOnce value under test (removed before and after)."""
    return lambda: registry(orvtest.RUN_ONCE, RUNONCE_VALUE)


def test_replacement_waits_for_the_old_updater_then_hands_over(install):
    """The old updater (a holder of the installed exe) is still running, and
    read-only side files of a broken earlier chain lie beside the exe."""
    setup = Install(install)
    old_bytes = setup.target.read_bytes()
    for side in (setup.fresh, setup.backup):
        side.write_bytes(b"left over by a broken chain")
        side.chmod(0o444)

    with Holder(install, setup.target, 0) as old_updater:
        helper = setup.replace(waitpid=old_updater.pid, wait=False)
        time.sleep(2)
        assert helper.poll() is None, "the helper must wait while the old updater runs"
        assert setup.target.read_bytes() == old_bytes
        old_updater.release()
        assert helper.wait(timeout=60) == 0
    launched = "Launch succeeded | " + winpath(setup.app)
    wait_until(lambda: logged(install, launched) and started(setup.app), "the new updater to launch the application")

    assert setup.target.read_bytes() == NEXT_EXE.read_bytes()
    assert not [p for p in (setup.stage, setup.fresh, setup.backup) if p.exists()]
    assert [(folder, command.strip()) for folder, command in started(setup.app)] == [
        (winpath(install), '"%s"' % winpath(setup.app))], "started once, no arguments"
    setup.assert_updater_works(NEW)


def test_new_updater_gets_the_hand_over_command_line(install):
    """A recording stand-in as the "new updater" shows exactly what the
    replacement run starts, and from where."""
    setup = Install(install)
    stand_in = setup.stage / "OrvUpdaterW7-4242-2000.exe"
    shutil.copy(RECORDER, stand_in)
    assert setup.replace("/restartafter", "/pendingreboot", source=stand_in, waitpid=ended_pid(install)) == 0
    # The record file exists a moment before its line is written.
    wait_until(lambda: started(setup.target), "the stand-in to record its start")
    assert started(setup.target) == [(winpath(install), '"%s" ' % winpath(setup.target) + (
        '/postselfupdate /finishonly /selfbackup:"%s" /selfstage:"%s" /installpath:"%s" /product:kds'
        ' /restartafter /pendingreboot' % (winpath(setup.backup), winpath(stand_in), winpath(install))))]
    assert setup.backup.read_bytes() == orvtest.EXE.read_bytes(), "the old exe waits for the clean-up run"


def folder_in_exe_place(setup):
    setup.target.unlink()
    setup.target.mkdir()
    (setup.target / "notes.txt").write_text("user data")
    return {}


def staged_text_file(setup):
    source = setup.stage / "OrvUpdaterW7-4242-3000.exe"
    source.write_text("not a program")
    return {"source": source}


# case: arrange(install) -> replace() arguments, exit code, the run's lines
# after "Session start" (one ending in "| " is a prefix of a line that ends
# with a Win32 error text)
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
    "folder in the exe's place": (folder_in_exe_place, 34, ["Self-update permanent move or verification failed | "]),
    "staged file is no program": (staged_text_file, 35, ["Self-update replacement PASS | Target=",
                                                         "New updater launch failed after self replacement | "]),
}


def assert_lines(run, expected):
    got = orvtest.messages(run)[1:]
    assert len(got) == len(expected), got
    for line, want in zip(got, expected):
        prefix = want.endswith("| ")
        assert line.startswith(want) and re.search(r" \(Win32 \d+\)$", line) if prefix else line == want, line


@pytest.mark.parametrize("case", list(FAILURES))
def test_failed_replacement_keeps_an_updater(install, case):
    arrange, code, lines = FAILURES[case]
    setup = Install(install)
    kwargs = arrange(setup)
    holder = kwargs.pop("holder", None)
    installed = setup.target.read_bytes() if setup.target.is_file() else None
    source = kwargs.get("source", setup.staged)
    staged = source.read_bytes() if source and source.exists() else None
    try:
        assert setup.replace(**kwargs) == code
    finally:
        if holder:
            holder.stop()

    run = orvtest.last_run(install)
    assert_lines(run, [line + winpath(setup.target) if line.endswith("Target=") else line for line in lines])
    assert run[-1][0] == "FAIL"
    if staged is not None:
        assert source.read_bytes() == staged, "the staged copy is never touched"
    assert not setup.backup.exists()
    if installed is None:  # nothing was moved aside, nothing of the folder lost; the new copy waits
        assert (setup.target / "notes.txt").read_text() == "user data"
        assert setup.fresh.read_bytes() == staged
    else:
        assert setup.target.read_bytes() == installed
        assert setup.fresh.is_dir() if code == 32 else not setup.fresh.exists()
        setup.assert_updater_works()
    assert not started(setup.app)


# flags: (application launched, restart requested, what the promotion of the
# pending state document meets)
CLEANUPS = {
    (): (True, False, "reboot done"),
    ("/nolaunch",): (False, False, "state file held"),
    ("/pendingreboot",): (False, False, "reboot pending"),
    ("/restartafter",): (False, True, "reboot done"),
}
PROMOTION = {
    "reboot done": "Pending updater-w7.xml promoted after reboot completion.",
    "reboot pending": "Pending reboot replacements still exist; pending updater-w7.xml was not promoted.",
    "state file held": "Pending updater-w7.xml promotion failed | ",
}


@pytest.mark.parametrize("flags", list(CLEANUPS), ids=lambda f: " ".join(f) or "plain")
def test_cleanup_run_finishes_the_original_run(install, runonce, monkeypatch, flags):
    launched, restarted, promotion = CLEANUPS[flags]
    setup = Install(install)
    shutil.copy(NEXT_EXE, setup.target)
    setup.backup.write_bytes(orvtest.EXE.read_bytes())
    setup.backup.chmod(0o444)
    (install / "pending-updater-w7.xml").write_text("pending")
    (install / "updater-w7.xml").write_text("current")
    older = setup.stage / "OrvUpdaterW7-17-1.exe"
    if promotion == "reboot pending":  # a file waits for the reboot; an older staged copy keeps its folder
        shutil.copy(NEXT_EXE, older)
        orvtest.write_files(install, {".orvw7-reboot-pending/4242-1-a.dll": b"x"})
    holder = Holder(install, install / "updater-w7.xml") if promotion == "state file held" else None
    try:
        # Wine's shutdown command is a stub that only reports its arguments.
        monkeypatch.setenv("ORV_WINEDEBUG", "-all,+shutdown")
        cleanup = setup.cleanup(*flags)
    finally:
        if holder:
            holder.stop()
    assert cleanup.returncode == 0

    assert not setup.backup.exists() and not setup.staged.exists()
    assert setup.stage.exists() == older.exists()
    promoted = promotion == "reboot done"
    assert (install / "updater-w7.xml").read_text() == ("pending" if promoted else "current")
    assert (install / "pending-updater-w7.xml").exists() != promoted
    runonce_data = '"%s" /finishonly /installpath:"%s" /product:kds' % (winpath(setup.target), winpath(install))
    assert runonce() == (runonce_data if restarted else None)
    restart = (r'L"C:\\windows\\system32\\shutdown.exe" L"/r" L"/f" L"/t" L"10" L"/c" '
               r'L"ORV update will finish after restart."')
    stub = lambda: [line.split(":wmain stub: ", 1)[1] for line in orvtest.output_of(cleanup).splitlines()
                    if ":wmain stub: " in line]
    if restarted:
        wait_until(stub, "the restart command")
    if launched:
        wait_until(lambda: started(setup.app), "the application to start")
    assert stub() == ([restart] if restarted else [])
    assert bool(started(setup.app)) == launched

    expected = [PROMOTION[promotion], "Self-update post-cleanup complete | Permanent updater is running."]
    if launched:
        expected.append("Launch succeeded | " + winpath(setup.app))
    if restarted:
        expected += ["RunOnce registered for pending reboot completion | " + runonce_data,
                     "Windows restart requested in 10 seconds for pending file replacement."]
    assert_lines(orvtest.last_run(install), expected)


def test_a_real_update_replaces_the_running_updater_through_the_whole_chain(install, site):
    """Nothing staged by hand: the installed 27.0.0.4 updater finds 27.0.0.5
    in a package, stages it, starts it with "/selfreplace" and ends; the copy
    swaps the files and starts the new updater, which cleans up and starts
    the product."""
    updater = install / "OrvUpdaterW7.exe"
    shutil.copy(orvtest.EXE, updater)
    app = install / "Orvw_Lum.exe"
    shutil.copy(RECORDER, app)
    orvtest.make_zip(site.folder / "OrvUpdater.zip", {"OrvUpdaterW7.exe": NEXT_EXE.read_bytes()})
    orvtest.write_manifest(site.folder / "updater.xml", {"OrvUpdater.zip": NEW})

    assert orvtest.run_updater("/silent", "/autoinstall", "/server:" + site.url, exe=updater) == 0
    wait_until(lambda: started(app), "the new updater to start the product")

    assert updater.read_bytes() == NEXT_EXE.read_bytes() and file_version(updater) == NEW
    first, helper, permanent = orvtest.runs(install)
    assert first[0][1].startswith("Session start | Version=%s | Executable=%s" % (OLD, winpath(updater)))
    staged = orvtest.find(first, "Self-update staged | Source=")[0].split("=", 1)[1].split(" | ")[0]
    assert orvtest.find(first, "Self-update helper launched | ") == ["Self-update helper launched | " + staged]
    assert orvtest.find(first, "Package install PASS | File=OrvUpdater.zip")
    assert not orvtest.find(first, "Launch"), "the chain, not the first run, starts the product"
    assert helper[0][1] == "Session start | Version=%s | Executable=%s" % (NEW, staged)
    assert orvtest.find(helper, "Self-update replacement PASS | Target=" + winpath(updater))
    assert permanent[0][1] == "Session start | Version=%s | Executable=%s" % (NEW, winpath(updater))
    # The package is recorded once its updater is in: the clean-up run promotes the pending state.
    assert [m for _, m in permanent[1:]] == ["Pending updater-w7.xml promoted after reboot completion.",
                                             "Self-update post-cleanup complete | Permanent updater is running.",
                                             "Launch succeeded | " + winpath(app)]
    assert sorted(p.name for p in install.iterdir() if "selfupdate" in p.name) == []
    assert orvtest.read_state(install / "updater-w7.xml") == {"OrvUpdater.zip": NEW}
    assert len(started(app)) == 1
