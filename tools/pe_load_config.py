#!/usr/bin/python3
"""Points a 32-bit PE program's load-configuration directory at its
_load_config_used structure, which this linker leaves unreferenced.

    pe_load_config.py PROGRAM_EXE LINK_MAP

The structure's address comes from the link map (-Wl,-Map), since the
program itself is stripped. The directory entry gets the structure's RVA and
the size its own Size field gives (the loader wants the two to agree), and the
header's checksum is worked out again when the linker had set one. Run it last:
any later rewrite of the file may drop the entry. It changes nothing else, so
the file stays the same bytes from any checkout. Debian's python3-pefile
imports only in Debian's own interpreter, hence /usr/bin/python3.
"""

import re
import sys

import pefile

SYMBOL = "_load_config_used"      # as the map prints it (without the i386 leading underscore)
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


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    exe, map_path = argv[1:]
    pe = pefile.PE(exe, fast_load=True)
    if pe.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE:
        sys.exit("pe_load_config: not a 32-bit PE")
    rva = symbol_address(map_path) - pe.OPTIONAL_HEADER.ImageBase
    section = pe.get_section_by_rva(rva)
    data_end = section and section.VirtualAddress + min(section.Misc_VirtualSize, section.SizeOfRawData)
    if section is None or rva >= data_end:
        sys.exit("pe_load_config: %s at RVA %#x lies in no section's file data" % (SYMBOL, rva))
    size = pe.get_dword_at_rva(rva)
    if size < LOAD_CONFIG_MIN_BYTES or rva + size > data_end:
        sys.exit("pe_load_config: the structure at RVA %#x gives an unsound size %#x" % (rva, size))
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]]
    entry.VirtualAddress, entry.Size = rva, size
    if pe.OPTIONAL_HEADER.CheckSum:
        pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    data = pe.write()
    pe.close()
    with open(exe, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
