"""Closing the dialog, and Windows asking whether the session may end, while
the device's flash is being changed and outside that; the window's icon; the
dialog from the keyboard."""

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
FOCUS_WAIT_MS = 5000
IDC_PORT_LIST = 3             # installer/resources/resource.h
IDC_UPDATE = 4
# The calls the keyboard case has Wine's relay log show; each run's phases
# are announced (press, link, first block, verifying, success), not its blocks.
RELAY = ("kernel32.HeapSetInformation", "kernel32.SetDefaultDllDirectories", "user32.NotifyWinEvent")
HEAP_TERMINATION_ON_CORRUPTION = "00000000,00000001,00000000,00000000"
EVENT_OBJECT_LIVEREGIONCHANGED = "00008019"
OBJID_CLIENT_CHILDID_SELF = "fffffffc,00000000"
PHASES_OF_A_CLEAN_RUN = 5


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


def focus_on(s, control, what):
    code, text = s.ui("focus", control, FOCUS_WAIT_MS)
    s.check(code == 0, what, text.strip())


def test_keyboard(session):
    """The port list has the keyboard focus from the start. Esc while the
    blocks are written asks the close question; No lets the update verify and
    gives the focus back to the control that had it (the button, which the
    press gave it). Esc when idle ends the tool with 0. Wine's relay log shows
    the heap told to end the process on corruption before anything else, and
    the status line announced at each phase of the run, not at each block."""
    s = session
    sim = s.sim_start(5, ["--pace"])
    s.tool_start(relay=RELAY)
    s.dialog_up(["\\\\.\\com5"])
    focus_on(s, IDC_PORT_LIST, "at start the port list has the focus")
    s.press()  # a click of the button gives it the focus
    focus_on(s, IDC_UPDATE, "pressed, the button has the focus")
    s.wait_address(FLASH_BASE + 8 * BLOCK_BYTES)
    s.click_instructions()  # the keyboard's keys go to the dialog from now on
    s.key("Escape")
    question_up(s, "Esc while writing", close=False)
    code, text = s.ui("focus")
    s.check(text == "focus none\n", "while the question is up, it has the focus", text.strip())
    s.ui("answer", "no")
    focus_on(s, IDC_UPDATE, "after No the button has the focus again")
    s.wait_status(STATUS_DONE)
    report = s.sim_stop(sim)
    s.click_instructions()
    focus_on(s, IDC_UPDATE, "a click on the instructions leaves the focus where it was")
    s.key("Escape")
    start = time.monotonic()
    s.check(s.tool_exit() == 0 and time.monotonic() - start < CLOSED_WITHIN_S,
            "Esc when idle ends the tool with 0, with no question")
    check_clean_run(s, s.trace(), report)

    calls = s.relay_calls()
    names = [name.split(".")[-1] for name, _ in calls]
    s.check(names[:2] == ["HeapSetInformation", "SetDefaultDllDirectories"]
            and calls[0][1] == HEAP_TERMINATION_ON_CORRUPTION,
            "first the heap is told to end the process on corruption, then the DLL search is restricted",
            str(calls[:2]))
    announced = [args.split(",") for name, args in calls if name.endswith(".NotifyWinEvent")]
    s.check(len(announced) == PHASES_OF_A_CLEAN_RUN and
            all(a[0] == EVENT_OBJECT_LIVEREGIONCHANGED and ",".join(a[2:]) == OBJID_CLIENT_CHILDID_SELF
                and a[1] == announced[0][1] for a in announced),
            "the status line is announced as a live region %d times, once a phase" % PHASES_OF_A_CLEAN_RUN,
            str(announced))
