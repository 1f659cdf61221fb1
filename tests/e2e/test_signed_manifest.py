"""Signed manifests, as an updater built with a publisher's key meets them:
every forged, replayed, stale or unsigned manifest and every package that is
not the one announced is refused with its own text and installs nothing,
also while the accepted serial cannot be read; the genuine manifest behind a
forging server installs, where the keyless development build takes the
forger's."""
import hashlib
import os
import re
import shutil
import subprocess
from pathlib import Path

import orvtest
from orvtest import find, last_run, run_updater, winpath

SIGNED = Path(os.environ["ORV_TEST_EXE_SIGNED"])
KEY = orvtest.SIGNING_KEY
MISMATCH = "Manifest signature does not match the publisher's key."
BUILTIN_FOLDER = "fl/dfile/download/ORVW/"
MIB = 1048576


def genuine(folder, version="2.0", serial="5"):
    """A signed folder with the package Orvw_Lum.zip of that version."""
    orvtest.publish_signed(folder, {"Orvw_Lum.zip": (version, {"App.dat": "genuine " + version})}, "--serial", serial)
    return folder


def edit(path, change):
    path.write_bytes(change(path.read_bytes()))


def variant(tmp_path, name, change=lambda folder: None, **made):
    folder = genuine(tmp_path / name, **made)
    change(folder)
    return folder


def resign(folder, change=lambda data: data, key=KEY):
    """The manifest changed, with a valid signature of key over the change."""
    edit(folder / "updater.xml", change)
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(key), "-out", str(folder / "updater.xml.sig"),
                    str(folder / "updater.xml")], check=True)


def other_key(folder):
    key = folder / "other.pem"
    subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", str(key)], check=True)
    resign(folder, key=key)


def forge(folder):
    # A newer version with a package that is a valid ZIP, under the genuine signature.
    orvtest.make_zip(folder / "Orvw_Lum.zip", {"App.dat": "forged"})
    edit(folder / "updater.xml", lambda data: data.replace(b">2.0<", b">9.0<"))


def outside_work(install) -> dict:
    return {k: v for k, v in orvtest.tree(install).items()
            if not k.startswith(("AUPatch/", "updater-w7-trace", "updater-w7-serial", "Orvw_Lum.exe.launched"))}


def test_only_the_genuine_manifest_and_packages_install(install, tmp_path, endpoints, site):
    shutil.copyfile(orvtest.TOOLS_DIR / "LaunchRecorder.exe", install / "Orvw_Lum.exe")
    orvtest.write_manifest(install / "updater-w7.xml", {"Orvw_Lum.zip": "1.0"})
    (install / "App.dat").write_text("installed 1.0")
    before = outside_work(install)
    args = ["/silent", "/autoinstall", "/installpath:" + winpath(install)]

    def refused(folder, text, code, exe=SIGNED):
        assert run_updater("/manifestfile:" + winpath(folder / "updater.xml"), *args, exe=exe) == code, text
        assert text in "".join(m for lv, m in last_run(install) if lv == "FAIL"), text
        assert outside_work(install) == before, text

    # Manifests refused before any package is fetched.
    for name, change, text in [
            ("missing", lambda f: (f / "updater.xml.sig").unlink(),
             "Manifest signature updater.xml.sig is missing or empty."),
            ("wrongkey", other_key, MISMATCH),
            ("truncated", lambda f: edit(f / "updater.xml.sig", lambda data: data[:-1]), MISMATCH),
            ("otherbytes", forge, MISMATCH),
            ("expired", lambda f: resign(f, lambda d: re.sub(rb'expires="[^"]*"', b'expires="2020-01-01"', d)),
             "Manifest expired on 2020-01-01."),
            # Validly signed, but an entry lacks its hash.
            ("stripped", lambda f: resign(f, lambda d: re.sub(rb' sha256="\w+"', b"", d)),
             "Manifest entry Orvw_Lum.zip has no size or sha256.")]:
        refused(variant(tmp_path, name, change), text, 10)

    # A package with one byte changed fails, signed or not, and stays pending.
    changed = variant(tmp_path, "changed", lambda f: edit(f / "Orvw_Lum.zip", lambda d: d[:-1] + bytes([d[-1] ^ 1])))
    expected = re.search(r'sha256="(\w+)"', (changed / "updater.xml").read_text()).group(1)
    received = hashlib.sha256((changed / "Orvw_Lum.zip").read_bytes()).hexdigest()
    for exe in (SIGNED, orvtest.EXE):
        refused(changed, "Package SHA-256 mismatch: expected %s, received %s." % (expected, received), 20, exe=exe)

    # A server that sends more than the announced size is cut off by every backend.
    genuine(site.folder)
    size = (site.folder / "Orvw_Lum.zip").stat().st_size
    endless = endpoints["fault"] + "endless/" + site.folder.name + "/"
    assert run_updater("/server:" + endless, *args, exe=SIGNED) == 20
    cut = "%sOrvw_Lum.zip -> Download exceeded the announced size of %d bytes." % (endless, size)
    assert [b for b in ("WinHTTP", "WinINet", "URLMon") if "%s %s" % (b, cut) in
            find(last_run(install), "Package unavailable")[0]] == ["WinHTTP", "WinINet", "URLMon"]
    assert outside_work(install) == before

    # The man in the middle serves a manifest and package of his own, signed
    # with his own key, before the genuine server: the keyed build refuses
    # them, the keyless build, which says it is a development build, installs them.
    orvtest.publish(site.folder / "mitm", {"Orvw_Lum.zip": ("9.0", {"App.dat": "forged"})})
    other_key(site.folder / "mitm")
    forger = site.url + "mitm/"
    builtin = Path(endpoints["docroot_unix"]) / BUILTIN_FOLDER
    try:
        genuine(builtin)
        assert run_updater("/server:" + forger, *args, exe=SIGNED) == 0
        run = last_run(install)
        assert run[0] == ("INFO", "Session start | Version=27.0.0.4 | Executable=" + winpath(SIGNED))
        assert find(run, "Manifest validation FAIL") == [
            "Manifest validation FAIL | URL=%supdater.xml | %s" % (forger, MISMATCH)]
        assert find(run, "Manifest selected") == [
            "Manifest selected | URL=%s%supdater.xml | Packages=1" % (endpoints["builtin"], BUILTIN_FOLDER)]
    finally:
        shutil.rmtree(Path(endpoints["docroot_unix"]) / "fl", ignore_errors=True)
    assert (install / "App.dat").read_text() == "genuine 2.0"
    assert orvtest.read_state(install / "updater-w7.xml") == {"Orvw_Lum.zip": "2.0"}
    assert (install / "updater-w7-serial.txt").read_text() == "5"

    # While another program holds the accepted serial's file, no signed
    # manifest is taken, and the serial stays.
    before = outside_work(install)
    replayed = genuine(tmp_path / "replayed", version="3.0", serial="4")
    with orvtest.Holder(tmp_path, install / "updater-w7-serial.txt") as holder:
        refused(replayed, "Accepted serial file cannot be read: ", 10)
        assert " (Win32 32)." in find(last_run(install), "Manifest unavailable")[0]
        holder.release()
    assert (install / "updater-w7-serial.txt").read_text() == "5"
    # A replayed older signed manifest, even of a newer version, is refused.
    refused(replayed, "Manifest serial 4 is older than the accepted serial 5.", 10)

    assert run_updater("/server:" + forger, *args) == 0
    assert last_run(install)[0] == ("INFO", "Session start | Version=27.0.0.4 | Build=unsigned development build | "
                                    "Executable=" + winpath(orvtest.EXE))
    assert (install / "App.dat").read_text() == "forged"


def test_a_link_cut_every_8_mib_still_brings_a_64_mib_package_in_one_try(install, site, endpoints):
    # Every answer dies after 8 MiB: each try used to end there, so the package stayed pending on every run.
    big = os.urandom(64 * MIB - 65536)
    orvtest.publish_signed(site.folder, {"Orvw_Lum.zip": ("2.0", {"Big.bin": big})})
    size = (site.folder / "Orvw_Lum.zip").stat().st_size
    base = endpoints["fault"] + "cut/8388608/" + site.folder.name + "/"
    served = Path(endpoints["http_log"])
    logged = served.stat().st_size
    assert run_updater("/silent", "/autoinstall", "/nolaunch", "/server:" + base, "/installpath:" + winpath(install),
                       exe=SIGNED, timeout=600) == 0
    run = last_run(install)
    url = base + "Orvw_Lum.zip"
    assert find(run, "Download resumed") == ["Download resumed | URL=%s | Offset=%d" % (url, n * 8 * MIB)
                                             for n in range(1, 8)]
    assert find(run, "Download")[-1] == "Download PASS | Backend=WinHTTP | URL=" + url
    sent = re.findall(r'"GET /%s/Orvw_Lum.zip HTTP/1.1" 20[06] (\d+)' % site.folder.name,
                      served.read_text()[logged:])
    assert size <= sum(map(int, sent)) <= 1.05 * size, sent
    assert (install / "Big.bin").read_bytes() == big
    assert list((install / "AUPatch" / "W7Standalone" / "downloads").iterdir()) == []
