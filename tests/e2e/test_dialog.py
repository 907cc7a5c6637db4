"""The dialog on its own, and ports that are not there, are held or many."""

import fcntl
import os
import re
import termios

import pytest

from checks import check_clean_run, fatal_box_checks, open_line, start_trace
from harness import STATUS_DONE, STATUS_IDLE, STATUS_NO_PORT, com_without_fallback

BOX_WAIT_MS = 10000


def test_start_close(session):
    """The dialog at rest: idle status, empty bar, a press with no port selected refused on the
    status line, a real alt+F4 (the system menu's close) ending the tool with 0; only start lines traced."""
    s = session
    sim = s.sim_start(5)
    s.tool_start(["\\\\.\\com5"])
    s.check(s.status() == STATUS_IDLE, "the status line reads \"%s\"" % STATUS_IDLE)
    text = s.ui("progress")[1]
    s.check(text == "range 0 %d pos 0\n" % s.blocks, "the bar is empty and counts the image's blocks", text)
    s.ui("select", -1)  # uidriver says "not found": clearing the selection has no entry to report
    s.check(s.port_list()[1] == -1, "no port list entry is selected")
    s.press()
    s.wait_status(STATUS_NO_PORT, 5000)
    s.check_no_box("a press with no port selected")
    s.click_instructions()
    s.key("alt+F4")
    s.check(s.tool_exit() == 0, "alt+F4 ends the tool with 0")
    s.check(s.trace() == start_trace(s.image), "the trace holds the start lines and nothing else", repr(s.trace()))
    s.check(not s.sim_stop(sim).frames, "nothing reached the device")


def open_fails(s, com, make_unopenable, session_ends=False):
    """The port, listed at start, cannot be opened at the press: the "Terminate Program" box, exit 1
    once it is answered (exit 0 when instead Windows ends the session while it is up), nothing traced
    after the attempt to open. The box's FATAL_BOX_PATTERN match."""
    sim = s.sim_start(com)
    s.tool_start(["\\\\.\\com%d" % com])
    make_unopenable(sim)
    s.press()
    code, text = s.ui("read-box", BOX_WAIT_MS)
    s.check(code == 0, "a \"Terminate Program\" box appears")
    match = fatal_box_checks(s, text)
    s.screenshot("screenshot.png")
    if session_ends:
        s.check(s.ui("end-session", "ends")[0] == 0 and s.tool_exit() == 0,
                "Windows ends the session while the box is up: the tool exits with 0")
    else:
        s.ui("answer-box")
        s.check(s.tool_exit() == 1, "the tool exits with 1 once the box is answered")
    s.check(s.trace() == start_trace(s.image) + open_line(com),
            "the trace ends with the attempt to open \\\\.\\com%d" % com, repr(s.trace()))
    s.check(not s.sim_stop(sim).frames, "nothing reached the device")
    return match


def test_port_absent(session):
    """Listed at start, gone at the press (an adapter pulled out): its link removed, on a number
    with no serial device of the machine's for Wine to fall back to."""
    com = com_without_fallback()
    match = open_fails(session, com, lambda sim: session.port_link(com, None))
    if match:
        session.check(match.group(1) == "2", "the error number is 2, the system's \"file not found\"", match.group(1))


@pytest.mark.without_sys_admin
def test_port_held(session):
    """Another program holds the port: the tty's exclusive-use flag binds every opener without
    CAP_SYS_ADMIN, the session's wineserver (which does Wine's opens) included. Windows ends the
    session while the box is up."""
    def hold(sim):
        holder = session.keep_fd(os.open(sim.slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))
        fcntl.ioctl(holder, termios.TIOCEXCL)
    open_fails(session, 5, hold, session_ends=True)


def test_ports_2_and_10(session):
    s = session
    master, slave = (s.keep_fd(fd) for fd in os.openpty())  # com2: a port that is there but plays no device
    s.port_link(2, os.ttyname(slave))
    sim = s.sim_start(10)
    s.update_run(["\\\\.\\com10", "\\\\.\\com2"], STATUS_DONE)
    s.update_end(sim)
    trace = s.trace()
    s.check(open_line(10) in trace and "\\\\.\\com2 " not in trace, "com10 was opened, com2 never")
    check_clean_run(s, trace, sim, com=10)


# System messages with inserts for a caller to fill in: 193 (not a program file), 317 (message not found).
INSERT_MESSAGES = {193: ("%1",), 317: ("%1", "%2")}
NO_TEXT = 0x20000001          # a code with the customer bit: the system has no text for it


def test_system_text(session):
    """The fatal report's and the trace's words for an error code come as the system has them: a
    message with inserts shows them as written, no arguments read that were never given; none for a
    code the system has no text for."""
    s = session
    probe = os.path.join(os.path.dirname(s.inputs.uidriver), "..", "..", "tests", "win32", "system_text.exe")
    code, output = s.wine_output([probe] + [str(n) for n in (*INSERT_MESSAGES, NO_TEXT)], "system_text.out")
    texts = {int(n): text for n, text in re.findall(r"(\d+) \[(.*?)\]", output, re.S)}
    s.check(code == 0 and texts.get(NO_TEXT) == "", "the probe ran; no text for %#x" % NO_TEXT, repr(output[-80:]))
    for number, inserts in INSERT_MESSAGES.items():
        text = texts.get(number, "")
        s.check(all(insert in text for insert in inserts),
                "error %d's text keeps its inserts %s as written" % (number, " and ".join(inserts)), repr(text))
