#!/usr/bin/env python3
"""Finishes the linked 32-bit executable where the linker cannot: keeps its
debug information in a separate symbols file and strips the exe of it and of
its symbol table,
then points the image's load-configuration and delay-import directory
entries at the records the program defines for them (src/app/LoadConfig.cpp).
    FinishPe.py --nm NM --objcopy OBJCOPY EXE SYMBOLS"""
import argparse
import struct
import subprocess
import sys

LOAD_CONFIG, DELAY_IMPORT = 10, 13
DESCRIPTOR = 32


def symbols(nm, exe):
    table = {}
    for line in subprocess.run([nm, exe], check=True, capture_output=True, text=True).stdout.splitlines():
        fields = line.split()
        if len(fields) == 3:
            table[fields[2]] = int(fields[0], 16)
    return table


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--objcopy", required=True)
    parser.add_argument("exe")
    parser.add_argument("symbols_file")
    args = parser.parse_args()
    names = symbols(args.nm, args.exe)
    subprocess.run([args.objcopy, "--only-keep-debug", args.exe, args.symbols_file], check=True)
    # An image names its sections in eight characters: a longer name lives in
    # the symbol table, which goes, so ".eh_frame" (found at run time by its
    # symbols, never its name) gets a short one. A debug link would be a long
    # name too: the symbols file is matched to its exe by the build instead.
    subprocess.run([args.objcopy, "--strip-all", "--rename-section", ".eh_frame=.eh_fram", args.exe], check=True)

    image = bytearray(open(args.exe, "rb").read())
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections = struct.unpack_from("<H", image, pe + 6)[0]
    optional = pe + 24
    header_size = struct.unpack_from("<H", image, pe + 20)[0]
    base = struct.unpack_from("<I", image, optional + 28)[0]
    table = [struct.unpack_from("<8s6I", image, optional + header_size + 40 * i) for i in range(sections)]

    def at(rva, size):
        for _, virtual_size, address, raw_size, raw, *_ in table:
            if address <= rva and rva + size <= address + min(virtual_size, raw_size):
                return bytes(image[raw + rva - address:raw + rva - address + size])
        sys.exit("FinishPe: RVA %#x is in no section" % rva)

    config = names["__load_config_used"] - base
    directories = {LOAD_CONFIG: (config, struct.unpack("<I", at(config, 4))[0])}
    delayed = sorted(v - base for k, v in names.items() if k.startswith("__DELAY_IMPORT_DESCRIPTOR_"))
    end = delayed[-1] + DESCRIPTOR if delayed else 0
    if not delayed or delayed != list(range(delayed[0], end, DESCRIPTOR)) or at(end, DESCRIPTOR) != bytes(DESCRIPTOR):
        sys.exit("FinishPe: the delay-load descriptors do not form one table ending in an empty one")
    directories[DELAY_IMPORT] = (delayed[0], end + DESCRIPTOR - delayed[0])
    for index, entry in directories.items():
        struct.pack_into("<II", image, optional + 96 + 8 * index, *entry)
    open(args.exe, "wb").write(image)


if __name__ == "__main__":
    main()
