#!/usr/bin/python3
"""Turns the firmware file a build is given into the raw image the program
carries, after checking that it can be the firmware for 0x08001000, and
writes what the build embeds:

    firmware_image.py [--no-vector-check] FIRMWARE EMBED_DIR

EMBED_DIR/embedded_firmware.bin, the raw flash bytes from 0x08001000 on;
EMBED_DIR/firmware_identity.h and firmware_identity.txt, what the version
resource and the release notes say of it (tools/firmware_identity.py).

The format is told by the content, whatever the file is called: an ELF file
(32-bit little-endian ARM; the segments' file bytes at their load address),
Intel HEX, or else raw bytes taken as they are. Gaps inside HEX or ELF data
are 0xFF, as erased flash reads. A file that cannot be this firmware is
refused with one line on standard error naming it, exit status 1, and none of
the three files left in EMBED_DIR, so that no build can go on with an image
that was not meant. Debian's python3-intelhex and python3-pyelftools import
only in Debian's own interpreter, hence /usr/bin/python3.
"""

import io
import os
import struct
import sys

from elftools.common.exceptions import ELFError
from elftools.elf.elffile import ELFFile
from intelhex import IntelHex, IntelHexError

import firmware_identity

IMAGE_BASE = 0x08001000           # flash address of byte 0: behind the boot loader's 4 KiB
FLASH_START = 0x08000000          # start of flash, where the boot loader sits
IMAGE_LIMIT_BYTES = 1024 * 1024   # more flash than the device has; data past it is a mislink
STACK_LOW = 0x20000000            # SRAM region of a Cortex-M, where the initial stack pointer lies
STACK_HIGH = 0x3FFFFFFF
ERASED_BYTE = 0xFF                # what flash reads where nothing was written
OUTPUTS = ("embedded_firmware.bin", "firmware_identity.h", "firmware_identity.txt")
VECTOR_HINT = "scripts/release --no-vector-check skips this check for a firmware that does not begin with one"


class Refused(Exception):
    """The file cannot be the firmware; the text says why."""


def is_text(data):
    # Firmware has zero bytes and words of any value; a file of printable
    # characters and line ends is something a person or a tool wrote to read.
    try:
        decoded = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        return False
    return all(c.isprintable() or c in "\t\r\n\f\v" for c in decoded)


def text_part(data):
    # Some tools end a text file with a DOS end-of-file mark or pad it with
    # zero bytes; neither makes a HEX file a raw image.
    return data.rstrip(b"\x1a\0")


def place(memory, what):
    """The bytes from IMAGE_BASE to the last one, gaps erased."""
    if not memory.addresses():
        raise Refused("%s with no data bytes: the image would be empty" % what)
    low, high = memory.minaddr(), memory.maxaddr()
    if low < IMAGE_BASE:
        raise Refused("%s has data at %#010x, below %#010x where the boot loader lives: "
                      "the firmware must be linked for %#010x" % (what, low, IMAGE_BASE, IMAGE_BASE))
    if high >= IMAGE_BASE + IMAGE_LIMIT_BYTES:
        raise Refused("%s has data up to %#010x, past the %d KiB of flash from %#010x "
                      "(last address %#010x): data far away from the image, not the firmware's"
                      % (what, high, IMAGE_LIMIT_BYTES // 1024, IMAGE_BASE,
                         IMAGE_BASE + IMAGE_LIMIT_BYTES - 1))
    memory.padding = ERASED_BYTE
    return memory.tobinstr(start=IMAGE_BASE, end=high)


def from_hex(text):
    memory = IntelHex()
    try:
        memory.loadhex(io.StringIO(text))
    except IntelHexError as e:
        raise Refused("Intel HEX that does not read: %s" % e)
    # A start address record (03 or 05) says where execution begins; the
    # boot loader starts the firmware through its vector table instead.
    return place(memory, "Intel HEX")


def from_elf(data):
    try:
        elf = ELFFile(io.BytesIO(data))
        machine = elf["e_machine"]
        if elf.elfclass != 32 or not elf.little_endian or machine != "EM_ARM":
            raise Refused("an ELF file for %s, %d-bit %s-endian, not a 32-bit little-endian ARM program"
                          % (machine, elf.elfclass, "little" if elf.little_endian else "big"))
        memory = IntelHex()
        for segment in elf.iter_segments():
            if segment["p_type"] == "PT_LOAD" and segment["p_filesz"] > 0:
                # Flash holds a segment at its load (physical) address; the
                # virtual one is where it runs, in SRAM for initialised data.
                contents = segment.data()
                if len(contents) != segment["p_filesz"]:
                    raise Refused("an ELF file cut short: a segment for %#010x ends past the file's end"
                                  % segment["p_paddr"])
                memory.puts(segment["p_paddr"], contents)
    except ELFError as e:
        raise Refused("an ELF file that does not read: %s" % e)
    if not memory.addresses():
        raise Refused("an ELF file with no loadable bytes (no PT_LOAD segment with file contents)")
    return place(memory, "the ELF file")


def convert(data):
    """(format, raw image) of a firmware file's content."""
    if not data:
        raise Refused("the file is empty")
    if data.startswith(b"\x7fELF"):
        return "ELF (32-bit ARM)", from_elf(data)
    if is_text(text_part(data)):
        text = text_part(data).decode("utf-8-sig")
        first = text.lstrip().split("\n", 1)[0].strip()
        if first.startswith(":"):
            return "Intel HEX", from_hex(text)
        raise Refused("a text file, not Intel HEX, not ELF and not a raw image (it begins %r): "
                      "give the firmware build's .hex, .elf or raw .bin" % first[:40])
    return "raw image", data


def vector_words(image):
    if len(image) < 8:
        return None, None
    return struct.unpack_from("<II", image)


def check_vectors(image):
    """Refuses an image whose first two words cannot be this firmware's
    initial stack pointer and reset handler."""
    stack, reset = vector_words(image)
    end = IMAGE_BASE + len(image)
    if stack is None:
        raise Refused("%d bytes, too short for the vector table a Cortex-M firmware begins with; %s"
                      % (len(image), VECTOR_HINT))
    if not (STACK_LOW <= stack <= STACK_HIGH) or stack % 4:
        raise Refused("the first word, the initial stack pointer, is %#010x, not a word-aligned SRAM "
                      "address (%#010x-%#010x): the file does not begin with a Cortex-M vector table; %s"
                      % (stack, STACK_LOW, STACK_HIGH, VECTOR_HINT))
    if not reset & 1:
        raise Refused("the second word, the reset handler, is %#010x, an even address: a Cortex-M runs "
                      "Thumb code only, so this is no vector table; %s" % (reset, VECTOR_HINT))
    if reset < IMAGE_BASE:
        why = ("probably linked for 0x08000000, without the boot loader's 4 KB offset"
               if reset >= FLASH_START else "linked for another address")
        raise Refused("the reset handler is %#010x, below the image at %#010x: the firmware was %s"
                      % (reset, IMAGE_BASE, why))
    if reset >= end:
        raise Refused("the reset handler is %#010x, past the image's end at %#010x: the firmware "
                      "was linked for another address or the file is cut short" % (reset, end))


def remove_outputs(embed_dir):
    for name in OUTPUTS:
        try:
            os.unlink(os.path.join(embed_dir, name))
        except FileNotFoundError:
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


def main(argv):
    args = argv[1:]
    vector_check = "--no-vector-check" not in args
    args = [a for a in args if a != "--no-vector-check"]
    if len(args) != 2:
        sys.stderr.write(__doc__)
        return 2
    firmware, embed_dir = args
    try:
        with open(firmware, "rb") as f:
            data = f.read()
        fmt, image = convert(data)
        if vector_check:
            check_vectors(image)
        name = os.path.basename(firmware)
        problem = firmware_identity.name_problem(name)
        if problem:
            raise Refused(problem)
    except (OSError, Refused) as e:
        remove_outputs(embed_dir)
        sys.stderr.write("firmware %s: %s\n" % (firmware, getattr(e, "strerror", None) or e))
        return 1
    stack, reset = vector_words(image)
    ident = firmware_identity.identity(image, name, fmt, IMAGE_BASE, reset, stack, vector_check)
    os.makedirs(embed_dir, exist_ok=True)
    write_if_changed(os.path.join(embed_dir, OUTPUTS[0]), image)
    write_if_changed(os.path.join(embed_dir, OUTPUTS[1]), firmware_identity.header(ident).encode("ascii"))
    write_if_changed(os.path.join(embed_dir, OUTPUTS[2]), firmware_identity.text(ident).encode("ascii"))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
