"""Closing the dialog, and Windows asking whether the session may end, while
the device's flash is being changed and outside that; the window's icon."""

import subprocess
import time

from checks import check_clean_run
from harness import BLOCK_BYTES, DIALOG_CAPTION, FLASH_BASE, STATUS_DONE

QUESTION = ("The firmware is being written to the Orvex 2.0 now.\n\n"
            "If you close the program, the update stops part way and the Orvex is left "
            "without working firmware until an update completes.\n\n"
            "Close the program anyway?")
QUESTION_WAIT_MS = 5000
NO_QUESTION_WAIT_MS = 500     # a question that is not to come: looked for this long
CLOSED_WITHIN_S = 5           # from the answer, or a close without question, to the tool's end


def question_up(s, what, close=True):
    """Closes the dialog (unless told not to) and checks that the question
    is up, alone."""
    if close:
        s.ui("close")
    code, text = s.ui("question", QUESTION_WAIT_MS)
    s.check(code == 0 and text == QUESTION + "\nboxes 1\n", "%s: the question comes, worded as the technician reads it"
            % what, repr(text))


def end_session_answer(s):
    code, text = s.ui("end-session")
    return int(text.split()[1]) if code == 0 and text.startswith("answered ") else None


def x_icon(s, window):
    """The icon Wine gives the X window, as xprop prints it."""
    try:
        done = subprocess.run(["xprop", "-display", s.display, "-id", window, "_NET_WM_ICON"],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return ""
    return done.stdout


def check_icon(s, dialog_window):
    """The dialog's X window shows the program's icon at the large and small
    sizes: not the icon of the question, a window with none of its own."""
    others = [w for w in s.xdotool("search", "--name", DIALOG_CAPTION) or [] if w != dialog_window]
    dialog_icon = x_icon(s, dialog_window)
    box_icon = x_icon(s, others[0]) if others else ""
    s.check("Icon (32 x 32)" in dialog_icon and "Icon (16 x 16)" in dialog_icon,
            "the dialog's window has an icon at 32 and 16 pixels", dialog_icon[:200])
    s.check("Icon (" in box_icon and dialog_icon != box_icon,
            "the dialog's icon is its own, not the one of a window without one", "%d windows" % (len(others) + 1))


def test_close_asks(session):
    """While the blocks are written: Windows may not end the session, and a
    close asks first; the run goes on under the question, a second close
    does not ask twice, No leaves the update to finish verified. Afterwards
    the session may end, and a close ends the tool at once with 0."""
    s = session
    sim = s.sim_start(5, ["--pace"])  # paced: the writes last about 13 s
    s.tool_start()
    s.dialog_up(["\\\\.\\com5"])
    dialog_window = (s.xdotool("search", "--name", DIALOG_CAPTION) or [None])[0]
    s.check(end_session_answer(s) == 1, "before a run Windows may end the session")
    s.press()
    s.wait_address(FLASH_BASE + 8 * BLOCK_BYTES)
    s.check(end_session_answer(s) == 0, "while the blocks are written, Windows may not end the session")
    question_up(s, "a close while writing")
    s.ui("post-close")  # the system menu's close cannot reach the dialog under its question
    s.wait_address(FLASH_BASE + 16 * BLOCK_BYTES)  # the run goes on under the question
    question_up(s, "a second close while the question is up", close=False)
    check_icon(s, dialog_window)
    s.screenshot("screenshot-question.png")
    s.ui("answer", "no")
    s.wait_status(STATUS_DONE)
    s.check(end_session_answer(s) == 1, "after \"%s\" Windows may end the session" % STATUS_DONE)
    s.ui("close")
    start = time.monotonic()
    s.check(s.tool_exit() == 0 and time.monotonic() - start < CLOSED_WITHIN_S,
            "after the update a close ends the tool with 0, with no question")
    check_clean_run(s, s.trace(), s.sim_stop(sim))


def test_close_yes(session):
    """At "Establishing Link..." nothing is written yet: a close ends the tool
    at once, without a question. While the blocks are written, Yes to the
    question ends it as a close does."""
    s = session
    sim = s.sim_start(5, ["--fault", "silent"])
    s.tool_start()
    s.dialog_up(["\\\\.\\com5"])
    s.press()
    s.wait_status("Establishing Link...")
    s.ui("close")
    start = time.monotonic()
    s.check(s.tool_exit() == 0 and time.monotonic() - start < CLOSED_WITHIN_S,
            "a close while contacting ends the tool with 0 at once")
    s.sim_stop(sim)

    sim = s.sim_start(5, ["--pace"], tag="paced")
    s.tool_start()
    s.dialog_up(["\\\\.\\com5"])
    s.press()
    s.wait_address(FLASH_BASE + 4 * BLOCK_BYTES)
    question_up(s, "a close while writing")
    s.ui("answer", "yes")
    start = time.monotonic()
    s.check(s.tool_exit() == 0 and time.monotonic() - start < CLOSED_WITHIN_S,
            "Yes ends the tool with 0 within %d s" % CLOSED_WITHIN_S)
    report = s.sim_stop(sim)
    s.check(0 < report.get("flash", {}).get("blocks_written", 0) < s.blocks,
            "the device was left part written", str(report.get("flash")))
