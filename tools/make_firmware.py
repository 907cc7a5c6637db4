#!/usr/bin/env python3
"""Writes the stand-in firmware image that the update tool carries.

The image looks like what a Cortex-M part keeps in flash from 0x08001000 on,
behind its boot loader: a vector table (initial stack pointer in SRAM, then
Thumb handler addresses inside the image), pseudo-random "code", and a short
identification string at the end. Every byte comes from a fixed seed, so the
file is the same on every run and on every machine.

usage: make_firmware.py OUTPUT
"""

import struct
import sys

FIRMWARE_SIZE = 110784            # bytes, as the device's build gives it
FLASH_BASE = 0x08001000           # where byte 0 lands in flash
STACK_TOP = 0x20005000            # initial stack pointer: top of 20 KiB SRAM
VECTOR_COUNT = 16 + 68            # system exceptions, then the device's IRQs
SEED = 0x0E5C2A11                 # for the pseudo-random code bytes
RESERVED_VECTORS = (7, 8, 9, 10, 13)  # zero on a Cortex-M3
ID_TEXT = b"Orvex 2.0 stand-in firmware - test image, not for devices\0"


def xorshift32(state):
    """One step of Marsaglia's xorshift32: small, fixed and platform-free."""
    state ^= (state << 13) & 0xFFFFFFFF
    state ^= state >> 17
    state ^= (state << 5) & 0xFFFFFFFF
    return state


def vector_table():
    code_start = FLASH_BASE + VECTOR_COUNT * 4
    reset_handler = code_start + 0x100
    default_handler = code_start + 0x40
    words = [STACK_TOP, reset_handler | 1]
    for n in range(2, VECTOR_COUNT):
        if n in RESERVED_VECTORS:
            words.append(0)
        elif n < 16:
            words.append((code_start + 0x10 * n) | 1)
        else:
            words.append(default_handler | 1)
    return struct.pack("<%dI" % len(words), *words)


def code_bytes(count):
    out = bytearray()
    state = SEED
    while len(out) < count:
        state = xorshift32(state)
        out += struct.pack("<I", state)
    return bytes(out[:count])


def firmware():
    table = vector_table()
    body = code_bytes(FIRMWARE_SIZE - len(table) - len(ID_TEXT))
    image = table + body + ID_TEXT
    assert len(image) == FIRMWARE_SIZE
    return image


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    with open(argv[1], "wb") as f:
        f.write(firmware())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
