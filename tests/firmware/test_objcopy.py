"""The build's firmware converter (tools/firmware_image.py) against
arm-none-eabi-objcopy -O binary --gap-fill 0xff, a reader no one here wrote.

First the command line, with and without --no-vector-check, on files made
otherwise (raw vector tables, text with a stray control character, each
packer's output, no ordinary file, special names): what it takes must be
objcopy's image. Then, from a seed each, an ELF file the ARM tools link (out
of address order, gaps, data loaded for SRAM, .bss, empty sections, one in no
segment or at the 1 MiB limit, -pie), HEX objcopy writes of one or of raw bytes
(other record lengths, CRLF, lower case), or a raw image beginning ' :': its
image must be objcopy's, none for a start moved. Then it damaged (cut, bytes
changed, HEX doubled or joined or in UTF-16 or behind a NUL, ELF headers
changed or unlinked or compressed) must be refused in one line, saying why
where the converter knows, or give objcopy's image where objcopy reads it.
"""

import bz2
import gzip
import io
import lzma
import os
import random
import re
import socket
import struct
import subprocess
import sys
import zlib

import pytest
from elftools.elf.elffile import ELFFile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import firmware_image  # noqa: E402

SHF_ALLOC = 0x2

CASES = 60
SEED = 0x0F1A5B
BASE = firmware_image.IMAGE_BASE
MUTANTS_PER_KIND = 3

# What a position-independent link adds to flash.
DYNAMIC = ("interp", "dynsym", "dynstr", "hash", "rel.dyn", "dynamic")
ASM = """ .syntax unified
 .thumb
 .section .vectors, "a"
 .word 0x20010000, reset_handler
 .incbin "vectors.bin"
 .text
 .thumb_func
reset_handler: b reset_handler
 .incbin "text.bin"
 .section .rodata, "a"
 .incbin "rodata.bin"
 .section .config, "a"
 .incbin "config.bin"
 .data
 .incbin "data.bin"
 .bss
 .space 256
 .section .empty, "a"
"""


def run(*argv, cwd):
    done = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, capture_output=True)
    return done.returncode, done.stderr.decode(errors="replace")


def tool(*argv, cwd):
    code, text = run(*argv, cwd=cwd)
    assert code == 0, "%s: %s" % (" ".join(argv), text)


def objcopy_image(path, fmt):
    """objcopy's image of the file, or None where objcopy does not read it."""
    out = str(path) + ".ref"
    code, _ = run("arm-none-eabi-objcopy", "-I", fmt, "-O", "binary", "--gap-fill", "0xff", str(path), out, cwd="/")
    return open(out, "rb").read() if code == 0 else None


def linker_script(rng, pie):
    """Sections in another order than their addresses: .config high in flash
    comes first; padding from alignment between the flash sections; .data
    run in SRAM, loaded in flash behind them."""
    at_limit = ".empty 0x{0:x} : AT(0x{0:x}) {{ KEEP(*(.empty)) }}".format(BASE + firmware_image.IMAGE_LIMIT_BYTES)
    # Inside the last section (.config, the highest) an empty one is no overlap.
    at_end = [at_limit, ".empty {0} : AT({0}) {{ KEEP(*(.empty)) }}".format("ADDR(.config) + SIZEOF(.config) / 2")]
    empty = rng.choice(["", ".empty : { KEEP(*(.empty)) }", *at_end,
                        ".empty 0x%x : { KEEP(*(.empty)) }" % (BASE + 0x30000 + rng.randrange(0, 0x100, 4))])
    phdrs = rng.random() < 0.3
    # With program headers of its own, .rodata may go in no segment at all.
    place = (lambda segment: " :" + segment) if phdrs else (lambda segment: "")
    rodata_segment = rng.choice(["NONE", "flash"])
    return "\n".join([
        "PHDRS { flash PT_LOAD; config PT_LOAD; data PT_LOAD; }" if phdrs else "",
        "SECTIONS {",
        " .config 0x%x : { KEEP(*(.config)) }%s" % (BASE + 0x20000 + rng.randrange(0, 0x800, 4), place("config")),
        " .vectors 0x%x : { KEEP(*(.vectors)) }%s" % (BASE, place("flash")),
        " .text ALIGN(%d) : { *(.text) }%s" % (rng.choice([2, 4, 16, 256]), place("flash")),
        " .rodata ALIGN(%d) : { *(.rodata) }%s" % (rng.choice([1, 8, 64, 1024]), place(rodata_segment)),
        " %s" % (empty + (place("flash") if empty else "")) if empty not in at_end else "",
        "".join(" .%s : { *(.%s) }%s" % (name, name, place("flash")) for name in DYNAMIC * pie),
        " _data_load = ALIGN(%d);" % rng.choice([4, 64]),
        " .data 0x20000000 : AT(_data_load) { *(.data) }%s" % place("data"),
        " .bss : { *(.bss) }%s" % place("data"),
        # objcopy's image then runs up to the limit and no further, or ends with .config.
        empty + place("NONE") if empty in at_end else "",
        "}"])


def make_elf(rng, d):
    for name, most in (("vectors", 0x180), ("text", 0x800), ("rodata", 0x400), ("config", 0x40), ("data", 0x200)):
        open(os.path.join(d, name + ".bin"), "wb").write(rng.randbytes(rng.randrange(1, most)))
    open(os.path.join(d, "app.s"), "w").write(ASM)
    pie = rng.random() < 0.2
    open(os.path.join(d, "app.ld"), "w").write(linker_script(rng, pie))
    tool("arm-none-eabi-as", "-mcpu=cortex-m3", "-o", "app.o", "app.s", cwd=d)
    # Now and then position-independent: .dynsym, .dynamic and the like in flash too.
    tool("arm-none-eabi-ld", "--no-warn-rwx-segments", *["-pie"] * pie, "-T", "app.ld", "-o", "app.elf", "app.o", cwd=d)
    return os.path.join(d, "app.elf")


def rewrite_hex(text, rng):
    """objcopy's HEX records again, data records of another length, in
    lower case or with CRLF."""
    lines = text.splitlines()
    length = rng.choice([16, 32, 255, 7, 12])
    if length != 16:
        runs, upper = [], 0
        for line in lines:
            record = bytes.fromhex(line[1:])
            if record[3] == 4:
                upper = int.from_bytes(record[4:6], "big") << 16
            elif record[3] == 0:
                address = upper + int.from_bytes(record[1:3], "big")
                if runs and runs[-1][0] + len(runs[-1][1]) == address:
                    runs[-1][1].extend(record[4:-1])
                else:
                    runs.append((address, bytearray(record[4:-1])))
        lines, upper = [], None
        for address, data in runs:
            for at in range(0, len(data)):
                here = address + at
                if at % length and here & 0xFFFF:
                    continue
                if here >> 16 != upper:
                    upper = here >> 16
                    lines.append(hex_line(0, 4, upper.to_bytes(2, "big")))
                # A record ends at the next multiple of its length or at a 64 KiB boundary.
                stop = min((at // length + 1) * length, at + 0x10000 - (here & 0xFFFF))
                lines.append(hex_line(here & 0xFFFF, 0, data[at:stop]))
        lines.append(":00000001FF")
    if rng.random() < 0.3:
        lines = [line.lower() for line in lines]
    return (("\r\n" if rng.random() < 0.5 else "\n").join(lines) + "\n").encode("ascii")


def hex_line(address, kind, data):
    record = bytes([len(data), address >> 8, address & 0xFF, kind]) + bytes(data)
    return ":" + (record + bytes([-sum(record) & 0xFF])).hex().upper()


def firmware(seed, d):
    """(file, format for objcopy, base) of the case's firmware."""
    rng = random.Random(SEED + seed)
    kind = seed % 5
    if kind == 4:
        path = os.path.join(d, "app.bin")
        # A stack pointer that begins ' :' (and ' :0 ', though no HEX record), the other system vectors zero.
        stack = rng.choice([0x20003A20, 0x20303A20])
        open(path, "wb").write(vectors(stack, BASE + 9) + rng.randbytes(rng.randrange(0x1000)))
        return path, "binary", BASE
    if kind in (0, 1):
        elf = make_elf(rng, d)
        if kind == 0:
            return elf, "elf32-littlearm", BASE
        tool("arm-none-eabi-objcopy", "-O", "ihex", elf, "app.hex", cwd=d)
    else:
        size = rng.randrange(1, 0x1000)
        # Below 1 MiB objcopy writes extended segment records, past it linear
        # ones; an image read from another base than the firmware's now and
        # then crosses from one 64 KiB to the next.
        base = (BASE + rng.choice([0, 0x10000 - rng.randrange(1, size + 1)]) if kind == 2
                else 0x100000 - rng.randrange(1, size + 1))
        open(os.path.join(d, "app.bin"), "wb").write(rng.randbytes(size))
        tool("arm-none-eabi-objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", str(base),
             "app.bin", "app.hex", cwd=d)
    path = os.path.join(d, "app.hex")
    text = open(path).read()
    if kind == 3:
        assert ":02000002" in text, "a raw image below 1 MiB gives extended segment records"
        data = (text.replace("\n", "\r\n") if rng.random() < 0.5 else text).encode("ascii")
    else:
        data = rewrite_hex(text, rng)
    open(path, "wb").write(data)
    return path, "ihex", BASE if kind == 1 else base


def mutants(data, fmt, rng):
    """(what, damaged content, a pattern its refusal must match: None where it may be converted, False where it
    must be) of one firmware file."""
    pack = rng.choice([gzip.compress, bz2.compress, lzma.compress])
    yield "compressed by %s" % pack.__name__, pack(data), "compressed"
    if fmt == "binary":
        return
    if fmt == "ihex":
        for codec, mark in (("le", b""), ("le", b"\xff\xfe"), ("be", b""), ("be", b"\xfe\xff")):
            yield ("saved as UTF-16 %s%s" % (codec, " with a byte-order mark" * bool(mark)),
                   mark + data.decode("ascii").encode("utf-16-" + codec),
                   "Intel HEX, UTF-16 %s-endian %s a byte-order mark .*save it as ASCII.*Out-File -Encoding ascii"
                   % ("little" if codec == "le" else "big", "with" if mark else "without"))
        first = re.escape(data[:40].splitlines()[0].decode())
        yield "behind a NUL byte", b"\0" + data, "Intel HEX, ASCII behind 1 NUL byte \\(it begins '%s'\\)" % first
        yield "CR line ends", re.sub(rb"\r?\n", b"\r", data), False
        yield "blanks after the end record", data.rstrip() + b" \t \r\n", False
        lines = data.splitlines(keepends=True)
        for n in range(len(lines) - 1):
            yield "cut after line %d" % (n + 1), b"".join(lines[:n + 1]), None
        for _ in range(MUTANTS_PER_KIND):
            n = rng.randrange(len(lines))
            line = lines[n].rstrip(b"\r\n")
            broken = line[:-2] + b"%02X" % ((int(line[-2:], 16) + rng.randrange(1, 256)) & 0xFF)
            yield ("checksum broken on line %d" % (n + 1), b"".join(lines[:n] + [broken + b"\n"] + lines[n + 1:]),
                   None)
            n = rng.randrange(len(lines))
            yield "line %d doubled" % (n + 1), b"".join(lines[:n + 1] + lines[n:]), None
        yield "two files joined", data + data, None
        yield "a byte that is not text at the end", data + bytes([rng.choice([0, 1, 0x80, 0xFF])]), None
        positions = [rng.randrange(len(data)) for _ in range(4 * MUTANTS_PER_KIND)]
        values = b"0123456789abcdefABCDEF:G \t\r\n\x00\xff"
    else:
        for _ in range(MUTANTS_PER_KIND):
            n = rng.randrange(4, len(data))
            yield "cut at byte %d" % n, data[:n], "an ELF file cut short"
        yield "an object file, not linked", data[:16] + b"\1" + data[17:], "not linked"
        # An allocated section stored compressed, as objcopy stores a debug section: Elf32_Chdr, zlib.
        elf = ELFFile(io.BytesIO(data))
        for at, value, says in ((18, 3, "for EM_386"), (42, 33, "headers of another size"), (50, 1, "no section name"),
                                (elf["e_shoff"] + 64, 0xFFFF, "section 1 has its name or link outside")):
            yield "%d at byte %d" % (value, at), data[:at] + struct.pack("<H", value) + data[at + 2:], says
        n, sec = next((n, s) for n, s in enumerate(elf.iter_sections()) if s["sh_flags"] & SHF_ALLOC and s.data())
        at, blob = elf["e_shoff"] + 40 * n, struct.pack("<3I", 1, sec["sh_size"], 1) + zlib.compress(sec.data())
        yield ("%s compressed" % sec.name, data[:at + 8] + struct.pack("<4I", sec["sh_flags"] | 0x800, sec["sh_addr"],
               len(data), len(blob)) + data[at + 24:] + blob, "%s compressed" % sec.name)
        # The headers that place the bytes: the file's, the segments', the
        # allocated sections'; and their contents. (objcopy refuses some
        # damage to the symbol table and the like, which never reaches the image.)
        positions = list(range(52 + 32 * elf["e_phnum"]))
        for index, section in enumerate(elf.iter_sections()):
            if section["sh_flags"] & SHF_ALLOC:
                at = elf["e_shoff"] + 40 * index
                positions += list(range(at + 4, at + 24))
                positions += [rng.randrange(section["sh_offset"], section["sh_offset"] + section["sh_size"])
                              for _ in range(section["sh_size"] and 2)]
        positions = rng.sample(positions, 6 * MUTANTS_PER_KIND)
        values = bytes(range(256))
    for at in positions:
        value = rng.choice(values)
        if value != data[at]:
            yield "byte %d changed to %#04x" % (at, value), data[:at] + bytes([value]) + data[at + 1:], None


# objcopy's input format for each of the converter's.
OBJCOPY_FORMAT = {"ELF (32-bit ARM)": "elf32-littlearm", "Intel HEX": "ihex", "raw image": "binary"}


def converted(data, base):
    """(objcopy's name of the format it was read as, image), or the one-line refusal. The generator's
    ELF and HEX do not begin with a vector table; a raw file must."""
    try:
        fmt, image = firmware_image.convert(data, base, vector_check=False)
        return (OBJCOPY_FORMAT[fmt], image), None
    except firmware_image.Refused as e:
        return None, str(e)


def vectors(stack, reset, size=64):
    return struct.pack("<II", stack, reset).ljust(size, b"\0")


def ihex(data, address=BASE):
    lines = [hex_line((address + at) & 0xFFFF, 0, data[at:at + 16]) for at in range(0, len(data), 16)]
    return "\n".join([hex_line(0, 4, (address >> 16).to_bytes(2, "big"))] + lines + [":00000001FF\n"]).encode()


def shell(command):  # the file a shell command writes, from app.hex beside it
    return lambda path: subprocess.run(command, shell=True, cwd=path.parent, stdout=path.open("wb"), check=True)


MIB = firmware_image.IMAGE_LIMIT_BYTES
GOOD = vectors(0x20000000, BASE + 9)
# (file name, content: bytes, a shell command that writes it from app.hex (GOOD as HEX), or a function that makes
# it; a pattern the refusal matches (None: converted to objcopy's image); whether --no-vector-check lets it by).
# A raw file is firmware only by its vector table, whatever the flags.
COMMAND_CASES = [
    ("app.bin", vectors(0x20000000, BASE + 7, 8), None, False),
    ("app.bin", vectors(0x20003A20, BASE + 9, MIB), None, False),
    ("app.bin", vectors(0x20303A20, BASE + 9), None, False),  # ' :0 ' begins no HEX record
    ("app.bin", GOOD[:7], "7 bytes, too short for the vector table", False),
    ("app.bin", vectors(0x1FFFFFFC, BASE + 9), "pointer, is 0x1ffffffc, not a word-aligned SRAM address", False),
    ("app.bin", vectors(0x40000000, BASE + 9), "pointer, is 0x40000000, not", False),
    ("app.bin", vectors(0x20000002, BASE + 9), "pointer, is 0x20000002, not", False),
    ("app.bin", vectors(0x20000000, BASE + 8), "reset handler is 0x08001008, an even address", False),
    ("app.bin", vectors(0x20000000, 0), "reset handler is 0x00000000, an even address", False),
    ("app.bin", vectors(0x20000000, BASE - 1), "0x08000fff, below the image .* probably linked for 0x08000000", False),
    ("app.bin", vectors(0x20000000, 0x07FFFFFF), "0x07ffffff, below the image .* linked for another address", False),
    ("app.bin", vectors(0x20000000, BASE + 0x41, 0x41), "0x08001041, past the image's end at 0x08001041", False),
    ("app.bin", GOOD[:60] + struct.pack("<I", BASE + 0x40), r"SysTick vector \(word 16\) is 0x08001040, an ev", False),
    ("app.bin", vectors(0x20000000, BASE + 0x1041, 0x2000), "every vector lies past the first 4 KiB .*08002041", False),
    ("app.bin", b"\xff" * 4096 + GOOD, "begins with 4096 bytes of 0xff, erased flash: .* give the ELF", False),
    ("app.bin", vectors(0x20000000, BASE + 9, MIB + 1), "a raw image of 1048577 bytes, more than the 1024 KiB", False),
    ("app.bin", bytes(1), "1 bytes, all 0x00: no firmware, but a file of zeros", False),
    ("app.hex", ihex(vectors(0x1FFFFFFC, BASE + 9)), "pointer, is 0x1ffffffc, .*; scripts/release --no-vector-c", True),
    ("app.hex", ihex(GOOD[:12] + struct.pack("<I", 0x20000101)), r"HardFault vector \(word 4\) is 0x20000101", True),
    ("app.hex", ihex(GOOD) + b"\x1a\r\n", None, False),
    ("app.hex", b":020000040801F0\n:00000001FF\n", "checksum 0xf0, where the record's bytes call for 0xf1", False),
    ("app.hex", ihex(vectors(0x20000000, BASE + 0x1041, 0x2000)), None, False),  # HEX says where its vectors lie
    ("app.hex", ihex(GOOD)[:-12], r"no end-of-file record \(:00000001FF\) after its last line, line 5;", False),
    ("app.hex", ihex(GOOD) + b"end\n", r"Intel HEX with text after its end-of-file record on line 6 \(line 7\)", False),
    ("app.hex", "\n".join([hex_line(0, 4, b"\x08\x00"), hex_line(0x1000, 0, vectors(0x20000000, BASE + 7, 8)),
                           hex_line(0, 4, b"\x20\x00"), hex_line(0, 0, b"data"), ":00000001FF"]).encode(),
     r"data up to 0x20000003 \(line 4 at 0x20000000\), past .* \(last address 0x08100fff\): initialised data", False),
    # Text, now and then with a character that text seldom holds.
    ("app.map", "Memory Configuration\n\nGr\xf6\xdfe\n".encode("latin-1"), "a map or listing file, single-byte", False),
    ("app.srec", b"S00600004844521B\n\0" + b"S9030000FC\n" * 3, "an S-record file, ASCII", False),
    ("build.log", b"\x1b[32mCompiling main.c\x1b[0m\n" * 2, "a text file, ASCII", False),
    ("README", "Orvex 2.0 firmware 1.4, what is new in it: \ufffd\n".encode(), "UTF-8 .*'Orvex .* in i'\\)", False),
    ("app.hex", ihex(GOOD).decode().encode("utf-32"), "Intel HEX, UTF-32 little-endian with a .*Encoding ascii", False),
    ("app.hex", ihex(GOOD).decode().encode("utf-32-be"), "Intel HEX, UTF-32 big-endian without a", False),
    ("app.txt", "Firmware 1.4 costs 5 \u20ac each\n".encode("utf-16-le"), "a text file, UTF-16 little-endian", False),
    # Compressed and archived, by Debian's tools or (where the tool is not installed) their first bytes.
    *[("app.pk", shell(command), what + r"\b.*: give the firmware inside it, unpacked", False) for command, what in [
        ("gzip -c app.hex", "a gzip"), ("bzip2 -c app.hex", "a bzip2"), ("xz -c app.hex", "an xz"),
        ("xz --format=lzma -c app.hex", "an lzma"), ("zstd -qc app.hex", "a zstd"), ("lz4 -qc app.hex", "an lz4"),
        ("zip -q - app.hex", "a zip"), ("tar -c app.hex", "a tar"), ("ar qcS app.a app.hex && cat app.a", "an ar"),
        ("printf '\\37\\235\\220'; cat app.hex", "a compress"), ("printf '7z\\274\\257\\47\\34'", "a 7z"),
        ("printf 'MZ\\220'; zip -q - app.hex | cat", "a Windows program"), ("printf 'x\\234'; cat app.hex", "a zlib")]],
    ("app.fifo", os.mkfifo, r"a FIFO \(named pipe\), not an ordinary file", False),
    ("app.bin", os.mkdir, "a folder, not an ordinary file", False),
    ("zero.bin", lambda path: path.symlink_to("/dev/zero"), "a character device, not", False),
    ("app.sock", lambda path: socket.socket(socket.AF_UNIX).bind(str(path)), "a socket, not", False),
    *[(name, GOOD, re.escape("the file name %r holds %r, which cannot go" % (name, bad)) if bad else None, False)
      for name, bad in [("app,1.bin", ","), ("app;2.bin", ";"), ('app"q.bin', '"'), ("app\\2.bin", "\\"),
                        ("\xdcbung.bin", "\xdc"), ("app $x (2) #'.bin", None)]],
]


@pytest.mark.parametrize("name, content, says, flag_passes", COMMAND_CASES, ids=[case[0] for case in COMMAND_CASES])
@pytest.mark.parametrize("check", [True, False])
def test_command(name, content, says, flag_passes, check, tmp_path, capsys):
    # Converted: the three files rewritten, the image objcopy's, the copy the file. Refused: one line, nothing left.
    says = None if flag_passes and not check else says
    path, embed = tmp_path / name, tmp_path / "embed"
    (tmp_path / "app.hex").write_bytes(ihex(GOOD))
    content(path) if callable(content) else path.write_bytes(content)
    embed.mkdir()
    for output in firmware_image.OUTPUTS:
        (embed / output).write_text("from the last build")
    args = ["--no-vector-check"] * (not check) + ["--copy", str(embed / "copy"), str(path), str(embed)]
    code, err = firmware_image.main(["firmware_image.py"] + args), capsys.readouterr().err
    if says is None:
        ident = dict(line.split(" ", 1) for line in (embed / firmware_image.OUTPUTS[2]).read_text().splitlines())
        image, header = ((embed / output).read_bytes() for output in firmware_image.OUTPUTS[:2])
        assert code == 0 and err == "" and image == objcopy_image(path, OBJCOPY_FORMAT[ident["format"]])
        assert ident["vectors"] == ("checked" if check or ident["format"] == "raw image" else "skipped") and (
            embed / "copy").read_bytes() == path.read_bytes() and ident["stack"] != "none" and b"FIRMWARE" in header
    else:
        assert code == 1 and err.startswith("firmware %s: " % path) and re.search(says, err) and err.count("\n") == 1
        assert not any(embed.iterdir())


@pytest.mark.parametrize("args, code, says", [
    ([], 2, "FIRMWARE EMBED_DIR"), (["no.bin", "."], 1, "firmware no.bin: No such file"),
    (["app.bin", "app.bin"], 1, "app.bin: app.bin, where the image goes, is a file, not a folder")])
def test_command_line(args, code, says, tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "app.bin").write_bytes(vectors(0x20000000, BASE + 9))
    assert firmware_image.main(["firmware_image.py"] + args) == code and says in capsys.readouterr().err


# The slowest last: a test run that stops at the first failure ends sooner.
@pytest.mark.parametrize("seed", range(CASES))
def test_image_is_objcopys(seed, tmp_path):
    path, fmt, base = firmware(seed, str(tmp_path))
    data = open(path, "rb").read()
    image, refusal = converted(data, base)
    assert refusal is None, "%s refused: %s" % (path, refusal)
    assert image == (fmt, objcopy_image(path, fmt)), "%s: not objcopy's image" % path
    for moved in (0x100, 0x1000) if fmt != "binary" else ():
        assert "has its first data at %#010x" % base in converted(data, base - moved)[1], "start moved by %#x" % moved

    rng = random.Random(-seed)
    damaged = os.path.join(str(tmp_path), "damaged")
    for what, content, says in mutants(data, fmt, rng):
        image, refusal = converted(content, base)
        if refusal is not None:
            assert says is not False and refusal.strip() and "\n" not in refusal and re.search(says or "", refusal), \
                "%s: %s" % (what, refusal)
            continue
        assert not says, "%s: converted, where it must be refused" % what
        # A damaged ELF file that no longer begins like one is a raw image
        # (which the build's vector check then refuses).
        read_as, image = image
        open(damaged, "wb").write(content)
        reference = objcopy_image(damaged, read_as)
        assert reference is not None, "%s: converted, where objcopy does not read it" % what
        assert image == reference, "%s: not objcopy's image" % what
