"""The package phase as users meet it: which packages install, what stays
pending, what the final box says, and that the next run finishes the work."""
import shutil
import zipfile
from pathlib import Path

import orvtest
from orvtest import find, last_run, run_updater, winpath


def corrupt_zip(path: Path, name: str, data: bytes):
    """A ZIP whose directory is sound but whose stored bytes fail their CRC."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.writestr(name, data)
    raw = bytearray(path.read_bytes())
    at = raw.index(data)
    raw[at] ^= 0xFF
    path.write_bytes(bytes(raw))


def test_a_failed_package_stays_pending_until_a_later_run_installs_it(install, site):
    manifest = {"First_Pack.zip": "1.1", "Missing.zip": "2.0", "Third.zip": "3.1"}
    orvtest.write_manifest(site.folder / "updater.xml", manifest)
    orvtest.make_zip(site.folder / "First_Pack.zip", {"First_Pack.dll": b"first 1.1", "Docs/Read Me.txt": "read me"})
    orvtest.make_zip(site.folder / "Third.zip", {"third.dat": b"third 3.1"})
    launched = install / "Orvw_Lum.exe.launched"
    shutil.copyfile(orvtest.TOOLS_DIR / "LaunchRecorder.exe", install / "Orvw_Lum.exe")
    args = ["/autoinstall", "/server:" + site.url, "/installpath:" + winpath(install)]

    boxes = orvtest.BoxAnswerer(install.parent, press="ok", caption="OrvUpdaterW7")
    assert run_updater(*args) == 20
    box, = boxes.finish()

    assert box["icon"] == "error"
    assert box["text"] == ("Completed 2 of 3 package(s).\r\n\r\nThe following package(s) remain pending and will "
                           "retry next run:\r\n- Missing.zip (download failed)\r\n\r\nFull log: "
                           + winpath(install / "updater-w7-trace.log"))
    assert (install / "First_Pack.dll").read_bytes() == b"first 1.1"
    assert (install / "Docs" / "Read Me.txt").read_text() == "read me"
    assert (install / "third.dat").read_bytes() == b"third 3.1"
    assert orvtest.read_state(install / "updater-w7.xml") == {"First_Pack.zip": "1.1", "Third.zip": "3.1"}
    run = last_run(install)
    assert find(run, "Package install PASS") == ["Package install PASS | File=First_Pack.zip",
                                                 "Package install PASS | File=Third.zip"]
    unavailable, = find(run, "Package unavailable")
    assert unavailable.startswith("Package unavailable; continuing next package | File=Missing.zip\r\n"
                                  "WinHTTP %sMissing.zip -> HTTP status 404\r\n" % site.url)
    work = install / "AUPatch" / "W7Standalone"
    assert list((work / "downloads").iterdir()) == [] and list((work / "extract").iterdir()) == []
    assert launched.read_text().count("\n") == 1, "failures do not keep the product from starting"

    # The next run selects only what is still pending, and finishes it once
    # the server has it.
    orvtest.make_zip(site.folder / "Missing.zip", {"Data/missing.txt": "now here"})
    assert run_updater("/silent", "/nolaunch", *args) == 0
    run = last_run(install)
    assert len(find(run, "Package current | ")) == 2
    assert find(run, "Package install PASS") == ["Package install PASS | File=Missing.zip"]
    assert (install / "Data" / "missing.txt").read_text() == "now here"
    assert orvtest.read_state(install / "updater-w7.xml") == {"First_Pack.zip": "1.1", "Third.zip": "3.1",
                                                              "Missing.zip": "2.0"}
    assert launched.read_text().count("\n") == 1, "/nolaunch never launches"


def test_without_autoinstall_a_silent_run_postpones(install, site):
    orvtest.write_manifest(site.folder / "updater.xml", {"Orvw_Lum.zip": "9.0"})
    orvtest.make_zip(site.folder / "Orvw_Lum.zip", {"Orvw_Lum.exe": b"new"})
    assert run_updater("/silent", "/server:" + site.url, "/installpath:" + winpath(install)) == 0
    assert find(last_run(install), "User postponed update installation.")
    assert not [m for m in find(last_run(install), "Download") if "Orvw_Lum.zip" in m]
    assert sorted(p.name for p in install.iterdir()) == ["AUPatch", "updater-w7-trace.log"]


def test_hostile_and_broken_packages_fail_alone(install, site, tmp_path):
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
