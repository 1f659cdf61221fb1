#!/usr/bin/env python3
"""Makes the ZIP archives the zip unit tests read, at test time: Info-ZIP
`zip` and `7z` make the ordinary and the encrypted packages, Python's zipfile
the hostile and clashing names, and a small writer of raw records what no
tool writes on purpose (empty names, names that are not UTF-8, damaged data).

Usage: make_fixtures.py OUTPUT_FOLDER  (rebuilt from empty)"""
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def run(args, cwd):
    subprocess.run(args, cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def real_tools(out):
    tree = os.path.join(out, "tree")
    write(os.path.join(tree, "top.txt"), b"top level file\r\n" * 40)
    write(os.path.join(tree, "docs", "readme.txt"), b"".join(b"line %d of the readme\n" % i for i in range(2000)))
    # Larger than one inflate window and one write piece, partly compressible.
    rng = random.Random(20240605)
    write(os.path.join(tree, "bin", "big.bin"), b"".join(rng.randbytes(512) + b"\0" * 1536 for _ in range(1600)))
    write(os.path.join(tree, "bin", "zero.bin"), b"")
    os.makedirs(os.path.join(tree, "docs", "empty"))
    # Folders get entries of their own; .txt files are stored, the rest deflated.
    run(["zip", "-q", "-r", "-X", "-n", ".txt", os.path.join(out, "infozip-mixed.zip"), "."], tree)
    dirs = os.path.join(out, "work", "dirs-only")
    os.makedirs(os.path.join(dirs, "a", "b"))
    run(["zip", "-q", "-r", "-X", os.path.join(out, "infozip-dirs-only.zip"), "."], dirs)
    secret = os.path.join(out, "work", "7z")
    for name, text in (("a-plain.txt", b"plain before\n"), ("b-secret.txt", b"secret\n"), ("c-plain.txt", b"after\n")):
        write(os.path.join(secret, name), text)
    # 7z keeps entries sorted by name: the encrypted one lands between the plain ones.
    run(["7z", "a", "-tzip", "-bd", os.path.join(out, "7z-aes-mixed.zip"), "a-plain.txt", "c-plain.txt"], secret)
    run(["7z", "a", "-tzip", "-bd", "-pTest123", "-mem=AES256", os.path.join(out, "7z-aes-mixed.zip"),
         "b-secret.txt"], secret)


def named(out):
    archives = {
        "hostile-dotdot-slash.zip": [("before.txt", b"before\n"), ("../evil.txt", b"evil\n"), ("after.txt", b"x\n")],
        "name-18.zip": [("n" * 14 + ".txt", b"eighteen\n")],
        "unicode-names.zip": [("p\u00e4ckage/\u00fcn\u00efc\u00f8de.txt", b"utf-8 name\n"), ("\u65e5\u672c.txt", b"cjk\n")],
        # A file where a later entry needs a folder, and the other way round.
        "file-then-dir.zip": [("clash", b"file\n"), ("clash/sub/", b"")],
        "file-then-child.zip": [("clash", b"file\n"), ("clash/sub/inner.txt", b"x\n")],
        "dir-then-file.zip": [("clash/", b""), ("clash", b"file\n")],
    }
    for name, entries in archives.items():
        with zipfile.ZipFile(os.path.join(out, name), "w", zipfile.ZIP_DEFLATED) as z:
            for entry, data in entries:
                z.writestr(entry, data)


def raw_archive(path, entries):
    """Local headers, data, central directory and end record, written by hand.
    Each entry is (name bytes, data, byte to damage or None)."""
    body, central = bytearray(), bytearray()
    for name, data, damage in entries:
        c = zlib.compressobj(9, zlib.DEFLATED, -15)
        payload = bytearray(c.compress(data) + c.flush())
        if damage is not None:
            payload[damage] ^= 0x55
        fields = (20, 0, 8, 0, 0x21, zlib.crc32(data), len(payload), len(data), len(name), 0)
        central += struct.pack("<IH", 0x02014B50, 20) + struct.pack("<HHHHHIIIHH", *fields)
        central += struct.pack("<HHHII", 0, 0, 0, 0, len(body)) + name
        body += struct.pack("<I", 0x04034B50) + struct.pack("<HHHHHIIIHH", *fields) + name + payload
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(body), 0)
    write(path, bytes(body + central + end))


def raw(out):
    text = b"".join(b"verified line %d\n" % i for i in range(4000))
    raw_archive(os.path.join(out, "empty.zip"), [])
    raw_archive(os.path.join(out, "crc-deflated.zip"), [(b"ok.txt", b"fine\n", None), (b"data.txt", text, 40)])
    # Empty and backslash-only names are no folders to miniz: validation counts
    # them as files, extraction skips them.
    raw_archive(os.path.join(out, "empty-names.zip"),
                [(b"", b"nameless\n", None), (b"\\\\", b"slashes\n", None), (b"keep.txt", b"kept\n", None)])
    # Latin-1 bytes without the UTF-8 flag, as old Windows tools wrote them.
    raw_archive(os.path.join(out, "ansi-name.zip"), [(b"caf\xe9.txt", b"ansi name\n", None)])
    # Names the case-insensitive file system takes for one file.
    raw_archive(os.path.join(out, "case-twins.zip"), [(b"Docs/Read.txt", b"first\n", None),
                (b"docs/READ.TXT", b"second\n", None), (b"same.txt", b"one\n", None), (b"same.txt", b"two\n", None)])
    write(os.path.join(out, "not-a-zip.zip"), b"This is a text file, not a ZIP archive.\n" * 20)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    real_tools(out)
    named(out)
    raw(out)
    shutil.rmtree(os.path.join(out, "work"))


if __name__ == "__main__":
    main()
