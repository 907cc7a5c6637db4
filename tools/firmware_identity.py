"""Describes the firmware image a build embeds, so that the program's file
properties and a release's notes say which firmware it carries and where it
came from (tools/firmware_image.py writes both from the image it embeds).

The version resource gets #defines (header): the file's name and the raw
image's size, CRC-16 and SHA-256. The release notes get those and the source
file's format, the image's base, its reset handler and initial stack pointer,
and whether its vector table was checked (text), one "key value" a line.

The CRC-16 is the one the tool computes over the image padded with zeros to
whole 1024-byte blocks, printed as its trace prints it ("%#x"): the value the
device reports after a verified update.
"""

import hashlib
import os
import sys

# The scripts' one CRC-16 and padding, shared with the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "harness"))
from protocol import crc16_modbus, padded  # noqa: E402


def c_hex(value):
    # C's "%#x" writes no prefix for zero.
    return "%#x" % value if value else "0"


def name_problem(name):
    # File properties show the text in the resource's code page: a name
    # outside printable ASCII would show differently on every machine, and a
    # comma ends a field there. The build cannot carry ';' (a CMake list
    # separator), '"' or '\\' (a CMake path turns it into '/').
    bad = next((c for c in name if not " " <= c <= "~" or c in ',;"\\'), None)
    if not name or bad:
        return ("the file name %r holds %r, which cannot go into the file properties and the build: use "
                "printable ASCII without , ; \" or \\" % (name, bad))
    return None


def identity(image, name, fmt, base, reset, stack, vector_check):
    """reset and stack are None for an image shorter than a vector table."""
    return {
        "name": name,
        "format": fmt,
        "base": "%#010x" % base,
        "size": len(image),
        "reset": "none" if reset is None else "%#010x" % reset,
        "stack": "none" if stack is None else "%#010x" % stack,
        "vectors": "checked" if vector_check else "skipped",
        "crc16": c_hex(crc16_modbus(padded(image))),
        "sha256": hashlib.sha256(image).hexdigest(),
    }


def comments(ident):
    return "firmware %(name)s, %(size)d bytes, CRC-16 %(crc16)s, SHA-256 %(sha256)s" % ident


def rc_string(text):
    # The resource compiler reads C escapes and a doubled quote inside a string.
    return '"' + text.replace("\\", "\\\\").replace('"', '""') + '"'


def header(ident):
    return ("// Written by tools/firmware_image.py for the firmware this build embeds.\n"
            "#pragma once\n"
            "#define FIRMWARE_COMMENTS %s\n"
            "#define FIRMWARE_CRC16_TEXT %s\n"
            % (rc_string(comments(ident)), rc_string(ident["crc16"])))


def text(ident):
    return "".join("%s %s\n" % (key, ident[key])
                   for key in ("name", "format", "base", "size", "reset", "stack", "vectors",
                               "sha256", "crc16"))
