#!/usr/bin/env python3
"""Runs the real bootsim on a pty of its own and talks to it with real frames.

Usage: test_bootsim.py PATH/TO/bootsim
The frames and the checksum are the test scripts' own, written apart from
bootsim's code (tests/e2e/harness/protocol.py); the checksum is held here to
the check value. Timing is judged from bootsim's own report, never from this
test's clock, which a loaded machine can hold up at any point: the clock only
bounds bootsim from below (it cannot answer early), and waits for an answer
are deadlines, not measurements.
"""
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e", "harness"))
# The test scripts' frames and their one CRC-16/MODBUS.
from protocol import (BLOCK_BYTES as BLOCK, BYTE_MS, FLASH_BASE, RESTART, ack_for, crc16_modbus as crc16,  # noqa: E402
                      crc_query, crc_reply, seal, write_block)

BOOTSIM = None
READ_SILENCE_S = 0.020     # the tool's reads end after 20 ms of silence
NO_REPLY_WAIT_S = 0.3      # how long "no answer" is waited for (the report tells for sure)
WIRE_BYTE_S = BYTE_MS / 1000.0
# bootsim's own schedule, as its report shows it (milliseconds).
SPLIT_GAPS_MS = 2 * 10.0   # three pieces, 10 ms apart
DUP_GAP_MS = 30.0
NOISE_GAP_MS = 30.0
SCHEDULE_DELTA_MS = 0.01   # the report rounds to microseconds
ANSWER_WAIT_S = 5.0        # how long an answer that must come is waited for
WIDE_SILENCE_S = 1.0       # collects everything a reply plan sends, gaps and all


def pattern(seed, count):
    return bytes((seed * 31 + i * 7 + (i >> 8)) & 0xFF for i in range(count))


class Sim:
    """One bootsim process and the test's end of its line."""

    def __init__(self, workdir, *args, env=None):
        self.workdir = workdir
        self.link = os.path.join(workdir, "dev")
        self.ready = os.path.join(workdir, "ready")
        self.report_path = os.path.join(workdir, "report.json")
        self.flash_path = os.path.join(workdir, "flash.bin")
        for path in (self.ready, self.report_path, self.flash_path):
            if os.path.exists(path):
                os.unlink(path)
        command = [BOOTSIM, "--link", self.link, "--ready", self.ready, "--report", self.report_path,
                   "--flash-out", self.flash_path, "--timeout", "30"] + list(args)
        self.process = subprocess.Popen(command, stderr=subprocess.PIPE, env=env)
        deadline = time.monotonic() + 5
        while not os.path.exists(self.ready):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("bootsim did not get ready")
            time.sleep(0.01)
        with open(self.ready) as f:
            self.slave_path = f.read()
        self.fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        attributes = termios.tcgetattr(self.fd)
        attributes[4] = attributes[5] = termios.B115200
        termios.tcsetattr(self.fd, termios.TCSANOW, attributes)

    def send(self, frame):
        os.write(self.fd, frame)

    def read_chunks(self, first_wait_s=ANSWER_WAIT_S, silence_s=READ_SILENCE_S):
        """Reads like the tool does: up to first_wait_s for a first byte, then
        until silence_s (the tool's 20 ms) pass without one. Returns [(time, bytes)]."""
        chunks = []
        wait = first_wait_s
        while True:
            ready, _, _ = select.select([self.fd], [], [], wait)
            if not ready:
                return chunks
            try:
                chunk = os.read(self.fd, 4096)
            except OSError:  # the device has gone (EIO after a hang-up)
                return chunks
            if not chunk:
                return chunks
            chunks.append((time.monotonic(), chunk))
            wait = silence_s

    def read_reply(self, first_wait_s=ANSWER_WAIT_S, silence_s=READ_SILENCE_S):
        return b"".join(chunk for _, chunk in self.read_chunks(first_wait_s, silence_s))

    def exchange(self, frame, first_wait_s=ANSWER_WAIT_S):
        self.send(frame)
        return self.read_reply(first_wait_s)

    def stop(self):
        os.close(self.fd)
        self.process.send_signal(signal.SIGTERM)
        _, err = self.process.communicate(timeout=10)
        self.stderr = err.decode()
        self.returncode = self.process.returncode
        return self.report_written()

    def report_written(self):
        with open(self.report_path) as f:
            return json.load(f)


class BootsimTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="bootsim-test-")
        self.workdir = self.tmp.name
        self.sims = []

    def tearDown(self):
        for sim in self.sims:
            if sim.process.poll() is None:
                sim.process.kill()
            sim.process.communicate()
        self.tmp.cleanup()

    def start(self, *args, env=None):
        sim = Sim(self.workdir, *args, env=env)
        self.sims.append(sim)
        return sim

    def test_crc_check_value(self):
        self.assertEqual(crc16(b"123456789"), 0x4B37)
        self.assertEqual(crc_query(FLASH_BASE, 4).hex(), "042bf60800100000000004" + "4e0a")
        self.assertEqual(seal(RESTART[:3]), RESTART)

    def test_normal_exchange_and_report(self):
        image = pattern(1, 2 * BLOCK)
        expect = os.path.join(self.workdir, "expect.bin")
        with open(expect, "wb") as f:
            f.write(image)
        sim = self.start("--expect", expect)
        self.assertTrue(os.path.islink(sim.link))
        self.assertEqual(os.readlink(sim.link), sim.slave_path)

        # Contact: a CRC query over 4 erased bytes.
        self.assertEqual(sim.exchange(crc_query(FLASH_BASE, 4)),
                         crc_reply(FLASH_BASE, 4, crc16(b"\xff" * 4)))
        # Two blocks, each acknowledged by the echo of its head.
        for index in range(2):
            frame = write_block(FLASH_BASE + index * BLOCK, image[index * BLOCK:(index + 1) * BLOCK])
            self.assertEqual(len(frame), 1035)
            ack = sim.exchange(frame)
            self.assertEqual(ack, ack_for(frame))
            self.assertEqual(len(ack), 11)
        # The device's checksum over what was written, high byte first in bytes 11, 12.
        reply = sim.exchange(crc_query(FLASH_BASE, 2 * BLOCK))
        self.assertEqual(len(reply), 15)
        self.assertEqual(reply[11] * 256 + reply[12], crc16(image))
        self.assertEqual(reply, crc_reply(FLASH_BASE, 2 * BLOCK, crc16(image)))
        # A request with a bad CRC, garbage and an address outside the flash get nothing.
        bad = bytearray(crc_query(FLASH_BASE, 4))
        bad[-1] ^= 0xFF
        self.assertEqual(sim.exchange(bytes(bad), NO_REPLY_WAIT_S), b"")
        self.assertEqual(sim.exchange(b"\x11\x22\x33", NO_REPLY_WAIT_S), b"")
        self.assertEqual(sim.exchange(write_block(0x08000000, b"\x00" * 16), NO_REPLY_WAIT_S), b"")
        # Restart: the reply is the same five bytes as the request.
        self.assertEqual(sim.exchange(RESTART), RESTART)

        report = sim.stop()
        self.assertEqual(sim.returncode, 0)
        self.assertIn("bootsim: device on " + sim.slave_path, sim.stderr)
        self.assertFalse(os.path.lexists(sim.link), "the link goes with the device")
        ops = [(f["op"], f["verdict"], f["reply"]) for f in report["frames"]]
        self.assertEqual(ops, [
            ("crc", "ok", "answered"), ("write", "ok", "answered"), ("write", "ok", "answered"),
            ("crc", "ok", "answered"), ("crc", "bad-crc", "none"), ("unknown", "unknown-op", "none"),
            ("write", "out-of-range", "none"), ("reset", "ok", "answered")])
        first = report["frames"][1]
        self.assertEqual((first["len"], first["address"], first["length"]), (1035, FLASH_BASE, BLOCK))
        self.assertEqual(report["frames"][5]["address"], None)
        times = [f["t_ms"] for f in report["frames"]]
        self.assertEqual(times, sorted(times))
        self.assertEqual(report["flash"], {"base": 134221824, "blocks_written": 2, "bytes_extent": 2 * BLOCK,
                                           "crc16_extent": crc16(image), "expect_match": True, "first_diff": None})
        self.assertEqual(report["restart"]["count"], 1)
        self.assertAlmostEqual(report["restart"]["first_t_ms"], times[-1], delta=0.01)
        self.assertTrue(report["writes_in_order"])
        self.assertEqual(report["faults"], [])
        line = report["line"]
        self.assertEqual((line["baud"], line["stop_bits"], line["observed_from"]), (115200, 1, "tcgetattr"))
        self.assertIsNone(line["data_bits"])
        self.assertIsNone(line["parity"])
        self.assertFalse(line["ok"], "data bits and parity are unknown without termrec")
        with open(sim.flash_path, "rb") as f:
            self.assertEqual(f.read(), image)

    def test_faults(self):
        image = pattern(2, BLOCK)
        expect = os.path.join(self.workdir, "expect.bin")
        with open(expect, "wb") as f:
            f.write(image + pattern(3, BLOCK))
        faults = ["drop:1", "badcrc:2", "split:3", "dup:4", "noise:5:8", "late:6:200", "drop-write:2",
                  "corrupt-flash:5"]
        sim = self.start("--expect", expect, *[arg for fault in faults for arg in ("--fault", fault)])
        query = crc_query(FLASH_BASE, 4)
        # 1: dropped.
        self.assertEqual(sim.exchange(query, NO_REPLY_WAIT_S), b"")
        # 2: a reply whose frame CRC is wrong.
        reply = sim.exchange(query)
        self.assertEqual(len(reply), 15)
        self.assertEqual(reply[:13], crc_reply(FLASH_BASE, 4, crc16(b"\xff" * 4))[:13])
        self.assertNotEqual(crc16(reply[:13]), reply[13] | reply[14] << 8)
        # 3: a write whose ack comes in pieces. Whether a 20 ms reader sees one
        # reply is a matter of bootsim's schedule (checked in the report below);
        # here it is read with a wide window, so a late wake-up on either side
        # cannot cut it in two.
        frame = write_block(FLASH_BASE, image)
        sim.send(frame)
        self.assertEqual(sim.read_reply(silence_s=WIDE_SILENCE_S), ack_for(frame))
        # 4: the reply twice; the flash byte at offset 5 was flipped.
        corrupted = bytearray(image)
        corrupted[5] ^= 0xFF
        sim.send(crc_query(FLASH_BASE, BLOCK))
        expected = crc_reply(FLASH_BASE, BLOCK, crc16(bytes(corrupted)))
        self.assertEqual(sim.read_reply(silence_s=WIDE_SILENCE_S), expected * 2)
        self.assertNotEqual(crc16(bytes(corrupted)), crc16(image))
        # 5: 8 noise bytes, silence, then the reply.
        sim.send(query)
        received = sim.read_reply(silence_s=WIDE_SILENCE_S)
        self.assertEqual(len(received), 8 + 15)
        self.assertEqual(received[8:], crc_reply(FLASH_BASE, 4, crc16(bytes(corrupted[:4]))))
        # 6: 200 ms late; bootsim cannot be early, so the test's clock bounds it from below.
        started = time.monotonic()
        sim.send(query)
        chunks = sim.read_chunks()
        self.assertTrue(chunks, "no late reply")
        self.assertGreaterEqual(chunks[0][0] - started, 0.19)
        self.assertEqual(len(b"".join(c for _, c in chunks)), 15)
        # 7: the second write block: stored, but not acknowledged.
        self.assertEqual(sim.exchange(write_block(FLASH_BASE + BLOCK, pattern(3, BLOCK)), NO_REPLY_WAIT_S), b"")

        report = sim.stop()
        replies = [f["reply"] for f in report["frames"]]
        self.assertEqual(replies, ["dropped", "bad-crc", "split", "dup", "noise", "late", "dropped"])
        self.assertEqual(report["faults"], faults)
        self.assertEqual(report["flash"]["blocks_written"], 2)
        self.assertEqual(report["flash"]["expect_match"], False)
        self.assertEqual(report["flash"]["first_diff"], 5)
        self.assertEqual(report["frames"][6]["faults_applied"], ["drop-write:2"])
        # The gaps as bootsim scheduled them: a split reply's pieces stay under
        # the tool's 20 ms silence, a duplicate and the reply after noise do not.
        gaps = [f["reply_t_ms"] - f["t_ms"] for f in report["frames"][2:6]]
        self.assertAlmostEqual(gaps[0], SPLIT_GAPS_MS, delta=SCHEDULE_DELTA_MS)
        self.assertAlmostEqual(gaps[1], DUP_GAP_MS, delta=SCHEDULE_DELTA_MS)
        self.assertAlmostEqual(gaps[2], NOISE_GAP_MS, delta=SCHEDULE_DELTA_MS)
        self.assertAlmostEqual(gaps[3], 200.0, delta=SCHEDULE_DELTA_MS)
        with open(sim.flash_path, "rb") as f:
            self.assertEqual(f.read(), bytes(corrupted) + pattern(3, BLOCK))

    def test_out_of_order_writes_are_reported(self):
        sim = self.start()
        data = pattern(4, BLOCK)
        for address in (FLASH_BASE, FLASH_BASE, FLASH_BASE + 2 * BLOCK):
            frame = write_block(address, data)
            self.assertEqual(sim.exchange(frame), ack_for(frame))
        report = sim.stop()
        self.assertFalse(report["writes_in_order"])
        self.assertEqual(report["flash"]["bytes_extent"], 3 * BLOCK)

    def test_pacing_takes_wire_time_and_flash_time(self):
        flash_ms = 30
        sim = self.start("--pace", "--flash-ms", str(flash_ms))
        frame = write_block(FLASH_BASE, pattern(5, BLOCK))
        started = time.monotonic()
        sim.send(frame)
        chunks = sim.read_chunks(silence_s=WIDE_SILENCE_S)
        self.assertEqual(b"".join(c for _, c in chunks), ack_for(frame))
        # bootsim cannot be early; how late it is depends on the machine's
        # load, and the report below gives its own schedule exactly.
        self.assertGreater(chunks[-1][0] - started, (1035 + 11) * WIRE_BYTE_S + flash_ms / 1000.0 - 0.003)
        # Without a flash time a short request still takes its wire time.
        started = time.monotonic()
        sim.send(RESTART)
        chunks = sim.read_chunks(silence_s=WIDE_SILENCE_S)
        self.assertEqual(b"".join(c for _, c in chunks), RESTART)
        self.assertGreater(chunks[-1][0] - started, 2 * 5 * WIRE_BYTE_S - 0.0001)
        # Two requests in one write: the second is received its own wire time
        # after the first, however fast the pty brought both.
        sim.send(crc_query(FLASH_BASE, 4) + frame)
        received = sim.read_reply(silence_s=WIDE_SILENCE_S)
        self.assertEqual(received, crc_reply(FLASH_BASE, 4, crc16(pattern(5, 4))) + ack_for(frame))
        report = sim.stop()
        write, restart, query, second_write = report["frames"]
        wire_ms = WIRE_BYTE_S * 1000
        self.assertAlmostEqual(write["reply_t_ms"] - write["t_ms"], flash_ms + 11 * wire_ms, delta=SCHEDULE_DELTA_MS)
        self.assertAlmostEqual(restart["reply_t_ms"] - restart["t_ms"], 5 * wire_ms, delta=SCHEDULE_DELTA_MS)
        self.assertAlmostEqual(query["reply_t_ms"] - query["t_ms"], 15 * wire_ms, delta=SCHEDULE_DELTA_MS)
        self.assertAlmostEqual(second_write["t_ms"] - query["t_ms"], 1035 * wire_ms, delta=SCHEDULE_DELTA_MS)
        self.assertAlmostEqual(second_write["reply_t_ms"] - second_write["t_ms"], flash_ms + 11 * wire_ms,
                               delta=SCHEDULE_DELTA_MS)

    def test_exit_after_restart(self):
        sim = self.start("--exit-after-restart", "100")
        self.assertEqual(sim.exchange(RESTART), RESTART)
        sim.process.wait(timeout=5)
        self.assertEqual(sim.process.returncode, 0)
        self.assertEqual(sim.report_written()["restart"]["count"], 1)
        os.close(sim.fd)

    def test_exit_after_restart_when_nobody_reads(self):
        # Far more noise than the pty holds, and a reader that never reads: the
        # replies cannot leave, and bootsim still ends soon after the exit time
        # without burning the processor meanwhile.
        sim = self.start("--fault", "noise:1:200000", "--exit-after-restart", "50")
        sim.send(crc_query(FLASH_BASE, 4))
        time.sleep(0.1)
        sim.send(RESTART)
        deadline = time.monotonic() + 10
        while True:
            pid, status, usage = os.wait4(sim.process.pid, os.WNOHANG)
            if pid:
                break
            self.assertLess(time.monotonic(), deadline, "bootsim did not end")
            time.sleep(0.05)
        sim.process.returncode = os.waitstatus_to_exitcode(status)
        self.assertEqual(sim.process.returncode, 0)
        self.assertLess(usage.ru_utime + usage.ru_stime, 0.5, "bootsim spun while it waited")
        report = sim.report_written()
        self.assertEqual(report["restart"]["count"], 1)
        self.assertEqual([f["reply"] for f in report["frames"]], ["noise", "answered"])
        os.close(sim.fd)

    def test_exit_after_writes_is_an_unplugged_device(self):
        sim = self.start("--exit-after-writes", "2")
        first = write_block(FLASH_BASE, pattern(1, BLOCK))
        self.assertEqual(sim.exchange(first), ack_for(first))
        sim.send(write_block(FLASH_BASE + BLOCK, pattern(2, BLOCK)))
        sim.process.wait(timeout=5)
        self.assertEqual(sim.process.returncode, 0)
        self.assertFalse(os.path.lexists(sim.link), "the device's link went with it")
        with self.assertRaises(OSError, msg="nobody at the other end of the line"):
            os.write(sim.fd, first)
        report = sim.report_written()
        self.assertEqual([f["reply"] for f in report["frames"]], ["answered", "unplugged"])
        self.assertEqual(report["flash"]["blocks_written"], 1)
        os.close(sim.fd)

    def test_restart_without_reply_is_still_counted(self):
        sim = self.start("--fault", "no-restart-reply", "--exit-after-restart", "50")
        self.assertEqual(sim.exchange(RESTART, NO_REPLY_WAIT_S), b"")
        sim.process.wait(timeout=5)
        report = sim.report_written()
        self.assertEqual(report["restart"]["count"], 1)
        self.assertEqual(report["frames"][0]["reply"], "dropped")
        os.close(sim.fd)

    def test_silent_and_random_faults(self):
        sim = self.start("--fault", "silent")
        self.assertEqual(sim.exchange(crc_query(FLASH_BASE, 4), NO_REPLY_WAIT_S), b"")
        self.assertEqual(sim.stop()["frames"][0]["reply"], "dropped")
        sim = self.start("--fault", "seed:7", "--fault", "random:1.0")
        for _ in range(4):
            sim.send(crc_query(FLASH_BASE, 4))
            sim.read_reply(first_wait_s=1.0)
            time.sleep(0.05)
            sim.read_reply(first_wait_s=0.05)
        report = sim.stop()
        self.assertEqual(len(report["frames"]), 4)
        for frame in report["frames"]:
            self.assertEqual(len(frame["faults_applied"]), 1)
            self.assertTrue(frame["faults_applied"][0].startswith("random:"))

    def test_termrec_gives_parity_and_data_bits(self):
        preload = subprocess.run([BOOTSIM, "--print-preload"], capture_output=True, text=True, check=True)
        value = preload.stdout.strip()
        self.assertTrue(value.endswith("/preload/$LIB/libtermrec.so"), value)
        log = os.path.join(self.workdir, "termrec.log")
        sim = self.start("--termrec-log", log)
        # A separate process with the recorder preloaded sets 8E1 at 115200, as the tool does.
        configure = (
            "import os, sys, termios\n"
            "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
            "a = termios.tcgetattr(fd)\n"
            "a[2] = (a[2] & ~(termios.CSIZE | termios.PARODD | termios.CSTOPB | termios.CRTSCTS))"
            " | termios.CS8 | termios.PARENB\n"
            "a[0] &= ~(termios.IXON | termios.IXOFF)\n"
            "a[4] = a[5] = termios.B115200\n"
            "try:\n"
            "    termios.tcsetattr(fd, termios.TCSANOW, a)\n"
            "except termios.error:\n"
            "    pass  # glibc may report EINVAL: the pty dropped the parity\n"
            "b = termios.tcgetattr(fd)\n"
            "termios.tcsetattr(fd, termios.TCSANOW, b)\n")
        env = dict(os.environ, LD_PRELOAD=value, TERMREC_LOG=log)
        subprocess.run([sys.executable, "-c", configure, sim.link], env=env, check=True)
        self.assertEqual(len(sim.exchange(crc_query(FLASH_BASE, 4))), 15)
        report = sim.stop()
        line = report["line"]
        self.assertEqual(line["observed_from"], "tcgetattr+termrec")
        self.assertEqual((line["baud"], line["data_bits"], line["parity"], line["stop_bits"]),
                         (115200, 8, "even", 1))
        self.assertFalse(line["rtscts"])
        self.assertFalse(line["xonxoff"])
        self.assertTrue(line["ok"])
        with open(log) as f:
            records = [l for l in f if " tty=" + sim.slave_path + " " in l]
        self.assertEqual(len(records), 2)
        self.assertIn(" parenb=1 ", records[0])
        self.assertIn(" parenb=0 ", records[1], "a pty forgets the parity")

    def test_termrec_log_with_broken_lines(self):
        """Of the log only this pty's whole records since bootsim started
        count, and of those the last that changed size or parity."""
        log = os.path.join(self.workdir, "termrec.log")
        sim = self.start("--termrec-log", log)
        now = time.time()

        def record(framing, was="---", tty=sim.slave_path, t=now):
            return ("tcsetattr t=%.6f bits=32 pid=1 fd=5 tty=%s action=0 ospeed=115200 csize=%s parenb=%s parodd=%s"
                    " cstopb=0 crtscts=0 ixon=0 ixoff=0 echo=0 was_csize=%s was_parenb=%s was_parodd=%s\n"
                    % ((t, tty) + tuple(framing) + tuple(was)))
        with open(log, "w") as f:
            f.write(record("810", "800"))                  # 8 data bits, even parity asked for
            f.write(record("800", "800"))                  # the pty's 8, none written back as read
            f.write(record("711", tty="/dev/pts/9999"))    # another pty
            f.write(record("711", t=now - 3600))           # before bootsim started
            f.write(record("711").split(" csize=")[0] + "\n")   # cut short
            f.write(record("x11"))                         # no character size
            f.write("tcsetattr\n\n=\n")
        report = sim.stop()
        self.assertEqual(sim.returncode, 0)
        line = report["line"]
        self.assertEqual((line["data_bits"], line["parity"], line["termrec_records"]), (8, "even", 2))

    def test_report_quotes_control_characters(self):
        sim = self.start("--fault", "seed: \t\n7")
        report = sim.stop()  # json.load rejects raw control characters in strings
        self.assertEqual(report["faults"], ["seed: \t\n7"])

    def test_usage_errors(self):
        for args in (["--fault", "drop"], ["--fault", "bogus:1"], ["--com", "3"], ["--flash-ms", "-1"],
                     ["--random-option"], ["--fault", "noise:1:99999999999"], ["--fault", "late:1:99999999999999"],
                     ["--fault", "corrupt-flash:0x7fffffff"], ["--fault", "random:nan"], ["--timeout", "nan"],
                     ["--timeout", "inf"], ["--timeout", "1e300"], ["--flash-ms", "99999999999999"],
                     ["--exit-after-restart", "9223372036854775807"], ["--com", "99999999999999999999999"],
                     ["--exit-after-writes", "0"]):
            result = subprocess.run([BOOTSIM] + args, capture_output=True, text=True, timeout=5)
            self.assertEqual(result.returncode, 2, args)
        result = subprocess.run([BOOTSIM, "--help"], capture_output=True, text=True, timeout=5)
        self.assertEqual(result.returncode, 0)
        for word in ("--prefix", "--link", "--pace", "noise:N:COUNT", "--termrec-log", "--print-preload"):
            self.assertIn(word, result.stdout)


if __name__ == "__main__":
    BOOTSIM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
