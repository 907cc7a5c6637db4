#!/usr/bin/env python3
"""Runs installer.exe under Wine on a virtual display and works its dialog.

A pseudo-terminal plays the serial port; on the device end of it this script
either stays silent or answers like the boot loader (a small stand-in, enough
for whole runs). The dialog is read and pressed with uidriver.exe from the
Windows build, and with real key presses through xdotool where the keyboard
is the point.

usage: wine_check.py --build-dir DIR --prefix DIR make-prefix
       wine_check.py --build-dir DIR --prefix DIR SCENARIO
SCENARIO: start-close, open-fails, runs (see the scenario_* functions).

The prefix is shared by the scenarios (a fresh one takes a gigabyte and a
quarter of a minute), so they must not run at the same time; every scenario
sets up the prefix's ports itself. Displays are taken from the range in
WIN32_TEST_DISPLAYS (default 20-29), the first one free.
"""

import argparse
import fcntl
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

CAPTION = "Orvex 2.0 Firmware Update Tool"
FLASH_BASE = 0x08001000
IMAGE_BLOCKS = 109
START_TRACE = ("Running on windows version: a00\n"
               "\nFlash Image Base 0x8001000\n"
               "Flash Image Size 0x1b400 bytes\n")
OPEN_FAIL_TEXT = "Unable to open serial port. In use already, or not present"
FIRST_PLAYED_PORT = 12  # above the ports Wine gives the machine's own serial devices

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return condition


def log(text):
    print(text, flush=True)


# ---- the device end of the line ---------------------------------------------

def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def sealed(body):
    crc = crc16(body)
    return bytes(body) + bytes([crc & 0xFF, crc >> 8])


class Line:
    """A pseudo-terminal whose far end is this object: silent, or a boot
    loader stand-in that keeps a flash image and answers the tool's three
    requests ("good"), or one whose checksums are off by one ("bad")."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.path = os.ttyname(self.slave)
        self.mode = "silent"
        self.flash = bytearray(b"\xff" * (IMAGE_BLOCKS * 1024))
        self.writes = 0
        self.stopping = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        pending = bytearray()
        while not self.stopping:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                pending += os.read(self.master, 4096)
            except OSError:
                time.sleep(0.05)
                continue
            if self.mode == "silent":
                pending.clear()
                continue
            pending = self.answer_all(pending)

    def answer_all(self, pending):
        while len(pending) >= 3:
            sub_code = pending[2]
            if sub_code == 0xF5:
                need = 9 + ((pending[7] << 8) | pending[8]) + 2 if len(pending) >= 9 else None
            else:
                need = {0xF6: 13, 0xF7: 5}.get(sub_code, 0)
            if need == 0:
                del pending[0]  # not the start of a request
                continue
            if need is None or len(pending) < need:
                break
            frame = bytes(pending[:need])
            del pending[:need]
            if crc16(frame[:-2]) != frame[-2] | (frame[-1] << 8):
                continue
            os.write(self.master, self.reply(frame))
        return pending

    def reply(self, frame):
        address = int.from_bytes(frame[3:7], "big") - FLASH_BASE if len(frame) > 7 else 0
        if frame[2] == 0xF5:
            length = (frame[7] << 8) | frame[8]
            self.flash[address:address + length] = frame[9:9 + length]
            self.writes += 1
            return sealed(frame[:9])
        if frame[2] == 0xF6:
            length = int.from_bytes(frame[7:11], "big")
            crc = crc16(self.flash[address:address + length])
            if self.mode == "bad" and length > 4:
                crc ^= 1
            return sealed(frame[:11] + bytes([crc >> 8, crc & 0xFF]))
        return sealed(frame[:3])

    def close(self):
        self.stopping = True
        self.thread.join(2)
        os.close(self.slave)
        os.close(self.master)


# ---- display, prefix, programs -----------------------------------------------

def display_range():
    low, high = os.environ.get("WIN32_TEST_DISPLAYS", "20-29").split("-")
    return range(int(low), int(high) + 1)


def start_display():
    for n in display_range():
        if os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n):
            continue
        # Bounded, so that a test killed from outside leaves no display behind.
        server = subprocess.Popen(["timeout", "900", "Xvfb", ":%d" % n,
                                   "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists("/tmp/.X11-unix/X%d" % n):
                return server, ":%d" % n
            if server.poll() is not None:
                break
            time.sleep(0.05)
        if server.poll() is None:
            server.terminate()  # timeout passes it on to the server
            server.wait()
    sys.exit("no free X display in %s" % os.environ.get("WIN32_TEST_DISPLAYS", "20-29"))


class Session:
    def __init__(self, args):
        self.build_dir = args.build_dir
        self.prefix = args.prefix
        self.installer = os.path.join(args.build_dir, "installer.exe")
        self.uidriver = os.path.join(args.build_dir, "tools", "uidriver", "uidriver.exe")
        for need in (self.installer, self.uidriver):
            if not os.path.exists(need):
                sys.exit("missing " + need + " (build the Windows side first)")
        self.work = os.path.join(os.path.dirname(self.prefix.rstrip("/")), "runs")
        os.makedirs(self.work, exist_ok=True)
        self.xvfb, display = start_display()
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all", DISPLAY=display)
        self.program = None
        self.lines = []

    def wine(self, *argv, timeout=30):
        """Runs a Windows program to its end; returns (exit code, its output).
        The output goes through a file, not a pipe: Wine's helper processes,
        started by whichever program comes first, would hold a pipe open."""
        with open(os.path.join(self.work, "wine.out"), "w+b") as out:
            r = subprocess.run(["wine"] + list(argv), env=self.env, stdout=out,
                               stderr=subprocess.DEVNULL, timeout=timeout)
            out.seek(0)
            return r.returncode, out.read().decode("utf-8").replace("\r\n", "\n")

    def wineserver(self, *argv):
        subprocess.run(["wineserver"] + list(argv), env=self.env, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def dosdevices(self):
        return os.path.join(self.prefix, "dosdevices")

    def ports_reset(self):
        """A clean slate: Wine's own ports (made again at each start for the
        machine's serial devices) and no others. A persistent wineserver
        keeps them as they are until the scenario ends."""
        self.wineserver("-k")
        for name in os.listdir(self.dosdevices()):
            if re.fullmatch(r"com\d+", name):
                os.unlink(os.path.join(self.dosdevices(), name))
        subprocess.run(["wineserver", "-p120"], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        self.wine("reg", "query", r"HKLM\Hardware\DeviceMap\SerialComm")

    def port_play(self, line):
        n = FIRST_PLAYED_PORT
        while os.path.lexists(os.path.join(self.dosdevices(), "com%d" % n)):
            n += 1
        os.symlink(line.path, os.path.join(self.dosdevices(), "com%d" % n))
        self.lines.append(line)
        return n

    def expected_list(self):
        """What the program should list: every COM port of the prefix that
        opens for reading, in text order."""
        paths = []
        for name in os.listdir(self.dosdevices()):
            if not re.fullmatch(r"com\d+", name):
                continue
            target = os.path.join(self.dosdevices(), name)
            try:
                fd = os.open(target, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
            except OSError:
                continue
            os.close(fd)
            paths.append("\\\\.\\" + name)
        return sorted(paths, key=str.lower)

    def start(self, name):
        self.out_path = os.path.join(self.work, name + ".out")
        self.err_path = os.path.join(self.work, name + ".err")
        self.program = subprocess.Popen(["timeout", "300", "wine", self.installer],
                                        env=self.env, stdout=open(self.out_path, "wb"),
                                        stderr=open(self.err_path, "wb"))
        rc, out = self.ui("wait-dialog", "20000", timeout=40)
        check(rc == 0, "the dialog did not appear")

    def ui(self, *argv, timeout=30):
        return self.wine(self.uidriver, *argv, timeout=timeout)

    def ended(self, within_s):
        try:
            return self.program.wait(timeout=within_s)
        except subprocess.TimeoutExpired:
            return None

    # Standard output and standard error are in text mode, as a Windows
    # program's are: every line ends in CR LF in the file.
    def trace(self):
        return open(self.out_path, "rb").read().decode("latin-1").replace("\r\n", "\n")

    def errors(self):
        return open(self.err_path, "rb").read().decode("latin-1").replace("\r\n", "\n")

    def dialog_click(self):
        """A click into an empty part of the dialog: gives it the keyboard."""
        found = subprocess.run(["xdotool", "search", "--name", CAPTION], env=self.env,
                               capture_output=True, text=True, timeout=10).stdout.split()
        if not check(found, "xdotool does not find the dialog"):
            return
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", found[0]],
                                  env=self.env, capture_output=True, text=True,
                                  timeout=10).stdout
        values = dict(line.split("=") for line in geometry.split())
        x, y = int(values["X"]) + 300, int(values["Y"]) + 150
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=self.env,
                       timeout=10)
        time.sleep(0.3)

    def key(self, keys):
        subprocess.run(["xdotool", "key", keys], env=self.env, timeout=10)

    def close(self):
        if self.program is not None and self.program.poll() is None:
            self.ui("close")
            if self.ended(10) is None:
                self.program.kill()
        self.wineserver("-k")
        for line in self.lines:
            line.close()
        self.xvfb.terminate()
        self.xvfb.wait(timeout=10)


def make_prefix(args):
    if os.path.exists(os.path.join(args.prefix, "system.reg")):
        log("prefix ready: " + args.prefix)
        return 0
    os.makedirs(args.prefix, exist_ok=True)
    env = dict(os.environ, WINEPREFIX=args.prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    r = subprocess.run(["wine", "wineboot", "-i"], env=env, timeout=300)
    subprocess.run(["wineserver", "-w"], env=env, timeout=120)
    return r.returncode


# ---- scenarios ----------------------------------------------------------------

def list_check(s, port):
    rc, out = s.ui("list")
    expected = s.expected_list()
    check("\\\\.\\com%d" % port in expected, "the played port does not open on the Unix side")
    check(out == "\n".join(expected + ["selected 0"]) + "\n",
          "port list %r, wanted %r" % (out, expected))
    return expected.index("\\\\.\\com%d" % port)


def scenario_start_close(s):
    """Start, list, idle; a press with no entry selected opens nothing; the
    system menu's close (alt+F4) ends the program with 0."""
    line = Line()
    s.ports_reset()
    port = s.port_play(line)
    s.start("start-close")
    list_check(s, port)
    check(s.ui("status") == (0, " - Idle - \n"), "status is not \" - Idle - \"")
    check(s.ui("progress") == (0, "range 0 %d pos 0\n" % IMAGE_BLOCKS), "progress bar not empty")

    s.ui("select", "-1")
    s.ui("click")
    rc, out = s.ui("wait-status", "No COM port selected", "5000")
    check(rc == 0, "a press with no port selected: status %r" % out)
    check(s.ui("read-box", "500")[0] != 0, "a press with no port selected ended the program")

    s.dialog_click()
    s.key("alt+F4")
    check(s.ended(15) == 0, "closing the dialog did not end the program with 0")
    check(s.trace() == START_TRACE, "trace %r" % s.trace())
    check(s.errors() == "", "standard error %r" % s.errors())


def scenario_open_fails(s):
    """A listed port that has gone when the button is pressed: the
    "Terminate Program" box, then exit status 1."""
    line = Line()
    s.ports_reset()
    port = s.port_play(line)
    s.start("open-fails")
    index = list_check(s, port)
    s.ui("select", str(index))
    os.unlink(os.path.join(s.dosdevices(), "com%d" % port))
    s.ui("click")
    rc, box = s.ui("read-box", "10000")
    check(rc == 0, "no \"Terminate Program\" box")
    wanted_start = ("\n\nAn Error has occurred as follows:\n          " + OPEN_FAIL_TEXT +
                    "\nError number 2 reported\n")
    check(box.startswith(wanted_start), "box text %r" % box)
    check(box.endswith("\n\n The program will now abort\n\n\n"), "box text %r" % box)
    s.ui("answer-box")
    check(s.ended(15) == 1, "the program did not end with 1 after the box")
    check(s.trace() == START_TRACE + " . Opening serial port \\\\.\\com%d at 115200 baud\n"
          % port, "trace %r" % s.trace())


def watch(s, press):
    """Presses (a callable) while uidriver watches status and progress bar;
    returns the samples [(low, high, position, status)] up to a final status."""
    out_path = os.path.join(s.work, "watch.out")
    with open(out_path, "wb") as out:
        watcher = subprocess.Popen(["wine", s.uidriver, "watch-progress", "60000"], env=s.env,
                                   stdout=out, stderr=subprocess.DEVNULL)
        time.sleep(0.5)
        press()
        watcher.wait(timeout=90)
    samples = []
    for row in open(out_path, "rb").read().decode("utf-8").replace("\r\n", "\n").splitlines():
        fields = row.split("\t")
        samples.append((int(fields[1]), int(fields[2]), int(fields[3]), fields[4]))
    return samples


def run_check(samples, final, label):
    """The bar during one run: empty at the start, blocks acknowledged while
    writing, full from verifying on, and at the final status."""
    run = samples[1:]  # the first sample is the state before the press
    if not check(run, label + ": nothing changed"):
        return
    check(all(low == 0 and high == IMAGE_BLOCKS for low, high, _, _ in samples),
          label + ": range is not 0..%d" % IMAGE_BLOCKS)
    check(run[0][2] == 0, label + ": bar not emptied when the run began: %r" % (run[0],))
    positions = [p for _, _, p, _ in run]
    check(positions == sorted(positions), label + ": bar went backwards")
    for _, _, position, status in run:
        m = re.fullmatch(r"programming 0x([0-9a-f]+)", status)
        if m:
            # The status is read before the bar, and a tick of the tool may
            # come between the two reads and move both on by one block.
            acknowledged = (int(m.group(1), 16) - FLASH_BASE) // 1024
            check(position in (acknowledged, acknowledged + 1),
                  label + ": bar %d at %r" % (position, status))
        if status in ("Verifying...", "Program Verified OK", "Resetting target...",
                      "Programming Completed"):
            check(position == IMAGE_BLOCKS, label + ": bar %d at %r" % (position, status))
    check(run[-1][3] == final and run[-1][2] == IMAGE_BLOCKS,
          label + ": ended at %r" % (run[-1],))


def scenario_runs(s):
    """Whole runs against the boot loader stand-in: the progress bar, Enter
    as the update button, and new presses on the same port after success,
    after failure and during a run."""
    line = Line()
    line.mode = "good"
    s.ports_reset()
    port = s.port_play(line)
    s.start("runs")
    s.ui("select", str(list_check(s, port)))

    samples = watch(s, lambda: s.ui("click"))
    run_check(samples, "Programming Completed", "first run")
    check(line.writes == IMAGE_BLOCKS, "first run wrote %d blocks" % line.writes)

    # Enter, with the focus wherever the click leaves it, starts the next run.
    line.mode = "bad"
    samples = watch(s, lambda: (s.dialog_click(), s.key("Return")))
    run_check(samples, "FAILED", "run started with Enter")

    # Pressed again on the port the failed run left open, and once more
    # while that run is under way: each press starts a complete new run.
    line.mode = "good"
    s.ui("click")
    rc, _ = s.ui("wait-status", "programming 0x8005000", "20000")
    check(rc == 0, "the run after the failed one did not start")
    samples = watch(s, lambda: s.ui("click"))
    check(samples and samples[-1][3] == "Programming Completed" and
          samples[-1][2] == IMAGE_BLOCKS, "the run pressed mid-way ended at %r"
          % (samples[-1:],))
    check(any(status == "programming 0x8001000" for _, _, _, status in samples),
          "the press during a run did not begin again at block 0")
    check(s.ui("read-box", "500")[0] != 0, "a second press ended the program")

    s.ui("close")
    check(s.ended(15) == 0, "closing the dialog did not end the program with 0")
    trace = s.trace()
    opened = trace.count(" . Opening serial port \\\\.\\com%d at 115200 baud\n" % port)
    check(opened == 4, "the port was opened %d times, wanted 4" % opened)
    check(trace.count("CRC FAIL\n") == 1 and trace.count("CRCs match\n") == 2,
          "trace does not show two matches and one failure")
    check(s.errors() == "", "standard error %r" % s.errors())


SCENARIOS = {
    "start-close": scenario_start_close,
    "open-fails": scenario_open_fails,
    "runs": scenario_runs,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("what", choices=["make-prefix"] + sorted(SCENARIOS))
    args = parser.parse_args()
    for tool in ("wine", "wineserver", "Xvfb", "xdotool"):
        if shutil.which(tool) is None:
            sys.exit(tool + " is not installed")
    if args.what == "make-prefix":
        return make_prefix(args)
    if not os.path.exists(os.path.join(args.prefix, "system.reg")):
        sys.exit("no Wine prefix at " + args.prefix)

    lock = open(os.path.join(os.path.dirname(args.prefix.rstrip("/")), "prefix.lock"), "w")
    fcntl.flock(lock, fcntl.LOCK_EX)
    session = Session(args)
    try:
        SCENARIOS[args.what](session)
    finally:
        session.close()
    log("%s: %s" % (args.what, "FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
