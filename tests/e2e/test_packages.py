"""The package phase as users meet it: the progress window while a package
downloads, which packages install, what stays pending, what the final box
says, and that the next run finishes the work."""
import os
import re
import shutil
import subprocess
import zipfile
from pathlib import Path

import orvtest
from orvtest import find, last_run, run_updater, winpath

ARTIFACT = orvtest.BUILD_DIR / "artifacts" / "progress-window.png"
WS_CAPTION, WS_SYSMENU, WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0xC00000, 0x80000, 0x40000, 0x20000, 0x10000
CHILD, WS_CLIPSIBLINGS, SS_ENDELLIPSIS, PBS_SMOOTH = 0x50000000, 0x4000000, 0x4000, 0x1


def corrupt_zip(path: Path, name: str, data: bytes):
    """A ZIP whose directory is sound but whose stored bytes fail their CRC."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr(name, data)
    raw = bytearray(path.read_bytes())
    raw[raw.index(data)] ^= 0xFF
    path.write_bytes(bytes(raw))


def progress_window(folder, size) -> tuple:
    """The updater's window once it shows part of a download of size bytes,
    with that download line and its percent."""
    for _ in range(100):
        window, = orvtest.BoxAnswerer(folder, press="none", window_class="OrvUpdaterW7NativeWindow").finish()
        for control in window["controls"]:
            shown = re.fullmatch(r"Downloaded [1-9]\d* KB / %d KB \((\d+)%%\)" % (size // 1024), control[4])
            if shown:
                return window, control[4], int(shown.group(1))
    raise AssertionError("the window never showed part of the download: %r" % window)


def convert(image, *args) -> str:
    return subprocess.run(["convert", str(image), *args, "info:"], check=True, capture_output=True,
                          text=True).stdout.strip()


def screenshot_shows(window, position) -> bool:
    """Takes the window's picture into the build's artifacts; true once the
    download bar is drawn filled to its position and the status line has text."""
    x, y, w, h = map(int, window["window"].split(","))
    left, top = (c - o for c, o in zip(map(int, window["client"].split(",")), (x, y)))
    ARTIFACT.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", str(ARTIFACT)],
                   check=True)
    mid = top + 130 + 10
    filled, empty = (convert(ARTIFACT, "-format", "%%[pixel:p{%d,%d}]" % (left + 24 + int(590 * at), mid))
                     for at in (position / 2000, (1 + position / 1000) / 2))
    status = convert(ARTIFACT, "-crop", "590x28+%d+%d" % (left + 24, top + 25), "+repage", "-format", "%k")
    return filled != empty and int(status) >= 2


def test_window_mid_download_then_a_failed_package_stays_pending_until_a_later_run(install, site, endpoints):
    orvtest.write_manifest(site.folder / "updater.xml", {"First_Pack.zip": "1.1", "Missing.zip": "2.0",
                                                         "Third.zip": "3.1"})
    # Bigger than the backends' read buffers, so that half of it shows.
    first = os.urandom(300000)
    orvtest.make_zip(site.folder / "First_Pack.zip", {"First_Pack.dll": first, "Docs/Read Me.txt": "read me"})
    orvtest.make_zip(site.folder / "Third.zip", {"third.dat": b"third 3.1"})
    shutil.copyfile(orvtest.TOOLS_DIR / "LaunchRecorder.exe", install / "Orvw_Lum.exe")
    # Packages come through the fault server, which holds each ZIP half-way
    # until the test has looked at the window.
    gate = site.folder.name
    base = endpoints["fault"] + "files/" + gate + "/"
    args = ["/server:" + base, "/installpath:" + winpath(install)]

    # Silent without "/autoinstall" nobody can say yes: nothing is fetched.
    assert run_updater("/silent", *args) == 0
    assert find(last_run(install), "User postponed update installation.")
    assert not [m for m in find(last_run(install), "Download") if ".zip" in m]
    assert sorted(p.name for p in install.iterdir()) == ["AUPatch", "Orvw_Lum.exe", "updater-w7-trace.log"]

    # The test display has no window manager: let Wine draw the title bar.
    orvtest.wine(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/d", "N", "/f"])
    updater = orvtest.wine_start([orvtest.EXE, "/autoinstall"] + args)
    try:
        assert orvtest.ask_fault_server(endpoints, "arrived?name=" + gate)
        size = (site.folder / "First_Pack.zip").stat().st_size
        window, line, percent = progress_window(install.parent, size)
        x, y, w, h = map(int, window["window"].split(","))
        screen_w, screen_h = map(int, window["screen"].split(","))
        assert (window["caption"], w, h) == ("OrvUpdaterW7", 650, 285)
        assert (x, y) == ((screen_w - w) // 2, (screen_h - h) // 2), "centred on the screen"
        assert int(window["style"]) & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_THICKFRAME | WS_MAXIMIZEBOX) == (
            WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX)
        assert int(window["exstyle"]) & 1, "a dialog frame"
        controls = sorted(((c.lower(), int(style) & ~WS_CLIPSIBLINGS, tuple(map(int, rect.split(","))), bar, text)
                           for c, style, rect, bar, text in window["controls"]), key=lambda c: c[2][1])
        # Half the package has been sent: the bar and the line agree on how much of it arrived.
        position = int(controls[3][3].split("/")[0])
        assert 0 < percent <= 50 and position // 10 == percent
        assert controls == [
            ("static", CHILD, (24, 25, 590, 28), "", "Updating ORV (1 of 3)"),
            ("static", CHILD | SS_ENDELLIPSIS, (24, 60, 590, 36), "", "WinHTTP | %sFirst_Pack.zip" % base),
            ("static", CHILD, (24, 105, 590, 22), "", line),
            ("msctls_progress32", CHILD | PBS_SMOOTH, (24, 130, 590, 20), "%d/1000" % position, ""),
            ("msctls_progress32", CHILD | PBS_SMOOTH, (24, 185, 590, 22), "0/1000", ""),
        ]
        # The window may still be painting: capture until it shows what it should.
        assert any(screenshot_shows(window, position) for _ in range(10)), "see " + str(ARTIFACT)

        boxes = orvtest.BoxAnswerer(install.parent, press="ok", caption="OrvUpdaterW7")
        assert orvtest.ask_fault_server(endpoints, "open?name=" + gate)
        box, = boxes.finish()
        assert updater.wait(timeout=120) == 20
    finally:
        orvtest.kill_group(updater)

    assert box["icon"] == "error"
    assert box["text"] == ("Completed 2 of 3 package(s).\r\n\r\nThe following package(s) remain pending and will "
                           "retry next run:\r\n- Missing.zip (download failed)\r\n\r\nFull log: "
                           + winpath(install / "updater-w7-trace.log"))
    assert (install / "First_Pack.dll").read_bytes() == first
    assert (install / "Docs" / "Read Me.txt").read_text() == "read me"
    assert (install / "third.dat").read_bytes() == b"third 3.1"
    assert orvtest.read_state(install / "updater-w7.xml") == {"First_Pack.zip": "1.1", "Third.zip": "3.1"}
    run = last_run(install)
    assert find(run, "Package install PASS") == ["Package install PASS | File=First_Pack.zip",
                                                 "Package install PASS | File=Third.zip"]
    unavailable, = find(run, "Package unavailable")
    assert unavailable.startswith("Package unavailable; continuing next package | File=Missing.zip\r\n"
                                  "WinHTTP %sMissing.zip -> HTTP status 404\r\n" % base)
    work = install / "AUPatch" / "W7Standalone"
    assert list((work / "downloads").iterdir()) == [] and list((work / "extract").iterdir()) == []
    assert len(orvtest.started(install / "Orvw_Lum.exe")) == 1, "failures do not keep the product from starting"

    # The next run selects only what is still pending, and finishes it once
    # the server has it.
    orvtest.make_zip(site.folder / "Missing.zip", {"Data/missing.txt": "now here"})
    assert run_updater("/silent", "/autoinstall", "/nolaunch", *args) == 0
    run = last_run(install)
    assert len(find(run, "Package current | ")) == 2
    assert find(run, "Package install PASS") == ["Package install PASS | File=Missing.zip"]
    assert (install / "Data" / "missing.txt").read_text() == "now here"
    assert orvtest.read_state(install / "updater-w7.xml") == {"First_Pack.zip": "1.1", "Third.zip": "3.1",
                                                              "Missing.zip": "2.0"}
    assert len(orvtest.started(install / "Orvw_Lum.exe")) == 1, "/nolaunch never launches"


def test_hostile_and_broken_packages_fail_alone(install, site):
    orvtest.write_manifest(site.folder / "updater.xml", {"Unsafe.zip": "1.0", "Corrupt.zip": "1.0", "Good.zip": "1.0"})
    orvtest.make_zip(site.folder / "Unsafe.zip", {"../evil.txt": "escaped", "fine.txt": "fine"})
    corrupt_zip(site.folder / "Corrupt.zip", "broken.txt", b"these bytes will not match their CRC")
    orvtest.make_zip(site.folder / "Good.zip", {"good.txt": "good"})
    before = set(install.parent.iterdir())

    assert run_updater("/silent", "/autoinstall", "/nolaunch", "/server:" + site.url,
                       "/installpath:" + winpath(install)) == 20

    run = last_run(install)
    unsafe = [m for m in find(run, "Download FAIL") if site.url + "Unsafe.zip" in m]
    assert unsafe and all(m.endswith("Error=ZIP validation failed: ZIP contains an unsafe path: ../evil.txt")
                          for m in unsafe)
    assert find(run, "Package extraction failed") == [
        "Package extraction failed; continuing next package | File=Corrupt.zip | "
        "CRC, decompression, or size verification failed for: broken.txt"]
    assert find(run, "Package install PASS") == ["Package install PASS | File=Good.zip"]
    assert set(install.parent.iterdir()) == before, "nothing was written beside the install folder"
    assert not (install / "fine.txt").exists() and not (install / "broken.txt").exists()
    assert (install / "good.txt").read_text() == "good"
    work = install / "AUPatch" / "W7Standalone"
    assert [p.name for p in (work / "downloads").iterdir()] == ["Corrupt.zip"], "a ZIP that did not extract stays"
    assert list((work / "extract").iterdir()) == []
    assert orvtest.read_state(install / "updater-w7.xml") == {"Good.zip": "1.0"}
