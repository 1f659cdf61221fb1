#!/usr/bin/env python3
"""Makes the ZIP archives the zip unit tests read, at test time.

Real producers make the ordinary packages: Info-ZIP `zip` (stored and
deflated entries, directory entries, an empty folder) and `7z` (ZipCrypto and
AES entries). Python's zipfile makes archives with hostile entry names, and a
small writer of raw ZIP records makes what no tool writes on purpose: empty
names, names that are not UTF-8, damaged data and wrong sizes.

Usage: make_fixtures.py OUTPUT_FOLDER  (the folder is rebuilt from empty;
setup.sh runs it before the tests)
"""
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


def make_tree(root):
    """The files the real archives carry; the tests compare against them."""
    rng = random.Random(20240605)
    write(os.path.join(root, "top.txt"), b"top level file\r\n" * 40)
    write(os.path.join(root, "docs", "readme.txt"), b"".join(
        b"line %d of the readme\n" % i for i in range(2000)))
    # Larger than one inflate window and than one 1 MiB write piece, partly
    # compressible, so offsets and several callbacks matter.
    big = bytearray()
    while len(big) < 3 * 1024 * 1024 + 12345:
        big += bytes(rng.getrandbits(8) for _ in range(512)) + b"\0" * 1536
    write(os.path.join(root, "bin", "big.bin"), bytes(big))
    write(os.path.join(root, "bin", "zero.bin"), b"")
    os.makedirs(os.path.join(root, "docs", "empty"), exist_ok=True)


def info_zip(out, tree):
    # -X: no extra attributes; -D is not given, so folders get their own entries.
    # Mixed: .txt stored (-n, which a later level option such as -9 would undo), the rest deflated.
    run(["zip", "-q", "-r", "-X", "-n", ".txt", os.path.join(out, "infozip-mixed.zip"), "."], tree)
    run(["zip", "-q", "-r", "-X", "-0", os.path.join(out, "infozip-stored.zip"), "."], tree)
    run(["zip", "-q", "-r", "-X", "-9", os.path.join(out, "infozip-deflated.zip"), "."], tree)

    dirs = os.path.join(out, "work", "dirs-only")
    for d in ("a/b", "c"):
        os.makedirs(os.path.join(dirs, d), exist_ok=True)
    run(["zip", "-q", "-r", "-X", os.path.join(out, "infozip-dirs-only.zip"), "."], dirs)


def seven_zip(out):
    work = os.path.join(out, "work", "7z")
    os.makedirs(work, exist_ok=True)
    write(os.path.join(work, "a-plain.txt"), b"plain before\n")
    write(os.path.join(work, "b-secret.txt"), b"secret middle\n")
    write(os.path.join(work, "c-plain.txt"), b"plain after\n")
    for method, name in (("ZipCrypto", "7z-zipcrypto-mixed.zip"), ("AES256", "7z-aes-mixed.zip")):
        target = os.path.join(out, name)
        # 7z keeps entries sorted by name: the secret lands between the two plain ones.
        run(["7z", "a", "-tzip", "-bd", target, "a-plain.txt", "c-plain.txt"], work)
        run(["7z", "a", "-tzip", "-bd", "-pTest123", "-mem=" + method, target, "b-secret.txt"], work)
    run(["7z", "a", "-tzip", "-bd", "-pTest123", "-mem=ZipCrypto",
         os.path.join(out, "7z-zipcrypto-only.zip"), "a-plain.txt"], work)


# Hostile names, each stored between two harmless files so the tests can see
# that extraction stops at the bad entry and writes nothing for it.
HOSTILE = {
    "dotdot-slash": "../evil.txt",
    "dotdot-backslash": "..\\evil.txt",
    "dotdot-nested": "a/../../evil.txt",
    "rooted-slash": "/x",
    "rooted-backslash": "\\x",
    "drive-relative": "C:x",
    "drive-absolute": "C:\\x",
    "drive-forward": "C:/x",
    "unc": "\\\\srv\\s\\x",
    "stream": "a.txt:evil",
    "device-con": "CON.txt",
    "device-nul": "nul",
    "device-lpt1": "lpt1.log",
    "device-com9": "COM9",
    "device-in-folder": "folder/Aux.tar.gz",
    "dot-segment": "a/./b.txt",
    "double-slash": "a//b.txt",
    "trailing-dot-folder": "dir./x.txt",
    "trailing-blank-folder": "dir /x.txt",
    "trailing-dot-file": "x.txt.",
    "control-tab": "a\tb.txt",
    "control-bell": "bell\x07.txt",
    "wildcard": "what?.txt",
    "pipe": "a|b.txt",
    "too-long-244": "d" * 120 + "/" + "f" * 123,
}


def zipfile_archive(path, entries, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = compression
            info.external_attr = 0o100644 << 16
            z.writestr(info, data)


def crafted_names(out):
    for key, name in HOSTILE.items():
        zipfile_archive(os.path.join(out, "hostile-%s.zip" % key),
                        [("before.txt", b"before\n"), (name, b"evil\n"), ("after.txt", b"after\n")])
    zipfile_archive(os.path.join(out, "devices-allowed.zip"),
                    [(n, n.encode() + b"\n") for n in ("com0.txt", "com10", "console.txt", "nullx", "lpt0")])
    zipfile_archive(os.path.join(out, "long-243.zip"), [("d" * 120 + "/" + "f" * 122, b"long\n")])
    # 18 units: with a 240-unit destination the target is 259 units long.
    zipfile_archive(os.path.join(out, "name-18.zip"), [("n" * 14 + ".txt", b"eighteen\n")])
    zipfile_archive(os.path.join(out, "nested-no-dir-entries.zip"),
                    [("nested/deeper/a.txt", b"deep\n"), ("nested/b.txt", b"shallow\n")])
    zipfile_archive(os.path.join(out, "unicode-names.zip"),
                    [("p\u00e4ckage/\u00fcn\u00efc\u00f8de.txt", b"utf-8 name\n"),
                     ("\u65e5\u672c.txt", b"cjk name\n")])
    # A file where a later entry needs a folder level, and the other way round.
    zipfile_archive(os.path.join(out, "file-then-dir.zip"), [("clash", b"file\n"), ("clash/sub/", b"")])
    zipfile_archive(os.path.join(out, "file-then-child.zip"),
                    [("clash", b"file\n"), ("clash/sub/inner.txt", b"x\n")])
    zipfile_archive(os.path.join(out, "dir-then-file.zip"), [("clash/", b""), ("clash", b"file\n")])


class RawEntry:
    def __init__(self, name, data, method=8, flags=0, external=0, declared_size=None, flip_at=None):
        self.name = name if isinstance(name, bytes) else name.encode("utf-8")
        self.data = data
        self.method = method
        self.flags = flags
        self.external = external
        self.declared_size = declared_size
        self.flip_at = flip_at


def raw_archive(path, entries):
    """Writes local headers, data, central directory and end record by hand."""
    body = bytearray()
    central = bytearray()
    for e in entries:
        crc = zlib.crc32(e.data) & 0xFFFFFFFF
        if e.method == 8:
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            payload = bytearray(c.compress(e.data) + c.flush())
        else:
            payload = bytearray(e.data)
        if e.flip_at is not None:
            payload[e.flip_at] ^= 0x55
        size = len(e.data) if e.declared_size is None else e.declared_size
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, e.flags, e.method, 0, 0x21,
                            crc, len(payload), size, len(e.name), 0)
        body += e.name + payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, e.flags, e.method, 0, 0x21,
                               crc, len(payload), size, len(e.name), 0, 0, 0, 0, e.external, offset)
        central += e.name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries),
                      len(central), len(body), 0)
    write(path, bytes(body + central + end))


def raw_archives(out):
    text = b"".join(b"verified line %d\n" % i for i in range(4000))
    # The empty end record alone: 22 bytes, no entries.
    raw_archive(os.path.join(out, "empty.zip"), [])
    raw_archive(os.path.join(out, "crc-stored.zip"),
                [RawEntry("ok.txt", b"fine\n", method=0), RawEntry("data.txt", text, method=0, flip_at=len(text) // 2)])
    raw_archive(os.path.join(out, "crc-deflated.zip"),
                [RawEntry("ok.txt", b"fine\n"), RawEntry("data.txt", text, flip_at=40)])
    raw_archive(os.path.join(out, "size-larger.zip"),
                [RawEntry("ok.txt", b"fine\n"), RawEntry("data.txt", text, declared_size=len(text) + 1)])
    raw_archive(os.path.join(out, "size-smaller.zip"),
                [RawEntry("ok.txt", b"fine\n"), RawEntry("data.txt", text, declared_size=len(text) - 1)])
    # Empty names and names made of backslashes only are not folders to
    # miniz: validation counts them as files, extraction skips them.
    raw_archive(os.path.join(out, "empty-names.zip"),
                [RawEntry(b"", b"nameless\n"), RawEntry(b"\\", b"slash\n"), RawEntry(b"\\\\", b"slashes\n"),
                 RawEntry("keep.txt", b"kept\n")])
    raw_archive(os.path.join(out, "empty-name-only.zip"), [RawEntry(b"", b"nameless\n")])
    raw_archive(os.path.join(out, "slash-only.zip"), [RawEntry(b"/", b"", method=0)])
    # Latin-1 bytes without the UTF-8 flag, as old Windows tools wrote them.
    raw_archive(os.path.join(out, "ansi-name.zip"), [RawEntry(b"caf\xe9.txt", b"ansi name\n")])
    # Names the case-insensitive file system takes for one file.
    raw_archive(os.path.join(out, "case-twins.zip"),
                [RawEntry("Docs/Read.txt", b"first\n"), RawEntry("docs/READ.TXT", b"second\n"),
                 RawEntry("same.txt", b"one\n"), RawEntry("same.txt", b"two\n")])
    # A method miniz does not inflate (bzip2, 12).
    raw_archive(os.path.join(out, "unsupported-method.zip"),
                [RawEntry("ok.txt", b"fine\n"), RawEntry("packed.bin", b"whatever", method=12)])


def broken_files(out):
    with open(os.path.join(out, "infozip-mixed.zip"), "rb") as f:
        whole = f.read()
    write(os.path.join(out, "truncated.zip"), whole[: len(whole) // 2])
    write(os.path.join(out, "truncated-end.zip"), whole[:-10])
    write(os.path.join(out, "not-a-zip.zip"), b"This is a text file, not a ZIP archive.\n" * 20)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = os.path.abspath(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    tree = os.path.join(out, "tree")
    make_tree(tree)
    info_zip(out, tree)
    seven_zip(out)
    crafted_names(out)
    raw_archives(out)
    broken_files(out)
    shutil.rmtree(os.path.join(out, "work"))
    print("zip fixtures written to %s" % out)


if __name__ == "__main__":
    main()
