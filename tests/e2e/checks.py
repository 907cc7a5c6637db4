"""Checks that several end-to-end cases make of a run: its trace, what the
simulated device saw (tools/bootsim's Device) and the dialog's samples."""

import re

from harness import (RUN_STATUSES, STATUS_DONE, STATUS_FAILED, block_addresses,
                     block_index, crc16_modbus)

RESEND_AFTER_MS = 500         # a block goes again only once its acknowledgement is this late
# The tool starts its wait before it writes, and a busy machine may hold it up between the two: the margin
# keeps that out while a resend at the contact's 100 ms still fails.
RESEND_SLACK_MS = 100
# A reply the device held back longer than the wait, and a read begun just before its end that takes a reply
# within its 100 ms, must be followed by the block again.
HELD_BACK_MS = RESEND_AFTER_MS + 2 * RESEND_SLACK_MS
CORRUPT_AT = 0x1234           # the flash byte that a corrupting device keeps wrong
BAR_SAMPLES_MIN = 20          # consistent samples of the bar while writing, per run
STATUS_AFTER_WRITING = RUN_STATUSES[2:] + (STATUS_DONE, STATUS_FAILED)  # "Verifying..." on: every block acknowledged

FATAL_BOX_PATTERN = re.compile(r"\n\nAn Error has occurred as follows:\n"
                               r"          Unable to open serial port\. In use already, or not present\n"
                               r"Error number (\d+) reported\n(.+?)\n\n The program will now abort\n\n\n$", re.S)


def start_trace(image):
    """What the tool traces before anything is pressed."""
    return "Running on windows version: a00\n\nFlash Image Base 0x8001000\nFlash Image Size %#x bytes\n" % len(image)


def open_line(com):
    return " . Opening serial port \\\\.\\com%d at 115200 baud\n" % com


def writes_of(sim):
    return [frame for frame in sim.frames if frame.op == "write"]


def blocks_received(frames):
    """The addresses of the write frames, a block sent again counted once."""
    addresses = [frame.address for frame in frames if frame.op == "write"]
    return [a for i, a in enumerate(addresses) if i == 0 or a != addresses[i - 1]]


def trace_in_order(s, trace, needles, what):
    position = 0
    for needle in needles:
        found = trace.find(needle, position)
        if found < 0:
            return s.check(False, what, "%r missing after offset %d" % (needle, position))
        position = found + len(needle)
    return s.check(True, what)


def check_crc_lines(s, trace, expect_match):
    remote = re.findall(r"Remote CRC (0x[0-9a-f]+|0)\n", trace)
    local = re.findall(r"Local  CRC (0x[0-9a-f]+|0)\n", trace)
    if not s.check(remote and local, "the trace gives the remote and the local CRC"):
        return
    crc = crc16_modbus(s.image)
    s.check(int(local[-1], 16) == crc, "the local CRC is the CRC-16 of the padded image (%#x)" % crc, local[-1])
    s.check((remote[-1] == local[-1]) == expect_match,
            "remote and local CRC %s" % ("agree" if expect_match else "differ"), "%s / %s" % (remote[-1], local[-1]))


def check_clean_run(s, trace, sim, com=5):
    """What every successful run of the carried image must show. A block may go again after a TIMEOUT,
    when the machine held the tool up past its wait for the acknowledgement; never sooner."""
    blocks = s.blocks
    trace_in_order(s, trace, [
        open_line(com), "CONTACTING...", "REMOTE DEVICE LINK ESTABLISHED\n",
        "PROG ADDR 0x8001000, LEN 0x400, FROM 0... - SENT - ", "PROG ADDR 0x8001400, LEN 0x400, FROM 0x400... - SENT - ",
        "Verifying address 0x8001000, image size %#x bytes\n" % len(s.image), "frame length   13 bytes sent\n",
        "Remote CRC ", "Local  CRC ", "CRCs match\n",
        "Resetting target\n", "frame length    5 bytes sent\n", "frame length    5 bytes received & OK\n",
    ], "the trace tells the run in order: open, contact, blocks, verify, CRCs match, restart")
    check_crc_lines(s, trace, True)
    sends = re.findall(r"PROG ADDR (0x[0-9a-f]+), LEN 0x400, FROM (?:0x[0-9a-f]+|0)\.\.\. - SENT - (- OK|TIMEOUT)\n",
                       trace)
    acknowledged = [int(address, 16) for address, end in sends if end == "- OK"]
    again = all(following[0] == sent[0] for sent, following in zip(sends, sends[1:]) if sent[1] == "TIMEOUT")
    s.check(acknowledged == block_addresses(blocks) and again,
            "the trace has the %d blocks acknowledged in order, a block sent again only after a TIMEOUT" % blocks,
            "%d sends, %d acknowledged" % (len(sends), len(acknowledged)))
    writes = writes_of(sim)
    s.check(blocks_received(writes) == block_addresses(blocks),
            "the device got the %d blocks in address order" % blocks, "%d write frames" % len(writes))
    check_writes(s, trace, sim)
    s.check(sim.writes_in_order, "the device saw the writes in order")
    check_flash_image(s, sim)
    check_restarts(s, sim, 1)


def check_writes(s, trace, sim, replies=False):
    """What the device saw of the writes against the trace: a block again once for each TIMEOUT, only after the
    wait, whatever the device's stamps say; each block after the previous one's acknowledgement. With replies: after
    one spoiled or held back past the wait the same block, after a good one the next, up to a reply that may leave
    the tool a stray frame to take for a later one (a duplicate, or one still to come when the next request came)."""
    writes = writes_of(sim)
    copies = [(a, b) for a, b in zip(writes, writes[1:]) if b.address == a.address]
    timeouts = trace.count(" - SENT - TIMEOUT\n")
    s.check(len(copies) == timeouts, "the device got a block again once for each of the trace's %d TIMEOUTs"
            % timeouts, "%d copies" % len(copies))
    # Counted from the earliest the first copy can have come: a device held up stamps it late, never early.
    early = ["%#x after at most %.1f ms" % (b.address, b.t_ms - a.t_min_ms) for a, b in copies
             if b.t_ms - a.t_min_ms <= RESEND_AFTER_MS - RESEND_SLACK_MS]
    s.check(not early, "a block went again only after %d ms without its acknowledgement" % RESEND_AFTER_MS,
            str(early[:3]))
    frames = [f for f in sim.frames if f.verdict == "ok"]
    wrong = []
    for a, b in zip(frames, frames[1:]):
        again = b.op == "write" and b.address == a.address
        if a.op == "write" and not again and (a.reply_t_ms is None or b.t_ms < a.reply_t_ms):
            wrong.append("%#x before %#x's acknowledgement" % (b.address or 0, a.address))
        spoilt = a.reply in ("dropped", "bad-crc") or a.reply_t_ms is not None and a.reply_t_ms - a.t_ms > HELD_BACK_MS
        good = a.reply == "answered" and a.reply_t_ms - a.t_ms < RESEND_AFTER_MS - RESEND_SLACK_MS
        if replies and a.op == "write" and (spoilt and not again or good and again):
            wrong.append("%#x %s after the %s reply to %#x" % (b.address or 0, b.op, a.reply, a.address))
        if replies and (any("dup" in fault for fault in a.faults) or (a.reply_t_ms or 0) > b.t_ms):
            break
    s.check(not wrong, "each block came after the previous one's acknowledgement%s" % (
        "; after a reply spoiled or held back the same block again, after a good one the next" if replies else ""),
        str(wrong[:3]))


def flash_differences(s, sim):
    """Where the device's flash, up to its highest byte written, differs from the padded image."""
    written = sim.written()
    return [i for i in range(max(len(written), len(s.image))) if written[i:i + 1] != s.image[i:i + 1]]


def check_flash_image(s, sim):
    s.check(sim.written() == s.image, "the device's flash equals the padded image",
            "%d blocks written, differences at %s" % (sim.blocks_written, flash_differences(s, sim)[:5]))


def check_restarts(s, sim, count):
    """The device was told to restart count times; none: not a restart request on the line at all."""
    resets = [f for f in sim.frames if f.op == "reset"]
    s.check(len(sim.restarts) == count and (count or not resets),
            "the device was told to restart once" if count else "no restart request went out on the line",
            "restarts at %s ms" % sim.restarts)


def corrupting_sim_start(s, tag):
    """A device on com5 whose flash keeps one byte wrong: a run against it ends in FAILED."""
    return s.sim_start(5, "corrupt-flash:%#x" % CORRUPT_AT, tag=tag)


def check_failed_run(s, trace, sim):
    s.check("CRC FAIL\n" in trace and "CRCs match" not in trace, "the trace says CRC FAIL and claims no match")
    check_crc_lines(s, trace, False)
    check_restarts(s, sim, 0)
    differences = flash_differences(s, sim)
    s.check(differences == [CORRUPT_AT], "the device's flash differs at the corrupted byte only", str(differences[:5]))


def fatal_box_checks(s, text):
    """The fatal report's text in the box; its match of FATAL_BOX_PATTERN, or None."""
    match = FATAL_BOX_PATTERN.match(text)
    if s.check(match is not None, "the \"Terminate Program\" box holds the fatal report in order", repr(text)):
        s.check(int(match.group(1)) != 0 and match.group(2).strip() != "",
                "the box gives the error number %s and the system's text %r" % (match.group(1), match.group(2)))
    return match


def check_bar_follows(s, samples, run_name):
    """While a block is written the bar stands exactly at the blocks acknowledged before it, neither one
    behind nor one ahead (each sample is one moment of the dialog)."""
    writing = [x for x in samples if x.status.startswith("programming ")]
    s.check(len(writing) >= BAR_SAMPLES_MIN, "%s: at least %d samples while writing" % (run_name, BAR_SAMPLES_MIN),
            "%d samples" % len(writing))
    astray = [x for x in writing if x.pos != block_index(int(x.status.split()[1], 16))]
    s.check(not astray, "%s: while writing, the bar stands exactly at the blocks acknowledged" % run_name,
            str(astray[:3]))


def check_progress_run(s, samples, run_name, final):
    """The bar through one run, watched from before the press: its range is the image's blocks, it is
    emptied as the run starts, follows the acknowledged blocks, never goes back, and is full from
    verifying on, up to the final status."""
    blocks = s.blocks
    ranges = sorted({(x.lo, x.hi) for x in samples})
    s.check(ranges == [(0, blocks)], "%s: the bar's range is 0..%d throughout" % (run_name, blocks), str(ranges))
    started = [i for i, x in enumerate(samples) if x.status.startswith(RUN_STATUSES + ("programming ",))]
    if not s.check(started, "%s: a run started" % run_name, str([x.status for x in samples][:5])):
        return
    run = samples[started[0]:]
    s.check(run[0].pos == 0, "%s: the bar is empty as the run starts" % run_name, str(run[0]))
    positions = [x.pos for x in run]
    s.check(positions == sorted(positions), "%s: the bar never goes back during the run" % run_name)
    check_bar_follows(s, run, run_name)
    late = [x for x in run if x.status in STATUS_AFTER_WRITING]
    s.check(late and all(x.pos == blocks for x in late), "%s: the bar is full from \"Verifying...\" on" % run_name,
            str(sorted({(x.status, x.pos) for x in late})))
    s.check(run[-1].status == final and run[-1].pos == blocks,
            "%s: ends at \"%s\" with the bar full" % (run_name, final), str(run[-1]))
