#!/usr/bin/env python3
"""Checks the shipped exe is what a clean Windows 7 can run: a 32-bit GUI
program with our version resource and application manifest, importing only
system DLLs (the MinGW runtime must be linked in, not shipped beside it).
objdump reads the headers and imports, 7z the resources."""
import argparse
import re
import subprocess
import sys

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "shlwapi.dll",
                "advapi32.dll", "rstrtmgr.dll", "version.dll", "winhttp.dll", "wininet.dll", "urlmon.dll",
                "ole32.dll", "msvcrt.dll", "bcrypt.dll"}


def output(*command, encoding="utf-8"):
    return subprocess.run(command, check=True, capture_output=True).stdout.decode(encoding, errors="replace")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("exe")
    args = parser.parse_args()
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
    failed = [what for what, ok in checks if not ok]
    for what in failed:
        print("FAIL: not", what)
    if not failed:
        print("product exe OK: PE32 i386, GUI, version %s, manifest, system imports only" % args.version)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
