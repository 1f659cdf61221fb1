"""Installing packages: the real updater under Wine, with programs of the
suite running, files held open by other processes, databases to back up, the
updater's own executable in a package, and a disk that runs full. (A plain
update of several packages, with a read-only target, a file two packages
carry and the whole hand-over chain, is the crash-safety sweep's reference
run in tests/faults.)"""
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import orvtest
from orvtest import Holder, find, unixpath, winpath

RECORDER = orvtest.TOOLS_DIR / "LaunchRecorder.exe"


def update(site, install, *extra, exe=orvtest.EXE) -> int:
    return orvtest.run_updater("/silent", "/autoinstall", "/server:" + site.url, "/installpath:" + winpath(install),
                               *extra, exe=exe, timeout=300)


def at(timed, prefix):
    """The time of the first line starting with prefix, and of the line before it."""
    index = next(i for i, (_, _, m) in enumerate(timed) if m.startswith(prefix))
    return timed[index][0], timed[index - 1][0]


def test_programs_stopped_databases_and_replaced_files_backed_up_updater_staged(site, install, tmp_path, monkeypatch):
    w = winpath(install)
    orvtest.write_files(install, {"orvMain.ACCDB": "db-main", "orvArchive.mdb": "db-archive", "orvnotes.mdbx": "notes",
                                  "Data/orvSub.mdb": "sub-db", "main.dll": "main-1", "shared.dll": "shared-1",
                                  "Reports/Monthly.rpt": "user report"})
    shutil.copyfile(RECORDER, install / "Orvw_Lum.exe")
    # The staged "updater" records the command line it was started with.
    updater_bytes = RECORDER.read_bytes()
    orvtest.publish(site.folder, {
        "Core.zip": ("2.0", {"main.dll": "main-2", "shared.dll": "shared-2", "Reports/Monthly.RPT": "shipped",
                             "Reports/New.rpt": "new report"}),
        "Extra.zip": ("2.0", {"shared.dll": "shared-3", "OrvUpdater.exe": updater_bytes}),
    })
    # Suite programs run from the install folder, and one of the same name
    # from elsewhere. DLLs are planted where Windows looks first, and loaded
    # native-first as Windows would (Wine's own user32 imports version.dll,
    # so beside the exe a DLL only we use stands in for it).
    apps, elsewhere_apps, bin_folder = install / "Bin", tmp_path / "apps", tmp_path / "bin"
    stage = install / ".orvupdaterw7-selfupdate"
    planted = [bin_folder / "winhttp.dll", stage / "version.dll"]
    copies = {apps / "orvw_lum.exe": "SuiteLookalike.exe", apps / "kds_lum.exe": "HoldOpen.exe",
              elsewhere_apps / "kds_lum.exe": "HoldOpen.exe", elsewhere_apps / "explorer.exe": "HoldOpen.exe",
              bin_folder / "OrvUpdaterW7.exe": orvtest.EXE, planted[0]: orvtest.PLANTED_DLL,
              planted[1]: orvtest.PLANTED_DLL}
    for copy, source in copies.items():
        copy.parent.mkdir(exist_ok=True)
        shutil.copyfile(orvtest.TOOLS_DIR / source, copy)
    monkeypatch.setenv("ORV_WINEDLLOVERRIDES", "version,winhttp=n,b")
    ready, closed = tmp_path / "lum-ready", tmp_path / "lum-closed"
    lum = orvtest.wine_start([apps / "orvw_lum.exe", "/window", winpath(ready), winpath(closed)])
    try:
        orvtest.wait_until(ready.exists, "the suite look-alike's window")
        with Holder(tmp_path, exe=apps / "kds_lum.exe") as kds, Holder(tmp_path, exe=elsewhere_apps / "kds_lum.exe") \
                as elsewhere, Holder(tmp_path, exe=elsewhere_apps / "explorer.exe") as explorer:
            assert update(site, install, exe=bin_folder / "OrvUpdaterW7.exe") == 0
            lum.wait(timeout=30)
            kds.proc.wait(timeout=30)
            assert explorer.proc.poll() is None, "a protected program name is never stopped"
            assert elsewhere.proc.poll() is None, "a same-named program from elsewhere is none of ours"
    finally:
        orvtest.kill_group(lum)
    timed = orvtest.last_run(install, timed=True)
    run = [(level, message) for _, level, message in timed]

    # Suite programs are stopped before the first package: the one with a
    # window closes itself, the windowless one is killed after 2.5 s.
    assert closed.exists()
    for name in ("orvw_lum.exe", "kds_lum.exe"):
        assert len(find(run, "Process stopped | %s | PID=" % name, "INFO")) == 1
    assert not find(run, "Process stopped | explorer.exe")
    assert len(find(run, "Process left running; it was not started from the install folder | %s | PID=%d" % (
        winpath(elsewhere_apps / "kds_lum.exe"), elsewhere.pid), "WARN")) == 2, "looked at before each package"
    stopped, before = at(timed, "Process stopped | kds_lum.exe")
    assert (stopped - before).total_seconds() >= 2.5
    # While the first package waits for the suite to stop, the second one
    # downloads: its line comes as it happens, among the first package's.
    messages = [m for _, m in run]
    downloaded = [messages.index("Download PASS | Backend=WinHTTP | URL=%s%s.zip" % (site.url, p))
                  for p in ("Core", "Extra")]
    assert downloaded[0] < downloaded[1] < messages.index(*find(run, "Process stopped | kds_lum.exe")) < (
        messages.index("Package install PASS | File=Core.zip"))

    # The databases of the install folder itself (and only they) are saved
    # once, before anything is replaced; each replaced file once, as it was
    # before the run.
    created, = find(run, "Tarn backup folder created | ", "INFO")
    backup = created.split(" | ", 1)[1]
    assert backup == w + "\\Tarn" + at(timed, "Tarn backup folder created | ")[0].strftime("%Y%m%d")
    order = [m for _, m in run if m.startswith(("Tarn ", "Install PASS"))]
    assert order[:4] == [
        "Tarn backup folder created | " + backup,
        "Tarn backup PASS | Source=%s\\orvMain.ACCDB | Backup=%s\\orvMain.ACCDB" % (w, backup),
        "Tarn backup PASS | Source=%s\\orvArchive.mdb | Backup=%s\\orvArchive.mdb" % (w, backup),
        "Tarn database backup PASS",
    ]
    assert order.count("Tarn database backup PASS") == 1
    assert orvtest.tree(unixpath(backup)) == {
        "orvMain.ACCDB": b"db-main", "orvArchive.mdb": b"db-archive", "main.dll": b"main-1", "shared.dll": b"shared-1"}

    # An existing report is the user's; a new one is installed.
    assert find(run, "Protected report preserved; existing .rpt was not replaced | %s\\Reports\\Monthly.RPT" % w,
                "INFO")
    files = orvtest.tree(install)
    assert (files["Reports/Monthly.rpt"], files["Reports/New.rpt"]) == (b"user report", b"new report")

    # The updater's executable never lands in the install folder directly:
    # it is staged and handed to a helper started with the replacement run,
    # and the chain, not this run, starts the product.
    staged, target = re.fullmatch(r"Self-update staged \| Source=(.*) \| Target=(.*)",
                                  *find(run, "Self-update staged | Source=", "INFO")).groups()
    assert re.fullmatch(re.escape(w) + r"\\\.orvupdaterw7-selfupdate\\OrvUpdaterW7-\d+-\d+\.exe", staged)
    assert target == w + "\\OrvUpdater.exe"
    assert "OrvUpdater.exe" not in files
    assert unixpath(staged).read_bytes() == updater_bytes
    assert find(run, "Self-update helper launched | " + staged, "INFO")
    orvtest.wait_until(lambda: orvtest.started(unixpath(staged)), "the helper to start")
    assert not [dll for dll in planted if Path(str(dll) + ".loaded").exists()], "a planted DLL was loaded"
    assert not planted[1].exists(), "the helper starts from a stage folder holding nothing else"
    (_, command), = orvtest.started(unixpath(staged))
    args = [a.replace('"', "") for a in re.findall(r'(?:"[^"]*"|\S)+', command)]
    assert args[:2] == [staged, "/selfreplace"] and re.fullmatch(r"/waitpid:\d+", args[2])
    assert args[3:] == ["/source:" + staged, "/target:" + target, "/installpath:" + w, "/product:orv"]
    assert not orvtest.started(install / "Orvw_Lum.exe")

    # A dry run the same day copies nothing, yet saves the databases again,
    # into a folder of its own.
    orvtest.publish(site.folder, {"Core.zip": ("3.0", {"main.dll": "main-3", "shared.dll": "shared-2"})})
    assert update(site, install, "/dryrun", "/nolaunch") == 0
    run = orvtest.last_run(install)
    assert find(run, "Tarn backup folder created | %s1" % backup, "INFO")
    assert len(find(run, "Tarn backup PASS | ")) == 2
    dry = find(run, "Install DRYRUN | ", "INFO")
    assert sorted(m.split(" -> ")[1] for m in dry) == [w + "\\main.dll", w + "\\shared.dll"]
    assert orvtest.tree(unixpath(backup + "1")) == {"orvMain.ACCDB": b"db-main", "orvArchive.mdb": b"db-archive"}
    assert (install / "main.dll").read_bytes() == b"main-2"


def test_a_held_database_blocks_every_package_and_an_unreadable_file_is_kept(site, install, tmp_path):
    w = winpath(install)
    orvtest.write_files(install, {"orvMain.accdb": "db", "other.dll": "other-1"})
    shutil.copyfile(RECORDER, install / "Orvw_Lum.exe")
    orvtest.publish(site.folder, {"Core.zip": ("2.0", {"main.dll": "main-2"}),
                                  "Extra.zip": ("2.0", {"other.dll": "other-2", "fine.dll": "fine"})})
    # A database nobody may read cannot be saved: no package goes in.
    with Holder(tmp_path, install / "orvMain.accdb", 0):
        assert update(site, install, "/nolaunch") == 20
    run = orvtest.last_run(install)
    assert len(find(run, "Tarn backup failed; original will not be replaced | Source=%s\\orvMain.accdb" % w,
                    "FAIL")) == 2
    assert len(find(run, "Tarn database backup incomplete; this package was not installed.", "FAIL")) == 2
    assert not find(run, "Install ")

    # A file that cannot even be read cannot be backed up, so it is left
    # alone; the rest of its package still goes in.
    with Holder(tmp_path, install / "other.dll", 0):
        assert update(site, install, "/nolaunch") == 20
    run = orvtest.last_run(install)
    failed, = find(run, "Tarn backup failed; original will not be replaced | Source=%s\\other.dll | Backup=" % w,
                   "FAIL")
    assert failed.endswith(" (Win32 32)")
    assert not find(run, "Install retry | Attempt=1/4 | %s\\other.dll" % w)
    assert find(run, "Package install PASS | File=Core.zip", "INFO")
    assert find(run, "Package install incomplete; updater-w7.xml remains pending | File=Extra.zip", "FAIL")
    files = orvtest.tree(install)
    assert (files["main.dll"], files["other.dll"], files["fine.dll"]) == (b"main-2", b"other-1", b"fine")
    assert not orvtest.started(install / "Orvw_Lum.exe"), "/nolaunch never launches"


def test_a_helper_that_cannot_start_leaves_its_package_recorded_and_nothing_staged(site, install, tmp_path):
    """A file in the stage folder that cannot be removed keeps the helper
    from starting: the package's files are installed all the same, so the
    state records it and no staged copy is left to hold the state back."""
    w = winpath(install)
    orvtest.write_files(install, {".orvupdaterw7-selfupdate/held.dat": "planted"})
    orvtest.publish(site.folder, {"Extra.zip": ("2.0", {"extra.dll": "extra", "OrvUpdater.exe": RECORDER.read_bytes()})})
    with Holder(tmp_path, install / ".orvupdaterw7-selfupdate" / "held.dat", 0):
        assert update(site, install, "/nolaunch") == 0
    run = orvtest.last_run(install)
    assert find(run, "Self-update stage holds a file that cannot be removed; helper not started | %s\\"
                     ".orvupdaterw7-selfupdate\\held.dat" % w, "FAIL")
    assert orvtest.read_state(install / "updater-w7.xml") == {"Extra.zip": "2.0"}
    assert not (install / "pending-updater-w7.xml").exists()
    assert [p.name for p in (install / ".orvupdaterw7-selfupdate").iterdir()] == ["held.dat"]
    assert (install / "extra.dll").read_bytes() == b"extra" and not (install / "OrvUpdater.exe").exists()


def test_a_link_in_the_install_tree_is_never_written_or_read_through(site, install, tmp_path):
    """A folder of the tree that a user turned into a link to a place of
    another account's: nothing there changes, nothing of it is backed up."""
    w = winpath(install)
    outside = tmp_path / "elsewhere"
    orvtest.write_files(outside, {"report.dll": "another account's"})
    orvtest.write_files(install, {"main.dll": "main-1"})
    (install / "Reports").symlink_to(outside, target_is_directory=True)
    orvtest.publish(site.folder, {"Core.zip": ("2.0", {"main.dll": "main-2", "Reports/report.dll": "package",
                                                       "Reports/new.dll": "package"})})
    assert update(site, install, "/nolaunch") == 20
    assert sorted(find(orvtest.last_run(install), "Install target passes through a link; not replaced | ", "FAIL")) == [
        "Install target passes through a link; not replaced | %s\\Reports\\%s" % (w, name)
        for name in ("new.dll", "report.dll")]
    assert orvtest.tree(outside) == {"report.dll": b"another account's"}
    assert [orvtest.tree(p) for p in install.iterdir() if p.name.startswith("Tarn")] == [{"main.dll": b"main-1"}]
    assert (install / "main.dll").read_bytes() == b"main-2"


@pytest.fixture
def small_disk(install):
    """The install folder on its own 7 MiB file system."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=7m", "tmpfs", str(install)], check=True)
    try:
        yield install
    finally:
        subprocess.run(["umount", str(install)], check=True)


def test_a_full_disk_refuses_a_package_too_big_and_fails_a_file_whole(site, small_disk):
    install = small_disk
    w = winpath(install)
    orvtest.write_files(install, {"big.bin": "old big", "user.txt": "mine"})
    orvtest.publish(site.folder, {
        "Huge.zip": ("1.0", {"huge.bin": bytes(8 * 1024 * 1024)}),
        "Good.zip": ("1.0", {"good.dll": "good"}),
        "Big.zip": ("1.0", {"big.bin": os.urandom(3 * 1024 * 1024), "small.txt": "small"}),
    })
    assert update(site, install) == 20
    run = orvtest.last_run(install)

    # A package larger than the free space is refused before anything of it
    # is written: the next one still finds room.
    huge, = find(run, "Package extraction failed; continuing next package | File=Huge.zip | ", "FAIL")
    assert re.fullmatch(r".* \| Not enough free disk space to extract the package: it needs 8388608 bytes, but only "
                        r"\d+ bytes are free\.", huge)
    assert find(run, "Package install PASS | File=Good.zip", "INFO")

    # A full disk fails the file after the whole ladder and its copy for the
    # restart; the rest of the package still goes in.
    staging = [m for m in find(run, "Install staging failed | Attempt=", "WARN") if "\\big.bin | " in m]
    assert [m.split(" | ")[1:3] for m in staging] == [["Attempt=%d" % n, w + "\\big.bin"] for n in (1, 2, 3, 4)]
    restart, = find(run, "Restart staging copy failed | Source=", "FAIL")
    final, = find(run, "Install FAIL | Continued=True | %s\\big.bin | " % w, "FAIL")
    assert " | Target=%s\\big.bin | " % w in restart
    assert all(m.endswith(" (Win32 112)") for m in staging + [restart, final])
    assert find(run, "Package install incomplete; updater-w7.xml remains pending | File=Big.zip", "FAIL")

    # No user file was lost, and nothing partial is left behind.
    files = orvtest.tree(install)
    assert (files["big.bin"], files["user.txt"], files["good.dll"], files["small.txt"]) == (
        b"old big", b"mine", b"good", b"small")
    assert not [name for name in files if name.startswith(".orvw7-reboot-pending/") or ".orv-new-" in name]
