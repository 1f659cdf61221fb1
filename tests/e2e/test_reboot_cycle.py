"""The whole reboot cycle: files that stay locked through the copy ladder are
replaced at the next Windows start, and the run the RunOnce entry starts at
the next logon finishes the update."""
import re
import shutil
import subprocess
import time

import orvtest
from orvtest import find, last_run, winpath
from test_installer import RUN_ONCE, SESSION_MANAGER, clean_registry, publish, registry_value  # noqa: F401

FILES = ["lib%02d.dat" % i for i in range(1, 13)]


def hold_all(paths, tmp_path) -> list:
    """One holder per file, named like a protected program, letting others
    read (so the backup works) but never replace the file."""
    holder = tmp_path / "explorer.exe"
    shutil.copyfile(orvtest.TOOLS_DIR / "HoldOpen.exe", holder)
    procs = []
    for path in paths:
        ready = tmp_path / ("held-" + path.name)
        procs.append((subprocess.Popen([orvtest.WINE_RUN, orvtest.PREFIX, holder, winpath(ready), winpath(path), "1"],
                                       stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                       start_new_session=True), ready))
    for proc, ready in procs:
        for _ in range(600):
            if ready.exists():
                break
            assert proc.poll() is None, "a holder ended early"
            time.sleep(0.05)
    return [proc for proc, _ in procs]


def release(procs):
    for proc in procs:
        proc.stdin.close()
        proc.wait(timeout=30)


def test_locked_files_wait_for_the_restart_and_the_next_logon_finishes(site, install, tmp_path, clean_registry):
    exe = tmp_path / "bin" / "OrvUpdaterW7.exe"
    exe.parent.mkdir()
    shutil.copyfile(orvtest.EXE, exe)
    for name in FILES:
        (install / name).write_text("old " + name)
    shutil.copyfile(orvtest.TOOLS_DIR / "LaunchRecorder.exe", install / "Orvw_Lum.exe")
    orvtest.write_manifest(install / "updater-w7.xml", {"Orvw_Lum.zip": "1.0"})
    publish(site, {"Orvw_Lum.zip": ("2.0", {name: "new " + name for name in FILES})})
    launched = install / "Orvw_Lum.exe.launched"

    holders = hold_all([install / name for name in FILES], tmp_path)
    try:
        boxes = orvtest.BoxAnswerer(tmp_path, press="no", caption="ORV Update - Restart Required", timeout_ms=200000)
        assert orvtest.run_updater("/autoinstall", "/server:" + site.url, "/installpath:" + winpath(install),
                                   exe=exe, timeout=400) == 0
        box, = boxes.finish()
        listed = "".join("- %s\\%s\r\n" % (winpath(install), name) for name in FILES[:10])
        assert box["text"] == ("Completed 1 of 1 package(s).\r\nWindows restart is required only for these files "
                               "because close/force-kill and four copy attempts failed:\r\n" + listed +
                               "- and 2 more (see log)\r\n\r\nRestart Windows now?")
        assert box["default"] == "no"
        run = last_run(install)
        assert len(find(run, "Install retry | Attempt=4/4 | ")) == 12
        assert len(find(run, "Restart replacement scheduled | Source=")) == 12
        assert find(run, "Package installed with reboot-pending files | File=Orvw_Lum.zip")
        command = '"%s" /finishonly /installpath:"%s" /product:orv' % (winpath(exe), winpath(install))
        assert find(run, "RunOnce registered for pending reboot completion | ") == [
            "RunOnce registered for pending reboot completion | " + command]
        stored = registry_value(RUN_ONCE, "OrvUpdaterW7Finish").split("REG_SZ", 1)[1].strip()
        assert stored == command
        # What the logon will start, split as Windows splits it.
        program, *args = [t.replace('"', "") for t in re.findall(r'(?:[^\s"]|"[^"]*")+', stored)]
        assert program == winpath(exe)
        assert all(name in registry_value(SESSION_MANAGER, "PendingFileRenameOperations") for name in FILES)
        assert orvtest.read_state(install / "pending-updater-w7.xml") == {"Orvw_Lum.zip": "2.0"}
        assert orvtest.read_state(install / "updater-w7.xml") == {"Orvw_Lum.zip": "1.0"}
        assert not launched.exists(), "declining the restart keeps the product closed"

        # A logon before the restart: the staged copies still wait.
        assert orvtest.run_updater(*args, exe=exe) == 21
        assert [m for _, m in last_run(install)[1:]] == [
            "Pending reboot replacements still exist; pending updater-w7.xml was not promoted.",
            "Finish-only run found pending reboot files; main application was not launched."]
    finally:
        release(holders)

    # The restart carries out the delayed moves; the next logon finishes.
    orvtest.wine(["wineboot", "-r"])
    assert all((install / name).read_text() == "new " + name for name in FILES)
    assert orvtest.run_updater(*args, exe=exe) == 0
    assert [m for _, m in last_run(install)[1:]] == [
        "Pending updater-w7.xml promoted after reboot completion.",
        "Launch succeeded | %s\\Orvw_Lum.exe" % winpath(install)]
    assert orvtest.read_state(install / "updater-w7.xml") == {"Orvw_Lum.zip": "2.0"}
    assert not (install / "pending-updater-w7.xml").exists()
    assert not (install / ".orvw7-reboot-pending").exists()
    for _ in range(600):  # the product starts on its own, after the updater
        if launched.exists():
            break
        time.sleep(0.05)
    assert launched.read_text().count("\n") == 1
