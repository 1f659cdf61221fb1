"""The publisher's side as a publisher uses it: orvpublish builds release 1
from a release folder of real PE files, the updater (keyed with the test
publisher's key) installs it from nginx under Wine; release 2 changes one
package, and only that package's bytes change and only it is fetched, as
`verify --install` foretold. verify catches what a broken or replayed site
holds; a release the updater would refuse is refused with the updater's text
and leaves the site byte for byte as it was."""
import os
import re
import shutil
import subprocess
from pathlib import Path

import orvtest
from orvtest import find, last_run, orvpublish, run_updater, tree, winpath

SIGNED = Path(os.environ["ORV_TEST_EXE_SIGNED"])
PUBLIC = orvtest.SIGNING_KEY.parent / "public.pem"
DEMO = orvtest.BUILD_DIR / "demo"
LAYOUT = """# the suite, as its publisher lays it out
package Orvw_Lum.zip
  version-from Orvw_Lum.exe
  files Orvw_Lum.exe
  files Help/**
package OrvReports.zip
  version-from OrvReports.dll
  files OrvReports.dll
  files Templates/*.xml
package OrvData.zip
  version 27.1.0.0
  files OrvData.json
"""
LONG = "Help/" + "d" * 120 + "/" + "f" * 110 + ".txt"


def build(release, site, layout=LAYOUT):
    return orvtest.build_site(release, layout, site)


def selection(lines):
    return [line.strip() for line in lines if line.strip().startswith(("Package selected", "Package current"))]


def make_certificate(folder, name):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", folder / (name + ".key"), "-out", folder / (name + ".crt"), "-days", "2", "-subj",
                    "/CN=" + name, "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)


def test_a_release_reaches_the_customer_and_nothing_the_updater_refuses_is_published(install, site, tmp_path):
    keys = tmp_path / "keys"
    assert orvpublish("keygen", keys).returncode == 0
    made = tree(keys)
    again = orvpublish("keygen", keys)
    assert again.returncode == 1 and "never overwritten" in again.stderr and tree(keys) == made

    release = tmp_path / "release"
    files = release / "files"
    orvtest.write_files(files, {"Help/Read me.txt": "ORV 27", "Templates/Invoice.xml": "<invoice/>",
                                "OrvData.json": '{"codes": 412}'})
    shutil.copyfile(DEMO / "DemoMain-27.0.1.0.exe", files / "Orvw_Lum.exe")
    shutil.copyfile(DEMO / "DemoReports-27.1.0.0.dll", files / "OrvReports.dll")
    assert build(release, site.folder).returncode == 0
    first = tree(site.folder)
    args = ["/silent", "/autoinstall", "/nolaunch", "/installpath:" + winpath(install), "/server:" + site.url]
    assert run_updater(*args, exe=SIGNED) == 0
    assert orvtest.read_state(install / "updater-w7.xml") == {
        "Orvw_Lum.zip": "27.0.1.0", "OrvReports.zip": "27.1.0.0", "OrvData.zip": "27.1.0.0"}

    # Release 2: a new main program, Authenticode-signed; a key that is not
    # the certificate's signs nothing.
    make_certificate(tmp_path, "ORV Publisher")
    make_certificate(tmp_path, "Other")
    shutil.copyfile(DEMO / "DemoMain-27.1.0.0.exe", files / "Orvw_Lum.exe")
    unsigned = (files / "Orvw_Lum.exe").read_bytes()
    cert, key, other = tmp_path / "ORV Publisher.crt", tmp_path / "ORV Publisher.key", tmp_path / "Other.key"
    refused = orvpublish("sign-exe", "--cert", cert, "--key", other, files / "Orvw_Lum.exe")
    assert refused.returncode == 1 and "osslsigncode cannot sign it" in refused.stderr
    assert (files / "Orvw_Lum.exe").read_bytes() == unsigned
    assert orvpublish("sign-exe", "--cert", cert, "--key", key, files / "Orvw_Lum.exe").returncode == 0
    assert (files / "Orvw_Lum.exe").read_bytes() != unsigned
    assert build(release, site.folder).returncode == 0
    second = tree(site.folder)
    assert sorted(n for n in second if first[n] != second[n]) == ["Orvw_Lum.zip", "updater.xml", "updater.xml.sig"]

    # verify foretells the updater's selection line for line; only the
    # changed package is fetched.
    foretold = orvpublish("verify", "--site", site.folder, "--key", PUBLIC, "--install", install)
    assert foretold.returncode == 0, foretold.stderr
    assert run_updater(*args, exe=SIGNED) == 0
    run = last_run(install)
    assert selection(foretold.stdout.splitlines()) == selection(m for _, m in run)
    assert [m for m in find(run, "Download PASS") if ".zip" in m] == [
        "Download PASS | Backend=WinHTTP | URL=%sOrvw_Lum.zip" % site.url]
    assert orvtest.read_state(install / "updater-w7.xml")["Orvw_Lum.zip"] == "27.1.0.0"

    # What verify catches, each with the updater's own text.
    def broken(name, change):
        folder = tmp_path / name
        shutil.copytree(site.folder, folder)
        change(folder)
        return folder

    def flip(path):
        data = bytearray(path.read_bytes())
        data[len(data) // 2] ^= 1
        path.write_bytes(bytes(data))

    def expire(folder):
        text = re.sub(r'expires="[^"]*"', 'expires="2020-01-01"', (folder / "updater.xml").read_text())
        (folder / "updater.xml").write_text(text)
        subprocess.run(["openssl", "dgst", "-sha256", "-sign", orvtest.SIGNING_KEY, "-out",
                        folder / "updater.xml.sig", folder / "updater.xml"], check=True)

    sha = re.search(r'OrvData.zip size="\d+" sha256="(\w+)"', (site.folder / "updater.xml").read_text()).group(1)
    for folder, text in [
            (broken("tampered", lambda f: flip(f / "OrvData.zip")),
             "OrvData.zip: Package SHA-256 mismatch: expected %s, received " % sha),
            (broken("stale", lambda f: (f / "updater.xml.sig").write_bytes(first["updater.xml.sig"])),
             "updater.xml.sig: Manifest signature does not match the publisher's key."),
            (broken("expired", expire), "updater.xml: Manifest expired on 2020-01-01."),
            (broken("replayed", lambda f: [(f / n).write_bytes(first[n]) for n in first]),
             "updater.xml: Manifest serial 1 is older than the accepted serial 2.")]:
        caught = orvpublish("verify", "--site", folder, "--key", PUBLIC, "--install", install)
        assert caught.returncode == 1 and text in caught.stderr, (folder.name, caught.stderr)

    # Releases the updater would refuse are refused, and the site stays.
    prefix = r"C:\Program Files (x86)\ORV Suite\AUPatch\W7Standalone\extract\1-Orvw_Lum" + "\\"
    for added, layout, text in [
            ({"Help/CON.txt": "x"}, LAYOUT, "Orvw_Lum.zip: ZIP contains an unsafe path: Help/CON.txt"),
            ({LONG: "x"}, LAYOUT, "Orvw_Lum.zip: Extracted path exceeds the Windows 7 path limit: " +
             prefix + LONG.replace("/", "\\")),
            ({"Help/readme.txt": "a", "Help/README.txt": "b"}, LAYOUT,
             r"Orvw_Lum.zip: entries Help\README.txt and Help\readme.txt name one file on Windows"),
            ({}, LAYOUT.replace("27.1.0.0", "27.0.9.0"), "OrvData.zip 27.0.9.0 is older than 27.1.0.0 on the site"),
            ({"Changed.json": "{}"}, LAYOUT + "files Changed.json\n",
             "OrvData.zip changed, but keeps version 27.1.0.0"),
            ({}, LAYOUT + "package Empty.zip\nversion 1.0\n", "Empty.zip: ZIP has no entries."),
            ({}, LAYOUT + "package Bad.zip\nversion 1.x\nfiles Help/*\n", "1.x is no version the updater can order")]:
        orvtest.write_files(files, added)
        refused = build(release, site.folder, layout)
        for name in added:
            (files / name).unlink()
        assert refused.returncode == 1 and text in refused.stderr, (text, refused.stderr)
        assert tree(site.folder) == second and sorted(os.listdir(site.folder.parent)).count(site.folder.name) == 1
        assert not [n for n in os.listdir(site.folder.parent) if n.startswith(site.folder.name + ".")]
