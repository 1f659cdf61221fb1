"""The package phase as users meet it: the progress window while a package
downloads, which packages install, what stays pending, what the final box
says; and packages broken every way."""
import os
import re
import shutil
import struct
import subprocess
import zipfile
import zlib
from pathlib import Path

import orvtest
from orvtest import find, last_run, run_updater, winpath

ARTIFACT = orvtest.BUILD_DIR / "artifacts" / "progress-window.png"
WS_CAPTION, WS_SYSMENU, WS_THICKFRAME, WS_MINIMIZEBOX, WS_MAXIMIZEBOX = 0xC00000, 0x80000, 0x40000, 0x20000, 0x10000
CHILD, WS_CLIPSIBLINGS, SS_ENDELLIPSIS, PBS_SMOOTH = 0x50000000, 0x4000000, 0x4000, 0x1


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
        window, line, percent = progress_window(install.parent, (site.folder / "First_Pack.zip").stat().st_size)
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

    assert (box["icon"], box["text"]) == ("error", "Completed 2 of 3 package(s).\r\n\r\nThe following package(s) "
                                          "remain pending and will retry next run:\r\n- Missing.zip (download failed)"
                                          "\r\n\r\nFull log: " + winpath(install / "updater-w7-trace.log"))
    assert [(install / n).read_bytes() for n in ("First_Pack.dll", "Docs/Read Me.txt", "third.dat")] == [
        first, b"read me", b"third 3.1"]
    assert orvtest.read_state(install / "updater-w7.xml") == {"First_Pack.zip": "1.1", "Third.zip": "3.1"}
    run = last_run(install)
    assert find(run, "Package install PASS") == ["Package install PASS | File=First_Pack.zip",
                                                 "Package install PASS | File=Third.zip"]
    unavailable, = find(run, "Package unavailable")
    assert unavailable.startswith(orvtest.logged("Package unavailable; continuing next package | File=Missing.zip\r\n"
                                                 "WinHTTP %sMissing.zip -> HTTP status 404\r\n" % base))
    work = install / "AUPatch" / "W7Standalone"
    assert list((work / "downloads").iterdir()) == [] and list((work / "extract").iterdir()) == []
    assert len(orvtest.started(install / "Orvw_Lum.exe")) == 1, "failures do not keep the product from starting"

    # Once the server has it, the next run fetches only what is still pending, and says all went well.
    orvtest.make_zip(site.folder / "Missing.zip", {"missing.dat": b"found 2.0"})
    boxes = orvtest.BoxAnswerer(install.parent, press="ok", caption="OrvUpdaterW7")
    assert run_updater("/autoinstall", *args) == 0
    assert [(b["icon"], b["text"]) for b in boxes.finish()] == [("information", "Completed 1 of 1 package(s).")]
    assert find(last_run(install), "Package install PASS") == ["Package install PASS | File=Missing.zip"]
    assert (install / "missing.dat").read_bytes() == b"found 2.0"
    assert orvtest.read_state(install / "updater-w7.xml") == {"First_Pack.zip": "1.1", "Missing.zip": "2.0",
                                                              "Third.zip": "3.1"}
    assert len(orvtest.started(install / "Orvw_Lum.exe")) == 2


def raw_zip(path, entries):
    """A ZIP written record by record, for what no tool writes on purpose:
    (name bytes, data, flags) entries, stored, without the UTF-8 flag."""
    body, central = b"", b""
    for name, data, flags in entries:
        fields = struct.pack("<HHHHHIIIHH", 20, flags, 0, 0, 0x21, zlib.crc32(data), len(data), len(data), len(name), 0)
        central += struct.pack("<IH", 0x02014B50, 20) + fields + struct.pack("<HHHII", 0, 0, 0, 0, len(body)) + name
        body += struct.pack("<I", 0x04034B50) + fields + name + data
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(body), 0)
    Path(path).write_bytes(body + central + end)


def test_each_broken_package_fails_alone_with_its_reason_and_the_others_arrive_exactly(install, site, tmp_path):
    w = winpath(install)
    extract = w + "\\AUPatch\\W7Standalone\\extract\\"
    big = b"".join(os.urandom(512) + b"\0" * 1536 for _ in range(1600))  # beyond one inflate window and write piece
    packages = {
        "Unsafe.zip": [("../evil.txt", "escaped"), ("fine.txt", "fine")],
        "Folders.zip": [("a/", b""), ("a/b/", b"")],
        "Corrupt.zip": [("broken.txt", b"these bytes will not match their CRC")],
        "Clash1.zip": [("clash", "file"), ("clash/sub/", b"")],
        "Clash2.zip": [("clash", "file"), ("clash/sub/inner.txt", "x")],
        "Clash3.zip": [("clash/", b""), ("clash", "file")],
        "Names.zip": [("p\u00e4ckage/\u00fcn\u00efc\u00f8de.txt", "utf-8 name"), ("\u65e5\u672c.txt", "cjk"),
                      ("Docs/Read.txt", "first"), ("docs/READ.TXT", "second"), ("same.txt", "one"),
                      ("same.txt", "two"), ("docs/empty/", b""), ("bin/big.bin", big), ("bin/zero.bin", b"")],
    }
    # Entries that extract to a path of 259 and of 260 units: the Windows 7 limit lies between.
    for number, (name, units) in enumerate((("Fits.zip", 259), ("TooLong.zip", 260)), start=len(packages) + 1):
        packages[name] = [("n" * (units - len(extract + "%d-%s\\" % (number, name[:-4])) - 4) + ".txt", "long")]
    for name, files in packages.items():
        with zipfile.ZipFile(site.folder / name, "w") as z:
            for entry, data in files:
                z.writestr(entry, data, zipfile.ZIP_STORED if entry.endswith(".txt") else zipfile.ZIP_DEFLATED)
    corrupt = bytearray((site.folder / "Corrupt.zip").read_bytes())
    corrupt[corrupt.index(b"these bytes")] ^= 0xFF
    (site.folder / "Corrupt.zip").write_bytes(bytes(corrupt))
    raw_zip(site.folder / "Empty.zip", [])
    raw_zip(site.folder / "Secret.zip", [(b"secret.txt", b"secret", 1)])
    # Nameless entries are skipped; a name that is not UTF-8 is read in the ANSI code page.
    raw_zip(site.folder / "Raw.zip", [(b"", b"nameless", 0), (b"\\\\", b"slashes", 0), (b"caf\xe9.txt", b"ansi", 0),
                                      (b"keep.txt", b"kept", 0)])
    (site.folder / "Text.zip").write_text("This is a text file, not a ZIP archive.\n" * 20)
    names = list(packages) + ["Empty.zip", "Secret.zip", "Raw.zip", "Text.zip"]
    orvtest.write_manifest(site.folder / "updater.xml", {n: "1.0" for n in names})
    before = set(install.parent.iterdir())

    assert run_updater("/silent", "/autoinstall", "/nolaunch", "/server:" + site.url, "/installpath:" + w) == 20

    run = last_run(install)
    for name, error in (("Unsafe", "ZIP contains an unsafe path: ../evil.txt"), ("Folders", "ZIP contains no files."),
                        ("Empty", "ZIP has no entries."), ("Secret", "ZIP contains an encrypted or unsupported entry."),
                        ("Text", "miniz rejected the ZIP central directory.")):
        tries = [m for m in find(run, "Download FAIL") if site.url + name + ".zip" in m]
        assert len(tries) == 3 and all(m.endswith("Error=ZIP validation failed: " + error) for m in tries), tries
    folder = {name: extract + "%d-%s\\" % (names.index(name) + 1, name[:-4]) for name in names}
    failed = find(run, "Package extraction failed")
    expected = ["Package extraction failed; continuing next package | File=" + m for m in (
        "Corrupt.zip | CRC, decompression, or size verification failed for: broken.txt",
        "Clash1.zip | Cannot create extracted directory: %sclash\\sub" % folder["Clash1.zip"],
        "Clash2.zip | Cannot create extracted file directory: %sclash\\sub" % folder["Clash2.zip"],
        "Clash3.zip | Cannot create extracted file: %sclash | " % folder["Clash3.zip"],
        "TooLong.zip | Extracted path exceeds the Windows 7 path limit: %s%s" % (folder["TooLong.zip"],
                                                                                packages["TooLong.zip"][0][0]))]
    # The system's own words end the fourth.
    assert [line[:len(e)] if e.endswith("| ") else line for line, e in zip(failed, expected)] == expected
    assert len(failed) == len(expected) and re.search(r" \| .+ \(Win32 \d+\)$", failed[3])
    assert find(run, "Package install PASS") == ["Package install PASS | File=" + n for n in ("Names.zip", "Fits.zip",
                                                                                           "Raw.zip")]
    zip_of = lambda name: w + "\\AUPatch\\W7Standalone\\downloads\\" + name
    duplicate = "Extraction duplicate name; later entry kept | ZIP=" + zip_of("Names.zip")
    assert find(run, "Extraction duplicate", "WARN") == [
        duplicate + " | Earlier=Docs\\Read.txt | Later=docs\\READ.TXT", duplicate + " | Earlier=same.txt | Later=same.txt"]
    assert find(run, "Extraction PASS | ZIP=" + zip_of("Raw.zip")) == [
        "Extraction PASS | ZIP=%s | File=%s" % (zip_of("Raw.zip"), n) for n in ("caf\u00e9.txt", "keep.txt")]

    assert set(install.parent.iterdir()) == before, "nothing was written beside the install folder"
    files = orvtest.tree(install)
    assert {n: files[n] for n in files if not n.startswith(("AUPatch/", "updater-w7"))} == {
        "p\u00e4ckage/\u00fcn\u00efc\u00f8de.txt": b"utf-8 name", "\u65e5\u672c.txt": b"cjk", "Docs/Read.txt": b"second",
        "same.txt": b"two", "bin/big.bin": big, "bin/zero.bin": b"", packages["Fits.zip"][0][0]: b"long",
        "caf\u00e9.txt": b"ansi", "keep.txt": b"kept"}
    work = install / "AUPatch" / "W7Standalone"
    assert sorted(p.name for p in (work / "downloads").iterdir()) == sorted(
        ["Corrupt.zip", "Clash1.zip", "Clash2.zip", "Clash3.zip", "TooLong.zip"]), "a ZIP that did not extract stays"
    assert list((work / "extract").iterdir()) == []
    assert orvtest.read_state(install / "updater-w7.xml") == {"Names.zip": "1.0", "Fits.zip": "1.0", "Raw.zip": "1.0"}


def test_a_run_killed_mid_download_is_continued_by_the_next_from_what_it_kept(install, site, endpoints):
    data = os.urandom(3 * 1048576)
    orvtest.publish(site.folder, {"Pack.zip": ("1.0", {"pack.bin": data})})
    gate = site.folder.name
    # The relay holds the package after its first MiB until the gate opens.
    base = endpoints["fault"] + "cut/1048576-hold/" + gate + "/"
    args = ["/silent", "/autoinstall", "/nolaunch", "/server:" + base, "/installpath:" + winpath(install)]
    part = install / "AUPatch" / "W7Standalone" / "downloads" / "Pack.zip.part"
    updater = orvtest.wine_start([orvtest.EXE] + args)
    try:
        assert orvtest.ask_fault_server(endpoints, "arrived?name=" + gate)
        orvtest.wait_until(lambda: part.exists() and part.stat().st_size == 1048576, "the first MiB on disk")
    finally:
        orvtest.kill_group(updater)
    assert orvtest.ask_fault_server(endpoints, "open?name=" + gate)
    assert part.with_suffix(".part.resume").exists()

    assert run_updater(*args) == 0
    assert find(last_run(install), "Download resumed") == ["Download resumed | URL=%sPack.zip | Offset=1048576" % base]
    assert (install / "pack.bin").read_bytes() == data
    assert list(part.parent.iterdir()) == []
