#!/usr/bin/python3
"""scripts/release on a committed copy of the tree as it is, each step in main()
and its check_* function: refused with a change not committed; a release signed
with a throwaway certificate and time-stamped by an RFC 3161 authority of this
test's own on 127.0.0.1, from the image the Windows build embeds given as Intel
HEX. Built again elsewhere, its unsigned program must be byte for byte
WIN32_BUILD_DIR's installer.exe: neither a time nor a path may get into the file.
The signed program is left as OUT_DIR/signed/installer.exe for a run under Wine.
Firmware files made here with the ARM tools check the rest of the firmware's way in.

usage: release_test.py SOURCE_DIR OUT_DIR VERSION WIN32_BUILD_DIR
"""

import hashlib
import http.server
import os
import re
import shutil
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "harness"))
from protocol import crc16_modbus, padded_image  # noqa: E402  the test scripts' one CRC-16
import pe_check  # noqa: E402  the checks of the built program, here on the released one

RELEASE_TIMEOUT_S = 400
CERT_SUBJECT = "/CN=Orvex release check (throwaway)"
TSA_CA_SUBJECT = "/CN=Orvex release check time-stamp CA (throwaway)"
TSA_SUBJECT = "/CN=Orvex release check time-stamp authority (throwaway)"
TSA_REPLY_TIMEOUT_S = 30
TIMESTAMP_OK = "Timestamp Server Signature verification: ok"
TIMESTAMP_FAILED = "Timestamp Server Signature verification: failed"
DIST_FILES = ["RELEASE.txt", "SHA256SUMS", "installer.exe", "instructions.html"]
BLOCK_BYTES = 1024

failures = []


def check(condition, what, detail=""):
    print("%s  %s%s" % ("PASS" if condition else "FAIL", what, "  [%s]" % detail if detail and not condition else ""))
    if not condition:
        failures.append(what)
    return condition


def run(argv, cwd=None, log=None, timeout=60, env=None):
    done = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=timeout, env=env)
    if log:
        open(log, "w").write(done.stdout)
    return done.returncode, done.stdout


def tool(*argv):
    """A tool's output; a tool that fails stops the check."""
    code, text = run(list(argv))
    if code != 0:
        raise RuntimeError("%s failed: %s" % (" ".join(argv[:2]), text))
    return text


def certificate(out, name, subject, extensions, issuer=()):
    """A throwaway certificate and its key, self-signed or issued by the
    issuer's certificate and key: their paths."""
    cert, key = os.path.join(out, name + ".cert.pem"), os.path.join(out, name + ".key.pem")
    tool("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
         "-subj", subject, *[arg for extension in extensions for arg in ("-addext", extension)],
         *[arg for option, path in zip(("-CA", "-CAkey"), issuer) for arg in (option, path)])
    return cert, key


TSA_CONFIG = """[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {dir}/tsa.serial
signer_cert = {dir}/tsa.cert.pem
certs = {dir}/tsa-ca.cert.pem
signer_key = {dir}/tsa.key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def timestamp_authority(out):
    """A CA and a time-stamping certificate it issued (extended key usage
    timeStamping, critical), and openssl ts's configuration for them: the
    path of the configuration and of the CA's certificate."""
    tsa = os.path.join(out, "tsa")
    os.makedirs(tsa)
    ca = certificate(tsa, "tsa-ca", TSA_CA_SUBJECT,
                     ["basicConstraints=critical,CA:TRUE", "keyUsage=critical,keyCertSign,cRLSign"])
    certificate(tsa, "tsa", TSA_SUBJECT, ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature",
                                          "extendedKeyUsage=critical,timeStamping"], issuer=ca)
    open(os.path.join(tsa, "tsa.serial"), "w").write("01\n")
    config = os.path.join(tsa, "tsa.cnf")
    open(config, "w").write(TSA_CONFIG.format(dir=tsa))
    return config, ca[0]


def timestamp_server(config):
    """An HTTP server on 127.0.0.1, on a port the system picks, that answers
    each POSTed time-stamp query with openssl ts's reply; it serves from a
    thread until shutdown()."""
    query, reply = (os.path.join(os.path.dirname(config), name) for name in ("query.tsq", "reply.tsr"))

    class Handler(http.server.BaseHTTPRequestHandler):  # one request at a time: HTTPServer does not thread
        timeout = TSA_REPLY_TIMEOUT_S

        def do_POST(self):
            open(query, "wb").write(self.rfile.read(int(self.headers.get("Content-Length", 0))))
            code, text = run(["openssl", "ts", "-reply", "-config", config, "-queryfile", query, "-out", reply],
                             timeout=TSA_REPLY_TIMEOUT_S)
            if code != 0:
                print("openssl ts -reply: " + text)
                self.send_error(500, "openssl ts gave no reply")
                return
            answer = open(reply, "rb").read()
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)

        def log_message(self, *args):
            pass

    server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def copy_tree(source, target):
    """The working tree's files as they are: tracked and new ones, not the ignored."""
    listed = subprocess.run(["git", "-C", source, "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], check=True, capture_output=True).stdout
    for name in sorted(set(listed.decode().split("\0")) - {""}):
        path = os.path.join(source, name)
        if os.path.isfile(path):  # a file deleted but not yet committed is gone
            os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
            shutil.copy2(path, os.path.join(target, name))


# A Cortex-M program for ORIGIN as a firmware team's build makes one: a vector
# table, a reset handler, initialised data that flash keeps for SRAM, and a
# word placed CONFIG, after a gap in the same segment (the linker writes zeros
# there, objcopy's image has 0xFF).
FIXTURE_ASM = """ .syntax unified
 .thumb
 .section .vectors, "a"
 .word _stack_top, reset_handler, reset_handler, reset_handler
 .space 48
 .text
 .thumb_func
reset_handler: ldr r0, =_data_load
 b reset_handler
 .data
 .word 0x12345678
 .section .config, "a"
 .word 0xC0FFEE00
"""
FIXTURE_LD = """MEMORY { FLASH : ORIGIN = %(origin)#x, LENGTH = 64K  RAM : ORIGIN = 0x20000000, LENGTH = 20K }
SECTIONS { .text : { KEEP(*(.vectors)) *(.text*) } > FLASH  .config %(config)s : { KEEP(*(.config)) } > FLASH
    .data : { *(.data*) } > RAM AT > FLASH  _data_load = LOADADDR(.data);
    _stack_top = ORIGIN(RAM) + LENGTH(RAM); }
"""
FIXTURE_CONFIG = "ALIGN(0x100)"


def hex_of(raw, path, address):
    tool("arm-none-eabi-objcopy", "-I", "binary", "-O", "ihex", "--change-addresses", str(address), raw, path)


def make_fixtures(out, firmware):
    """The firmware files of the checks, by name, made by the tools a firmware team uses."""
    d = os.path.join(out, "fixtures")
    os.makedirs(d)
    f = {name: os.path.join(d, name) for name in ("app.s", "app.o", "app.elf", "app.bin", "app0.elf", "app0.bin",
                                                  "eof.hex", "low.hex", "far.bin", "far.hex", "empty.bin",
                                                  "nothing.hex", "app.srec", "README", "nothing.o", "overlap.elf",
                                                  "app.hex", "cut.hex", "joined.hex", "binary.hex", "2mib.bin",
                                                  "fifo", "app;v2.hex", "fw $x (2).bin")}
    open(f["app.s"], "w").write(FIXTURE_ASM)
    tool("arm-none-eabi-as", "-mcpu=cortex-m3", "-o", f["app.o"], f["app.s"])
    # overlap.elf: .config 8 bytes into .text, which only a link told not to check makes.
    for elf, origin, config in (("app.elf", 0x08001000, FIXTURE_CONFIG), ("app0.elf", 0x08000000, FIXTURE_CONFIG),
                                ("overlap.elf", 0x08001000, "ORIGIN(FLASH) + 8")):
        open(f[elf] + ".ld", "w").write(FIXTURE_LD % {"origin": origin, "config": config})
        tool("arm-none-eabi-ld", "--no-check-sections", "-T", f[elf] + ".ld", "-o", f[elf], f["app.o"])
    tool("arm-none-eabi-objcopy", "-O", "binary", "--gap-fill", "0xff", f["app.elf"], f["app.bin"])
    tool("arm-none-eabi-objcopy", "-O", "binary", f["app0.elf"], f["app0.bin"])
    tool("arm-none-eabi-objcopy", "-O", "srec", f["app.elf"], f["app.srec"])
    tool("arm-none-eabi-as", "-o", f["nothing.o"], os.devnull)
    hex_of(f["app.bin"], f["eof.hex"], 0x08001000)
    open(f["eof.hex"], "ab").write(b"\x1a")  # the DOS end-of-file mark some tools still write
    hex_of(firmware, f["low.hex"], 0x08000000)
    open(f["far.bin"], "wb").write(b"far")
    hex_of(f["far.bin"], f["far.hex"], 0x08101000)  # 1 MiB past the base: no flash holds it
    open(f["empty.bin"], "wb").close()
    open(f["nothing.hex"], "w").write(":00000001FF\n")
    open(f["README"], "w").write("Orvex 2.0 firmware 1.4\nFlash with the update tool.\n")
    hex_of(firmware, f["app.hex"], 0x08001000)
    lines = open(f["app.hex"], "rb").read().splitlines(keepends=True)
    open(f["cut.hex"], "wb").write(b"".join(lines[:len(lines) // 2]))  # a copy that stopped early
    open(f["joined.hex"], "wb").write(b"".join(lines) * 2)
    open(f["binary.hex"], "wb").write(b"".join(lines) + b"\x80")
    # The mislink: data with no load address in flash, written out up to SRAM.
    open(f["2mib.bin"], "wb").write(open(firmware, "rb").read().ljust(2 * 1024 * 1024, b"\0"))
    os.mkfifo(f["fifo"])  # no writer: read, it would never end
    shutil.copy(f["app.hex"], f["app;v2.hex"])
    shutil.copy(firmware, f["fw $x (2).bin"])
    return f


def release_dir(checkout, version, firmware_file, image):
    """Where a release of firmware_file, whose raw image is image, goes."""
    stem = os.path.splitext(os.path.basename(firmware_file))[0]
    return os.path.join(checkout, "dist", "orvex_installer-%s-%s-%s" % (version, stem,
                                                                         hashlib.sha256(image).hexdigest()[:8]))


def dist_state(checkout):
    """Every folder and file under dist/, hidden ones too, a file with its SHA-256."""
    state = {}
    for folder, _, files in os.walk(os.path.join(checkout, "dist")):
        state[folder] = None
        for name in files:
            state[os.path.join(folder, name)] = hashlib.sha256(open(os.path.join(folder, name), "rb").read()).digest()
    return state


def check_refusals(release, checkout, f):
    """Each file that cannot be the firmware, even with --no-vector-check: the release's first line names
    it and says why, the second that nothing was released, and dist/ is left as it was."""
    before = dist_state(checkout)
    hex_lines = len(open(f["app.hex"]).readlines())
    for path, why in [
            (f["empty.bin"], "the file is empty"),
            (f["nothing.hex"], "Intel HEX with no data bytes"),
            (f["app.srec"], "an S-record file, ASCII"),
            (f["README"], "a text file, ASCII"),
            (f["low.hex"], "Intel HEX has data at 0x08000000 (line 2), below 0x08001000"),
            (f["app0.elf"], "the ELF file has data at 0x08000000 (section .text), below 0x08001000"),
            (f["far.hex"], "Intel HEX has its first data at 0x08101000 (line 2), not at 0x08001000"),
            (f["cut.hex"], "Intel HEX cut short: no end-of-file record"),
            (f["joined.hex"], "Intel HEX with records after its end-of-file record on line %d" % hex_lines),
            (f["binary.hex"], "Intel HEX with a byte that is not text, 0x80, on line %d" % (hex_lines + 1)),
            (f["2mib.bin"], "a raw image of 2097152 bytes, more than the 1024 KiB of flash from 0x08001000"),
            (f["overlap.elf"], "the ELF file has section .config at 0x08001008, inside section .text at 0x08001000"),
            ("/bin/true", "an ELF file for EM_X86_64, 64-bit little-endian, not a 32-bit little-endian ARM"),
            (f["nothing.o"], "an ELF object file, not linked"),
            (f["app0.bin"], "the reset handler is 0x08000041, below the image at 0x08001000: the firmware was "
                            "probably linked for 0x08000000"),
            (f["fifo"], "a FIFO (named pipe), not an ordinary file"),
            (f["app;v2.hex"], "the file name 'app;v2.hex' holds ';'")]:
        code, text = run(release[:1] + ["--firmware", path, "--no-vector-check"] + release[3:], cwd=checkout)
        first = text.split("\n", 1)[0]
        print("    " + first)
        check(code == 1 and first.startswith("firmware %s: %s" % (os.path.realpath(path), why))
              and text == first + "\nrelease: nothing released; dist/ is as it was\n"
              and dist_state(checkout) == before, "%s refused: %s" % (os.path.basename(path), why), text[-600:])


def check_embedding(checkout, out, firmware, vectors, f):
    """What the build embeds: the raw file itself, whatever its name, the ELF's flash bytes with erased gaps;
    a raw file without a vector table is refused even when told, and a refused file leaves no image."""
    build = os.path.join(out, "embedding")
    embedded, identity = (os.path.join(build, "installer", "embed", name)
                          for name in ("embedded_firmware.bin", "firmware_identity.txt"))
    for path, vectors, expected, said in [(firmware, vectors, firmware, "raw image checked"),
                                          (f["fw $x (2).bin"], "ON", firmware, "raw image checked"),
                                          (f["app.elf"], "ON", f["app.bin"], "ELF (32-bit ARM) checked"),
                                          (f["eof.hex"], "ON", f["app.bin"], "Intel HEX checked"),
                                          (f["app0.bin"], "OFF", None, None), (f["empty.bin"], "ON", None, None)]:
        code, text = run(["cmake", "-S", checkout, "-B", build, "-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake",
                          "-DINSTALLER_FIRMWARE=" + path, "-DINSTALLER_FIRMWARE_VECTOR_CHECK=" + vectors])
        if expected is None:
            check(code != 0 and not os.path.exists(embedded), "after a refusal no image is left to build with")
            continue
        ident = dict(line.split(" ", 1) for line in open(identity).read().splitlines())
        check(code == 0 and open(embedded, "rb").read() == open(expected, "rb").read()
              and "%s %s" % (ident["format"], ident["vectors"]) == said,
              "%s embeds %s byte for byte (%s)" % (os.path.basename(path), expected, said), text[-600:])


def release_notes(text):
    return dict(re.findall(r"^([a-zA-Z0-9 -]+):\s+(.*)$", text, re.M))


def check_notes(notes, wanted):
    for name, value in wanted.items():
        check(notes.get(name) == value, "RELEASE.txt gives the %s: %s" % (name, value), repr(notes.get(name)))


def check_timestamp_refused(out, checkout, stamped):
    """Without the authority's CA the time stamp cannot be checked: nothing is released, and the earlier
    release of the same firmware stays as it was."""
    before = dist_state(checkout)
    code, text = run(stamped, cwd=checkout, log=os.path.join(out, "release-unverified-timestamp.log"),
                     timeout=RELEASE_TIMEOUT_S)
    print("\n".join(line for line in text.splitlines() if "Timestamp" in line or line.startswith("release:")))
    check(code != 0 and TIMESTAMP_FAILED in text and "time stamp" in text and "does not verify" in text,
          "a time stamp that does not verify is refused, and the message says so", "exit %d: %s" % (code, text[-600:]))
    after = dist_state(checkout)
    check(after == before, "dist/ is as it was, the earlier release of that firmware in it",
          str(sorted(set(after) ^ set(before))))


def check_contents(dist, given, image):
    """What every release holds: the program and the technician's page, both in SHA256SUMS, the page
    one file with its pictures inside; RELEASE.txt gives the file as given and the update's time. The
    notes of RELEASE.txt."""
    check(sorted(os.listdir(dist)) == DIST_FILES, "the release holds %s" % ", ".join(DIST_FILES),
          str(sorted(os.listdir(dist))))
    sums = open(os.path.join(dist, "SHA256SUMS")).read()
    wanted = "".join("%s  %s\n" % (hashlib.sha256(open(os.path.join(dist, name), "rb").read()).hexdigest(), name)
                     for name in ("installer.exe", "instructions.html"))
    check(sums == wanted, "SHA256SUMS is the program's and the page's", sums)
    page = open(os.path.join(dist, "instructions.html"), encoding="utf-8").read()
    pictures = re.findall(r'<img\b[^>]*\bsrc="([^"]*)"', page)
    check(page.startswith("<!DOCTYPE html>") and '"Establishing Link..."' in page and pictures
          and all(src.startswith("data:image/png;base64,") for src in pictures),
          "instructions.html is the technician's page, its %d pictures inside it" % len(pictures),
          str([src[:40] for src in pictures]))
    notes = release_notes(open(os.path.join(dist, "RELEASE.txt")).read())
    data = open(given, "rb").read()
    blocks = (len(image) + BLOCK_BYTES - 1) // BLOCK_BYTES
    check_notes(notes, {
        "firmware": os.path.basename(given),
        "file size": "%d bytes (the firmware file as given)" % len(data),
        "file SHA-256": "%s (of the firmware file as given)" % hashlib.sha256(data).hexdigest(),
    })
    check(" (%d block%s of 1024 bytes," % (blocks, "" if blocks == 1 else "s") in notes.get("update time", ""),
          "RELEASE.txt gives the time of an update of %d blocks" % blocks, repr(notes.get("update time")))
    return notes


def check_release(out, dist, commit, version, firmware, given, reference, cert, tsa_ca):
    program = os.path.join(dist, "installer.exe")
    notes = check_contents(dist, given, open(firmware, "rb").read())

    code, text = run(["osslsigncode", "verify", "-in", program, "-CAfile", cert, "-TSA-CAfile", tsa_ca],
                     log=os.path.join(out, "verify.log"))
    print(text)
    check(code == 0 and "\nSignature verification: ok" in text and CERT_SUBJECT in text,
          "the signature verifies against the throwaway certificate")
    stamp_time = re.search(r"^\s*Timestamp time: (.+)$", text, re.M)
    check(TIMESTAMP_OK in text and TSA_SUBJECT in text and stamp_time,
          "the time stamp verifies against the throwaway authority's CA")
    for failed in pe_check.check_program(program, firmware, version, os.path.basename(given)):
        check(False, "the released program: " + failed)
    image = open(firmware, "rb").read()
    check_notes(notes, {
        "time stamp": stamp_time.group(1) + " (verified)" if stamp_time else "the verified time stamp's time",
        "tool version": version,
        "commit": commit,
        "firmware format": "Intel HEX",
        "firmware base": "0x08001000",
        "firmware size": "%d bytes (raw image)" % len(image),
        "firmware SHA-256": "%s (of the raw image, as embedded)" % hashlib.sha256(image).hexdigest(),
        "stack pointer": "%#010x" % struct.unpack_from("<I", image)[0],
        "reset handler": "%#010x" % struct.unpack_from("<I", image, 4)[0],
    })
    crc = crc16_modbus(padded_image(firmware))
    check((notes.get("firmware CRC-16") or "").startswith("%#x " % crc),
          "RELEASE.txt gives the padded image's CRC-16 %#x" % crc, repr(notes.get("firmware CRC-16")))
    check((notes.get("signed") or "").startswith("yes"), "RELEASE.txt says it is signed", repr(notes.get("signed")))
    unsigned = (notes.get("unsigned SHA-256") or "").split(" ")[0]
    built = hashlib.sha256(open(reference, "rb").read()).hexdigest()
    print("%s  %s\n%s  the release's unsigned program" % (built, reference, unsigned))
    check(unsigned == built, "built again elsewhere, the program is the same bytes",
          "is %s up to date with the tree?" % reference)

    os.makedirs(os.path.join(out, "signed"))
    shutil.copy2(program, os.path.join(out, "signed", "installer.exe"))


def check_other_firmware(out, checkout, version, f, first, again):
    """The first release made again (again) and killed between its moves stays hidden after a refused release;
    one of other firmware puts it back and writes its own beside it, while a second one waits for it."""
    before = dist_state(checkout)
    kill = os.path.join(out, "kill-between-moves")
    os.makedirs(kill)
    # The move that hides the first, then SIGKILL.
    open(os.path.join(kill, "mv"), "w").write('#!/bin/sh\n/bin/mv "$@" || exit\ncase "$3" in *.earlier) kill -KILL $PPID;; esac\n')
    os.chmod(os.path.join(kill, "mv"), 0o755)
    code, text = run(again, cwd=checkout, log=os.path.join(out, "release-killed.log"), timeout=RELEASE_TIMEOUT_S,
                     env=dict(os.environ, PATH=kill + os.pathsep + os.environ["PATH"]))
    check(code == -9 and not os.path.exists(first), "killed between its moves, a release leaves the first hidden",
          "exit %d: %s" % (code, text[-300:]))
    hidden, refused = dist_state(checkout), [again[0], "--firmware", f["empty.bin"]]
    code, text = run(refused, cwd=checkout)
    check(code == 1 and dist_state(checkout) == hidden, "a refused release leaves it hidden", text[-300:])
    dist = release_dir(checkout, version, f["app.elf"], open(f["app.bin"], "rb").read())
    log = os.path.join(out, "release-app.log")
    with open(log, "ab") as both:  # one log for the two, in the order things happen
        app = subprocess.Popen([again[0], "--firmware", f["app.elf"]], cwd=checkout, stdout=both, stderr=both)
        while app.poll() is None and run(["flock", "-n", "dist/.release.lock", "true"], cwd=checkout)[0] == 0:
            time.sleep(0.1)  # until the release holds the lock
        together, other = app.poll() is None, subprocess.Popen(refused, cwd=checkout, stdout=both, stderr=both)
        code, other_code = app.wait(RELEASE_TIMEOUT_S), other.wait(RELEASE_TIMEOUT_S)
    text = open(log).read()
    check(text.count("release: put back dist/%s, " % os.path.basename(first)) == 1, "the next release puts it back",
          text[-1000:])
    check(together and other_code == 1 and ("another release in this clone has held" in text
                                            or -1 < text.find("update time:") < text.find("the file is empty")),
          "a release started while another runs waits for it to end", text[-1000:])
    if check(code == 0 and os.path.isdir(dist), "a release of app.elf writes %s" % dist, text[-1000:]):
        check_contents(dist, f["app.elf"], open(f["app.bin"], "rb").read())
    releases = sorted(set(os.listdir(os.path.join(checkout, "dist"))) - {".release.lock"})
    check(releases == sorted([os.path.basename(first), os.path.basename(dist)])
          and all(dist_state(checkout).get(path, False) == digest for path, digest in before.items()),
          "the two releases sit side by side in dist/, the first as it was", str(releases))


def main(argv):
    if len(argv) != 5:
        sys.stderr.write(__doc__)
        return 2
    source, out, version, win32 = os.path.abspath(argv[1]), os.path.abspath(argv[2]), argv[3], os.path.abspath(argv[4])
    reference = os.path.join(win32, "installer.exe")
    # What the Windows build embeds: the converted image, the name of the file it was given, its vector check.
    firmware = os.path.join(win32, "installer", "embed", "embedded_firmware.bin")
    built = dict(line.split(" ", 1) for line in open(os.path.join(win32, "installer", "embed",
                                                                  "firmware_identity.txt")).read().splitlines())
    name, vectors = built["name"], "ON" if built["vectors"] == "checked" else "OFF"
    shutil.rmtree(out, ignore_errors=True)
    checkout = os.path.join(out, "checkout")
    copy_tree(source, checkout)
    for args in (["init", "-q"], ["add", "-A"], ["-c", "user.name=release check", "-c", "user.email=check@invalid",
                                                 "commit", "-q", "-m", "the tree under test"]):
        tool("git", "-C", checkout, *args)
    commit = tool("git", "-C", checkout, "rev-parse", "HEAD").strip()
    cert, key = certificate(out, "signer", CERT_SUBJECT, ["extendedKeyUsage=codeSigning"])
    fixtures = make_fixtures(out, firmware)
    # The carried image as Intel HEX, under the name of the file the Windows build was given.
    hex_firmware = os.path.join(out, "hex", name)
    dist = release_dir(checkout, version, hex_firmware, open(firmware, "rb").read())
    os.makedirs(os.path.dirname(hex_firmware))
    hex_of(firmware, hex_firmware, 0x08001000)
    release = [os.path.join(checkout, "scripts", "release"), "--firmware", hex_firmware,
               "--sign-cert", cert, "--sign-key", key] + (["--no-vector-check"] if vectors == "OFF" else [])
    check_embedding(checkout, out, firmware, vectors, fixtures)

    stray = os.path.join(checkout, "stray.txt")
    open(stray, "w").close()
    code, text = run(release, cwd=checkout, log=os.path.join(out, "release-refused.log"))
    check(code != 0 and "not committed" in text and not os.path.exists(dist),
          "a checkout with a file not committed is refused, nothing built", "exit %d: %s" % (code, text[-300:]))
    os.unlink(stray)

    tsa_config, tsa_ca = timestamp_authority(out)
    server = timestamp_server(tsa_config)
    try:
        url = "http://127.0.0.1:%d/" % server.server_address[1]
        stamped = release + ["--timestamp", url]
        code, text = run(stamped + ["--timestamp-ca", tsa_ca], cwd=checkout, log=os.path.join(out, "release.log"),
                         timeout=RELEASE_TIMEOUT_S)
        if check(code == 0, "scripts/release signs, time-stamps and writes %s" % dist, text[-2000:]):
            check_release(out, dist, commit, version, firmware, hex_firmware, reference, cert, tsa_ca)
        # The first again, unsigned: the same name.
        check_other_firmware(out, checkout, version, fixtures, dist, release[:3] + release[7:])
        # After the releases: refused ones leave them as they are.
        check_refusals(release, checkout, fixtures)
        check_timestamp_refused(out, checkout, stamped)
    finally:
        server.shutdown()
        server.server_close()
    for f in failures:
        print("FAIL: " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
