#!/usr/bin/env python3
"""Checks the shipped exe is what a clean Windows 7 can run: a 32-bit GUI
program with our version resource and application manifest, importing only
system DLLs (the MinGW runtime must be linked in, not shipped beside it).
objdump reads the headers and imports, 7z the resources. And it carries the
publisher key it was built with, or else says it is an unsigned development build."""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "shlwapi.dll",
                "advapi32.dll", "rstrtmgr.dll", "version.dll", "winhttp.dll", "wininet.dll", "urlmon.dll",
                "ole32.dll", "msvcrt.dll", "bcrypt.dll"}

# Found by the loader only in the system's own list, never beside the exe,
# on every Windows from 7 on: the only DLLs the exe may import before its
# first line runs. Everything else is delay-loaded.
KNOWN_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shlwapi.dll", "ole32.dll", "msvcrt.dll"}
NO_SEH, LOAD_CONFIG, DELAY_IMPORT = 0x400, 10, 13


class Image:
    """The few parts of a PE32 image the checks read that objdump does not
    show: DllCharacteristics, data directories, delay-loaded DLLs and their
    functions, section names."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        count, header_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        self.characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(16)]
        self.sections = [struct.unpack_from("<8s4I", data, optional + header_size + 40 * i) for i in range(count)]
        self.delayed = {}
        rva, size = self.directories[DELAY_IMPORT]
        for at in range(rva, rva + size - 32, 32):
            _, name, _, _, names = struct.unpack_from("<5I", data, self.offset(at))
            self.delayed[self.text(name).lower()] = [self.text(entry + 2) for entry in self.thunks(names)]

    def offset(self, rva):
        for _, virtual_size, address, _, raw in self.sections:
            if address <= rva < address + virtual_size:
                return raw + rva - address
        raise ValueError("RVA %#x is in no section" % rva)

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def thunks(self, rva):
        """The name entries of an import name table (ordinal imports left out)."""
        at = self.offset(rva)
        while struct.unpack_from("<I", self.data, at)[0]:
            entry = struct.unpack_from("<I", self.data, at)[0]
            if not entry & 0x80000000:
                yield entry
            at += 4

    def section_names(self):
        return [name.rstrip(b"\0").decode("ascii", "replace") for name, *_ in self.sections]


def boundary_checks(image, static_dlls):
    """What keeps the exe safe where a standard user can plant files: no DLL
    looked up beside it, no exception handler an overwritten stack could
    jump to, no debug sections shipped."""
    config = image.directories[LOAD_CONFIG]
    return [
        ("statically importing only KnownDLLs (%s)" % ", ".join(static_dlls), set(static_dlls) <= KNOWN_DLLS),
        ("delay-loading only system DLLs (%s)" % ", ".join(sorted(image.delayed)),
         image.delayed and set(image.delayed) <= ALLOWED_DLLS),
        ("marked as handling no structured exceptions", image.characteristics & NO_SEH),
        ("a load-configuration record with an exception handler table",
         config[1] >= 0x48 and struct.unpack_from("<I", image.data, image.offset(config[0]))[0] == config[1] and
         struct.unpack_from("<I", image.data, image.offset(config[0]) + 0x40)[0] != 0),
        ("free of debug sections", not [n for n in image.section_names() if n.startswith((".debug", "/"))]),
    ]


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
    pe = Image(image)
    delayed_functions = [f for functions in pe.delayed.values() for f in functions]
    commas = args.version.replace(".", ",")
    checks = [
        # The test build's fault triggers must never reach users.
        ("free of the test build's fault triggers", "/orvtest:".encode("utf-16-le") not in image),
        ("free of the crash-safety sweep's fault points", "ORV_FAULT_".encode("utf-16-le") not in image),
        ("a PE32 i386 image", "file format pei-i386" in headers and re.search(r"^Magic\s+010b", headers, re.M)),
        ("the GUI subsystem", re.search(r"^Subsystem\s+00000002\b", headers, re.M)),
        ("only system DLLs imported (%s)" % ", ".join(dlls), dlls and set(dlls) <= ALLOWED_DLLS),
        # The one-call hash is Windows 10's; Windows 7's CNG hashes in steps.
        ("free of BCryptHash",
         not re.search(r"\sBCryptHash\s*$", headers, re.M) and "BCryptHash" not in delayed_functions),
        ("file and product version " + args.version,
         "FILEVERSION %s " % commas in version and "PRODUCTVERSION %s " % commas in version),
    ] + [("%s %s" % item, '"%s", "%s"' % item in version) for item in (
        ("FileDescription", "ORV Windows 7 Standalone Updater"), ("OriginalFilename", "OrvUpdaterW7.exe"),
        ("FileVersion", args.version), ("ProductVersion", args.version))] + [
        ("manifest: " + what, needle in manifest) for what, needle in (
            ("requestedExecutionLevel asInvoker", 'level="asInvoker"'),
            ("Windows 7 in supportedOS", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"),
            ("Common Controls 6.0", 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"'))]
    checks += boundary_checks(pe, dlls)
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
