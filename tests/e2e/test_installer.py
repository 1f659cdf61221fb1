"""Installing packages: the real updater under Wine, with programs of the
suite running, files held open by other processes, databases to back up, the
updater's own executable in a package, and a disk that runs full."""
import datetime
import os
import re
import subprocess
import time
from contextlib import contextmanager
from pathlib import Path

import pytest

import orvtest
from orvtest import find, winpath

STAMPED = re.compile(r"^(INFO|WARN|FAIL) \| Seq=\d+ \| (\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}) \| (.*)$")
SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"
RUN_ONCE = r"HKCU\Software\Microsoft\Windows\CurrentVersion\RunOnce"


def timed_last_run(folder) -> list:
    """The last run of the trace log as (datetime, level, message); a message
    that spans lines (an attempt summary) stays one message."""
    lines = []
    text = (Path(folder) / orvtest.TRACE).read_bytes().decode("utf-8")
    for raw in text.split("\r\n")[:-1]:
        match = STAMPED.match(raw)
        if not match:
            stamp, level, message = lines[-1]
            lines[-1] = (stamp, level, message + "\r\n" + raw)
            continue
        level, stamp, message = match.groups()
        if message.startswith("Session start | "):
            lines = []
        lines.append((datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f"), level, message))
    return lines


def unixpath(text) -> Path:
    """The Unix path of a Windows path on Wine's Z: drive."""
    assert text.startswith("Z:\\"), text
    return Path(text[2:].replace("\\", "/"))


def last_run(folder) -> list:
    return [(level, message) for _, level, message in timed_last_run(folder)]


def gap_before(timed, message_prefix) -> float:
    """Seconds between the line starting with message_prefix and the line before it."""
    index = next(i for i, (_, _, m) in enumerate(timed) if m.startswith(message_prefix))
    return (timed[index][0] - timed[index - 1][0]).total_seconds()


def wait_for(path: Path, proc=None, timeout=30):
    deadline = time.monotonic() + timeout
    while not path.exists():
        assert proc is None or proc.poll() is None, "the helper program ended before it was ready"
        assert time.monotonic() < deadline, "%s never appeared" % path
        time.sleep(0.05)


@contextmanager
def running(args, ready: Path):
    """A test program that writes `ready` once it runs; stopped by its process group afterwards."""
    proc = orvtest.wine_start(args)
    try:
        wait_for(ready, proc)
        yield proc
    finally:
        orvtest.kill_group(proc)


@contextmanager
def holding(path: Path, share: int, work: Path):
    """Keeps `path` open in another process with the given share mode, until
    the block ends (HoldOpen lets go when its standard input closes)."""
    pid_file = work / ("held-%s-%d" % (path.name, time.monotonic_ns()))
    proc = subprocess.Popen([orvtest.WINE_RUN, orvtest.PREFIX, orvtest.TOOLS_DIR / "HoldOpen.exe", winpath(pid_file),
                             winpath(path), str(share)], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        wait_for(pid_file, proc)
        yield
        proc.stdin.close()
        proc.wait(timeout=30)
    finally:
        orvtest.kill_group(proc)


def registry_value(key, name) -> str:
    result = orvtest.wine(["reg", "query", key, "/v", name])
    return result.stdout if result.returncode == 0 else ""


@pytest.fixture
def clean_registry():
    """Delayed moves left in the registry would be carried out by a later
    wineserver start, and the RunOnce value would outlive the test."""
    def clear():
        orvtest.wine(["reg", "delete", SESSION_MANAGER, "/v", "PendingFileRenameOperations", "/f"])
        orvtest.wine(["reg", "delete", RUN_ONCE, "/v", "OrvUpdaterW7Finish", "/f"])
    clear()
    yield
    clear()


def publish(site, packages: dict):
    """Serves {zip name: (version, {relative path: content})} and its manifest."""
    for name, (_, files) in packages.items():
        zip_path = site.folder / name
        orvtest.make_zip(zip_path, files)
    orvtest.write_manifest(site.folder / "updater.xml", {n: v for n, (v, _) in packages.items()})


def update(site, install, *extra) -> int:
    return orvtest.run_updater("/silent", "/autoinstall", "/nolaunch", "/server:" + site.url,
                               "/installpath:" + winpath(install), *extra, timeout=300)


def write_files(root: Path, files: dict):
    for relative, content in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())


def side_files(root: Path) -> list:
    return [p for p in root.rglob("*") if ".orv-new-" in p.name]


def test_programs_stopped_databases_and_replaced_files_backed_up_updater_staged(site, install, tmp_path,
                                                                              monkeypatch):
    w = winpath(install)
    write_files(install, {"orvMain.ACCDB": "db-main", "orvArchive.mdb": "db-archive", "orvnotes.mdbx": "notes",
                          "Data/orvSub.mdb": "sub-db", "main.dll": "main-1", "shared.dll": "shared-1",
                          "Reports/Monthly.rpt": "user report"})
    os.chmod(install / "main.dll", 0o444)
    updater_bytes = (orvtest.TOOLS_DIR / "ArgvEcho.exe").read_bytes()
    publish(site, {
        "Core.zip": ("2.0", {"main.dll": "main-2", "shared.dll": "shared-2", "Reports/Monthly.RPT": "shipped",
                             "Reports/New.rpt": "new report", "bin/deep/a.dll": "a"}),
        "Extra.zip": ("2.0", {"shared.dll": "shared-3", "OrvUpdater.exe": updater_bytes}),
    })
    apps = tmp_path / "apps"
    apps.mkdir()
    for name in ("orvw_lum.exe", "kds_lum.exe", "explorer.exe"):
        (apps / name).write_bytes((orvtest.TOOLS_DIR / "SuiteLookalike.exe").read_bytes())
    helper_args = tmp_path / "helper-args.txt"
    # The staged "updater" reports the command line it was started with.
    monkeypatch.setenv("ORV_ARGV_ECHO_FILE", winpath(helper_args))
    closed = tmp_path / "lum-closed"
    with running([apps / "orvw_lum.exe", "/window", winpath(tmp_path / "lum-ready"), winpath(closed)],
                 tmp_path / "lum-ready") as lum, \
            running([apps / "kds_lum.exe", "/nowindow", winpath(tmp_path / "kds-ready")],
                    tmp_path / "kds-ready") as kds, \
            running([apps / "explorer.exe", "/nowindow", winpath(tmp_path / "explorer-ready")],
                    tmp_path / "explorer-ready") as explorer:
        assert update(site, install) == 0
        lum.wait(timeout=30)
        kds.wait(timeout=30)
        assert explorer.poll() is None, "a protected program name is never stopped"
    run = last_run(install)
    timed = timed_last_run(install)

    # Suite programs are stopped before the first package: the one with a
    # window closes itself, the windowless one is killed after 2.5 s.
    assert closed.exists()
    assert len(find(run, "Process stopped | orvw_lum.exe | PID=", "INFO")) == 1
    assert len(find(run, "Process stopped | kds_lum.exe | PID=", "INFO")) == 1
    assert not find(run, "Process stopped | explorer.exe")
    assert gap_before(timed, "Process stopped | kds_lum.exe") >= 2.5

    # The databases (and only they) are saved before anything is replaced.
    created = find(run, "Tarn backup folder created | ", "INFO")
    assert len(created) == 1
    backup = created[0].split(" | ", 1)[1]
    stamp = next(t for t, _, m in timed if m.startswith("Tarn backup folder created | "))
    assert backup == w + "\\Tarn" + stamp.strftime("%Y%m%d")
    order = [m for m in orvtest.messages(run) if m.startswith(("Tarn ", "Install PASS"))]
    assert order[:4] == [
        "Tarn backup folder created | " + backup,
        "Tarn backup PASS | Source=%s\\orvMain.ACCDB | Backup=%s\\orvMain.ACCDB" % (w, backup),
        "Tarn backup PASS | Source=%s\\orvArchive.mdb | Backup=%s\\orvArchive.mdb" % (w, backup),
        "Tarn database backup PASS",
    ]
    assert order.count("Tarn database backup PASS") == 1
    # Each replaced file is backed up once, holding its state from before the run.
    assert orvtest.tree(unixpath(backup)) == {
        "orvMain.ACCDB": b"db-main", "orvArchive.mdb": b"db-archive", "main.dll": b"main-1",
        "shared.dll": b"shared-1"}
    assert len(find(run, "Tarn backup PASS | Source=%s\\shared.dll" % w)) == 1

    # Files in place: read-only replaced, new folders made, the existing
    # report kept, the last package's shared file wins.
    for relative in ("main.dll", "bin\\deep\\a.dll", "Reports\\New.rpt"):
        assert find(run, "Install PASS | Attempt=1 | %s\\%s" % (w, relative), "INFO"), relative
    assert find(run, "Protected report preserved; existing .rpt was not replaced | %s\\Reports\\Monthly.RPT" % w,
                "INFO")
    files = orvtest.tree(install)
    expected = {"main.dll": b"main-2", "shared.dll": b"shared-3", "bin/deep/a.dll": b"a",
                "Reports/Monthly.rpt": b"user report", "Reports/New.rpt": b"new report", "orvnotes.mdbx": b"notes",
                "Data/orvSub.mdb": b"sub-db"}
    assert {name: files.get(name) for name in expected} == expected
    assert not side_files(install)

    # The updater's executable never lands in the install folder directly:
    # it is staged and handed to a helper started with the replacement run.
    staged_line = find(run, "Self-update staged | Source=", "INFO")
    assert len(staged_line) == 1
    match = re.fullmatch(r"Self-update staged \| Source=(.*) \| Target=(.*)", staged_line[0])
    staged, target = match.groups()
    assert re.fullmatch(re.escape(w) + r"\\\.orvupdaterw7-selfupdate\\OrvUpdaterW7-\d+-\d+\.exe", staged)
    assert target == w + "\\OrvUpdater.exe"
    assert "OrvUpdater.exe" not in files
    assert unixpath(staged).read_bytes() == updater_bytes
    assert find(run, "Self-update helper launched | " + staged, "INFO")
    wait_for(helper_args)
    args = re.findall(r"\[(.*)\]", helper_args.read_text(encoding="utf-8"))
    assert args[0] == "/selfreplace" and re.fullmatch(r"/waitpid:\d+", args[1])
    assert args[2:] == ["/source:" + staged, "/target:" + target, "/installpath:" + w, "/product:orv"]

    # A dry run the same day copies nothing, yet saves the databases again,
    # into a folder of its own.
    publish(site, {"Core.zip": ("3.0", {"main.dll": "main-3", "shared.dll": "shared-2"})})
    assert update(site, install, "/dryrun") == 0
    run = last_run(install)
    assert find(run, "Tarn backup folder created | %s1" % backup, "INFO")
    assert len(find(run, "Tarn backup PASS | ")) == 2
    dry = find(run, "Install DRYRUN | ", "INFO")
    assert sorted(m.split(" -> ")[1] for m in dry) == [w + "\\main.dll", w + "\\shared.dll"]
    assert orvtest.tree(unixpath(backup + "1")) == {"orvMain.ACCDB": b"db-main", "orvArchive.mdb": b"db-archive"}
    assert (install / "main.dll").read_bytes() == b"main-2"


def test_held_files_retried_scheduled_or_kept_and_a_held_database_blocks_every_package(site, install, tmp_path,
                                                                                     clean_registry):
    w = winpath(install)
    write_files(install, {"orvMain.accdb": "db", "main.dll": "main-1", "other.dll": "other-1"})
    publish(site, {"Core.zip": ("2.0", {"main.dll": "main-2"}),
                   "Extra.zip": ("2.0", {"other.dll": "other-2", "fine.dll": "fine"})})
    # main.dll may be read but not replaced; other.dll may not even be read.
    with holding(install / "main.dll", 1, tmp_path), holding(install / "other.dll", 0, tmp_path):
        assert update(site, install) == 20
        timed = timed_last_run(install)
        renames = registry_value(SESSION_MANAGER, "PendingFileRenameOperations")
    run = [(level, message) for _, level, message in timed]

    retries = [(t, m) for t, _, m in timed if m.startswith("Install retry | ")]
    assert [m.rsplit(" | ", 1)[0] for _, m in retries] == [
        "Install retry | Attempt=%d/4 | %s\\main.dll" % (n, w) for n in (1, 2, 3, 4)]
    assert all(m.endswith(" (Win32 5)") for _, m in retries)
    scheduled = find(run, "Restart replacement scheduled | Source=", "WARN")
    assert len(scheduled) == 1
    staged = re.fullmatch(r"Restart replacement scheduled \| Source=(.*) \| Target=" + re.escape(w + "\\main.dll"),
                          scheduled[0]).group(1)
    assert re.fullmatch(re.escape(w) + r"\\\.orvw7-reboot-pending\\\d+-\d+-main\.dll", staged)
    times = [t for t, _ in retries] + [next(t for t, _, m in timed if m.startswith("Restart replacement"))]
    for n in range(4):
        assert (times[n + 1] - times[n]).total_seconds() >= 0.3 * (n + 1) - 0.01, "pause after attempt %d" % (n + 1)
    assert unixpath(staged).read_bytes() == b"main-2"
    assert ("\\??\\" + staged) in renames and ("!\\??\\" + w + "\\main.dll") in renames
    assert find(run, "Package installed with reboot-pending files | File=Core.zip", "WARN")

    # A file that cannot even be read cannot be backed up, so it is left alone.
    failed = find(run, "Tarn backup failed; original will not be replaced | Source=%s\\other.dll | Backup=" % w, "FAIL")
    assert len(failed) == 1 and failed[0].endswith(" (Win32 32)")
    assert not find(run, "Install retry | Attempt=1/4 | %s\\other.dll" % w)
    assert find(run, "Install PASS | Attempt=1 | %s\\fine.dll" % w)
    assert find(run, "Package install incomplete; updater-w7.xml remains pending | File=Extra.zip", "FAIL")
    files = orvtest.tree(install)
    assert (files["main.dll"], files["other.dll"], files["fine.dll"]) == (b"main-1", b"other-1", b"fine")
    assert not side_files(install)

    # A database nobody may read blocks each package, and each tries again.
    with holding(install / "orvMain.accdb", 0, tmp_path):
        assert update(site, install) == 20
    run = last_run(install)
    assert len(find(run, "Tarn backup failed; original will not be replaced | Source=%s\\orvMain.accdb" % w,
                    "FAIL")) == 2
    assert len(find(run, "Tarn database backup incomplete; this package was not installed.", "FAIL")) == 2
    assert not find(run, "Install ")
    assert orvtest.tree(install)["other.dll"] == b"other-1"


@pytest.fixture
def small_disk(install):
    """The install folder on its own 7 MiB file system."""
    if os.geteuid() != 0:
        pytest.skip("mounting a small file system needs root")
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=7m", "tmpfs", str(install)], check=True)
    try:
        yield install
    finally:
        subprocess.run(["chattr", "-R", "-i", str(install)], check=False)
        subprocess.run(["umount", str(install)], check=True)


def test_full_disk_escaping_package_and_unwritable_folder(site, small_disk, tmp_path, clean_registry):
    install = small_disk
    w = winpath(install)
    write_files(install, {"big.bin": "old big", "user.txt": "mine", "Locked/x.dll": "x-1"})
    subprocess.run(["chattr", "+i", str(install / "Locked")], check=True)
    publish(site, {
        "Good.zip": ("1.0", {"good.dll": "good"}),
        "Escape.zip": ("1.0", {"../outside.txt": "escaped"}),
        "Big.zip": ("1.0", {"big.bin": os.urandom(3 * 1024 * 1024), "small.txt": "small"}),
        "Lock.zip": ("1.0", {"Locked/x.dll": "x-2"}),
    })
    assert update(site, install) == 20
    run = last_run(install)

    assert find(run, "Package install PASS | File=Good.zip", "INFO")
    # A package that would write outside the install folder is refused as a
    # bad download before any of it is unpacked.
    assert find(run, "Package unavailable; continuing next package | File=Escape.zip", "FAIL")
    assert not [p for p in tmp_path.rglob("outside.txt")]

    # A full disk fails the file after the whole ladder; the rest of the
    # package still goes in, and nothing partial is left behind.
    staging = [m for m in find(run, "Install staging failed | Attempt=", "WARN") if "\\big.bin | " in m]
    assert [m.split(" | ")[1:3] for m in staging] == [["Attempt=%d" % n, w + "\\big.bin"] for n in (1, 2, 3, 4)]
    assert all(m.endswith(" (Win32 112)") for m in staging)
    restart = find(run, "Restart staging copy failed | Source=", "FAIL")
    assert len(restart) == 1 and " | Target=%s\\big.bin | " % w in restart[0] and restart[0].endswith(" (Win32 112)")
    final = find(run, "Install FAIL | Continued=True | %s\\big.bin | " % w, "FAIL")
    assert len(final) == 1 and final[0].endswith(" (Win32 112)")
    assert find(run, "Install PASS | Attempt=1 | %s\\small.txt" % w)
    assert find(run, "Package install incomplete; updater-w7.xml remains pending | File=Big.zip", "FAIL")

    # A folder nobody may write into: the replacement waits for the restart.
    locked = [m for m in find(run, "Install staging failed | Attempt=", "WARN") if "\\x.dll | " in m]
    assert len(locked) == 4 and all(m.endswith(" (Win32 5)") for m in locked)
    assert find(run, "Restart replacement scheduled | Source=%s\\.orvw7-reboot-pending\\" % w, "WARN")
    assert find(run, "Package installed with reboot-pending files | File=Lock.zip", "WARN")

    # No user file was lost, and the only leftover in the stage folder is the
    # copy that waits for the restart.
    files = orvtest.tree(install)
    assert (files["big.bin"], files["user.txt"], files["Locked/x.dll"]) == (b"old big", b"mine", b"x-1")
    assert files["good.dll"] == b"good" and files["small.txt"] == b"small"
    pending = [name for name in files if name.startswith(".orvw7-reboot-pending/")]
    assert len(pending) == 1 and pending[0].endswith("-x.dll") and files[pending[0]] == b"x-2"
    assert not side_files(install)
