"""One session of the real tool: an X display, a Wine prefix copied from the
template with its own wineserver, simulated devices on COM ports, the tool
under Wine and uidriver beside it. close() ends every process by its id and
closes every descriptor; the files stay in the out directory."""

import collections
import contextlib
import dataclasses
import glob
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

from .protocol import BLOCK_BYTES, padded_image
from .relay import RELAY_DEBUG, RELAY_KEY, image_range, relay_calls, relay_include, relay_line

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
sys.path.insert(0, os.path.join(ROOT, "tools", "bootsim"))
import bootsim  # noqa: E402  the simulated device

DIALOG_CAPTION = "Orvex 2.0 Firmware Update Tool"
STATUS_IDLE = " - Idle - "
STATUS_NO_PORT = "No COM port selected"
STATUS_DONE = "Programming Completed"
STATUS_FAILED = "FAILED"
# A run under way reads one of these, or "programming <address>".
RUN_STATUSES = ("Contacting Device...", "Establishing Link...", "Verifying...", "Program Verified OK",
                "Resetting target...")
UI_EXIT_NOT_FOUND = 2         # uidriver: no such window, or its wait ran out

RUN_WAIT_MS = 40000           # one update, contact to final status
DIALOG_WAIT_MS = 20000
NO_BOX_WAIT_MS = 500          # a box that is not to come: looked for this long
EXIT_WAIT_S = 15              # the tool ending after the dialog closes (a fatal exit beeps 1 s first)
WINE_CALL_TIMEOUT_S = 30      # any single wine or helper invocation
READY_WAIT_S = 10             # Xvfb, wineserver coming up
COM_LINKS_STABLE_S = 0.2      # the device manager is done once dosdevices/com* stand still this long
FOCUS_WAIT_S = 5              # the dialog taking the keyboard after a click
XVFB_DISPLAYS = (100, 199)
WINE_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
# What `wine cmd /c ver` prints first under each Windows version a prefix can show (Wine 8's default: win7).
WINDOWS_VERSIONS = {"winxp": "5.1.", "win7": "6.1.", "win10": "10.0."}
# Another Debian's Wine runs from its root (scripts/setup makes Debian 13's), chrooted in a mount namespace of its
# own with this machine's /dev, /proc, /sys, /tmp (the X socket, the wineserver's) and this tree at its own path
# bound in; one process throughout, so the pid and exit code are the Wine program's.
WINE_ROOT_ENTER = ('r=$1 t=$2; shift 2; for d in /dev /proc /sys /tmp "$t"; do mkdir -p "$r$d" && '
                   'mount --rbind "$d" "$r$d" || exit 125; done; exec chroot "$r" "$@"')


@dataclasses.dataclass
class Inputs:
    """What a session runs: the builds' programs, the image, the prefix template, the LD_PRELOAD of
    termrec, which records the line settings the tool asks for (a pty keeps only some), and the root
    whose Wine runs them (/: this machine's)."""
    template: str
    installer: str
    uidriver: str
    preload: str
    firmware: str
    wine_root: str = "/"

    @classmethod
    def of_tree(cls, root):
        return cls(template=os.path.join(root, "build", "host", "e2e", "template"),
                   installer=os.path.join(root, "build", "win32", "installer.exe"),
                   uidriver=os.path.join(root, "build", "win32", "tools", "uidriver", "uidriver.exe"),
                   preload=os.path.join(root, "build", "host", "tools", "bootsim", "preload", "$LIB", "libtermrec.so"),
                   firmware=os.path.join(root, "installer", "resources", "firmware.bin"))

    def missing(self):
        wine = os.path.join(self.wine_root, "usr/bin/wine")  # a link into the root's /etc
        return [path for path in (self.installer, self.uidriver, self.preload.split("$LIB")[0], self.firmware, wine)
                if not os.path.lexists(path)]


Job = collections.namedtuple("Job", "proc path")  # a uidriver command left running, its output going to path
# One moment of the dialog (watch-progress): ms since the watch began, the bar's range and position, the status.
Sample = collections.namedtuple("Sample", "t lo hi pos status")


def read_text(path):
    """A file as text; Wine's C runtime writes text-mode "\\r\\n", most checks are about the text."""
    with open(path, "rb") as f:
        return f.read().decode("latin-1").replace("\r\n", "\n")


def wine_env(prefix, display=None):
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "TERMREC_LOG", "WINESERVER", "WINELOADER", "DISPLAY"):
        env.pop(name, None)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES=WINE_DLL_OVERRIDES)
    if display is not None:
        env["DISPLAY"] = display
    return env


def in_wine(wine_root, argv):
    """argv (wine, wineserver, or a command that runs one) as run with the Wine of wine_root."""
    argv = [str(a) for a in argv]
    enter = ["unshare", "--mount", "sh", "-c", WINE_ROOT_ENTER, "sh", wine_root, ROOT]
    return argv if wine_root == "/" else enter + argv


def run_bounded(argv, env=None, timeout=WINE_CALL_TIMEOUT_S, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL):
    """A short helper command; never inherits a pipe that Wine's services could keep open."""
    try:
        return subprocess.run(argv, env=env, stdout=stdout, stderr=stderr, stdin=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return None


def wineserver_kill(prefix, wine_root="/"):
    if os.path.isdir(prefix):
        run_bounded(in_wine(wine_root, ["wineserver", "-k"]), env=wine_env(prefix), timeout=15)


def process_end(proc, grace_s=5, sig=signal.SIGTERM):
    if proc is None or proc.poll() is not None:
        return
    try:
        proc.send_signal(sig)
        proc.wait(grace_s)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)
    except ProcessLookupError:
        pass


def spawn(argv, log_path, env=None, pass_fds=()):
    """A process with both outputs appended to log_path, a file of its own."""
    with open(log_path, "ab") as log:
        return subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                pass_fds=pass_fds)


def poll_until(done, seconds, proc=None):
    """Whether done() came to hold within seconds (looked at every 20 ms) while proc, if given, ran."""
    end = time.monotonic() + seconds
    while not done():
        if time.monotonic() > end or (proc is not None and proc.poll() is not None):
            return False
        time.sleep(0.02)
    return True


def fresh_out(out, wine_root="/"):
    """An empty out directory; the last run's artefacts go to <out>.prev, to read the last failure."""
    if os.path.lexists(out):
        wineserver_kill(os.path.join(out, "prefix"), wine_root)
        shutil.rmtree(out + ".prev", ignore_errors=True)
        os.rename(out, out + ".prev")
    os.makedirs(out)


def machine_coms():
    """The COM numbers for which Wine falls back to the machine's /dev/ttyS<n-1>."""
    return [int(m.group(1)) + 1 for m in (re.fullmatch(r"/dev/ttyS(\d+)", d) for d in glob.glob("/dev/ttyS*")) if m]


def com_without_fallback(lowest=5):
    """A COM number, `lowest` or above, with nothing for Wine to open once its link is gone."""
    return max([lowest] + [number + 1 for number in machine_coms()])


def com_links(prefix):
    """dosdevices/com* and their targets (a link gone since the listing points nowhere)."""
    return {link: os.path.realpath(link) for link in glob.glob(os.path.join(prefix, "dosdevices", "com*"))}


def wineserver_listening(prefix):
    """Whether the wineserver's socket is up: under /tmp/.wine-<uid> upstream, /tmp/wine-XXXXXX on Debian."""
    info = os.stat(prefix)
    server = "server-%x-%x" % (info.st_dev, info.st_ino)
    roots = ["/tmp/.wine-%d" % os.getuid()] + glob.glob(os.path.join(os.environ.get("TMPDIR", "/tmp"), "wine-*"))
    if os.environ.get("TMPDIR"):
        roots += glob.glob("/tmp/wine-*")
    return any(os.path.exists(os.path.join(root, server, "socket")) for root in roots)


def ended_from_outside(signum, frame):
    raise RuntimeError("ended from outside (signal %d)" % signum)


class Session:
    """One session, then start()ed; close() ends it. As a context manager it
    is closed however its block is left, a SIGTERM included (`with Session(out,
    inputs) as s: s.start()`). echo: the log on standard output too; displays:
    where to look for a free display number. Beside those: image and blocks
    (the padded image, its 1024-byte blocks), display, prefix and env (of every
    Wine program in it), the processes xvfb, wineserver and tool (None until
    started), sims (each simulated device with its report's path), checks
    ((passed, what) of every check()), jobs (uidriver commands left running),
    fds (descriptors closed with the session)."""

    def __init__(self, out, inputs, display=None, echo=True, preload=None, displays=XVFB_DISPLAYS):
        self.t0, self.out, self.inputs, self.display, self.echo, self.displays = (
            time.monotonic(), out, inputs, display, echo, displays)
        self.checks, self.sims, self.jobs, self.fds, self.ui_calls = [], {}, [], [], 0
        self.xvfb = self.wineserver = self.tool = self.prefix = self.env = None
        self.trace_path = os.path.join(out, "trace.log")
        self.err_path = os.path.join(out, "err.log")
        self.termrec_log = os.path.join(out, "termrec.log")
        self.nodev = os.path.join(out, "nodev")  # empty: a COM link pointing here cannot be opened
        os.makedirs(out, exist_ok=True)
        for stale in ("e2e.log", "termrec.log"):
            if os.path.exists(os.path.join(out, stale)):
                os.unlink(os.path.join(out, stale))
        self.image = padded_image(inputs.firmware)
        self.blocks = len(self.image) // BLOCK_BYTES
        self.preload = inputs.preload if preload is None else preload


    def log(self, text):
        line = "[%7.2f] %s" % (time.monotonic() - self.t0, text)
        if self.echo:
            print(line, flush=True)
        with open(os.path.join(self.out, "e2e.log"), "a") as f:
            f.write(line + "\n")

    def check(self, ok, what, detail=""):
        """Records and logs a check; a failed one fails the case at its end, after its other checks."""
        self.checks.append((bool(ok), what))
        self.log("%s  %s%s" % ("PASS" if ok else "FAIL", what, ("  [%s]" % detail) if detail and not ok else ""))
        return bool(ok)


    def start(self, without_sys_admin=False, windows_version=None):
        """A display (an Xvfb of its own unless given one), a prefix, its wineserver (without
        CAP_SYS_ADMIN it honours a tty's exclusive mode), the Windows version its programs see if named
        (checked), and no COM port that the session does not play itself."""
        if self.display is None:
            self._xvfb_start()
        self._prefix_copy()
        self._wineserver_start(without_sys_admin)
        if windows_version:
            run_bounded(self.wine("wine", "reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d",
                                  windows_version, "/f"), env=self.env)
            shown = self.wine_output(["cmd", "/c", "ver"], "ver.txt")[1].strip()
            if not self.check(shown.startswith("Microsoft Windows " + WINDOWS_VERSIONS[windows_version]),
                              "the prefix shows programs %s" % windows_version, repr(shown)):
                raise RuntimeError("the prefix does not show %s" % windows_version)
        # Each number for which Wine would fall back to /dev/ttyS<n-1> points at nodev, every other link goes.
        os.makedirs(self.nodev, exist_ok=True)
        for link in com_links(self.prefix):
            os.unlink(link)
        for number in machine_coms():
            self.port_link(number, self.nodev)

    def __enter__(self):
        # Signals reach the main thread only; sessions in other threads leave them alone.
        self.sigterm = None
        if threading.current_thread() is threading.main_thread():
            self.sigterm = signal.signal(signal.SIGTERM, ended_from_outside)
        return self

    def __exit__(self, *exception):
        if self.sigterm is not None:
            # Neither a time limit (SIGALRM) nor a SIGTERM may cut the cleanup short and leave processes.
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGTERM, signal.SIG_IGN)
        self.close()
        if self.sigterm is not None:
            signal.signal(signal.SIGTERM, self.sigterm)

    def close(self):
        for job in self.jobs:
            process_end(job.proc)
        process_end(self.tool, grace_s=2, sig=signal.SIGKILL)
        if self.prefix:
            wineserver_kill(self.prefix, self.inputs.wine_root)
        process_end(self.wineserver)
        for sim, report in self.sims.items():
            sim.stop(report)
        process_end(self.xvfb)
        for fd in self.fds:
            with contextlib.suppress(OSError):
                os.close(fd)
        self.fds = []

    def _xvfb_start(self):
        first, last = self.displays
        for number in range(first, last + 1):
            if os.path.exists("/tmp/.X%d-lock" % number):
                continue
            # Xvfb writes its number to the display fd more than once, ending if it cannot: the read end stays.
            read_end, write_end = os.pipe()
            self.keep_fd(read_end)
            # -noreset: Xvfb would reset when its last client leaves.
            proc = spawn(["Xvfb", ":%d" % number, "-displayfd", str(write_end), "-noreset", "-nolisten", "tcp",
                          "-screen", "0", "1024x768x24"], os.path.join(self.out, "xvfb.log"), pass_fds=(write_end,))
            os.close(write_end)
            ready, _, _ = select.select([read_end], [], [], READY_WAIT_S)
            announced = os.read(read_end, 64).decode().strip() if ready else ""
            if announced and proc.poll() is None:
                self.xvfb, self.display = proc, ":" + announced
                self.log("Xvfb pid %d on %s" % (proc.pid, self.display))
                return
            process_end(proc)  # lost the display to another Xvfb: try the next
        raise RuntimeError("no free X display in :%d-:%d" % (first, last))

    def _prefix_copy(self):
        """Hard links to the template's files, which Wine only reads; real
        copies of the registry, which the wineserver replaces anyway."""
        prefix = os.path.join(self.out, "prefix")
        wineserver_kill(prefix, self.inputs.wine_root)
        shutil.rmtree(prefix, ignore_errors=True)
        if run_bounded(["cp", "-al", self.inputs.template, prefix], timeout=60) != 0:
            raise RuntimeError("cannot copy the prefix template %s" % self.inputs.template)
        for reg in glob.glob(os.path.join(prefix, "*.reg")):
            shutil.copy2(reg, reg + ".copy")
            os.replace(reg + ".copy", reg)
        self.prefix = prefix
        self.env = wine_env(prefix, self.display)

    def _wineserver_start(self, without_sys_admin):
        """The session's own wineserver, started before any Wine program so that it is ours to end."""
        argv = ["wineserver", "-f", "-p"]
        if without_sys_admin:
            argv = ["setpriv", "--inh-caps=-sys_admin", "--bounding-set=-sys_admin"] + argv
        self.wineserver = spawn(self.wine(*argv), os.path.join(self.out, "wineserver.log"), env=self.env)
        if not poll_until(lambda: wineserver_listening(self.prefix), READY_WAIT_S, self.wineserver):
            raise RuntimeError("wineserver did not come up")
        self.log("wineserver pid %d%s" % (self.wineserver.pid, " without CAP_SYS_ADMIN" if without_sys_admin else ""))
        # The first Wine program starts the services, whose device manager lays out dosdevices/com* anew
        # from the machine's serial devices: a warm-up program (no pipe for the services to inherit), then
        # a wait for its link to /dev/ttyS0 and for the links to stand still (devices come one by one).
        com1 = os.path.join(self.prefix, "dosdevices", "com1")
        marker = os.path.exists("/dev/ttyS0")
        if marker and os.path.lexists(com1):
            os.unlink(com1)
        run_bounded(self.wine("wine", self.inputs.uidriver, "status"), env=self.env)
        if marker:
            poll_until(lambda: os.path.lexists(com1), READY_WAIT_S)

        def links_still():
            before = com_links(self.prefix)
            time.sleep(COM_LINKS_STABLE_S)
            return com_links(self.prefix) == before
        stable = poll_until(links_still, READY_WAIT_S)
        self.log("services of the prefix are up%s%s" % (
            "" if not marker or os.path.lexists(com1) else " (no com1 from the device manager)",
            "" if stable else " (dosdevices/com* still changing after %d s)" % READY_WAIT_S))

    def port_link(self, number, target=None):
        """Points COM<number> at target; None removes the link."""
        link = os.path.join(self.prefix, "dosdevices", "com%d" % number)
        if os.path.lexists(link):
            os.unlink(link)
        if target is not None:
            os.symlink(target, link)

    def wine(self, *argv):
        """argv as run with the session's Wine."""
        return in_wine(self.inputs.wine_root, argv)

    def keep_fd(self, fd):
        """A descriptor that the session closes when it ends; returned."""
        self.fds.append(fd)
        return fd


    def sim_start(self, com, *faults, pace=False, flash_ms=0, tag=None):
        """A bootsim.Device on com with fault rules ("drop-write:5"), paced at
        115200 baud and flash_ms per block if asked; its report goes to
        bootsim-<tag or com<n>>.report.json (bootsim.report.json: tag "")."""
        sim = bootsim.Device(faults, pace, flash_ms, self.termrec_log)
        sim.start(os.path.join(self.prefix, "dosdevices", "com%d" % com))
        tag = "com%d" % com if tag is None else tag
        self.sims[sim] = os.path.join(self.out, ("bootsim-" + tag if tag else "bootsim") + ".report.json")
        self.log("device on com%d = %s%s %s" % (com, sim.slave, " paced" if pace else "", " ".join(faults)))
        return sim

    def sim_stop(self, sim):
        """Ends the simulated device and writes its report; the device, to read what it saw."""
        return sim.stop(self.sims[sim])


    def tool_start(self, ports=None, relay=()):
        """Starts the tool. With ports, waits for its dialog and the idle status that follows the port
        probe, and checks that the list is ports, the first selected: else nothing the case does would
        mean anything. With relay (dll.Function and message names), its standard error logs those calls."""
        env = dict(self.env, LD_PRELOAD=self.preload, TERMREC_LOG=self.termrec_log)
        if relay:
            run_bounded(self.wine("wine", "reg", "add", RELAY_KEY, "/v", "RelayInclude", "/t", "REG_SZ",
                                  "/d", relay_include(relay), "/f"), env=self.env)
            env["WINEDEBUG"] = RELAY_DEBUG
        with open(self.trace_path, "wb") as trace, open(self.err_path, "wb") as errors:
            self.tool = subprocess.Popen(self.wine("wine", self.inputs.installer), env=env, stdin=subprocess.DEVNULL,
                                         stdout=trace, stderr=errors)
        self.log("installer pid %d" % self.tool.pid)
        if ports is None:
            return
        if not self.check(self.ui("wait-dialog", DIALOG_WAIT_MS)[0] == 0, "the dialog \"%s\" appears" % DIALOG_CAPTION):
            raise RuntimeError("no dialog")
        self.ui("wait-status", STATUS_IDLE, DIALOG_WAIT_MS)
        listed = self.port_list()
        if not self.check(listed == (ports, 0), "the port list is exactly %s, entry 0 selected" % ports,
                          repr(listed)) and listed[0] != ports:
            raise RuntimeError("the port list is not what the case set up")

    def tool_exit(self, wait_s=EXIT_WAIT_S):
        """The tool's exit code once it has ended by itself within wait_s, None if it runs on."""
        try:
            code = self.tool.wait(wait_s)
        except subprocess.TimeoutExpired:
            code = None
        self.log("installer exit code %s" % code)
        return code

    def wine_output(self, argv, name, timeout=WINE_CALL_TIMEOUT_S):
        """A Windows program run to its end, its output kept in <out>/<name>: (exit code or None, output)."""
        path = os.path.join(self.out, name)
        with open(path, "wb") as out:
            code = run_bounded(self.wine("wine", *argv), env=self.env, stdout=out, timeout=timeout)
        return code, read_text(path)

    def relay(self, names):
        """The tool's calls of names, as its relay log gives them (harness.relay)."""
        return relay_calls(read_text(self.err_path), names, image_range(self.inputs.installer))

    def tool_errors(self):
        """What the tool wrote to standard error, less a relay log."""
        return "".join(line for line in read_text(self.err_path).splitlines(keepends=True) if not relay_line(line))

    def trace_bytes(self):
        with open(self.trace_path, "rb") as f:
            return f.read()

    def trace(self):
        return read_text(self.trace_path)


    def ui_background(self, *args, first_line=True):
        """A uidriver command left running, its outputs in ui/<n>-<command>.out and .err (never a pipe);
        unless told not to, once its first line (the state before a press) is out."""
        self.ui_calls += 1
        base = os.path.join(self.out, "ui", "%03d-%s" % (self.ui_calls, args[0]))
        os.makedirs(os.path.dirname(base), exist_ok=True)
        with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
            proc = subprocess.Popen(self.wine("wine", self.inputs.uidriver, *args), env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        self.jobs.append(Job(proc, base + ".out"))
        if first_line:
            poll_until(lambda: os.path.getsize(base + ".out") > 0, WINE_CALL_TIMEOUT_S, proc)
        return self.jobs[-1]

    def ui(self, *args, timeout=WINE_CALL_TIMEOUT_S):
        """One uidriver command: (exit code, output)."""
        code, text = self.ui_collect(self.ui_background(*args, first_line=False), timeout)
        self.log("uidriver %s -> %s %r" % (" ".join(str(a) for a in args), code, text[:300]))
        return code, text

    def ui_collect(self, job, timeout):
        """(exit code, output) of a uidriver command, ended after timeout."""
        try:
            code = job.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            process_end(job.proc)
            code = None
        return code, read_text(job.path)

    def screenshot(self, name, window="root"):
        path = os.path.join(self.out, name)
        code = run_bounded(["import", "-display", self.display, "-window", window, path], timeout=20)
        self.log("screenshot %s (%s)" % (path, "ok" if code == 0 else "failed: %s" % code))
        return code == 0

    def xdotool(self, *args, tool="xdotool"):
        """The output of xdotool (or of another X tool) as words, None if it failed."""
        try:
            done = subprocess.run([tool] + [str(a) for a in args], env=dict(os.environ, DISPLAY=self.display),
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
        except subprocess.TimeoutExpired:
            return None
        return done.stdout.split() if done.returncode == 0 else None


    def status(self):
        code, text = self.ui("status")
        return text.rstrip("\n") if code == 0 else None

    def port_list(self):
        """The port list's entries and the selected entry's index (None if uidriver did not say)."""
        lines = self.ui("list")[1].splitlines()
        if not lines or not lines[-1].startswith("selected "):
            return [], None
        return lines[:-1], int(lines[-1].split()[1])

    def press(self):
        """Posts a press of the update button; what it does, the case checks."""
        if self.ui("click")[0] != 0:
            raise RuntimeError("uidriver found no update button to press")

    def wait_status(self, wanted, wait_ms=RUN_WAIT_MS, command="wait-status", what=None):
        """Checks that the status line comes to read wanted; the statuses seen."""
        code, text = self.ui(command, wanted, wait_ms, timeout=wait_ms / 1000 + WINE_CALL_TIMEOUT_S)
        seen = text.splitlines()
        self.check(code == 0, what or "the status line comes to read \"%s\"" % wanted, "seen: %r" % seen[-8:])
        return seen

    def wait_address(self, address, wait_ms=RUN_WAIT_MS):
        """Until the status names the block at address or a later one (a status may stand too briefly to see)."""
        return self.wait_status("%#x" % address, wait_ms, "wait-address",
                                "the status line comes to \"programming %#x\" or past it" % address)

    def update_run(self, ports, final, limit_ms=RUN_WAIT_MS, stall_ms=0):
        """tool_start(ports), a press, the wait for the final status; with final None,
        for any final status or the status standing still stall_ms: how the run ended."""
        self.tool_start(ports)
        if final is None:
            return self.click_time(limit_ms, stall_ms)[1]
        self.press()
        self.wait_status(final, limit_ms)
        return None

    def close_dialog(self, expected_exit=0):
        self.ui("close")
        self.check(self.tool_exit() == expected_exit,
                   "the tool exits with %d once the dialog is closed" % expected_exit)

    def update_end(self, sim):
        """A screenshot, the dialog closed (the tool exits with 0); the device."""
        self.screenshot("screenshot.png")
        self.close_dialog(0)
        return self.sim_stop(sim)

    def check_no_box(self, after):
        """No "Terminate Program" box (looked for and not found) and the tool still running."""
        code, text = self.ui("read-box", NO_BOX_WAIT_MS)
        self.check(code == UI_EXIT_NOT_FOUND and self.tool.poll() is None,
                   "%s: no \"Terminate Program\" box, the tool runs on" % after, "read-box %s %r" % (code, text[:200]))

    def click_instructions(self):
        """A real click on the instructions, away from the button: the dialog takes
        the keyboard, nothing pressed. Checks that X and Wine then have it in front."""
        code, text = self.ui("rect", -1)
        fields = text.split()
        if code != 0 or len(fields) != 4:
            raise RuntimeError("the instructions have no place on the screen: %r" % text)
        left, top, right, bottom = (int(v) for v in fields)
        if self.xdotool("mousemove", (left + right) // 2, (top + bottom) // 2, "click", "1") is None:
            raise RuntimeError("xdotool could not click")
        seen = {}

        def x_focus_on_dialog():
            seen.update(focus=self.xdotool("getwindowfocus"), dialog=self.xdotool("search", "--name", DIALOG_CAPTION))
            return bool(seen["focus"] and seen["dialog"] and seen["focus"][0] in seen["dialog"])
        if self.check(poll_until(x_focus_on_dialog, FOCUS_WAIT_S), "the X focus is on the dialog", str(seen)):
            code, text = self.ui("wait-foreground", FOCUS_WAIT_S * 1000)
            self.check(code == 0, "the dialog is in front with the keyboard focus", repr(text))

    def key(self, keys):
        """A real key press through X."""
        if self.xdotool("key", keys) is None:
            raise RuntimeError("xdotool could not press %s" % keys)

    def click_time(self, limit_ms, stall_ms=0, finals=(STATUS_DONE, STATUS_FAILED)):
        """Presses and times the run up to a final status, at most limit_ms, or
        stall_ms (0: never) of a status standing still: the status changes as
        (ms, status), how it ended as {"how", "ms", "status"} or None."""
        _, text = self.ui("click-time", limit_ms, stall_ms, *finals, timeout=limit_ms / 1000 + WINE_CALL_TIMEOUT_S)
        lines = [line.split("\t") for line in text.splitlines()]
        ends = [dict(how=f[0], ms=float(f[1]), status=f[2]) for f in lines if f[0] in ("done", "timeout", "stalled")]
        return [(float(f[0]), f[1]) for f in lines if len(f) == 2], (ends[-1] if ends else None)

    def watch(self, press, wait_ms=RUN_WAIT_MS):
        """press() under uidriver's watch of status and bar up to a final status:
        the Samples (torn ones dropped), the state before the press first."""
        job = self.ui_background("watch-progress", wait_ms, STATUS_DONE, STATUS_FAILED)
        press()
        code, text = self.ui_collect(job, wait_ms / 1000 + 10)
        self.check(code == 0, "the watch comes to a final status", repr(text[-300:]))
        fields = [line.split("\t", 4) for line in text.splitlines()]
        return [Sample(*map(int, f[:4]), f[4]) for f in fields if len(f) == 5]
