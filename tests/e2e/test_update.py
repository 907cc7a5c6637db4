"""Whole updates: clean, with a lost acknowledgement, against a device whose
flash keeps a byte wrong, and again after a failure."""

import json
import time

from checks import (check_clean_run, check_crlf, check_failed_run, corrupting_sim_start, open_line, start_trace,
                    writes_of)
from harness import BLOCK_BYTES, FLASH_BASE, STATUS_DONE, STATUS_FAILED

SETTLE_S = 0.3                # anything the tool were to do after its final status is done by now


def test_clean(session):
    """A clean run, then a second press after its success: the port, let go
    of at the end of the first run, opens again, and the new run is as clean,
    with no box. The trace's lines end in CR LF."""
    s = session
    first = s.sim_start(5, tag="first")
    s.update_run(["\\\\.\\com5"], STATUS_DONE)
    time.sleep(SETTLE_S)
    s.check(s.status() == STATUS_DONE, "the final status stays \"%s\"" % STATUS_DONE)
    trace = s.trace()
    s.check(trace.startswith(start_trace(s.image)), "the trace starts with the version and the image lines",
            repr(trace[:200]))
    check_clean_run(s, trace, s.sim_stop(first))

    second = s.sim_start(5, tag="second")
    samples = s.watch(s.press)
    s.check(samples[-1:] and samples[-1].status == STATUS_DONE, "the second press runs to \"%s\"" % STATUS_DONE,
            str(samples[-1:]))
    s.check_no_box("a second press after a successful run")
    report = s.update_end(second)
    whole = s.trace()
    s.check(whole.count(open_line(5)) == 2, "the port was opened again for the second press")
    check_clean_run(s, whole[len(trace):], report)
    check_crlf(s, s.trace_bytes())


def test_dropped_ack(session):
    s = session
    dropped = 5
    sim = s.sim_start(5, ["--fault", "drop-write:%d" % dropped])
    s.update_run(["\\\\.\\com5"], STATUS_DONE)
    report = s.update_end(sim)
    trace = s.trace()
    check_clean_run(s, trace, report)
    address = FLASH_BASE + (dropped - 1) * BLOCK_BYTES
    block_text = "PROG ADDR %#x, LEN 0x400, FROM %#x... - SENT - " % (address, address - FLASH_BASE)
    s.check(block_text + "TIMEOUT\n" + block_text in trace,
            "block %d times out and goes again to the same address" % dropped)
    s.check(len([f for f in writes_of(report) if f.get("address") == address]) >= 2,
            "the device got block %d again" % dropped)


def test_corrupt_flash(session):
    s = session
    sim = corrupting_sim_start(s, "com5")
    s.update_run(["\\\\.\\com5"], STATUS_FAILED)
    time.sleep(SETTLE_S)  # a restart request, were one to follow, would be on the line by now
    s.check(s.status() == STATUS_FAILED, "the status stays \"%s\"" % STATUS_FAILED)
    report = s.update_end(sim)
    check_failed_run(s, s.trace(), report)


def test_retry_after_failed(session):
    # The corruption is the device's and comes with every write, so the
    # second run gets a sound device: a fresh simulator on the same COM link.
    s = session
    first = corrupting_sim_start(s, "first")
    s.update_run(["\\\\.\\com5"], STATUS_FAILED)
    check_failed_run(s, s.trace(), s.sim_stop(first))
    trace_length = len(s.trace())
    second = s.sim_start(5, tag="second")
    s.press()
    s.wait_status(STATUS_DONE)
    report = s.update_end(second)
    trace = s.trace()
    s.check(trace.count(open_line(5)) == 2, "the same port was opened a second time")
    check_clean_run(s, trace[trace_length:], report)


def test_line_settings(session):
    s = session
    sim = s.sim_start(5)
    s.update_run(["\\\\.\\com5"], STATUS_DONE)
    s.close_dialog(0)
    line = s.sim_stop(sim).get("line", {})
    s.log("line as the device saw it: %s" % json.dumps(line))
    s.check(line.get("baud") == 115200 and line.get("stop_bits") == 1,
            "read back from the pty: 115200 baud, 1 stop bit", str(line))
    s.check(line.get("rtscts") is False and line.get("xonxoff") is False,
            "read back from the pty: no RTS/CTS, no XON/XOFF", str(line))
    s.check(line.get("observed_from") == "tcgetattr+termrec" and line.get("termrec_records", 0) > 0,
            "the tool's own tcsetattr requests were recorded", str(line))
    s.check(line.get("data_bits") == 8 and line.get("parity") == "even",
            "as requested by the tool: 8 data bits, even parity", str(line))
    s.check(line.get("ok") is True, "the device judges the line settings right", str(line))
