#!/usr/bin/env python3
"""Points a 32-bit PE program's load-configuration directory at its
_load_config_used structure, which this linker leaves unreferenced.

    pe_load_config.py PROGRAM_EXE LINK_MAP

The structure's address comes from the link map (-Wl,-Map), since the
program itself is stripped. The directory entry gets the structure's RVA and
the size its own Size field gives (the loader wants the two to agree), and the
header's checksum is worked out again when the linker had set one. Run it last:
any later rewrite of the file may drop the entry. It changes nothing else, so
the file stays the same bytes from any checkout.
"""

import re
import struct
import sys

SYMBOL = "_load_config_used"      # as the map prints it (without the i386 leading underscore)
LOAD_CONFIG_DIRECTORY = 10
PE32_MAGIC = 0x10B
LOAD_CONFIG_MIN_BYTES = 0x38      # through DependentLoadFlags


def symbol_address(map_path):
    """The address the link map gives the structure."""
    pattern = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+%s$" % SYMBOL)
    with open(map_path) as f:
        for line in f:
            found = pattern.match(line.rstrip("\n"))
            if found:
                return int(found.group(1), 16)
    sys.exit("pe_load_config: %s is not in %s" % (SYMBOL, map_path))


def headers(data):
    """(offset of the optional header, of the checksum, [(rva, size, file offset)] of the sections)."""
    coff = struct.unpack_from("<I", data, 0x3C)[0] + 4
    if data[coff - 4:coff] != b"PE\0\0":
        sys.exit("pe_load_config: no PE signature")
    count, optional_bytes = struct.unpack_from("<H", data, coff + 2)[0], struct.unpack_from("<H", data, coff + 16)[0]
    optional = coff + 20
    if struct.unpack_from("<H", data, optional)[0] != PE32_MAGIC:
        sys.exit("pe_load_config: not a 32-bit PE")
    sections = []
    for i in range(count):
        at = optional + optional_bytes + 40 * i
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, at + 8)
        sections.append((rva, min(virtual_size, raw_size), raw_offset))
    return optional, optional + 64, sections


def pe_checksum(data, checksum_at):
    """The PE header checksum: 16-bit words summed with end-around carry,
    the checksum field left out, plus the file's length."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    total -= sum(struct.unpack_from("<HH", data, checksum_at))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    exe, map_path = argv[1:]
    data = bytearray(open(exe, "rb").read())
    optional, checksum_at, sections = headers(data)
    image_base = struct.unpack_from("<I", data, optional + 28)[0]
    rva = symbol_address(map_path) - image_base
    where = [raw + rva - start for start, size, raw in sections if start <= rva < start + size]
    if not where:
        sys.exit("pe_load_config: %s at RVA %#x lies in no section's file data" % (SYMBOL, rva))
    size = struct.unpack_from("<I", data, where[0])[0]
    if size < LOAD_CONFIG_MIN_BYTES or not any(start <= rva and rva + size <= start + length
                                               for start, length, _ in sections):
        sys.exit("pe_load_config: the structure at RVA %#x gives an unsound size %#x" % (rva, size))
    struct.pack_into("<II", data, optional + 96 + 8 * LOAD_CONFIG_DIRECTORY, rva, size)
    if struct.unpack_from("<I", data, checksum_at)[0]:
        struct.pack_into("<I", data, checksum_at, pe_checksum(bytes(data), checksum_at))
    with open(exe, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
