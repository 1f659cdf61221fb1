#!/usr/bin/env python3
"""Checks the shipped exe is what a clean Windows 7 can run: a 32-bit GUI
program with our version resource and application manifest, importing only
system DLLs (the MinGW runtime must be linked in, not shipped beside it)."""
import argparse
import re
import struct
import subprocess
import sys

ALLOWED_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll",
    "shlwapi.dll", "advapi32.dll", "rstrtmgr.dll", "version.dll", "winhttp.dll",
    "wininet.dll", "urlmon.dll", "ole32.dll", "msvcrt.dll",
}
RT_VERSION = 16
RT_MANIFEST = 24


class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.rsrc_rva, self.rsrc_size = struct.unpack_from("<II", data, dirs + 2 * 8)
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            name, vsize, va, rsize, rptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((va, max(vsize, rsize), rptr))

    def offset(self, rva):
        for va, size, ptr in self.sections:
            if va <= rva < va + size:
                return ptr + rva - va
        raise ValueError("RVA outside every section")

    def resources(self, type_id):
        """Yields the data of every resource of a type (all names, languages)."""
        if not self.rsrc_rva:
            return
        base = self.offset(self.rsrc_rva)

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield name, target

        def leaves(target):
            if target & 0x80000000:
                for _, child in entries(target & 0x7FFFFFFF):
                    yield from leaves(child)
            else:
                rva, size = struct.unpack_from("<II", self.data, base + target)
                start = self.offset(rva)
                yield self.data[start:start + size]

        for name, target in entries(0):
            if not name & 0x80000000 and name == type_id:
                yield from leaves(target)


def fixed_file_version(block):
    at = block.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0:
        return None, None
    _, _, fms, fls, pms, pls = struct.unpack_from("<IIIIII", block, at)
    fmt = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return fmt(fms, fls), fmt(pms, pls)


def string_value(block, key):
    """A StringFileInfo value: the UTF-16 key, padding, then the value."""
    text = block.decode("utf-16-le", errors="replace")
    m = re.search(re.escape(key) + "\0+([^\0]*)\0", text)
    return m.group(1) if m else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--version", required=True)
    ap.add_argument("exe")
    args = ap.parse_args()
    problems = []

    dump = subprocess.run([args.objdump, "-p", args.exe], check=True, capture_output=True, text=True).stdout
    if "file format pei-i386" not in dump:
        problems.append("objdump does not report a pei-i386 image")
    if not re.search(r"^Subsystem\s+00000002\b", dump, re.M):
        problems.append("subsystem is not WINDOWS (GUI)")
    dlls = sorted({d.lower() for d in re.findall(r"DLL Name:\s*(\S+)", dump)})
    foreign = [d for d in dlls if d not in ALLOWED_DLLS]
    if foreign:
        problems.append("imports from non-system DLLs: " + ", ".join(foreign))

    with open(args.exe, "rb") as f:
        pe = Pe(f.read())
    # The test build's fault triggers must never reach users.
    if "/orvtest:".encode("utf-16-le") in pe.data:
        problems.append("the exe carries the test build's fault triggers")
    if pe.machine != 0x14C or pe.magic != 0x10B:
        problems.append("not a PE32 i386 image (machine %#x, magic %#x)" % (pe.machine, pe.magic))
    if pe.subsystem != 2:
        problems.append("optional header subsystem is %d, not 2" % pe.subsystem)

    versions = list(pe.resources(RT_VERSION))
    if len(versions) != 1:
        problems.append("expected one version resource, found %d" % len(versions))
    else:
        fv, pv = fixed_file_version(versions[0])
        if fv != args.version or pv != args.version:
            problems.append("version resource says file %s, product %s" % (fv, pv))
        expected = {
            "FileDescription": "ORV Windows 7 Standalone Updater",
            "OriginalFilename": "OrvUpdaterW7.exe",
            "FileVersion": args.version,
            "ProductVersion": args.version,
        }
        for key, want in expected.items():
            got = string_value(versions[0], key)
            if got != want:
                problems.append("%s is %r, not %r" % (key, got, want))

    manifests = list(pe.resources(RT_MANIFEST))
    if len(manifests) != 1:
        problems.append("expected one application manifest, found %d" % len(manifests))
    else:
        text = manifests[0].decode("utf-8", errors="replace")
        for needle, what in [
            ('level="asInvoker"', "requestedExecutionLevel asInvoker"),
            ("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "Windows 7 in supportedOS"),
            ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', "Common Controls 6.0"),
        ]:
            if needle not in text:
                problems.append("manifest lacks " + what)

    print("imports:", ", ".join(dlls))
    for p in problems:
        print("FAIL:", p)
    if not problems:
        print("product exe OK: PE32 i386, GUI, version %s, manifest, system imports only" % args.version)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
