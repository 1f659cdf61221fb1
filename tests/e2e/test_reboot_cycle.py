"""The whole reboot cycle: files that stay locked through the copy ladder are
replaced at the next Windows start, and the run the RunOnce entry starts at
the next logon finishes the update."""
import contextlib
import re
import shutil

import orvtest
from orvtest import Holder, find, last_run, started, winpath

FILES = ["lib%02d.dat" % i for i in range(1, 13)]


def test_locked_files_wait_for_the_restart_and_the_next_logon_finishes(site, install, tmp_path, registry):
    w = winpath(install)
    exe = tmp_path / "bin" / "OrvUpdaterW7.exe"
    exe.parent.mkdir()
    shutil.copyfile(orvtest.EXE, exe)
    orvtest.write_files(install, {name: "old " + name for name in FILES})
    app = install / "Orvw_Lum.exe"
    shutil.copyfile(orvtest.TOOLS_DIR / "LaunchRecorder.exe", app)
    orvtest.write_manifest(install / "updater-w7.xml", {"Orvw_Lum.zip": "1.0"})
    orvtest.publish(site.folder, {"Orvw_Lum.zip": ("2.0", {name: "new " + name for name in FILES})})

    # Others may read the files (so the backup works), never replace them.
    with contextlib.ExitStack() as holders:
        for name in FILES:
            holders.enter_context(Holder(tmp_path, install / name, 1))
        boxes = orvtest.BoxAnswerer(tmp_path, press="no", caption="ORV Update - Restart Required", timeout_ms=200000)
        assert orvtest.run_updater("/autoinstall", "/server:" + site.url, "/installpath:" + w, exe=exe,
                                   timeout=400) == 0
        box, = boxes.finish()
        listed = "".join("- %s\\%s\r\n" % (w, name) for name in FILES[:10])
        assert box["text"] == ("Completed 1 of 1 package(s).\r\nWindows restart is required only for these files "
                               "because close/force-kill and four copy attempts failed:\r\n" + listed +
                               "- and 2 more (see log)\r\n\r\nRestart Windows now?")
        assert box["default"] == "no"
        timed = last_run(install, timed=True)
        run = [(level, message) for _, level, message in timed]
        # Each file is tried four times, with a longer pause after each try,
        # then its new copy waits in the stage folder.
        ladder = [(when, m) for when, _, m in timed
                  if m.startswith(("Install retry | ", "Restart replacement ")) and "\\lib01.dat" in m]
        assert [m.split(" | ")[:3] for _, m in ladder[:4]] == [
            ["Install retry", "Attempt=%d/4" % n, w + "\\lib01.dat"] for n in (1, 2, 3, 4)]
        assert all(m.endswith(" (Win32 5)") for _, m in ladder[:4])
        assert re.fullmatch(r"Restart replacement scheduled \| Source=%s\\\.orvw7-reboot-pending\\\d+-\d+-lib01\.dat"
                            r" \| Target=%s\\lib01\.dat" % (re.escape(w), re.escape(w)), ladder[4][1])
        for n in range(4):
            assert (ladder[n + 1][0] - ladder[n][0]).total_seconds() >= 0.3 * (n + 1) - 0.01, "pause %d" % (n + 1)
        assert len(find(run, "Install retry | Attempt=4/4 | ")) == 12
        assert len(find(run, "Restart replacement scheduled | Source=", "WARN")) == 12
        assert find(run, "Package installed with reboot-pending files | File=Orvw_Lum.zip", "WARN")
        command = '"%s" /finishonly /installpath:"%s" /product:orv' % (winpath(exe), w)
        assert find(run, "RunOnce registered for pending reboot completion | ") == [
            "RunOnce registered for pending reboot completion | " + command]
        assert registry(orvtest.RUN_ONCE, "OrvUpdaterW7Finish") == command
        # What the logon will start, split as Windows splits it.
        program, *args = orvtest.split_command(command)
        assert program == winpath(exe)
        renames = registry(orvtest.SESSION_MANAGER, "PendingFileRenameOperations")
        assert all(name in renames for name in FILES)
        assert orvtest.read_state(install / "pending-updater-w7.xml") == {"Orvw_Lum.zip": "2.0"}
        assert orvtest.read_state(install / "updater-w7.xml") == {"Orvw_Lum.zip": "1.0"}
        assert not started(app), "declining the restart keeps the product closed"

        # A logon before the restart: the staged copies still wait.
        assert orvtest.run_updater(*args, exe=exe) == 21
        assert [m for _, m in last_run(install)[1:]] == [
            "Pending reboot replacements still exist; pending updater-w7.xml was not promoted.",
            "Finish-only run found pending reboot files; main application was not launched."]

    # The restart carries out the delayed moves; the next logon finishes.
    orvtest.wine(["wineboot", "-r"])
    assert all((install / name).read_text() == "new " + name for name in FILES)
    assert orvtest.run_updater(*args, exe=exe) == 0
    assert [m for _, m in last_run(install)[1:]] == [
        "Pending updater-w7.xml promoted after reboot completion.", "Launch succeeded | %s\\Orvw_Lum.exe" % w]
    assert orvtest.read_state(install / "updater-w7.xml") == {"Orvw_Lum.zip": "2.0"}
    assert not (install / "pending-updater-w7.xml").exists()
    assert not (install / ".orvw7-reboot-pending").exists()
    orvtest.wait_until(lambda: started(app), "the product to start, after the updater")
    assert len(started(app)) == 1
