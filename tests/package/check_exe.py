#!/usr/bin/env python3
"""Checks the shipped exe is what a clean Windows 7 can run: a 32-bit GUI
program with our version resource and application manifest, importing only
system DLLs (the MinGW runtime must be linked in, not shipped beside it).
objdump reads the headers and imports, 7z the resources. And it carries the
publisher key it was built with, or else says it is an unsigned development build."""
import argparse
import os
import re
import subprocess
import sys
import tempfile

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "shlwapi.dll",
                "advapi32.dll", "rstrtmgr.dll", "version.dll", "winhttp.dll", "wininet.dll", "urlmon.dll",
                "ole32.dll", "msvcrt.dll", "bcrypt.dll"}


def output(*command, encoding="utf-8"):
    return subprocess.run(command, check=True, capture_output=True).stdout.decode(encoding, errors="replace")


MARK = "unsigned development build"


def public_point(pem) -> bytes:
    """X||Y of a P-256 public key: the last 64 bytes of its DER form."""
    return subprocess.run(["openssl", "ec", "-pubin", "-in", pem, "-outform", "DER"], check=True,
                          capture_output=True).stdout[-64:]


def blanked_copy(exe, texts) -> str:
    with open(exe, "rb") as f:
        image = f.read()
    for text in texts:
        image = image.replace(text, b"x" * len(text))
    with tempfile.NamedTemporaryFile(suffix=".exe", delete=False) as copy:
        copy.write(image)
    return copy.name


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--publisher-key", help="the PEM public key the exe must carry; none: it must be marked")
    parser.add_argument("--without-key-and-mark", action="store_true", help="check a copy with both blanked out")
    parser.add_argument("exe")
    args = parser.parse_args()
    key = args.publisher_key
    if args.without_key_and_mark:
        args.exe = blanked_copy(args.exe, [MARK.encode("utf-16-le")] + ([public_point(key)] if key else []))
    headers = output(args.objdump, "-p", args.exe)
    dlls = sorted({d.lower() for d in re.findall(r"DLL Name:\s*(\S+)", headers)})
    version = re.sub(r"\s+", " ", output("7z", "x", "-so", args.exe, ".rsrc/version.txt", encoding="utf-16-le"))
    manifest = output("7z", "x", "-so", args.exe, ".rsrc/MANIFEST/1")
    with open(args.exe, "rb") as f:
        image = f.read()
    commas = args.version.replace(".", ",")
    checks = [
        # The test build's fault triggers must never reach users.
        ("free of the test build's fault triggers", "/orvtest:".encode("utf-16-le") not in image),
        ("free of the crash-safety sweep's fault points", "ORV_FAULT_".encode("utf-16-le") not in image),
        ("a PE32 i386 image", "file format pei-i386" in headers and re.search(r"^Magic\s+010b", headers, re.M)),
        ("the GUI subsystem", re.search(r"^Subsystem\s+00000002\b", headers, re.M)),
        ("only system DLLs imported (%s)" % ", ".join(dlls), dlls and set(dlls) <= ALLOWED_DLLS),
        # The one-call hash is Windows 10's; Windows 7's CNG hashes in steps.
        ("free of BCryptHash", not re.search(r"\sBCryptHash\s*$", headers, re.M)),
        ("file and product version " + args.version,
         "FILEVERSION %s " % commas in version and "PRODUCTVERSION %s " % commas in version),
    ] + [("%s %s" % item, '"%s", "%s"' % item in version) for item in (
        ("FileDescription", "ORV Windows 7 Standalone Updater"), ("OriginalFilename", "OrvUpdaterW7.exe"),
        ("FileVersion", args.version), ("ProductVersion", args.version))] + [
        ("manifest: " + what, needle in manifest) for what, needle in (
            ("requestedExecutionLevel asInvoker", 'level="asInvoker"'),
            ("Windows 7 in supportedOS", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"),
            ("Common Controls 6.0", 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'))]
    marked = '"SpecialBuild", "%s"' % MARK in version and "VS_FF_SPECIALBUILD" in version
    checks += [("keyed with " + key, public_point(key) in image), ("free of the mark " + MARK, not marked)] if key \
        else [("marked as an " + MARK, marked)]
    if args.without_key_and_mark:
        os.unlink(args.exe)
    failed = [what for what, ok in checks if not ok]
    for what in failed:
        print("FAIL: not", what)
    if not failed:
        print("product exe OK: PE32 i386, GUI, version %s, manifest, system imports only, %s" % (
            args.version, "keyed" if key else MARK))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
