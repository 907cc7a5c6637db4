"""Closing the dialog, and Windows asking whether the session may end, while the flash is being
changed and outside that; Windows ending the session; the window's icon; what Windows hears of a
whole run (Wine's relay log); the dialog from the keyboard."""

import re

from checks import check_clean_run
from harness import BLOCK_BYTES, DIALOG_CAPTION, FLASH_BASE, STATUS_DONE
from harness.session import RUN_WAIT_MS, UI_EXIT_NOT_FOUND, read_text

QUESTION = ("The firmware is being written to the Orvex 2.0 now.\n\n"
            "If you close the program, the update stops part way and the Orvex is left "
            "without working firmware until an update completes.\n\n"
            "Close the program anyway?")
QUESTION_WAIT_MS = 5000
CLOSED_WITHIN_S = 5           # from the answer, or a close without question, to the tool's end
SESSION_END_EXIT_S = 2        # from WM_ENDSESSION(TRUE) to the tool's end
# The calls and messages the relay case follows.
RELAY_RUN = ("kernel32.SetDefaultDllDirectories", "user32.RegisterClassA", "user32.RegisterWindowMessageA",
             "user32.CreateDialogParamA", "user32.ChangeWindowMessageFilterEx", "kernel32.CreateFileA",
             "kernel32.WriteFile", "kernel32.SetThreadExecutionState", "user32.ShutdownBlockReasonCreate",
             "user32.ShutdownBlockReasonDestroy", "user32.GetForegroundWindow", "user32.FlashWindowEx",
             "combase.CoCreateInstance", "kernel32.CloseHandle", "kernel32.Beep",
             "msvcrt.fflush", "combase.CoInitializeEx", "combase.CoUninitialize", "WM_QUERYENDSESSION", "WM_ENDSESSION")
# Contact requests the device drops (about 7 s): the tool is still contacting when asked, however slowly
# the asking starts on a busy machine; while held the tool sends nothing, so the rest come after.
CONTACT_UNANSWERED = 60
SESSION_MAY_END_MS = 8000     # longer than the drops last: a tool that did not hold would begin its writes
SHUTDOWN_REASON = 'L"Writing firmware to the Orvex 2.0 - do not shut down"'
FOCUS_WAIT_MS = 5000
IDC_PORT_LIST = 3             # installer/resources/resource.h
IDC_UPDATE = 4
# The keyboard case's relay calls; a run's phases are announced (press, link, first block, verifying, success).
RELAY_KEYBOARD = ("kernel32.HeapSetInformation", "kernel32.SetDefaultDllDirectories", "user32.NotifyWinEvent",
                  "user32.SendMessageA", "kernel32.CreateFileA")
PBM_SETPOS, PBM_SETSTATE = "00000402", "00000410"
# Wine's accessibility stub tells what it was asked: the list's name, the status's live setting (1: polite).
ANNOTATED = re.compile(r"AccPropServices_SetHwndProp(?:Str)? \(\w+ 4294967292 0 (\{[\w-]+\})(?: \w+)? (.*)\)$", re.M)
ANNOTATIONS = [("{608d3df8-8128-4aa7-a428-f55e49267291}", 'L"Choose the COM port corresponding to the Orvex."'),
               ("{c12bcd8e-2a8e-4950-8ae7-3625111d58eb}", "{VT_I4: 1}")]
HEAP_TERMINATION_ON_CORRUPTION = "00000000,00000001,00000000,00000000"
EVENT_OBJECT_LIVEREGIONCHANGED = "00008019"
OBJID_CLIENT_CHILDID_SELF = "fffffffc,00000000"
PHASES_OF_A_CLEAN_RUN = 5


def question_up(s, what, close=True):
    """Closes the dialog (unless told not to); checks that the question is up, alone."""
    if close:
        s.ui("close")
    code, text = s.ui("question", QUESTION_WAIT_MS)
    s.check(code == 0 and text == QUESTION + "\nboxes 1\n", "%s: the question comes, worded as the technician reads it"
            % what, repr(text))


def end_session_answer(s, goes_on=False):
    """Asks whether the session may end; the answer. With goes_on, then says that it goes on, as
    Windows does once another program held it off."""
    code, text = s.ui("end-session")
    if goes_on:
        s.check(s.ui("end-session", "goes-on")[0] == 0, "Windows says that the session goes on")
    return int(text.split()[1]) if code == 0 and text.startswith("answered ") else None


def session_ends(s, how, lparam):
    """Windows says that the session ends (end-session how): the tool exits with 0 soon. Of its own calls
    in the relay log (it exits through the C runtime's), the last WM_ENDSESSION is that one, the last handle
    closed the port's, keep-awake and the shutdown reason left."""
    s.check(s.ui("end-session", how)[0] == 0 and s.tool_exit(SESSION_END_EXIT_S) == 0,
            "the session ends (%s): the tool exits with 0 within %d s" % (how, SESSION_END_EXIT_S))
    calls = s.relay(RELAY_RUN)
    last = {c.name.split("BlockReason")[0]: c for c in calls}  # ShutdownBlockReason* as one
    told = [(last[n].name, last[n].args.split(",", 1)[-1]) if n in last else n for n in
            ("WM_ENDSESSION", "kernel32.CloseHandle", "kernel32.SetThreadExecutionState", "user32.Shutdown")]
    made = [last[n].ret if n in last else None for n in ("kernel32.CreateFileA", "user32.CreateDialogParamA")]
    s.check(told == [("WM_ENDSESSION", "wp=00000001,lp=" + lparam), ("kernel32.CloseHandle", made[0]),
                     ("kernel32.SetThreadExecutionState", "80000000"), ("user32.ShutdownBlockReasonDestroy", made[1])],
            "before it exits with 0 the tool closes the port, leaves keep-awake and the shutdown reason", str(told))
    ended = calls[calls.index(last["WM_ENDSESSION"]):last["WM_ENDSESSION"].done] if "WM_ENDSESSION" in last else []
    begun = [c.ret for c in calls if c.name == "combase.CoInitializeEx"]
    com_ended = [i for i, c in enumerate(calls) if c.name == "combase.CoUninitialize"]
    s.check(any(c.name == "msvcrt.fflush" for c in ended) and begun == ["00000000"] and len(com_ended) == 1
            and com_ended[-1] >= last["WM_ENDSESSION"].done, "WM_ENDSESSION flushes the trace; COM, started once, "
            "is ended once the dialog is gone", "started %s, ended at %s" % (begun, com_ended))


def check_icon(s, dialog_window):
    """The dialog's X window has the program's icon, large and small: not that of the question, a window
    with none of its own."""
    others = [w for w in s.xdotool("search", "--name", DIALOG_CAPTION) or [] if w != dialog_window]
    dialog_icon, box_icon = (" ".join(s.xdotool("-id", w, "_NET_WM_ICON", tool="xprop") or []) if w else ""
                             for w in (dialog_window, others[0] if others else None))
    s.check("Icon (32 x 32)" in dialog_icon and "Icon (16 x 16)" in dialog_icon,
            "the dialog's window has an icon at 32 and 16 pixels", dialog_icon[:200])
    s.check("Icon (" in box_icon and dialog_icon != box_icon,
            "the dialog's icon is its own, not the one of a window without one", "%d windows" % (len(others) + 1))


def test_close_asks(session):
    """While the blocks are written Windows may not end the session and a close asks first; the run goes
    on under the question, a second close does not ask twice, No lets the update finish verified.
    Afterwards the session may end, and a close ends the tool at once with 0."""
    s = session
    sim = s.sim_start(5, pace=True)  # paced: the writes last about 13 s
    s.tool_start(["\\\\.\\com5"])
    dialog_window = (s.xdotool("search", "--name", DIALOG_CAPTION) or [None])[0]
    s.check(end_session_answer(s, goes_on=True) == 1, "before a run Windows may end the session")
    s.press()
    s.wait_address(FLASH_BASE + 8 * BLOCK_BYTES)
    s.check(end_session_answer(s, goes_on=True) == 0, "while the blocks are written, Windows may not end the session")
    question_up(s, "a close while writing")
    # The system menu's close cannot reach the dialog under its question.
    s.check(s.ui("post-close")[0] == 0, "a second close is posted to the dialog")
    s.wait_address(FLASH_BASE + 16 * BLOCK_BYTES)  # the run goes on under the question
    question_up(s, "a second close while the question is up", close=False)
    check_icon(s, dialog_window)
    s.screenshot("screenshot-question.png")
    s.ui("answer", "no")
    s.wait_status(STATUS_DONE)
    s.check(end_session_answer(s, goes_on=True) == 1, "after \"%s\" Windows may end the session" % STATUS_DONE)
    s.ui("close")
    s.check(s.tool_exit(CLOSED_WITHIN_S) == 0, "after the update a close ends the tool with 0, with no question")
    check_clean_run(s, s.trace(), s.sim_stop(sim))


def test_close_yes(session):
    """At "Establishing Link..." nothing is written yet: a close ends the tool at once, no question.
    While the blocks are written, Yes to the question ends it as a close does, and so does Windows
    ending the session after all (ENDSESSION_CLOSEAPP)."""
    s = session
    sim = s.sim_start(5, "silent")
    s.tool_start(["\\\\.\\com5"])
    s.press()
    s.wait_status("Establishing Link...")
    s.ui("close")
    s.check(s.tool_exit(CLOSED_WITHIN_S) == 0, "a close while contacting ends the tool with 0 at once")
    s.sim_stop(sim)

    sim = s.sim_start(5, pace=True, tag="paced")
    s.tool_start(["\\\\.\\com5"])
    s.press()
    s.wait_address(FLASH_BASE + 4 * BLOCK_BYTES)
    question_up(s, "a close while writing")
    s.ui("answer", "yes")
    s.check(s.tool_exit(CLOSED_WITHIN_S) == 0, "Yes ends the tool with 0 within %d s" % CLOSED_WITHIN_S)
    s.check(0 < s.sim_stop(sim).blocks_written < s.blocks, "the device was left part written",
            "%d blocks" % sim.blocks_written)

    # "Shut down anyway", or an installer's restart manager closing the tool.
    sim = s.sim_start(5, pace=True, tag="session-ends")
    s.tool_start(["\\\\.\\com5"], relay=RELAY_RUN)
    s.press()
    s.wait_address(FLASH_BASE + 4 * BLOCK_BYTES)
    s.check(end_session_answer(s) == 0 and sim.open,
            "while writing, Windows may not end the session; the device's line is open")
    session_ends(s, "closes-app", "00000001")
    s.sim_stop(sim)


def test_system_calls(session):
    """What Windows hears of a whole run, in the order of Wine's relay log, another window in front
    throughout. Asked while the tool contacts, the session may end; the tool then writes nothing,
    however long Windows takes, and updates the device once told the session goes on."""
    s = session
    sim = s.sim_start(5, *("drop:%d" % n for n in range(1, CONTACT_UNANSWERED + 1)))
    s.tool_start(["\\\\.\\com5"], relay=RELAY_RUN)
    job = s.ui_background("front", 2 * RUN_WAIT_MS)
    front = read_text(job.path).split()
    s.check(front[:1] == ["front"], "another window is in front of the dialog", repr(front))
    s.press()
    s.wait_status("Establishing Link...")
    s.check(end_session_answer(s) == 1, "while contacting, Windows may end the session")
    code, text = s.ui("wait-address", "%#x" % FLASH_BASE, SESSION_MAY_END_MS)
    s.check(code == UI_EXIT_NOT_FOUND and text == "Establishing Link...\n",
            "while the session may end, no block goes out and the status stays", repr(text[-200:]))
    s.check(s.ui("end-session", "goes-on")[0] == 0, "Windows says that the session goes on")
    s.wait_status(STATUS_DONE)
    s.ui("close")
    s.check(s.tool_exit(CLOSED_WITHIN_S) == 0, "after the update a close ends the tool with 0")
    check_relay(s, s.relay(RELAY_RUN))
    check_clean_run(s, s.trace(), s.sim_stop(sim))


def check_relay(s, calls):
    """The relay case's checks, in the log's order."""
    def at(name, args=None):
        return [i for i, c in enumerate(calls) if c.name == name and (args is None or args(c.args))]

    def first(indices):
        return indices[0] if indices else None

    def before(a, b):
        return a is not None and b is not None and a < b

    made = first(at("user32.CreateDialogParamA"))
    dialog = calls[made].ret if made is not None else "no dialog"
    s.check(before(first(at("kernel32.SetDefaultDllDirectories", lambda a: a == "00000800")),
                   first(at("user32.RegisterClassA"))),
            "the DLL search is restricted to System32 (0x800) before the window class is registered")
    message = first([c.ret for c in calls if c.name == "user32.RegisterWindowMessageA"
                     and c.args.endswith('"TaskbarButtonCreated"')])
    allowed = "%s,%s,00000001,00000000" % (dialog, message)
    told = [first(at("user32.ChangeWindowMessageFilterEx", lambda a: a == allowed)),
            first(at("combase.CoCreateInstance"))]
    s.check(all(before(made, i) and before(i, calls[made].done) for i in told),
            "inside CreateDialogParamA, which shows the WS_VISIBLE dialog, TaskbarButtonCreated passes its message "
            "filter and the accessibility service is made", "%s; %s" % (allowed, told))

    port = first([c.ret for c in calls if c.name == "kernel32.CreateFileA" and 'com5",' in c.args])
    writes = at("kernel32.WriteFile")
    requests = [i for i in writes if calls[i].args.startswith("%s," % port)]
    blocks = [i for i in requests if calls[i].args.split(",")[2] == "0000040b"]
    query = first(at("WM_QUERYENDSESSION"))
    goes_on = first(at("WM_ENDSESSION", lambda a: "wp=00000000" in a))
    if not s.check(port and len(blocks) >= s.blocks and query is not None and goes_on is not None,
                   "the log has the port opened, the blocks written, the query and the session going on",
                   "port %s, %d blocks, query %s, goes on %s" % (port, len(blocks), query, goes_on)):
        return
    s.check(before(first(requests), query) and before(query, blocks[0]) and calls[query].ret == "00000001",
            "asked while contacting, the session may end")
    held = [calls[i].args for i in writes if query < i < goes_on]
    s.check(not held, "while the session may end nothing is written to the port: no request, no block",
            str(held[:3]))
    s.check(before(goes_on, blocks[0]), "the blocks go out once the session goes on")

    awake = at("kernel32.SetThreadExecutionState", lambda a: a == "80000001")
    released = at("kernel32.SetThreadExecutionState", lambda a: a == "80000000")
    s.check(len(awake) == 1 and blocks[0] < awake[0] < blocks[1],
            "the system is kept awake from the first block, not before", "%s; blocks %s" % (awake, blocks[:2]))
    s.check(len(released) == 1 and before(blocks[-1], released[0]), "and released after the last block",
            str(released))
    reason = at("user32.ShutdownBlockReasonCreate", lambda a: a.startswith(dialog + ",") and a.endswith(SHUTDOWN_REASON))
    s.check(len(reason) == 1 and blocks[0] < reason[0] < blocks[1],
            "the shutdown reason is set with the first block", str(reason))
    removed = at("user32.ShutdownBlockReasonDestroy", lambda a: a == dialog)
    s.check(len(removed) == 1 and before(blocks[-1], removed[0]), "and removed after the last block", str(removed))
    beeps = at("kernel32.Beep")
    s.check([calls[i].args for i in beeps] == ["000007d0,00000064"] and before(blocks[-1], beeps[0]),
            "after the last block, one short high tone (2000 Hz, 100 ms)", str([calls[i].args for i in beeps]))
    flashes = at("user32.FlashWindowEx")
    foreground = [calls[i].ret for i in at("user32.GetForegroundWindow") if flashes and i < flashes[0]]
    # Under Wine the window in front gives way to the desktop window: either way the dialog is behind.
    s.check(len(flashes) == 1 and before(blocks[-1], flashes[0]) and foreground[-1:] not in ([], [dialog]),
            "the taskbar button flashes once as the run ends, another window in front",
            "flashes %s, foreground %s, dialog %s" % (flashes, foreground[-1:], dialog))


def focus_on(s, control, what):
    code, text = s.ui("focus", control, FOCUS_WAIT_MS)
    s.check(code == 0, what, text.strip())


def test_keyboard(session):
    """The port list has the keyboard focus from the start. Esc while writing asks the close question;
    No lets the update verify and gives the focus back to the control that had it (the button, from
    the press). Esc when idle ends the tool with 0. The relay log shows the heap told to end the
    process on corruption before anything else, and the status announced each phase, not each block."""
    s = session
    sim = s.sim_start(5, pace=True)
    s.tool_start(["\\\\.\\com5"], relay=RELAY_KEYBOARD)
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
    s.sim_stop(sim)
    s.click_instructions()
    focus_on(s, IDC_UPDATE, "a click on the instructions leaves the focus where it was")
    s.key("Escape")
    s.check(s.tool_exit(CLOSED_WITHIN_S) == 0, "Esc when idle ends the tool with 0, with no question")
    check_clean_run(s, s.trace(), sim)

    calls = s.relay(RELAY_KEYBOARD)
    s.check([c.name for c in calls[:2]] == list(RELAY_KEYBOARD[:2])
            and calls[0].args == HEAP_TERMINATION_ON_CORRUPTION,
            "first the heap is told to end the process on corruption, then the DLL search is restricted",
            str(calls[:2]))
    announced = [c.args.split(",") for c in calls if c.name == "user32.NotifyWinEvent"]
    s.check(len(announced) == PHASES_OF_A_CLEAN_RUN and
            all(a[0] == EVENT_OBJECT_LIVEREGIONCHANGED and ",".join(a[2:]) == OBJID_CLIENT_CHILDID_SELF
                and a[1] == announced[0][1] for a in announced),
            "the status line is announced as a live region %d times, once a phase" % PHASES_OF_A_CLEAN_RUN,
            str(announced))
    annotated = ANNOTATED.findall(read_text(s.err_path))
    s.check(annotated == ANNOTATIONS, "the port list is named after its instruction, the status line is a polite live "
            "region", str(annotated))
    opened = next((i for i, c in enumerate(calls) if c.name == "kernel32.CreateFileA" and 'com5",' in c.args), 0)
    bar = [(c.args.split(",")[1:3], i < opened) for i, c in enumerate(calls) if c.name == "user32.SendMessageA"]
    states = [a for a, _ in bar if a[0] == PBM_SETSTATE]
    s.check(states == [[PBM_SETSTATE, "00000001"]] and ([PBM_SETPOS, "00000000"], True) in bar, "the press empties the "
            "bar before it opens the port, and sets its state once, normal, for a clean run", str(states[:3]))
