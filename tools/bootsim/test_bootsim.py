#!/usr/bin/env python3
"""What the end-to-end cases lean on when they judge the tool by the simulated
device: it answers sound requests only, and exactly, its frames' CRC held to its
check value; its records of the flash, the order, the line and the line's time
are right; its faults do what they say, on the line too; it sees the port closed.
Times are judged from the device's records; this test's clock bounds them from below."""
import os
import select
import sys
import tempfile
import termios
import time
import tty
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bootsim  # noqa: E402
from bootsim import Device, termrec_settings  # noqa: E402
from protocol import (BLOCK_BYTES as BLOCK, BYTE_MS, FLASH_BASE, RESTART, ack_for, crc16_modbus as crc16,  # noqa: E402
                      crc_query, crc_reply, seal, write_block)

QUERY = crc_query(FLASH_BASE, 4)
ERASED = crc_reply(FLASH_BASE, 4, crc16(b"\xff" * 4))
IMAGE = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(3 * BLOCK))
BLOCKS = [write_block(FLASH_BASE + i * BLOCK, IMAGE[i * BLOCK:(i + 1) * BLOCK]) for i in range(3)]


class BootsimTest(unittest.TestCase):
    def start(self, *faults, **options):
        device = Device(faults, **options).start(os.path.join(self.enterContext(tempfile.TemporaryDirectory()), "com5"))
        self.addCleanup(device.stop)
        self.fd = os.open(device.link, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, self.fd)
        tty.setraw(self.fd)
        attributes = termios.tcgetattr(self.fd)
        termios.tcsetattr(self.fd, termios.TCSANOW, attributes[:4] + [termios.B115200] * 2 + attributes[6:])
        return device

    def exchange(self, frame, first_wait_s=5.0):
        """What comes back: up to first_wait_s for a first byte, then until 0.3 s (more than any gap within a reply).
        Each read, with when it came (ms from the write), in self.reads."""
        sent, self.reads = time.monotonic(), []
        os.write(self.fd, frame)
        while select.select([self.fd], [], [], 0.3 if self.reads else first_wait_s)[0]:
            self.reads.append((os.read(self.fd, 4096), (time.monotonic() - sent) * 1000))
        return b"".join(got for got, _ in self.reads)

    def assert_reads(self, sizes, earliest_ms):
        """The last exchange came in reads of these sizes, none before its time."""
        self.assertEqual([len(got) for got, _ in self.reads], sizes)
        for (_, ms), low in zip(self.reads, earliest_ms):
            self.assertGreaterEqual(ms, low)

    def test_sound_requests_answered_exactly_and_recorded(self):
        self.assertEqual((crc16(b"123456789"), QUERY.hex()), (0x4B37, "042bf60800100000000004" + "4e0a"))
        self.assertEqual(seal(RESTART[:3]), RESTART)
        device = self.start()
        self.assertEqual(os.readlink(device.link), device.slave)
        self.assertEqual(self.exchange(QUERY), ERASED)
        for frame in BLOCKS[:2] + BLOCKS[1:2]:  # a block again is still in order
            self.assertEqual(self.exchange(frame), ack_for(frame))
        self.assertEqual(self.exchange(crc_query(FLASH_BASE, 2 * BLOCK)),
                         crc_reply(FLASH_BASE, 2 * BLOCK, crc16(IMAGE[:2 * BLOCK])))
        for unsound in (QUERY[:-1] + b"\x00", b"\x11\x22\x33", write_block(0x08000000, bytes(16))):
            self.assertEqual(self.exchange(unsound, 0.3), b"")
        self.assertEqual(self.exchange(RESTART), RESTART)
        self.assertEqual((device.written(), device.writes_in_order, device.open, device.closes),
                         (IMAGE[:2 * BLOCK], True, True, []))
        self.exchange(write_block(FLASH_BASE + 3 * BLOCK, bytes(BLOCK)))  # a block left out
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, self.fd)  # the port closed, /dev/null left in its place for the cleanup
        os.close(null)
        deadline = time.monotonic() + 5
        while not device.closes and time.monotonic() < deadline:
            time.sleep(0.01)
        link = device.link
        self.assertEqual((device.stop().open, len(device.closes), os.path.lexists(link)), (False, 1, False))
        self.assertEqual([(f.op, f.verdict, f.reply) for f in device.frames], [
            ("crc", "ok", "answered")] + [("write", "ok", "answered")] * 3 + [
            ("crc", "ok", "answered"), ("crc", "bad-crc", "none"), ("unknown", "unknown-op", "none"),
            ("write", "out-of-range", "none"), ("reset", "ok", "answered"), ("write", "ok", "answered")])
        self.assertEqual((device.writes_in_order, device.blocks_written, device.line["baud"]), (False, 4, 115200))
        self.assertEqual(device.restarts, [device.frames[-2].t_ms])
        # Each request came 0.3 s after the reply to the one before: the device, looking meanwhile, knows as much.
        self.assertTrue(all(b.t_min_ms >= a.t_ms + 100 for a, b in zip(device.frames, device.frames[1:])))

    def test_faults(self):
        corrupted = IMAGE[:5] + bytes([IMAGE[5] ^ 0xFF]) + IMAGE[6:BLOCK]
        # Gaps within a reply widened, so that a busy machine cannot run its pieces together before they are read.
        self.enterContext(mock.patch.multiple(bootsim, SPLIT_GAP_S=0.1, DUP_GAP_S=0.2, NOISE_GAP_S=0.2))
        device = self.start("drop:1", "badcrc:2", "split:3", "dup:4", "noise:5:8", "late:6:200", "drop-write:2",
                            "corrupt-flash:5", flash_ms=100)
        self.assertEqual(self.exchange(QUERY, 0.3), b"")
        spoilt = self.exchange(QUERY)
        self.assertEqual((spoilt[:13], len(spoilt)), (ERASED[:13], 15))
        self.assertNotEqual(spoilt, ERASED)
        # On the line, by this test's clock: a block's ack after the flash time, in 3 pieces a gap apart; a
        # duplicate a gap after the reply; the reply a gap after the noise; a late reply its 200 ms late.
        self.assertEqual(self.exchange(BLOCKS[0]), ack_for(BLOCKS[0]))
        self.assert_reads([3, 4, 4], [100, 200, 300])
        reply = crc_reply(FLASH_BASE, 4, crc16(corrupted[:4]))
        self.assertEqual(self.exchange(crc_query(FLASH_BASE, BLOCK)),
                         2 * crc_reply(FLASH_BASE, BLOCK, crc16(corrupted)))
        self.assert_reads([15, 15], [0, 200])
        self.assertEqual(self.exchange(QUERY)[8:], reply)
        self.assert_reads([8, 15], [0, 200])
        self.assertEqual(self.exchange(QUERY), reply)
        self.assert_reads([15], [200])
        self.assertEqual((self.exchange(BLOCKS[1], 0.3), self.exchange(QUERY)), (b"", reply))  # only the block's ack
        frames = device.stop().frames
        self.assertEqual([f.reply for f in frames], ["dropped", "bad-crc", "split", "dup", "noise", "late", "dropped",
                                                     "answered"])
        self.assertEqual((frames[6].faults, device.written()), (["drop-write:2"], corrupted + IMAGE[BLOCK:2 * BLOCK]))
        # The device's records: the same schedule.
        for frame, gap_ms in zip(frames[2:6], (300, 200, 200, 200)):
            self.assertAlmostEqual(frame.reply_t_ms - frame.t_ms, gap_ms, delta=0.01)
        for faults, request, applied in ((["silent"], QUERY, "silent"), (["badcrc:9", "no-restart-reply"], RESTART,
                                         "no-restart-reply"), (["seed:7", "random:1.0"], QUERY, "random:")):
            device = self.start(*faults)
            for _ in range(3):
                self.exchange(request, 0.3)
            for frame in device.stop().frames:
                self.assertEqual((frame.reply != "answered", len(frame.faults)), (True, 1), faults)
                self.assertTrue(frame.faults[0].startswith(applied), frame)
            self.assertEqual(len(device.restarts), 3 if request == RESTART else 0, "a restart counts unanswered")

    def test_pacing_takes_the_wire_time_and_the_flash_time(self):
        device = self.start(pace=True, flash_ms=30)
        self.assertEqual(self.exchange(BLOCKS[0]), ack_for(BLOCKS[0]))
        self.assertGreater(self.reads[-1][1], (1035 + 11) * BYTE_MS + 30, "never early")
        self.assertEqual(self.exchange(RESTART), RESTART)
        # Two requests in one write: the second counts as received its own wire time after the first.
        self.assertEqual(self.exchange(QUERY + BLOCKS[0]),
                         crc_reply(FLASH_BASE, 4, crc16(IMAGE[:4])) + ack_for(BLOCKS[0]))
        link = device.link
        os.symlink(os.devnull, link + ".new")
        os.replace(link + ".new", link)  # the port is someone else's now
        write, restart, query, second = device.stop().frames
        self.assertEqual(os.readlink(link), os.devnull, "a link no longer the device's stays")
        self.assertRaises(OSError, os.write, self.fd, QUERY)  # the device gone, the port fails
        for got, wire_bytes, flash_ms in ((write, 11, 30), (restart, 5, 0), (query, 15, 0), (second, 11, 30)):
            self.assertAlmostEqual(got.reply_t_ms - got.t_ms, wire_bytes * BYTE_MS + flash_ms, delta=0.01)
        self.assertAlmostEqual(second.t_ms - query.t_ms, 1035 * BYTE_MS, delta=0.01)

    def test_nothing_leaves_before_its_start(self):
        """Woken 0.2 ms before an entry's start, the device sends none of it; then all, or paced a byte a wire time."""
        for pace, total in ((False, 11), (True, 3)):
            device, (line, device.fd) = Device(pace=pace), os.pipe()
            device.out.append((10.0, ack_for(BLOCKS[0])))
            device.send_due(10.0 - 0.0002)
            self.assertEqual(select.select([line], [], [], 0)[0], [], "nothing early")
            device.send_due(10.0 + 3.5 * BYTE_MS / 1000)
            os.close(device.fd)
            with os.fdopen(line, "rb") as sent:
                self.assertEqual(len(sent.read()), total, "paced" if pace else "unpaced")

    def test_termrec_records_of_this_pty_since_the_start(self):
        """The last record that changed size or parity counts: Wine writes back what the pty hands it (8, none)."""
        now = time.time()
        record = "tcsetattr t=%.6f tty=%s csize=%s parenb=%s parodd=%s was_csize=%s was_parenb=%s was_parodd=%s\n"
        with tempfile.NamedTemporaryFile("w") as log:
            log.writelines(record % ((t, pts) + tuple(framing)) for t, pts, framing in (
                (now, "/dev/pts/7", "810800"), (now, "/dev/pts/7", "800800"), (now, "/dev/pts/77", "711---"),
                (now - 60, "/dev/pts/7", "711---"), (now, "/dev/pts/7", "x11---")))
            log.flush()
            self.assertEqual(termrec_settings(log.name, "/dev/pts/7", now - 1), (8, "even", 2))

if __name__ == "__main__":
    unittest.main(verbosity=2)
