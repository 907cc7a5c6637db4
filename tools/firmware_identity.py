#!/usr/bin/env python3
"""Describes the firmware image a build embeds, so that the program's file
properties and a release's notes say which firmware it carries.

    firmware_identity.py FIRMWARE NAME HEADER TEXT

FIRMWARE is the file the build embeds, NAME the file name to show for it (the
build embeds a copy under another name). Writes HEADER, #defines for the
resource script, and TEXT, the same facts one per line for the release notes.

The CRC-16 is the one the tool computes over the image padded with zeros to
whole 1024-byte blocks, printed as its trace prints it ("%#x"): the value the
device reports after a verified update.
"""

import hashlib
import os
import sys

# The scripts' one CRC-16 and padding, shared with the tests.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e", "harness"))
from protocol import crc16_modbus, padded_image  # noqa: E402

def c_hex(value):
    # C's "%#x" writes no prefix for zero.
    return "%#x" % value if value else "0"


def identity(firmware, data, name):
    return {
        "name": name,
        "size": len(data),
        "crc16": c_hex(crc16_modbus(padded_image(firmware))),
        "sha256": hashlib.sha256(data).hexdigest(),
    }


def comments(ident):
    return "firmware %(name)s, %(size)d bytes, CRC-16 %(crc16)s, SHA-256 %(sha256)s" % ident


def rc_string(text):
    # The resource compiler reads C escapes and a doubled quote inside a string.
    return '"' + text.replace("\\", "\\\\").replace('"', '""') + '"'


def header(ident):
    return ("// Written by tools/firmware_identity.py for the firmware this build embeds.\n"
            "#pragma once\n"
            "#define FIRMWARE_COMMENTS %s\n"
            "#define FIRMWARE_CRC16_TEXT %s\n"
            % (rc_string(comments(ident)), rc_string(ident["crc16"])))


def text(ident):
    return ("name %(name)s\n"
            "size %(size)d\n"
            "sha256 %(sha256)s\n"
            "crc16 %(crc16)s\n" % ident)


def write(path, content):
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(content)


def main(argv):
    if len(argv) != 5:
        sys.stderr.write(__doc__)
        return 2
    firmware, name, header_path, text_path = argv[1:]
    # File properties show the text in the resource's code page; a name
    # outside printable ASCII would show differently on every machine.
    if not name or not all(" " <= c <= "~" for c in name) or "," in name:
        sys.stderr.write("firmware_identity.py: firmware file name %r: use printable ASCII "
                         "without commas\n" % name)
        return 1
    with open(firmware, "rb") as f:
        data = f.read()
    if not data:
        sys.stderr.write("firmware_identity.py: %s is empty\n" % firmware)
        return 1
    ident = identity(firmware, data, os.path.basename(name))
    write(header_path, header(ident))
    write(text_path, text(ident))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
