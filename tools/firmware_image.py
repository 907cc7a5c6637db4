#!/usr/bin/python3
"""Turns the firmware file a build is given into the raw image the program
carries, after checking that it can be the firmware for 0x08001000, and
writes what the build embeds:

    firmware_image.py [--no-vector-check] [--copy FILE] FIRMWARE EMBED_DIR

EMBED_DIR/embedded_firmware.bin, the raw flash bytes from 0x08001000 on;
EMBED_DIR/firmware_identity.h and firmware_identity.txt, what the version
resource and the release notes say of it (tools/firmware_identity.py).
--copy writes the file's bytes as they were read and taken to FILE, so
that a release hashes and builds exactly what was checked.

Only an ordinary file is read: a FIFO, a device, a folder or a socket is
refused before a byte is read (a FIFO without a writer would never end). The
format is told by the content, whatever the file is called: an ELF file
(32-bit little-endian ARM), Intel HEX (a file that begins with ':', or with
blanks, ':' and a whole record's hex digits), or else a raw image. A raw
file carries no address, so it is taken as firmware only when it begins with
a Cortex-M vector table that fits an image at 0x08001000: that check is
what tells firmware from text, a compressed file or an image for another
address, and no flag skips it. --no-vector-check skips the vector check of
ELF and HEX only, which place their bytes themselves; text and compressed
files are recognised only to say what a refused file is. From ELF and HEX
the image is the one arm-none-eabi-objcopy -O binary
--gap-fill 0xff makes of the same file, placed at 0x08001000: for ELF the
allocated sections with contents, each at its load address; gaps are 0xFF,
as erased flash reads. HEX is read as objcopy reads it (CR, LF or CRLF line
ends), and as strictly as objcopy writes it, so that a file cut short or two
files joined are refused rather than taken in part. A file that cannot be
this firmware is refused with one line on standard error naming it, exit
status 1, and none of the three files left in EMBED_DIR, so that no build can
go on with an image that was not meant. Debian's python3-pyelftools imports only in Debian's own
interpreter, hence /usr/bin/python3.
"""

import io
import os
import re
import stat
import struct
import sys

from elftools.elf.elffile import ELFFile

import firmware_identity

IMAGE_BASE = 0x08001000           # flash address of byte 0: behind the boot loader's 4 KiB
FLASH_START = 0x08000000          # start of flash, where the boot loader sits
IMAGE_LIMIT_BYTES = 1024 * 1024   # more flash than the device has; data past it is a mislink
STACK_LOW = 0x20000000            # SRAM region of a Cortex-M, where the initial stack pointer lies
STACK_HIGH = 0x3FFFFFFF
ERASED_BYTE = 0xFF                # what flash reads where nothing was written
FILE_LIMIT_BYTES = 256 * 1024 * 1024  # far more than a firmware's ELF file with all its debug sections
SYSTEM_VECTORS = ("initial stack pointer", "reset handler", "NMI", "HardFault", "MemManage", "BusFault",
                  "UsageFault", "reserved 7", "reserved 8", "reserved 9", "reserved 10", "SVCall",
                  "DebugMonitor", "reserved 13", "PendSV", "SysTick")
# A .bin linked for a higher address has its handlers behind its vector
# table there: read at 0x08001000 they all lie past its first 4 KiB.
VECTOR_REACH_BYTES = 4096
OUTPUTS = ("embedded_firmware.bin", "firmware_identity.h", "firmware_identity.txt")
VECTOR_HINT = "scripts/release --no-vector-check skips this check for a firmware that does not begin with one"
RAW_HINT = ("a raw image carries no address and is taken as firmware only by its vector table: give the ELF "
            "or Intel HEX the firmware's build writes")
NOT_ORDINARY = {stat.S_IFIFO: "a FIFO (named pipe)", stat.S_IFCHR: "a character device",
                stat.S_IFBLK: "a block device", stat.S_IFDIR: "a folder", stat.S_IFSOCK: "a socket"}


class Refused(Exception):
    """The file cannot be the firmware; the text says why."""


# What the text that goes with firmware seldom holds: control characters (an
# escape colours a build log, so it is left out) and characters past
# Latin-1 (U+FFFD among them). A binary file read as text, as whichever
# encoding, gives many.
TEXT_CONTROL = re.compile("[\0-\x08\x0e-\x1a\x1c-\x1f\x7f-\x9f\u0100-\U0010ffff]")
TEXT_SAMPLE_BYTES = 64 * 1024     # enough to tell text; a multiple of 4, for UTF-32
TEXT_CONTROL_SHARE = 16           # text holds fewer than one such character in this many
TEXT_CODECS = (("utf-8", "UTF-8"), ("utf-16-le", "UTF-16 little-endian"), ("utf-16-be", "UTF-16 big-endian"),
               ("utf-32-le", "UTF-32 little-endian"), ("utf-32-be", "UTF-32 big-endian"),
               ("latin-1", "single-byte text such as Latin-1"))
MAP_WORDS = re.compile(r"memory (map|configuration)|disassembly of section|symbol table", re.I)
# What the packers on a Debian system begin their files with.
PACKED = ((rb"\x1f\x8b", "a gzip file, compressed"), (rb"PK\x03\x04|PK\x05\x06", "a zip archive"),
          (rb"7z\xbc\xaf\x27\x1c", "a 7z archive"), (rb"\xfd7zXZ\0", "an xz file, compressed"),
          (rb"BZh[1-9]", "a bzip2 file, compressed"), (rb"\x28\xb5\x2f\xfd", "a zstd file, compressed"),
          (rb"\x04\x22\x4d\x18", "an lz4 file, compressed"), (rb"\x5d\0\0", "an lzma file, compressed"),
          (rb"\x78[\x01\x5e\x9c\xda]", "a zlib stream, compressed"),
          (rb"\x1f\x9d", "a compress (.Z) file, compressed"), (rb"!<arch>\n", "an ar archive (a library)"),
          (rb"(?s).{257}ustar", "a tar archive"), (rb"MZ", "a Windows program (a self-extracting archive?)"))


def as_text(data):
    """(characters, how they are written, NUL bytes before them) of a file a
    person or a tool wrote to be read, else None: the first of UTF-8 (when
    the bytes are UTF-8), UTF-16, UTF-32 (with or without a byte-order mark)
    and single-byte text that reads as text with few characters that text
    does not hold (a NUL byte between two lines, a U+FFFD); stray NUL bytes
    at either end and a DOS end-of-file mark do not count."""
    for codec, how in TEXT_CODECS:
        try:
            chars = data[:TEXT_SAMPLE_BYTES].decode(codec, "strict" if codec == "utf-8" else "replace")
        except UnicodeDecodeError:
            continue
        bom = chars.startswith("\ufeff") and codec != "latin-1"
        text = chars[bom:].lstrip("\0")
        nuls = len(chars) - bom - len(text)
        text = text.rstrip("\x1a\0")
        if codec == "utf-8" and data.isascii():
            how = "ASCII"
        elif codec.startswith("utf-") and codec != "utf-8":
            how += " %s a byte-order mark" % ("with" if bom else "without")
        if text.strip() and len(TEXT_CONTROL.findall(text)) * TEXT_CONTROL_SHARE < len(text):
            return text, how, nuls
    return None


def text_refusal(text, how, nuls):
    start = text.lstrip()
    first = (start.splitlines() or [""])[0][:40]
    advice = "give the .hex, .elf or raw .bin that the firmware's build writes"
    if start.startswith(":"):
        looks = "Intel HEX"
        advice = ("save it as ASCII, as the firmware's build wrote it (Windows PowerShell: Out-File -Encoding "
                  "ascii, not '>'; Notepad: ANSI, not Unicode)" if "-endian" in how else
                  "give it as the firmware's build wrote it, with nothing before its first record")
    elif re.match(r"S[0-9][0-9A-Fa-f]{6}", start):
        looks = "an S-record file"
        advice = "give the firmware's Intel HEX or ELF (arm-none-eabi-objcopy -I srec -O ihex makes HEX of it)"
    else:
        looks = "a map or listing file" if MAP_WORDS.search(text) else "a text file"
    behind = " behind %d NUL byte%s" % (nuls, "" if nuls == 1 else "s") if nuls else ""
    return Refused("%s, %s%s (it begins %a): text, not a firmware image; %s" % (looks, how, behind, first, advice))


def text_part(data):
    # Some tools end a text file with a DOS end-of-file mark, a line end after
    # it, or pad it with zero bytes; none makes a HEX file a raw image.
    return data.rstrip(b"\x1a\0" + HEX_BLANK)


def without_bom(data):
    return data[3:] if data.startswith(b"\xef\xbb\xbf") else data


def one_line(text):
    return " ".join(str(text).split())


def far_hint(address):
    if STACK_LOW <= address <= STACK_HIGH:
        return ("initialised data linked without a load address in flash "
                "(the linker script needs AT> FLASH for it)")
    return "data far away from the image, not the firmware's"


def place(pieces, what, base=IMAGE_BASE):
    """The image from base to the last byte as objcopy -O binary --gap-fill 0xff
    lays it out: pieces is a list of (label, address, bytes) with at least one
    that holds bytes; gaps are erased flash. An empty piece (a section with
    no contents) still counts where it lies: objcopy fills the gap up to it.
    Inside another piece an empty one is taken only when it is the last:
    objcopy fills from it to the next one, over the bytes that lie between."""
    pieces = sorted(pieces, key=lambda p: (p[1], len(p[2])))
    reach = None
    for label, address, contents in pieces:
        if reach and address < reach[1] + len(reach[2]) and (contents or (label, address) != pieces[-1][:2]):
            raise Refused("%s has %s at %#010x, inside %s at %#010x-%#010x: they overlap in flash"
                          % (what, label, address, reach[0], reach[1], reach[1] + len(reach[2]) - 1))
        if contents and (not reach or address + len(contents) > reach[1] + len(reach[2])):
            reach = (label, address, contents)
    label, low, contents = pieces[0]
    if low < base:
        raise Refused("%s has data at %#010x (%s), below %#010x where the boot loader lives: "
                      "the firmware must be linked for %#010x" % (what, low, label, base, base))
    label, first, contents = next(p for p in pieces if p[2])
    if first > base:
        raise Refused("%s has its first data at %#010x (%s), not at %#010x, where the boot loader starts the "
                      "firmware: it was linked for another start address, or it is another image (a boot "
                      "loader's own, say)" % (what, first, label, base))
    limit = base + IMAGE_LIMIT_BYTES
    for label, address, contents in pieces:
        end = address + len(contents)
        if end > limit:
            raise Refused("%s has data up to %#010x (%s at %#010x), past the %d KiB of flash from %#010x "
                          "(last address %#010x): %s"
                          % (what, end - 1, label, address, IMAGE_LIMIT_BYTES // 1024, base, limit - 1,
                             far_hint(address)))
    image = bytearray([ERASED_BYTE]) * (max(address + len(contents) for label, address, contents in pieces) - base)
    for label, address, contents in pieces:
        image[address - base:address - base + len(contents)] = contents
    return bytes(image)


# ---- Intel HEX ------------------------------------------------------------------

HEX_DATA, HEX_END, HEX_SEGMENT, HEX_START_SEGMENT, HEX_LINEAR, HEX_START_LINEAR = range(6)
HEX_EXPECTED_LENGTH = {HEX_END: 0, HEX_SEGMENT: 2, HEX_START_SEGMENT: 4, HEX_LINEAR: 2, HEX_START_LINEAR: 4}
HEX_DIGITS = b"0123456789abcdefABCDEF"
HEX_BLANK = b" \t\r\n\f\v"
HEX_LINE_END = re.compile(rb"\r\n?|\n")
# A raw image may begin with a blank and ':' (a stack pointer of 0x20003A20)
# and even two hex digits after them (0x30303A20), though not with the ten
# of a whole record (its reset handler's bytes are no hex digits), nor with
# ':' (a stack pointer not word-aligned). A NUL after the ':' is HEX saved as
# UTF-16, which is refused as text.
HEX_START = re.compile(rb":(?!\0)|[ \t\r\n\f\v]+:[0-9A-Fa-f]{10}")


def hex_record(line, number):
    """(type, address, data) of one record line, its line end taken off."""
    def bad(why):
        return Refused("Intel HEX, line %d: %s" % (number, why))
    if not line.startswith(b":"):
        raise bad("%r is not a record (a record begins with ':')" % line[:20].decode("ascii"))
    digits = line[1:]
    wrong = digits.translate(None, HEX_DIGITS)
    if wrong:
        raise bad("%r is not a hex digit" % chr(wrong[0]))
    if len(digits) < 10 or len(digits) % 2:
        raise bad("%d hex digits, not a whole record (at least 10, an even number)" % len(digits))
    record = bytes.fromhex(digits.decode("ascii"))
    length, address, kind, data = record[0], (record[1] << 8) | record[2], record[3], record[4:-1]
    if len(data) != length:
        raise bad("the record says %d data bytes and holds %d" % (length, len(data)))
    if sum(record) & 0xFF:
        raise bad("checksum %#04x, where the record's bytes call for %#04x"
                  % (record[-1], -sum(record[:-1]) & 0xFF))
    if kind not in HEX_EXPECTED_LENGTH and kind != HEX_DATA:
        raise bad("record type %02X, not one of 00-05" % kind)
    if kind in HEX_EXPECTED_LENGTH and length != HEX_EXPECTED_LENGTH[kind]:
        raise bad("a type %02X record with %d data bytes, not %d" % (kind, length, HEX_EXPECTED_LENGTH[kind]))
    return kind, address, data


def from_hex(data, base=IMAGE_BASE):
    """The image of an Intel HEX file read as objcopy writes one: records one
    a line, and exactly one end-of-file record, the last; after it (on its
    line too) nothing but white space."""
    text = without_bom(text_part(data))
    odd = re.search(rb"[^\x20-\x7e \t\r\n\f\v]", text)
    if odd:
        raise Refused("Intel HEX with a byte that is not text, %#04x, on line %d"
                      % (text[odd.start()], len(HEX_LINE_END.split(text[:odd.start()]))))
    lines = HEX_LINE_END.split(text)
    pieces = []
    linear = segment = 0
    end_line = None
    for number, line in enumerate(lines, 1):
        if line[7:9] == b"01":
            line = line.rstrip(HEX_BLANK)
        if end_line is not None:
            if line.startswith(b":"):
                raise Refused("Intel HEX with records after its end-of-file record on line %d (line %d): "
                              "more than one HEX file in one" % (end_line, number))
            if line.strip(HEX_BLANK):
                raise Refused("Intel HEX with text after its end-of-file record on line %d (line %d)"
                              % (end_line, number))
            continue
        if not line.strip(HEX_BLANK):
            continue
        kind, address, record = hex_record(line, number)
        if kind == HEX_DATA and record:
            if linear and segment:
                # Readers differ on whether the two bases add up or the later
                # one replaces the other; objcopy never writes such a file.
                raise Refused("Intel HEX, line %d: data with both an extended segment address (02) and an "
                              "extended linear address (04) in effect" % number)
            pieces.append(("line %d" % number, linear + segment + address, record))
        elif kind == HEX_END:
            end_line = number
        elif kind == HEX_SEGMENT:
            segment = int.from_bytes(record, "big") << 4
        elif kind == HEX_LINEAR:
            linear = int.from_bytes(record, "big") << 16
        # A start address record (03 or 05) says where execution begins; the
        # boot loader starts the firmware through its vector table instead.
    if end_line is None:
        last = max((n for n, line in enumerate(lines, 1) if line.strip(HEX_BLANK)), default=0)
        raise Refused("Intel HEX cut short: no end-of-file record (:00000001FF) after its last line, "
                      "line %d; a HEX file ends with one" % last)
    if not pieces:
        raise Refused("Intel HEX with no data bytes: the image would be empty")
    return place(pieces, "Intel HEX", base)


# ---- ELF --------------------------------------------------------------------------

ELF_HEADER_BYTES = 52
SHF_ALLOC = 0x2
SHF_TLS = 0x400
SHF_COMPRESSED = 0x800


def printable(name):
    return name if name and all(" " < c <= "~" for c in name) else repr(name)


def elf_damage(elf, size):
    """What makes the file no whole ELF file, or None. objcopy refuses such a
    file, whatever its allocated sections hold."""
    if elf["e_ident"]["EI_VERSION"] != "EV_CURRENT":
        return "ELF version %s, not 1" % elf["e_ident"]["EI_VERSION"]
    if elf["e_phnum"] and elf["e_phentsize"] != 32 or elf["e_shnum"] and elf["e_shentsize"] != 40:
        return "headers of another size than a 32-bit ELF file's"
    count = elf.num_sections()
    if not 0 < elf["e_shstrndx"] < count or elf.get_section(elf["e_shstrndx"])["sh_type"] != "SHT_STRTAB":
        return "no section name table"
    names = elf.get_section(elf["e_shstrndx"])["sh_size"]
    for index in range(count):
        header = elf.get_section(index).header
        if header["sh_type"] != "SHT_NOBITS" and header["sh_offset"] + header["sh_size"] > size:
            return "cut short: section %d ends past the file's end" % index
        if index and (header["sh_name"] >= names or header["sh_link"] >= count):
            return "section %d has its name or link outside the file's tables" % index
    for index, segment in enumerate(elf.iter_segments()):
        if segment["p_offset"] + segment["p_filesz"] > size:
            return "cut short: segment %d ends past the file's end" % index
        if segment["p_align"] & (segment["p_align"] - 1):
            return "segment %d has an alignment that is no power of two" % index
    return None


def elf_headers(data):
    """(segment headers, [(name, section header, contents)] of the allocated
    sections with contents) of a 32-bit little-endian ARM ELF file."""
    try:
        if len(data) < ELF_HEADER_BYTES:
            raise Refused("an ELF file cut short: %d bytes, not even its %d-byte header"
                          % (len(data), ELF_HEADER_BYTES))
        if data[4:6] == b"\1\1":  # 32-bit little-endian: where its tables of headers end
            phoff, shoff = struct.unpack_from("<II", data, 28)
            phsize, phnum, shsize, shnum = struct.unpack_from("<4H", data, 42)
            end = max(phoff + phsize * phnum, shoff + shsize * shnum)
            if end > len(data):
                raise Refused("an ELF file cut short: %d bytes, where its headers reach to byte %d"
                              % (len(data), end))
        elf = ELFFile(io.BytesIO(data))
        machine = elf["e_machine"]
        if elf.elfclass != 32 or not elf.little_endian or machine != "EM_ARM":
            raise Refused("an ELF file for %s, %d-bit %s-endian, not a 32-bit little-endian ARM program"
                          % (machine, elf.elfclass, "little" if elf.little_endian else "big"))
        if elf["e_type"] == "ET_REL":
            raise Refused("an ELF object file, not linked: give the program that the firmware's link writes")
        damage = elf_damage(elf, len(data))
        if damage:
            raise Refused("an ELF file %s" % damage if damage.startswith("cut") else
                          "a damaged ELF file: %s" % damage)
        segments = [segment.header for segment in elf.iter_segments()]
        sections = []
        for index in range(1, elf.num_sections()):
            section = elf.get_section(index)
            header = section.header
            if not header["sh_flags"] & SHF_ALLOC or header["sh_type"] in ("SHT_NOBITS", "SHT_NULL"):
                continue
            name = printable(section.name)
            # The ELF standard allows no allocated section to be compressed:
            # objcopy writes its stored bytes, a reader might inflate them.
            if header["sh_flags"] & SHF_COMPRESSED:
                raise Refused("an ELF file with its allocated section %s compressed (SHF_COMPRESSED), which "
                              "no loader unpacks: link the firmware without compressing it" % name)
            # Every other allocated section with contents is in objcopy's
            # image, a position-independent link's .dynsym and .dynamic too.
            sections.append((name, header, section.data()))
        return segments, sections
    except Refused:
        raise
    except Exception as e:  # noqa: BLE001  a damaged file fails the reader in many ways, each one a refusal
        raise Refused("an ELF file that does not read: %s" % (one_line(e) or type(e).__name__))


def in_segment(header, segment):
    # A section lies in a segment when both its file bytes and its run
    # addresses do.
    size = header["sh_size"]
    return (header["sh_offset"] >= segment["p_offset"]
            and header["sh_offset"] - segment["p_offset"] + size <= segment["p_filesz"]
            and header["sh_addr"] >= segment["p_vaddr"]
            and header["sh_addr"] - segment["p_vaddr"] + size <= segment["p_memsz"])


def load_address(header, segments):
    """Where flash holds a section, as objcopy reads it: from the first
    segment that holds it, at the segment's load (physical) address plus the
    section's offset in the segment's file bytes; a section in no segment at
    its own address."""
    loads = [s for s in segments if s["p_type"] == "PT_LOAD" and s["p_memsz"]]
    if len(loads) > 1 and not any(s["p_paddr"] for s in segments):
        # Some linkers leave every physical address zero: the addresses are
        # then the run addresses, lest the segments all land on zero.
        return header["sh_addr"]
    wanted = "PT_TLS" if header["sh_flags"] & SHF_TLS else "PT_LOAD"
    for segment in segments:
        if segment["p_type"] == wanted and in_segment(header, segment):
            return segment["p_paddr"] + header["sh_offset"] - segment["p_offset"]
    return header["sh_addr"]


def from_elf(data, base=IMAGE_BASE):
    """The image objcopy -O binary --gap-fill 0xff makes of an ELF file: each
    allocated section with contents at its load address."""
    segments, sections = elf_headers(data)
    pieces = [(("section " if contents else "empty section ") + name, load_address(header, segments), contents)
              for name, header, contents in sections]
    if not any(contents for label, address, contents in pieces):
        raise Refused("an ELF file with no loadable bytes (no allocated section with contents)")
    return place(pieces, "the ELF file", base)


def convert(data, base=IMAGE_BASE, vector_check=True):
    """(format, raw image) of a firmware file's content. vector_check is for
    ELF and HEX; a raw file is firmware only by its vector table."""
    if not data:
        raise Refused("the file is empty")
    if data.startswith(b"\x7fELF"):
        fmt, image = "ELF (32-bit ARM)", from_elf(data, base)
    elif not data.strip(data[:1]) and data[0] in (0, ERASED_BYTE):
        raise Refused("%d bytes, all %#04x: no firmware, but %s" % (len(data), data[0], "erased flash" if data[0] else
                      "a file of zeros, as a copy or download that never got its contents leaves"))
    elif HEX_START.match(without_bom(data)):
        fmt, image = "Intel HEX", from_hex(data, base)
    else:
        problem = vector_problem(data, raw=True)
        if problem:
            raise raw_refusal(data, problem)
        if len(data) > IMAGE_LIMIT_BYTES:
            raise Refused("a raw image of %d bytes, more than the %d KiB of flash from %#010x: a raw image that "
                          "big is usually initialised data linked without a load address in flash, which "
                          "objcopy -O binary then writes out up to its address in SRAM"
                          % (len(data), IMAGE_LIMIT_BYTES // 1024, base))
        return "raw image", data
    problem = vector_check and vector_problem(image, raw=False)
    if problem:
        raise Refused("%s; %s" % (problem, VECTOR_HINT))
    return fmt, image


def raw_refusal(data, problem):
    """What a raw file that is no firmware is, as far as its first bytes tell."""
    for magic, what in PACKED:
        if re.match(magic, data):
            return Refused("%s: give the firmware inside it, unpacked" % what)
    erased = len(data) - len(data.lstrip(bytes([ERASED_BYTE])))
    if erased >= 4:
        return Refused("the file begins with %d bytes of 0xff, erased flash: an image written from another address "
                       "than %#010x (from %#010x, the boot loader's 4 KiB left empty, say); %s"
                       % (erased, IMAGE_BASE, FLASH_START, RAW_HINT))
    text = as_text(data)
    if text:
        return text_refusal(*text)
    return Refused("%s; %s" % (problem, RAW_HINT))


def vector_words(image):
    if len(image) < 8:
        return None, None
    return struct.unpack_from("<II", image)


def vector_problem(image, raw):
    """Why the image does not begin with a Cortex-M vector table for
    IMAGE_BASE, or None: the initial stack pointer must be a word-aligned
    SRAM address, the reset handler and every other system vector that is
    not zero a Thumb address inside the image; a raw image's must not all lie
    past its first 4 KiB, as a .bin linked for a higher address has them."""
    if len(image) < 8:
        return "%d bytes, too short for the vector table a Cortex-M firmware begins with" % len(image)
    words = struct.unpack_from("<%dI" % min(len(SYSTEM_VECTORS), len(image) // 4), image)
    stack, end = words[0], IMAGE_BASE + len(image)
    if not (STACK_LOW <= stack <= STACK_HIGH) or stack % 4:
        return ("the first word, the initial stack pointer, is %#010x, not a word-aligned SRAM address "
                "(%#010x-%#010x): the file does not begin with a Cortex-M vector table"
                % (stack, STACK_LOW, STACK_HIGH))
    for index, vector in enumerate(words[1:], 1):
        name = "the reset handler" if index == 1 else "the %s vector (word %d)" % (SYSTEM_VECTORS[index], index + 1)
        if index > 1 and not vector:
            continue
        if not vector & 1:
            return ("%s is %#010x, an even address: a Cortex-M runs Thumb code only, so this is no vector table"
                    % (name, vector))
        if vector < IMAGE_BASE:
            return ("%s is %#010x, below the image at %#010x: the firmware was %s" % (name, vector, IMAGE_BASE,
                    "probably linked for 0x08000000, without the boot loader's 4 KB offset"
                    if vector >= FLASH_START else "linked for another address"))
        if vector >= end:
            return ("%s is %#010x, past the image's end at %#010x: the firmware was linked for another address "
                    "or the file is cut short" % (name, vector, end))
    if raw and min(vector for vector in words[1:] if vector) >= IMAGE_BASE + VECTOR_REACH_BYTES:
        return ("every vector lies past the first %d KiB of the image (the reset handler is %#010x): a .bin "
                "linked for a higher address than %#010x reads so" % (VECTOR_REACH_BYTES // 1024, words[1],
                                                                       IMAGE_BASE))
    return None


def remove_outputs(embed_dir):
    for name in OUTPUTS:
        try:
            os.unlink(os.path.join(embed_dir, name))
        except (FileNotFoundError, NotADirectoryError):
            pass


def write_if_changed(path, content):
    # An unchanged file keeps its time, so that configuring again does not
    # rebuild the resources.
    try:
        with open(path, "rb") as f:
            if f.read() == content:
                return
    except FileNotFoundError:
        pass
    with open(path + ".tmp", "wb") as f:
        f.write(content)
    os.replace(path + ".tmp", path)


def read_firmware(path):
    """The bytes of an ordinary file, read once; anything else is refused
    before a byte is read: a FIFO without a writer, a device, never end."""
    kind = NOT_ORDINARY.get(stat.S_IFMT(os.stat(path).st_mode))
    if kind:
        raise Refused("%s, not an ordinary file: give the firmware file itself" % kind)
    # Not blocking, in case a FIFO took the file's place meanwhile: it then reads empty.
    with os.fdopen(os.open(path, os.O_RDONLY | os.O_NONBLOCK), "rb") as f:
        data = f.read(FILE_LIMIT_BYTES + 1)
    if len(data) > FILE_LIMIT_BYTES:
        raise Refused("more than %d MiB, larger than any firmware file" % (FILE_LIMIT_BYTES // (1024 * 1024)))
    return data


def main(argv):
    args = argv[1:]
    vector_check = "--no-vector-check" not in args
    args = [a for a in args if a != "--no-vector-check"]
    copy = args[1] if args[:1] == ["--copy"] and len(args) == 4 else None
    args = args[2:] if copy else args
    if len(args) != 2:
        sys.stderr.write(__doc__)
        return 2
    firmware, embed_dir = args
    try:
        if os.path.exists(embed_dir) and not os.path.isdir(embed_dir):
            raise Refused("%s, where the image goes, is a file, not a folder" % embed_dir)
        data = read_firmware(firmware)
        fmt, image = convert(data, IMAGE_BASE, vector_check)
        name = os.path.basename(firmware)
        problem = firmware_identity.name_problem(name)
        if problem:
            raise Refused(problem)
        stack, reset = vector_words(image)
        checked = vector_check or fmt == "raw image"
        ident = firmware_identity.identity(image, name, fmt, IMAGE_BASE, reset, stack, checked)
        os.makedirs(embed_dir, exist_ok=True)
        write_if_changed(os.path.join(embed_dir, OUTPUTS[0]), image)
        write_if_changed(os.path.join(embed_dir, OUTPUTS[1]), firmware_identity.header(ident).encode("ascii"))
        write_if_changed(os.path.join(embed_dir, OUTPUTS[2]), firmware_identity.text(ident).encode("ascii"))
        if copy:
            write_if_changed(copy, data)
    except Refused as e:
        why = e
    except OSError as e:
        why = e.strerror if e.filename == firmware else "%s: %s" % (e.filename, e.strerror)
    else:
        return 0
    remove_outputs(embed_dir)
    sys.stderr.write("firmware %s: %s\n" % (firmware, why))
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
