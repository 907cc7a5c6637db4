"""Whole updates: clean, with a lost acknowledgement, against a device whose
flash keeps a byte wrong, again after a failure, the bar through whole runs,
a real Enter key, a press during a run."""

import time

from checks import (blocks_received, check_bar_follows, check_clean_run, check_failed_run, check_flash_image,
                    check_progress_run, check_restarts, corrupting_sim_start, open_line, start_trace, writes_of)
from harness import BLOCK_BYTES, FLASH_BASE, STATUS_DONE, STATUS_FAILED, block_addresses

SETTLE_S = 0.3                # anything the tool were to do after its final status is done by now


def press_again(s, first_trace, after):
    """A second press, on a fresh sound device on com5: the port, let go of
    after the first run, opens again for a whole clean run, with no box."""
    second = s.sim_start(5, tag="second")
    samples = s.watch(s.press)
    s.check(samples[-1:] and samples[-1].status == STATUS_DONE, "the second press runs to \"%s\"" % STATUS_DONE,
            str(samples[-1:]))
    s.check_no_box("a second press after %s" % after)
    second = s.update_end(second)
    whole = s.trace()
    s.check(whole.count(open_line(5)) == 2, "the port was opened again for the second press")
    check_clean_run(s, whole[len(first_trace):], second)


def test_clean(session):
    """A clean run, then a second press after its success. The trace's lines end in CR LF."""
    s = session
    first = s.sim_start(5, tag="first")
    s.update_run(["\\\\.\\com5"], STATUS_DONE)
    time.sleep(SETTLE_S)
    s.check(s.status() == STATUS_DONE, "the final status stays \"%s\"" % STATUS_DONE)
    trace = s.trace()
    s.check(trace.startswith(start_trace(s.image)), "the trace starts with the version and the image lines",
            repr(trace[:200]))
    check_clean_run(s, trace, s.sim_stop(first))
    press_again(s, trace, "a successful run")
    lines = s.trace_bytes().split(b"\r\n")
    s.check(len(lines) > 1 and lines[-1] == b"" and not any(b"\n" in line or b"\r" in line for line in lines),
            "every line of the trace ends in CR LF, none in a bare LF or CR",
            repr([line[-40:] for line in lines if b"\n" in line or b"\r" in line][:3]))


def test_dropped_ack(session):
    s = session
    dropped = 5
    sim = s.sim_start(5, "drop-write:%d" % dropped)
    s.update_run(["\\\\.\\com5"], STATUS_DONE)
    s.update_end(sim)
    trace = s.trace()
    check_clean_run(s, trace, sim)
    address = FLASH_BASE + (dropped - 1) * BLOCK_BYTES
    block_text = "PROG ADDR %#x, LEN 0x400, FROM %#x... - SENT - " % (address, address - FLASH_BASE)
    s.check(block_text + "TIMEOUT\n" + block_text in trace,
            "block %d times out and goes again to the same address" % dropped)
    s.check(len([f for f in writes_of(sim) if f.address == address]) >= 2,
            "the device got block %d again" % dropped)


def test_corrupt_flash(session):
    s = session
    sim = corrupting_sim_start(s, "com5")
    s.update_run(["\\\\.\\com5"], STATUS_FAILED)
    time.sleep(SETTLE_S)  # a restart request, were one to follow, would be on the line by now
    s.check(s.status() == STATUS_FAILED, "the status stays \"%s\"" % STATUS_FAILED)
    check_failed_run(s, s.trace(), s.update_end(sim))


def test_retry_after_failed(session):
    s = session  # the corruption comes with every write: the second run gets a sound device
    first = corrupting_sim_start(s, "first")
    s.update_run(["\\\\.\\com5"], STATUS_FAILED)
    check_failed_run(s, s.trace(), s.sim_stop(first))
    press_again(s, s.trace(), "a failed run")


def test_line_settings(session):
    s = session
    sim = s.sim_start(5)
    s.update_run(["\\\\.\\com5"], STATUS_DONE)
    s.close_dialog(0)
    line = s.sim_stop(sim).line
    wanted = dict(baud=115200, stop_bits=1, rtscts=False, xonxoff=False, data_bits=8, parity="even", ok=True)
    s.check([(k, line[k]) for k in wanted] == list(wanted.items()) and line["termrec_records"] > 0,
            "read back from the pty: 115200 baud, 1 stop bit, no RTS/CTS or XON/XOFF; as the tool's recorded "
            "settings (tcsetattr or TCSETS2) ask: 8 data bits, even parity; the device judges them right", str(line))


def test_progress_and_enter(session):
    """The bar through a failed run, started with a real Enter key, and
    through the clean run pressed after it."""
    s = session
    sim = corrupting_sim_start(s, "first")
    s.tool_start(["\\\\.\\com5"])
    text = s.ui("progress")[1]
    s.check(text == "range 0 %d pos 0\n" % s.blocks, "before any run the bar is empty", repr(text))

    first = s.watch(lambda: (s.click_instructions(), s.key("Return")))
    check_progress_run(s, first, "first run, started by Enter", STATUS_FAILED)
    time.sleep(SETTLE_S)
    text = s.ui("progress")[1]
    s.check(text == "range 0 %d pos %d\n" % (s.blocks, s.blocks),
            "after \"FAILED\" the bar keeps its place (full: verifying had begun)", repr(text))
    s.sim_stop(sim)

    second = s.sim_start(5, tag="second")
    check_progress_run(s, s.watch(s.press), "second run", STATUS_DONE)
    check_flash_image(s, s.update_end(second))


def test_press_during_run(session):
    """A press while a run is under way on the same device: the tool lets go
    of the port it holds, opens it again, and a complete new run begins at
    the first block."""
    s = session
    sim = s.sim_start(5, pace=True)  # a run of about 15 s: the second press comes well before its end
    s.tool_start(["\\\\.\\com5"])
    s.press()
    s.wait_address(FLASH_BASE + 16 * BLOCK_BYTES)
    samples = s.watch(s.press)
    s.check(samples and samples[0].status.startswith("programming ") and samples[0].pos > 0,
            "the watch began with the first run under way", str(samples[:1]))
    s.check(samples and any(x.pos < samples[0].pos for x in samples),
            "the press empties the bar, and the new run fills it from the start")
    s.check(samples and samples[-1].status == STATUS_DONE and samples[-1].pos == s.blocks,
            "the new run ends at \"%s\" with the bar full" % STATUS_DONE, str(samples[-1:]))
    check_bar_follows(s, samples, "press during a run")
    s.check_no_box("a press during a run")
    s.screenshot("screenshot.png")
    s.close_dialog(0)
    trace = s.trace()
    s.check(trace.count(open_line(5)) == 2, "the port was opened once for each press", str(trace.count(open_line(5))))
    s.check(trace.count("CRCs match\n") == 1 and "CRC FAIL" not in trace, "one verification, and it matched")
    writes = writes_of(s.sim_stop(sim))
    written = [frame.address for frame in writes]
    # The first run's writes, cut short, then the second run's from the first block.
    restart = max((i for i in range(1, len(written)) if written[i] < written[i - 1]), default=0)
    s.check(0 < restart < s.blocks and written[restart] == FLASH_BASE,
            "the device got part of the image, then the first block again", str(written[:restart + 1]))
    s.check(restart and blocks_received(writes[restart:]) == block_addresses(s.blocks),
            "the device got all %d blocks in order after the press" % s.blocks, "%d write frames" % len(written))
    check_flash_image(s, sim)
    check_restarts(s, sim, 1)
