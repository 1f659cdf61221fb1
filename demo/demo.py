#!/usr/bin/env python3
"""./run demo: one real update of a sample ORV installation, published the way
a publisher publishes.

A sample install folder with old versions (real version resources, a sample
database, a user's own report), and a release folder of the suite's new files
that orvpublish turns into a signed site (three deterministic packages, the
manifest and its signature), served by nginx on loopback. `orvpublish verify`
checks the site as the updater will and foretells what the installation will
fetch. Two mirrors that are not to be trusted are tried first and refused: one
serves a manifest changed after it was signed, the other the genuine
manifest with altered packages. Then the real updater (the test build that
carries the test publisher's key) runs under Wine with "/autoinstall" and its
window on the virtual display. Release 2 changes one package: orvpublish
rebuilds the site (the other packages keep their bytes), and the next run
fetches exactly that package; a last run finds the product up to date.
Everything it starts is stopped by process id; its files stay in the build
tree.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(sys.argv[1])
WINE_RUN, PREFIX = sys.argv[2], sys.argv[3]

OLD, NEW, DATA_2 = "27.0.1.0", "27.1.0.0", "27.1.1.0"
WORK = BUILD / "demo-run"
INSTALL = WORK / "ORV Suite"
DOCROOT = WORK / "server"
RELEASE = WORK / "release"
SITE = DOCROOT / "ORVW"
SAMPLES = BUILD / "demo"
EXE = BUILD / "bin" / "OrvUpdaterW7_signed.exe"
KEY = BUILD / "testkey" / "private.pem"
PUBLIC = KEY.parent / "public.pem"
PUBLISH = BUILD.parent / "native" / "orvpublish"
ANSWERER = BUILD / "tools" / "BoxAnswerer.exe"


def winpath(path) -> str:
    return "Z:" + str(Path(path).absolute()).replace("/", "\\")


def wine(*args, wait=True):
    proc = subprocess.Popen([WINE_RUN, PREFIX] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    return proc.wait(timeout=600) if wait else proc


def file_version(path: Path) -> str:
    """The file version from the version resource (7z reads PE resources)."""
    if not path.exists():
        return "-"
    text = subprocess.run(["7z", "x", "-so", str(path), ".rsrc/version.txt"], capture_output=True).stdout
    found = re.search(r"FILEVERSION\s+(\d+),(\d+),(\d+),(\d+)", text.decode("utf-16-le", "replace"))
    return ".".join(found.groups()) if found else "no version"


def manifest(packages: dict) -> str:
    rows = "".join("    <%s>%s</%s>\r\n" % (n, v, n) for n, v in packages.items())
    return '<?xml version="1.0" encoding="utf-8"?>\r\n<Updater>\r\n  <version>\r\n%s  </version>\r\n</Updater>\r\n' % rows


PACKAGES = {
    "Orvw_Lum.zip": {"Orvw_Lum.exe": SAMPLES / ("DemoMain-%s.exe" % NEW),
                     "Reports/Monthly.rpt": b"Monthly report template shipped with 27.1\r\n",
                     "Help/Getting Started.txt": b"What is new in ORV 27.1\r\n"},
    "OrvReports.zip": {"OrvReports.dll": SAMPLES / ("DemoReports-%s.dll" % NEW),
                       "Templates/Invoice.xml": b"<invoice version=\"27.1\"/>\r\n"},
    "OrvData.zip": {"OrvData.json": b'{"schema": "27.1", "codes": 412}\r\n',
                    "Data/Codes.csv": b"code;name\r\n1;ORV\r\n"},
}
MAIN_FILES = {"Orvw_Lum.zip": "Orvw_Lum.exe", "OrvReports.zip": "OrvReports.dll", "OrvData.zip": "OrvData.json"}
# The publisher's layout: which release files make which package, and where
# each package's version comes from.
LAYOUT = """package Orvw_Lum.zip
version-from Orvw_Lum.exe
files Orvw_Lum.exe
files Reports/*.rpt
files Help/**

package OrvReports.zip
version-from OrvReports.dll
files OrvReports.dll
files Templates/*

package OrvData.zip
version %s
files OrvData.json
files Data/*
"""


def orvpublish(*args, show=True):
    """Runs the publisher's tool; prints what it says, as a publisher sees it."""
    done = subprocess.run([str(PUBLISH)] + [str(a) for a in args], capture_output=True, text=True)
    if show:
        print("$ orvpublish " + " ".join(shlex.quote(str(a).replace(str(WORK) + "/", "")) for a in args))
        for line in (done.stdout + done.stderr).splitlines():
            print("  " + line)
        print()
    if done.returncode != 0:
        raise SystemExit("orvpublish %s failed: %s" % (args[0], done.stderr.strip()))
    return done


def write_release(data_version):
    for files in PACKAGES.values():
        for entry, data in files.items():
            path = RELEASE / "files" / entry
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(data.read_bytes() if isinstance(data, Path) else data)
    (RELEASE / "layout.txt").write_text(LAYOUT % data_version)


def build_site():
    return orvpublish("build", "--layout", RELEASE / "layout.txt", "--release", RELEASE / "files", "--site", SITE,
                      "--key", KEY)


def prepare():
    shutil.rmtree(WORK, ignore_errors=True)
    (INSTALL / "Reports").mkdir(parents=True)
    shutil.copyfile(SAMPLES / ("DemoMain-%s.exe" % OLD), INSTALL / "Orvw_Lum.exe")
    shutil.copyfile(SAMPLES / ("DemoReports-%s.dll" % OLD), INSTALL / "OrvReports.dll")
    (INSTALL / "OrvData.json").write_bytes(b'{"schema": "27.0", "codes": 398}\r\n')
    (INSTALL / "orvMain.accdb").write_bytes(b"Standard Jet DB sample database " * 512)
    (INSTALL / "Reports" / "Monthly.rpt").write_bytes(b"The customer's own monthly report\r\n")
    (INSTALL / "updater-w7.xml").write_text(manifest({n: OLD for n in PACKAGES}), newline="")
    write_release(NEW)
    print("Release 1: every package at %s, from %s\n" % (NEW, RELEASE))
    build_site()
    # A mirror that changed the signed manifest (a higher version), and one
    # that serves the genuine signed manifest with altered packages.
    forged, altered = DOCROOT / "forged", DOCROOT / "altered"
    shutil.copytree(SITE, forged)
    (forged / "updater.xml").write_bytes((SITE / "updater.xml").read_bytes().replace(NEW.encode(), b"27.9.0.0"))
    shutil.copytree(SITE, altered)
    for name in PACKAGES:
        data = bytearray((altered / name).read_bytes())
        data[len(data) // 2] ^= 0x01
        (altered / name).write_bytes(bytes(data))


def start_server() -> str:
    out = subprocess.run([sys.executable, ROOT / "tests" / "servers" / "testservers.py", "start", "--http-only",
                          "--docroot", DOCROOT, "--dir", WORK / "nginx"], check=True, capture_output=True,
                         text=True).stdout
    values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    return values["http"] + "ORVW/"


def stop_server():
    subprocess.run([sys.executable, ROOT / "tests" / "servers" / "testservers.py", "stop", "--dir", WORK / "nginx"],
                   check=False, capture_output=True)


def read_box(record: Path) -> dict:
    box = {}
    for line in record.read_text(encoding="utf-8").splitlines():
        key, _, value = line.partition("=")
        box[key] = re.sub(r"\\(.)", lambda m: {"n": "\n", "r": ""}.get(m.group(1), m.group(1)), value)
    return box


def run_updater(server: str, shot: Path):
    """One run with the window; the final message box is photographed, then
    answered with OK. Returns the exit code and the box."""
    record = WORK / (shot.stem + ".txt")
    watcher = wine(ANSWERER, "/press:none", "/caption:OrvUpdaterW7", "/timeout:300000", "/out:" + winpath(record),
                   wait=False)
    updater = wine(EXE, "/autoinstall", "/installpath:" + winpath(INSTALL), "/server:" + server, wait=False)
    watcher.wait(timeout=330)
    time.sleep(0.5)
    subprocess.run(["import", "-display", os.environ["DISPLAY"], "-window", "root", str(shot)], check=False)
    wine(ANSWERER, "/press:ok", "/caption:OrvUpdaterW7")
    return updater.wait(timeout=120), read_box(record) if record.exists() else {}


def refused(server: str, title: str):
    """A silent run against an untrusted mirror: prints its exit code, why it
    refused, and whether the install folder kept every file."""
    before = {p: p.read_bytes() for p in INSTALL.rglob("*") if p.is_file() and "AUPatch" not in p.parts}
    code = wine(EXE, "/silent", "/autoinstall", "/nolaunch", "/installpath:" + winpath(INSTALL), "/server:" + server)
    lines = (INSTALL / "updater-w7-trace.log").read_text(encoding="utf-8").split("Session start | ")[-1]
    # A reason ends where its line, or the escaped line break of a summary, does.
    reasons = sorted(set(re.findall(r"(Manifest signature [^\\\r\n]*|Package SHA-256 mismatch[^\\\r\n]*)", lines)))
    changed = [p.name for p, data in before.items() if p.name != "updater-w7-trace.log" and p.read_bytes() != data]
    print("%s: exit code %d" % (title, code))
    for reason in reasons:
        print("  refused: " + reason)
    print("  files of the installation changed: %s\n" % (", ".join(changed) or "none"))
    return code


def state_versions(path: Path) -> dict:
    text = path.read_bytes().decode("utf-8") if path.exists() else ""
    return dict(re.findall(r"<([^ >/]+\.zip)[^>]*>([^<]*)<", text))


def last_session() -> str:
    return (INSTALL / "updater-w7-trace.log").read_text(encoding="utf-8").split("Session start | ")[-1]


def report_update(before, code, box):
    after = {n: (state_versions(INSTALL / "updater-w7.xml").get(n, "-"), file_version(INSTALL / f))
             for n, f in MAIN_FILES.items()}
    print("Package            state before -> after      main file version before -> after")
    for name in PACKAGES:
        print("%-18s %-9s -> %-14s %-10s -> %s" % (name, before[name][0], after[name][0], before[name][1],
                                                     after[name][1]))
    for folder in sorted(INSTALL.glob("Tarn*")):
        print("\nBackup folder %s:" % folder)
        for path in sorted(p for p in folder.rglob("*") if p.is_file()):
            print("  %s (%d bytes)" % (path.relative_to(folder), path.stat().st_size))
    print("\nThe customer's own report kept: %s" % (INSTALL / "Reports" / "Monthly.rpt").read_text().strip())
    launched = INSTALL / "Orvw_Lum.exe.launched"
    print("Main program launched after the update: %s" % ("yes" if launched.exists() else "no"))
    print("\nLast lines of the trace log (%s):" % (INSTALL / "updater-w7-trace.log"))
    lines = (INSTALL / "updater-w7-trace.log").read_text(encoding="utf-8").splitlines()
    for line in lines[-14:]:
        print("  " + line)
    print("\nFinal message box: %r" % box.get("text", "(none seen)"))
    print("Screenshot of it:  %s" % (WORK / "final-box.png"))
    print("Exit code: %d\n" % code)


def release_two(server):
    """Release 2 changes the data package only: the site is built again, the
    other packages keep their bytes, and the update fetches that one."""
    (RELEASE / "files" / "OrvData.json").write_bytes(b'{"schema": "27.1", "codes": 415}\r\n')
    (RELEASE / "layout.txt").write_text(LAYOUT % DATA_2)
    print("Release 2: OrvData.json changed, OrvData.zip is now %s\n" % DATA_2)
    build_site()
    orvpublish("verify", "--site", SITE, "--key", PUBLIC, "--install", INSTALL)
    code, box = run_updater(server, WORK / "release-2-box.png")
    fetched = re.findall(r"Download PASS \| Backend=\w+ \| URL=\S*/([^/\s]+\.zip)", last_session())
    print("Release 2 update: %r, exit code %d; packages fetched: %s (screenshot %s)" % (
        box.get("text", "(none seen)"), code, ", ".join(fetched) or "none", WORK / "release-2-box.png"))
    return code, fetched


def main():
    prepare()
    # The virtual display has no window manager: let Wine draw the title bars.
    wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Decorated", "/d", "N", "/f")
    before = {n: (state_versions(INSTALL / "updater-w7.xml").get(n, "-"), file_version(INSTALL / f))
              for n, f in MAIN_FILES.items()}
    server = start_server()
    try:
        print("Sample install folder: %s\nUpdate server:         %s\n" % (INSTALL, server))
        print("The site is signed with %s; the updater carries its public key.\n" % KEY)
        orvpublish("verify", "--site", SITE, "--key", PUBLIC, "--install", INSTALL)
        forged_code = refused(server.replace("ORVW/", "forged/"), "A mirror serving a changed manifest")
        altered_code = refused(server.replace("ORVW/", "altered/"), "A mirror serving altered packages")
        code, box = run_updater(server, WORK / "final-box.png")
        report_update(before, code, box)
        code2, fetched = release_two(server)
        code3, box3 = run_updater(server, WORK / "last-run-box.png")
        print("\nLast run: %r, exit code %d (screenshot %s)" % (box3.get("text", "(none seen)"), code3,
                                                               WORK / "last-run-box.png"))
    finally:
        stop_server()
    print("\nEverything the demo made is in %s" % WORK)
    good = (code, code2, code3, forged_code, altered_code) == (0, 0, 0, 10, 20) and fetched == ["OrvData.zip"]
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main())
