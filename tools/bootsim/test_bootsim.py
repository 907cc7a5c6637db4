#!/usr/bin/env python3
"""What the end-to-end cases lean on when they judge the tool by the simulated
device: it answers sound requests only, and exactly, its frames' CRC held to its
check value; its records of the flash, the order, the line and the line's time
are right; its faults do what they say; it sees the port closed. Times are
judged from the device's records; this test's clock only bounds them from below."""
import os
import select
import sys
import tempfile
import termios
import time
import tty
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
        """What comes back: up to first_wait_s for a first byte, then until 0.3 s (more than any gap within a reply)."""
        os.write(self.fd, frame)
        got = b""
        while select.select([self.fd], [], [], 0.3 if got else first_wait_s)[0]:
            got += os.read(self.fd, 4096)
            self.arrived = time.monotonic()
        return got

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

    def test_faults(self):
        corrupted = IMAGE[:5] + bytes([IMAGE[5] ^ 0xFF]) + IMAGE[6:BLOCK]
        device = self.start("drop:1", "badcrc:2", "split:3", "dup:4", "noise:5:8", "late:6:200", "drop-write:2",
                            "corrupt-flash:5")
        self.assertEqual(self.exchange(QUERY, 0.3), b"")
        spoilt = self.exchange(QUERY)
        self.assertEqual((spoilt[:13], len(spoilt)), (ERASED[:13], 15))
        self.assertNotEqual(spoilt, ERASED)
        self.assertEqual(self.exchange(BLOCKS[0]), ack_for(BLOCKS[0]))
        reply = crc_reply(FLASH_BASE, 4, crc16(corrupted[:4]))
        self.assertEqual(self.exchange(crc_query(FLASH_BASE, BLOCK)),
                         2 * crc_reply(FLASH_BASE, BLOCK, crc16(corrupted)))
        self.assertEqual((self.exchange(QUERY)[8:], self.exchange(QUERY)), (reply, reply))
        self.assertEqual((self.exchange(BLOCKS[1], 0.3), self.exchange(QUERY)), (b"", reply))  # only the block's ack
        frames = device.stop().frames
        self.assertEqual([f.reply for f in frames], ["dropped", "bad-crc", "split", "dup", "noise", "late", "dropped",
                                                     "answered"])
        self.assertEqual((frames[6].faults, device.written()), (["drop-write:2"], corrupted + IMAGE[BLOCK:2 * BLOCK]))
        # The schedule: a split reply's pieces 10 ms apart, a duplicate and the reply after noise 30 ms later.
        for frame, gap_ms in zip(frames[2:6], (20, 30, 30, 200)):
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
        started = time.monotonic()
        self.assertEqual(self.exchange(BLOCKS[0]), ack_for(BLOCKS[0]))
        self.assertGreater(self.arrived - started, ((1035 + 11) * BYTE_MS + 30) / 1000, "never early")
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
