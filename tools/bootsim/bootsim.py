#!/usr/bin/env python3
"""bootsim: a simulated Orvex 2.0 boot loader on a pseudo-terminal, for
testing the update tool. It answers the tool's requests as the device would,
with faults on command, and keeps what it saw (Device). As a command it runs
until SIGTERM or Ctrl-C, then writes what it saw as a JSON report.

Fault rules; N counts every request received, from 1:
    drop:N  badcrc:N  late:N:MS  dup:N (again 30 ms later)  split:N (3 pieces,
    10 ms apart)  noise:N:COUNT (COUNT random bytes, 30 ms silence, the reply)
    drop-write:K (no ack for the K-th write block)  unplug:K (the device goes,
    as if unplugged, when the K-th write block comes, unanswered and unstored)
    corrupt-flash:OFFSET (that image byte flipped on every write)
    no-restart-reply  silent  seed:S (of the random bytes and faults)
    random:P (with probability P per request one of drop, badcrc, late 30-800 ms,
    noise 1-16 bytes, split, dup)
"""

import argparse
import collections
import fcntl
import json
import os
import random
import select
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "e2e", "harness"))
# The test scripts' frames and their CRC-16, written apart from the tool's.
from protocol import (BLOCK_BYTES, BYTE_MS, FLASH_BASE, OP_CRC, OP_WRITE, PROG, REQUEST_BYTES, RESTART,  # noqa: E402
                      ack_for, crc16_modbus, crc_reply)

FLASH_BYTES = 512 * 1024
OPS = {OP_WRITE: "write", OP_CRC: "crc", RESTART[2]: "reset"}
LENGTH_FIELD = {"write": 2, "crc": 4}  # bytes of the length after the 4-byte address
WRITE_HEAD = 9                         # a write's address, function, sub-code, address, length
WRITE_OVERHEAD = REQUEST_BYTES["write"] - BLOCK_BYTES
REQUEST_BYTES_MAX = WRITE_OVERHEAD + 0xFFFF
BYTE_S = BYTE_MS / 1000                # 11 bits a byte at 115200 baud
SILENCE_END_S = 0.020                  # garbage ends after this much silence
NOISE_GAP_S = 0.030                    # between noise and the real reply
SPLIT_GAP_S = 0.010                    # between the pieces of a split reply
SPLIT_PIECES = 3
DUP_GAP_S = 0.030                      # between a reply and its duplicate
IDLE_WAIT_S = 0.050                    # longest wait when nothing is due
CLOSED_LOOK_S = 0.010                  # while the port is closed, a look this often for its opening
TX_RETRY_S = 0.001                     # after the pty refused bytes
BAD_CRC_XOR = 0x5A                     # flips some bits of a reply's CRC high byte
# What a random fault may be, with the range of its amount: milliseconds late, bytes of noise.
RANDOM_FAULTS = {"drop": None, "badcrc": None, "late": (30, 800), "noise": (1, 16), "split": None, "dup": None}
# Rule name: number of arguments, the first one's range.
FAULT_RULES = {"drop": (1, 1), "badcrc": (1, 1), "late": (2, 1), "noise": (2, 1), "split": (1, 1), "dup": (1, 1),
               "drop-write": (1, 1), "unplug": (1, 1), "corrupt-flash": (1, 0), "seed": (1, 0), "random": (1, 0),
               "no-restart-reply": (0, 0), "silent": (0, 0)}
REPLY_FAULTS = ("drop", "drop-write", "badcrc", "late", "noise", "split", "dup")
REPLY_LABELS = {"drop": "dropped", "badcrc": "bad-crc"}
LINE_RIGHT = {"baud": 115200, "stop_bits": 1, "data_bits": 8, "parity": "even", "rtscts": False, "xonxoff": False}
# The kernel's struct termios2 (x86-64 TCGETS2): the flags, then the speed as a number at byte 40 however it was set
# (Wine 10 sets a line with TCSETS2, where tcgetattr reads a code that stands for "see the number").
TCGETS2, TERMIOS2_BYTES, TERMIOS2_OSPEED_AT = 0x802C542A, 44, 40
# In a session of its own, claims the pty as its controlling terminal, then lets go of it and waits to be ended
# (see Device.start).
GUARD = ("import os, signal, sys\nfd = os.open(sys.argv[1], os.O_RDWR)\nos.tcgetpgrp(fd)\nos.close(fd)\n"
         "print(flush=True)\nsignal.pause()\n")

# One request as the device received it: when (ms from the device's start), its bytes, what it asked, whether it
# was sound ("ok", "bad-crc", "short", "out-of-range", "unknown-op"), what became of the reply ("answered",
# "dropped", "late", "bad-crc", "split", "dup", "noise", "none", "unplugged"), when the reply's last byte left
# (None without one) and the faults that shaped it.
# t_min_ms: the earliest t_ms can stand for: the device had seen the line without the request then (plus its wire
# time), so a device that a busy machine held up stamps late but never claims more than it saw.
Frame = collections.namedtuple("Frame", "t_ms len op address length verdict reply reply_t_ms faults t_min_ms")


def fault_parse(text):
    """A fault rule as (name, first number, second number); ValueError if it is none."""
    name, *fields = text.split(":")
    count, low = FAULT_RULES.get(name, (-1, 0))
    if len(fields) != count:
        raise ValueError("not a fault rule: %r" % text)
    numbers = [float(field) if name == "random" else int(field, 0) for field in fields] + [0, 0]
    high = 1 if name == "random" else FLASH_BYTES - 1 if name == "corrupt-flash" else float("inf")
    if not (low <= numbers[0] <= high and numbers[1] >= 0):
        raise ValueError("a number out of range in %r" % text)
    return name, numbers[0], numbers[1]


def request_length(data):
    """Bytes of the request that data begins with; 0 while not known, or
    never (garbage, which ends with the line's silence)."""
    op = OPS.get(data[2]) if len(data) >= 3 and data[:2] == PROG else None
    if op == "write":
        return WRITE_OVERHEAD + int.from_bytes(data[7:WRITE_HEAD], "big") if len(data) >= WRITE_HEAD else 0
    return REQUEST_BYTES.get(op, 0)


def classify(frame):
    """What a request asks: (op, address, length, verdict)."""
    if frame[:2] != PROG[:len(frame)]:
        return "unknown", None, None, "unknown-op"
    op = OPS.get(frame[2], "unknown") if len(frame) >= 3 else "unknown"
    if op == "unknown":
        return op, None, None, "short" if len(frame) < 3 else "unknown-op"
    size = LENGTH_FIELD.get(op, 0)
    address = int.from_bytes(frame[3:7], "big") if size and len(frame) >= 7 else None
    length = int.from_bytes(frame[7:7 + size], "big") if size and len(frame) >= 7 + size else None
    expected = request_length(frame)
    if not expected or len(frame) < expected:
        verdict = "short"
    elif len(frame) != expected or crc16_modbus(frame[:-2]) != int.from_bytes(frame[-2:], "little"):
        verdict = "bad-crc"
    elif size and not (FLASH_BASE <= address and address - FLASH_BASE + length <= FLASH_BYTES):
        verdict = "out-of-range"
    else:
        verdict = "ok"
    return op, address, length, verdict


def termrec_settings(log_path, pts, since):
    """(data bits, parity, records) that the termrec library logged for pts since the unix time since. A pty hands
    back 8 data bits and no parity whatever was asked, so a caller that reads, changes one thing and writes back
    (Wine does so once per part of the settings) writes "8, none" again after the call that set the parity: the
    last call that changed size or parity against what it had read says what the program asked for."""
    last, records = {}, 0
    with open(log_path, errors="replace") as log:
        for text in log:
            words = text.split()
            fields = dict(word.split("=", 1) for word in words[1:] if "=" in word)
            try:
                # A Wine run from another root may name the pty by the path of its /dev bound into that root.
                taken = fields["tty"].endswith(pts) and float(fields["t"]) >= since
                data_bits = int(fields["csize"])
            except (IndexError, KeyError, ValueError):
                continue
            if not taken or not 5 <= data_bits <= 8:
                continue
            records += 1
            parity = "none" if fields.get("parenb") != "1" else "odd" if fields.get("parodd") == "1" else "even"
            changed = any(fields.get(k) != fields.get("was_" + k) for k in ("csize", "parenb", "parodd"))
            last[changed] = (data_bits, parity)
    return last.get(True, last.get(False, (None, None))) + (records,)


class Device:
    """The simulated boot loader: made with its fault rules, pacing (each
    byte both ways takes its time on a 115200-baud line), flash time per
    write block and the termrec log it reads the line settings from, then
    start()ed on a link. What it saw, for anyone to read:

    frames          every request (Frame), in the order received
    flash, extent   512 KiB from 0x08001000; up to the highest byte written (written())
    blocks_written, writes_in_order   each block following the previous one or repeating it
    restarts        the time of each restart request
    line            the line settings: baud, stop_bits, rtscts, xonxoff from the pty,
                    data_bits, parity from termrec, and whether all are right (ok)
    open, closes    whether the tool has the port open, the times it let go of it
    gone            unplugged by the unplug rule
    """

    def __init__(self, faults=(), pace=False, flash_ms=0, termrec_log=None):
        self.faults, self.pace, self.flash_ms, self.termrec_log = list(faults), pace, flash_ms, termrec_log
        self.rules = [fault_parse(text) + (text,) for text in self.faults]
        kinds = {rule[0]: rule for rule in self.rules}
        self.rng = random.Random(kinds.get("seed", (0, 1))[1])
        self.chance = kinds.get("random", (0, 0))[1]
        self.unplug_at = kinds.get("unplug", (0, 0))[1]
        self.corrupt = [rule[1] for rule in self.rules if rule[0] == "corrupt-flash"]
        self.frames, self.restarts, self.closes = [], [], []
        self.flash = bytearray(b"\xff" * FLASH_BYTES)
        self.extent = self.blocks_written = self.write_count = 0
        self.writes_in_order, self.previous = True, (FLASH_BASE, 0)
        self.line = dict(dict.fromkeys(LINE_RIGHT), termrec_records=0, ok=False)
        self.open = self.gone = self.ending = False
        self.fd = self.guard = self.link = self.thread = None
        self.rx, self.pending, self.out = bytearray(), collections.deque(), collections.deque()
        self.rx_first = self.rx_last = self.rx_free = self.tx_free = self.tx_retry = self.rx_after = self.empty_at = 0.0

    def written(self):
        return bytes(self.flash[:self.extent])

    def close_pty(self):
        """The device goes: its link (if still its own: the pty's number may go to someone else, and a stale link
        would lead the tool there), the master, and with it the guard."""
        if self.link and os.path.islink(self.link) and os.readlink(self.link) == self.slave:
            os.unlink(self.link)
        if self.fd is not None:
            os.close(self.fd)
        if self.guard:
            self.guard.kill()
            self.guard.wait()
        self.fd = self.guard = self.link = None

    def read_line(self):
        try:
            termios2 = fcntl.ioctl(self.fd, TCGETS2, bytes(TERMIOS2_BYTES))  # the master reads the slave's
        except OSError:
            return
        iflag, _, cflag, _ = struct.unpack_from("4I", termios2)
        self.line.update(baud=struct.unpack_from("I", termios2, TERMIOS2_OSPEED_AT)[0],
                         stop_bits=2 if cflag & termios.CSTOPB else 1, rtscts=bool(cflag & termios.CRTSCTS),
                         xonxoff=bool(iflag & (termios.IXON | termios.IXOFF)))

    def start(self, link=None):
        """Runs the device in a thread of its own on a raw pty, published at link (a symbolic link, which replaces
        an old one in one step, so the tool never finds the port missing).

        The wineserver is a session leader without a terminal and opens the port without O_NOCTTY: the pty would
        become its controlling terminal, and closing the master would send it SIGHUP, on which it dumps its
        object table onto the tool's standard error. A pty is the controlling terminal of one session only, so a
        small process in a session of its own claims it first. It lets go of the slave side, as does this
        device, so that the master sees a hang-up when the tool closes the port; it lives until the master goes."""
        self.fd, slave = os.openpty()
        self.slave = os.ttyname(slave)
        tty.setraw(slave)
        os.close(slave)
        os.set_blocking(self.fd, False)
        self.guard = subprocess.Popen([sys.executable, "-I", "-S", "-c", GUARD, self.slave], start_new_session=True,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        claimed = self.guard.stdout.readline()
        self.guard.stdout.close()
        if not claimed:
            self.close_pty()
            raise RuntimeError("no process could claim %s as its terminal" % self.slave)
        if link:
            os.makedirs(os.path.dirname(os.path.abspath(link)), exist_ok=True)
            os.symlink(self.slave, "%s.%d-%d" % (link, os.getpid(), self.fd))
            os.replace("%s.%d-%d" % (link, os.getpid(), self.fd), link)
            self.link = link
        self.t0, self.unix0 = time.monotonic(), time.time()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()
        return self

    def stop(self, report=None):
        """Ends the device (unanswered requests and unsent replies are dropped), reads the line settings, writes
        the report if asked; the device."""
        self.ending = True
        if self.thread:
            self.thread.join()
        if self.fd is not None:
            if self.line["baud"] is None:
                self.read_line()
            self.close_pty()
        if self.termrec_log and os.path.exists(self.termrec_log):
            data_bits, parity, records = termrec_settings(self.termrec_log, self.slave, self.unix0)
            self.line.update(data_bits=data_bits, parity=parity, termrec_records=records)
        self.line["ok"] = all(self.line[k] == v for k, v in LINE_RIGHT.items())
        if report:
            with open(report, "w") as f:
                json.dump(self.report(), f)
        return self

    def report(self):
        return {"frames": [frame._asdict() for frame in self.frames], "line": self.line, "tty": self.slave,
                "blocks_written": self.blocks_written, "flash_bytes": self.extent,
                "flash_crc16": crc16_modbus(self.written()), "writes_in_order": self.writes_in_order,
                "restarts": self.restarts, "closes": self.closes, "faults": self.faults, "paced": self.pace,
                "flash_ms": self.flash_ms}

    def run(self):
        """The device's loop, until stop() or the unplug rule. While the tool has the port open, a wait ends with
        its bytes; while it is closed the master reads as hung up at once, so the loop looks every 10 ms."""
        while not self.ending and not self.gone:
            now = time.monotonic()
            wait = max(0.0, self.next_event(now) - now)
            if not self.open:
                time.sleep(min(wait, CLOSED_LOOK_S))
                wait = 0
            readable = select.select([self.fd], [], [], wait)[0]
            now = time.monotonic()
            if readable:
                self.receive(now)
            else:
                self.line_seen(True, now)  # a master whose slave side nobody holds is always readable
            if self.rx and now - self.rx_last >= SILENCE_END_S:
                self.take(len(self.rx), now, now)  # garbage counts as received when its silence is noticed
            while self.pending and self.pending[0][0] <= now and not self.gone:
                self.handle(*self.pending.popleft())
            self.send_due(now)
            self.empty_at = now  # what comes next comes after this look
        if self.gone:
            self.close_pty()

    def next_event(self, now):
        events = [now + IDLE_WAIT_S]
        if self.out:
            events.append(max(self.out[0][0] + self.wire(1), self.tx_retry))
        if self.pending:
            events.append(self.pending[0][0])
        if self.rx:
            events.append(self.rx_last + SILENCE_END_S)
        return min(events)

    def line_seen(self, is_open, now):
        if self.open and not is_open:
            self.closes.append(self.ms(now))
        self.open = is_open

    def receive(self, now):
        got = False
        while True:
            try:
                chunk = os.read(self.fd, 65536)
            except BlockingIOError:
                self.line_seen(True, now)
                break
            except OSError:  # EIO: nobody has the slave side open
                self.line_seen(False, now)
                break
            if not self.rx:
                self.rx_first, self.rx_after = now, self.empty_at
            self.rx += chunk
            self.rx_last, got = now, True
            while request_length(self.rx) and len(self.rx) >= request_length(self.rx):
                self.take(request_length(self.rx), now, 0)
            if len(self.rx) > REQUEST_BYTES_MAX:
                self.take(len(self.rx), now, now)
        if got:  # the tool has opened and set the port by the time it sends
            self.read_line()

    def take(self, count, now, earliest):
        """The bytes came at once through the pty; on a real line the last one would arrive a wire time after the
        first, and not before the line was free of the previous request."""
        done = max(max(self.rx_first, self.rx_free) + self.wire(count), earliest)
        self.pending.append((done, bytes(self.rx[:count]), min(done, max(self.rx_after, self.rx_free) + self.wire(count))))
        del self.rx[:count]
        self.rx_free, self.rx_first = done, now

    def wire(self, count):
        return count * BYTE_S if self.pace else 0.0

    def ms(self, t):
        return round((t - self.t0) * 1000, 3)

    def handle(self, done, frame, done_min):
        op, address, length, verdict = classify(frame)
        record = Frame(self.ms(done), len(frame), op, address, length, verdict, "none", None, [], self.ms(done_min))
        self.write_count += verdict == "ok" and op == "write"
        if verdict == "ok" and op == "write" and self.write_count == self.unplug_at:
            self.gone = True  # pulled out with the block on the line: nothing stored, nothing said
            record = record._replace(reply="unplugged")
        elif verdict == "ok":
            hits = self.faults_on(len(self.frames) + 1, op)
            reply = self.perform(op, address, length, frame, record.t_ms)
            kinds = [kind for kind, _, _ in hits]
            label = next((k for k in ("drop", "badcrc", "noise", "split", "dup", "late") if k in kinds), "answered")
            reply_t = None if "drop" in kinds else self.ms(self.schedule(
                reply, done + (self.flash_ms / 1000 if op == "write" else 0), hits))
            record = record._replace(reply=REPLY_LABELS.get(label, label), reply_t_ms=reply_t,
                                     faults=[text for _, _, text in hits])
        self.frames.append(record)

    def faults_on(self, number, op):
        """The faults that shape the reply to request number: (kind, amount, rule)."""
        block = self.write_count if op == "write" else 0
        hits = [("drop" if kind == "drop-write" else kind, amount, text) for kind, target, amount, text in self.rules
                if kind in REPLY_FAULTS and target == (block if kind == "drop-write" else number)]
        hits += [("drop", 0, kind) for kind, _, _, _ in self.rules
                 if kind == "silent" or kind == "no-restart-reply" and op == "reset"]
        if self.chance > 0 and self.rng.random() < self.chance:
            kind = self.rng.choice(list(RANDOM_FAULTS))
            amount = self.rng.randint(*RANDOM_FAULTS[kind]) if RANDOM_FAULTS[kind] else 0
            hits.append((kind, amount, "random:%s%s" % (kind, ":%d" % amount if amount else "")))
        return hits

    def perform(self, op, address, length, frame, t_ms):
        """Does what the request asks; the reply."""
        offset = address - FLASH_BASE if address is not None else 0
        if op == "write":
            self.writes_in_order &= (address, length) == self.previous or address == sum(self.previous)
            self.flash[offset:offset + length] = frame[WRITE_HEAD:WRITE_HEAD + length]
            for target in self.corrupt:
                if offset <= target < offset + length:
                    self.flash[target] ^= 0xFF
            self.extent = max(self.extent, offset + length) if length else self.extent
            self.blocks_written += 1
            self.previous = (address, length)
            return ack_for(frame)
        if op == "crc":
            return crc_reply(address, length, crc16_modbus(self.flash[offset:offset + length]))
        self.restarts.append(t_ms)
        return RESTART

    def schedule(self, reply, ready, hits):
        """Puts the reply on the outgoing line as the faults shape it; when its last byte leaves."""
        kinds, amounts = [kind for kind, _, _ in hits], {kind: amount for kind, amount, _ in hits}
        if "badcrc" in kinds:
            reply = reply[:-1] + bytes([reply[-1] ^ BAD_CRC_XOR])
        t = max(ready, self.tx_free) + sum(amount for kind, amount, _ in hits if kind == "late") / 1000
        if amounts.get("noise"):
            t = self.queue(self.rng.randbytes(amounts["noise"]), t) + NOISE_GAP_S
        pieces = SPLIT_PIECES if "split" in kinds else 1
        for i in range(pieces):
            t = self.queue(reply[len(reply) * i // pieces:len(reply) * (i + 1) // pieces], t)
            t += SPLIT_GAP_S if i + 1 < pieces else 0
        return self.queue(reply, t + DUP_GAP_S) if "dup" in kinds else t

    def queue(self, data, start):
        """Bytes that leave one after another from start, each once its wire time is over; when the last one has
        left."""
        self.out.append((start, data))
        self.tx_free = max(self.tx_free, start + self.wire(len(data)))
        return start + self.wire(len(data))

    def send_due(self, now):
        """What is due of the outgoing bytes, in one write, nothing of an entry before its start: unpaced, all of
        it; paced, each byte once its wire time is over, worked out from the clock so a late wake-up costs no
        line time."""
        while self.out and now >= max(self.tx_retry, self.out[0][0]):
            start, data = self.out[0]
            due = min(len(data), int((now - start) / BYTE_S + 1e-6)) if self.pace else len(data)
            try:
                sent = os.write(self.fd, data[:due]) if due else 0
            except OSError:
                sent = 0
            if sent == len(data):
                self.out.popleft()
                continue
            self.out[0] = (start + self.wire(sent), data[sent:])
            if sent < due:  # nobody reads the slave and its buffer is full: again a little later
                self.tx_retry = now + TX_RETRY_S
            return

def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--prefix", help="link PREFIX/dosdevices/comN to the pty (without: its path is only printed)")
    parser.add_argument("--com", type=int, metavar="N")
    parser.add_argument("--pace", action="store_true", help="take a 115200 baud line's time, 11 bits a byte")
    parser.add_argument("--flash-ms", type=int, default=0, help="flash time per write block before its ack")
    parser.add_argument("--fault", action="append", default=[], metavar="RULE", help="a fault rule (above), repeatable")
    parser.add_argument("--termrec-log", help="TERMREC_LOG of the tool's termrec preload, for its line settings")
    parser.add_argument("--report", help="JSON report at the end: frames, line, flash, restarts, port closes")
    args = parser.parse_args()
    if (args.prefix is None) != (args.com is None):
        parser.error("--prefix and --com go together")
    link = args.prefix and os.path.join(args.prefix, "dosdevices", "com%d" % args.com)
    try:
        device = Device(args.fault, args.pace, args.flash_ms, args.termrec_log)
    except ValueError as error:
        parser.error(str(error))
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, lambda *_: setattr(device, "ending", True))
    device.start(link)
    print("bootsim: device on %s%s" % (device.slave, " as " + link if link else ""), file=sys.stderr, flush=True)
    device.thread.join()  # until a signal ends it, or the unplug rule
    device.stop(args.report)


if __name__ == "__main__":
    main()
