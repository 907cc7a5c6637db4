"""The bar through whole runs, a real Enter key, a press during a run."""

import time

from checks import blocks_of, check_bar_follows, check_progress_run, corrupting_sim_start, open_line, writes_of
from harness import BLOCK_BYTES, FLASH_BASE, STATUS_DONE, STATUS_FAILED, block_addresses


def test_progress_and_enter(session):
    """The bar through a failed run, started with a real Enter key, and
    through the clean run pressed after it."""
    s = session
    blocks = blocks_of(s)
    sim = corrupting_sim_start(s, "first")
    s.tool_start()
    s.dialog_up(["\\\\.\\com5"])
    code, text = s.ui("progress")
    s.check(text == "range 0 %d pos 0\n" % blocks, "before any run the bar is empty", repr(text))

    # A real key press: a click on the instructions, away from the button, then Enter.
    first = s.watch(lambda: (s.click_instructions(), s.key("Return")))
    check_progress_run(s, first, "first run, started by Enter", STATUS_FAILED)
    time.sleep(0.3)
    code, text = s.ui("progress")
    s.check(text == "range 0 %d pos %d\n" % (blocks, blocks),
            "after \"FAILED\" the bar keeps its place (full: verifying had begun)", repr(text))
    s.sim_stop(sim)

    second = s.sim_start(5, tag="second")
    check_progress_run(s, s.watch(s.press), "second run", STATUS_DONE)
    report = s.update_end(second)
    s.check(report.get("flash", {}).get("expect_match") is True, "the second run's flash verifies")


def test_press_during_run(session):
    """A press while a run is under way on the same device: the tool lets go
    of the port it holds, opens it again, and a complete new run begins at
    the first block."""
    s = session
    blocks = blocks_of(s)
    # Paced, a run takes about 15 s: the second press comes well before the first run could end.
    sim = s.sim_start(5, ["--pace"])
    s.tool_start()
    s.dialog_up(["\\\\.\\com5"])
    s.press()
    s.wait_address(FLASH_BASE + 16 * BLOCK_BYTES)
    samples = s.watch(s.press)
    s.check(samples and samples[0].status.startswith("programming ") and samples[0].pos > 0,
            "the watch began with the first run under way", str(samples[:1]))
    s.check(samples and any(x.pos < samples[0].pos for x in samples),
            "the press empties the bar, and the new run fills it from the start")
    s.check(samples and samples[-1].status == STATUS_DONE and samples[-1].pos == blocks,
            "the new run ends at \"%s\" with the bar full" % STATUS_DONE, str(samples[-1:]))
    check_bar_follows(s, samples, "press during a run")
    s.check_no_box("a press during a run")
    s.screenshot("screenshot.png")
    s.close_dialog(0)
    trace = s.trace()
    s.check(trace.count(open_line(5)) == 2, "the port was opened once for each press", str(trace.count(open_line(5))))
    s.check(trace.count("CRCs match\n") == 1 and "CRC FAIL" not in trace, "one verification, and it matched")
    report = s.sim_stop(sim)
    written = [frame.get("address") for frame in writes_of(report)]
    # The first run's writes, cut short, then the second run's from the first block.
    restart = max((i for i in range(1, len(written)) if written[i] < written[i - 1]), default=0)
    s.check(0 < restart < blocks and written[restart] == FLASH_BASE,
            "the device got part of the image, then the first block again", str(written[:restart + 1]))
    again = written[restart:]
    s.check(restart and [a for i, a in enumerate(again) if i == 0 or a != again[i - 1]] == block_addresses(blocks),
            "the device got all %d blocks in order after the press" % blocks, "%d write frames" % len(written))
    s.check(report.get("flash", {}).get("expect_match") is True, "the device's flash equals the padded image",
            str(report.get("flash")))
    s.check(report.get("restart", {}).get("count") == 1, "the device was told to restart once",
            str(report.get("restart")))
