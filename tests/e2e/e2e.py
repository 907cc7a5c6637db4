#!/usr/bin/env python3
"""End-to-end tests: the Windows build of the update tool under Wine and Xvfb,
against the simulated boot loader on a pseudo-terminal mapped as a COM port,
worked through its dialog by uidriver.exe.

    e2e.py template --template DIR
    e2e.py run CASE --template DIR --out DIR --installer EXE --uidriver EXE
                    --bootsim BIN --firmware FILE [--windows-version VERSION]
    e2e.py cases

Every case gets a display, a Wine prefix, a wineserver and simulators of its
own, all bounded in time and ended by process id, and leaves its trace log,
error log, simulator reports and screenshots in its --out directory; the
previous run's are moved to <out>.prev first.
"""

import argparse
import fcntl
import glob
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import termios
import time

E2E_EXIT_PASS = 0
E2E_EXIT_FAIL = 1

CASE_DEADLINE_S = 75          # a whole case, cleanup excluded
RUN_WAIT_MS = 40000           # one update, contact to final status
DIALOG_WAIT_MS = 20000
BOX_WAIT_MS = 10000
NO_BOX_WAIT_MS = 500          # a box that is not to come: looked for this long
EXIT_WAIT_S = 15              # the tool ending after the dialog closes (a fatal exit beeps 1 s first)
WINE_CALL_TIMEOUT_S = 30      # any single wine or helper invocation
READY_WAIT_S = 10             # bootsim, Xvfb, wineserver coming up
COM_LINKS_STABLE_S = 0.2      # the device manager is done once dosdevices/com* stand still this long
FOCUS_WAIT_S = 5              # the dialog taking the keyboard after a click
XVFB_DISPLAY_FIRST = 100
XVFB_DISPLAY_LAST = 199
TEMPLATE_STAMP = ".e2e-template"

FLASH_BASE = 0x08001000
BLOCK_BYTES = 1024
STATUS_IDLE = " - Idle - "
STATUS_NO_PORT = "No COM port selected"
STATUS_DONE = "Programming Completed"
STATUS_FAILED = "FAILED"
STATUS_LOST = "Connection lost - reconnect and press Update"
LOST_WITHIN_MS = 2000         # from the device going to the status saying so
# From "Verifying..." on, every block has been acknowledged.
STATUS_AFTER_WRITING = ("Verifying...", "Program Verified OK", "Resetting target...", STATUS_DONE, STATUS_FAILED)
# A run under way reads one of these, or "programming <address>".
RUN_STATUSES = ("Contacting Device...", "Establishing Link...", "Verifying...", "Program Verified OK",
                "Resetting target...")
RUN_STATUS_PREFIXES = RUN_STATUSES + ("programming ",)
CORRUPT_AT = 0x1234           # the flash byte that a corrupting device keeps wrong

DIALOG_CAPTION = "Orvex 2.0 Firmware Update Tool"
UI_EXIT_NOT_FOUND = 2         # uidriver: no such window, or its wait ran out

WINE_DLL_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

# The Windows versions a prefix can show its programs, with the start of the
# version number that `wine cmd /c ver` then prints. Wine 8's prefixes show
# win7 unless told otherwise.
WINDOWS_VERSIONS = {"winxp": "5.1.", "win7": "6.1.", "win10": "10.0."}

# Resending a block whose acknowledgement never came: after more than 500 ms,
# at the next tick whose read ended, so well before 900 ms.
RESEND_AFTER_MS = (500, 900)
# Paced, one block after the other: 1035 bytes on the wire (98.83 ms), the
# 11-byte acknowledgement (1.05 ms), the 20 ms of silence that end the read.
PACED_BLOCK_MS = 120
PACED_BLOCK_SLACK_MS = 15

FATAL_BOX_PATTERN = re.compile(
    r"\n\nAn Error has occurred as follows:\n"
    r"          Unable to open serial port\. In use already, or not present\n"
    r"Error number (\d+) reported\n"
    r"(.+?)"
    r"\n\n The program will now abort\n\n\n$", re.S)


# ---------------------------------------------------------------- helpers

def now_s():
    return time.monotonic()


def log(ctx, text):
    line = "[%7.2f] %s" % (now_s() - ctx["t0"], text)
    if ctx.get("echo", True):  # a caller running many cases at once keeps its console for itself
        print(line, flush=True)
    with open(os.path.join(ctx["out"], "e2e.log"), "a") as f:
        f.write(line + "\n")


def check(ctx, ok, what, detail=""):
    ctx["checks"].append((bool(ok), what))
    log(ctx, "%s  %s%s" % ("PASS" if ok else "FAIL", what, ("  [" + detail + "]") if detail and not ok else ""))
    return bool(ok)


def crc16_modbus(data):
    """The one CRC-16/MODBUS of the test scripts; tools/bootsim/test_bootsim.py
    imports it and holds it to the check value."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def padded_image(firmware_path):
    with open(firmware_path, "rb") as f:
        data = f.read()
    size = ((len(data) - 1) // BLOCK_BYTES + 1) * BLOCK_BYTES
    return data + bytes(size - len(data))


def normalize_lines(data):
    """Wine's C runtime writes text-mode "\\r\\n"; the checks are about the text."""
    return data.decode("latin-1").replace("\r\n", "\n")


def wine_env(prefix, display=None):
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "TERMREC_LOG", "WINESERVER", "WINELOADER"):
        env.pop(name, None)
    env.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES=WINE_DLL_OVERRIDES)
    if display is None:
        env.pop("DISPLAY", None)
    else:
        env["DISPLAY"] = display
    return env


def run_bounded(argv, env=None, timeout=WINE_CALL_TIMEOUT_S, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL):
    """A short helper command; never inherits a pipe that Wine's services could keep open."""
    try:
        return subprocess.run(argv, env=env, stdout=stdout, stderr=stderr, stdin=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return None


def wineserver_kill(prefix):
    if os.path.isdir(prefix):
        run_bounded(["wineserver", "-k"], env=wine_env(prefix), timeout=15)


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


def context_new(out, args, **extra):
    """The state one run of the harness carries through its steps; extra
    sets or adds keys (expect, termrec_log, preload, echo, ...)."""
    ctx = {"t0": now_s(), "out": out, "args": args, "checks": [], "sims": [], "fds": [], "background": [],
           "ui_calls": 0, "display": None}
    ctx.update(extra)
    return ctx


class CaseTimeout(Exception):
    pass


def deadline_arm(seconds, what):
    """From now on SIGTERM, and SIGALRM once `seconds` have passed, raise
    CaseTimeout("<what> ran past <seconds> s")."""
    def on_deadline(signum, frame):
        raise CaseTimeout("%s ran past %d s" % (what, seconds))
    signal.signal(signal.SIGALRM, on_deadline)
    signal.signal(signal.SIGTERM, on_deadline)
    signal.alarm(seconds)


def poll_until(done, seconds, proc=None):
    """Looks at done() every 20 ms until it holds, at most `seconds` and
    only while proc (if given) runs; whether it came to hold."""
    deadline = now_s() + seconds
    while not done():
        if now_s() > deadline or (proc is not None and proc.poll() is not None):
            return False
        time.sleep(0.02)
    return True


# ---------------------------------------------------------------- prefix template

def template_make(template):
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    stamp = os.path.join(template, TEMPLATE_STAMP)
    if os.path.exists(stamp) and open(stamp).read().strip() == version:
        print("template %s is up to date (%s)" % (template, version))
        return E2E_EXIT_PASS
    work = template + ".new"
    wineserver_kill(work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(work)), exist_ok=True)
    env = wine_env(work)
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no network: no Mono or Gecko installer
    started = now_s()
    try:
        if run_bounded(["wine", "wineboot", "-i"], env=env, timeout=180) != 0:
            print("wineboot -i failed in %s" % work, file=sys.stderr)
            return E2E_EXIT_FAIL
        # Without a window manager Wine must draw the caption itself, or the
        # screenshots show a frameless dialog.
        run_bounded(["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                     "/t", "REG_SZ", "/d", "N", "/f"], env=env)
        run_bounded(["wineserver", "-w"], env=env, timeout=60)
    finally:
        wineserver_kill(work)
    with open(os.path.join(work, TEMPLATE_STAMP), "w") as f:
        f.write(version + "\n")
    wineserver_kill(template)
    shutil.rmtree(template, ignore_errors=True)
    os.rename(work, template)
    print("template %s made in %.1f s" % (template, now_s() - started))
    return E2E_EXIT_PASS


def prefix_from_template(ctx):
    """A prefix of the case's own: hard links to the template's files (Wine
    only reads them), real copies of the registry, which the wineserver saves
    through a new file and a rename anyway."""
    prefix = os.path.join(ctx["out"], "prefix")
    wineserver_kill(prefix)
    shutil.rmtree(prefix, ignore_errors=True)
    if run_bounded(["cp", "-al", ctx["args"].template, prefix], timeout=60) != 0:
        raise RuntimeError("cannot copy the prefix template %s" % ctx["args"].template)
    for reg in glob.glob(os.path.join(prefix, "*.reg")):
        copy = reg + ".copy"
        shutil.copy2(reg, copy)
        os.replace(copy, reg)
    ctx["prefix"] = prefix
    ctx["env"] = wine_env(prefix, ctx["display"])


# ---------------------------------------------------------------- processes of a case

def xvfb_start(ctx):
    for number in range(XVFB_DISPLAY_FIRST, XVFB_DISPLAY_LAST + 1):
        if os.path.exists("/tmp/.X%d-lock" % number):
            continue
        read_end, write_end = os.pipe()
        errors = open(os.path.join(ctx["out"], "xvfb.log"), "ab")
        # -noreset: Xvfb would reset when its last client leaves, and write
        # its number to the display fd again on the way.
        proc = subprocess.Popen(["Xvfb", ":%d" % number, "-displayfd", str(write_end), "-noreset",
                                 "-nolisten", "tcp", "-screen", "0", "1024x768x24"], pass_fds=(write_end,),
                                stdin=subprocess.DEVNULL, stdout=errors, stderr=errors)
        os.close(write_end)
        ready, _, _ = select.select([read_end], [], [], READY_WAIT_S)
        announced = os.read(read_end, 64) if ready else b""
        ctx["fds"].append(read_end)
        if announced.strip() and proc.poll() is None:
            ctx["xvfb"] = proc
            ctx["display"] = ":" + announced.decode().strip()
            log(ctx, "Xvfb pid %d on %s" % (proc.pid, ctx["display"]))
            return
        process_end(proc)  # lost the display to another Xvfb: try the next
    raise RuntimeError("no free X display in :%d-:%d" % (XVFB_DISPLAY_FIRST, XVFB_DISPLAY_LAST))


def wineserver_listening(prefix):
    """Whether the prefix's wineserver has its socket up. Upstream Wine keeps
    it under /tmp/.wine-<uid>, Debian's under a private /tmp/wine-XXXXXX."""
    info = os.stat(prefix)
    server = "server-%x-%x" % (info.st_dev, info.st_ino)
    roots = ["/tmp/.wine-%d" % os.getuid()] + glob.glob(os.path.join(os.environ.get("TMPDIR", "/tmp"), "wine-*"))
    if os.environ.get("TMPDIR"):
        roots += glob.glob("/tmp/wine-*")
    return any(os.path.exists(os.path.join(root, server, "socket")) for root in roots)


def wineserver_start(ctx, without_sys_admin=False):
    """The case's own wineserver, started before any Wine program so that it
    is ours to end. Without CAP_SYS_ADMIN it honours a tty's exclusive mode."""
    argv = ["wineserver", "-f", "-p"]
    if without_sys_admin:
        argv = ["setpriv", "--inh-caps=-sys_admin", "--bounding-set=-sys_admin"] + argv
    errors = open(os.path.join(ctx["out"], "wineserver.log"), "ab")
    ctx["wineserver"] = subprocess.Popen(argv, env=ctx["env"], stdin=subprocess.DEVNULL, stdout=errors,
                                         stderr=errors)
    if not poll_until(lambda: wineserver_listening(ctx["prefix"]), READY_WAIT_S, ctx["wineserver"]):
        raise RuntimeError("wineserver did not come up")
    log(ctx, "wineserver pid %d%s" % (ctx["wineserver"].pid, " without CAP_SYS_ADMIN" if without_sys_admin else ""))
    # The first Wine program starts the prefix's services, whose device
    # manager lays out dosdevices/com* again from the machine's serial
    # devices: let that happen now, with no pipe for the services to
    # inherit, and set the ports only once it is over. The warm-up program
    # can end before the device manager is done, so wait for the link it
    # makes for /dev/ttyS0 to come back.
    com1 = os.path.join(ctx["prefix"], "dosdevices", "com1")
    marker = os.path.exists("/dev/ttyS0")
    if marker and os.path.lexists(com1):
        os.unlink(com1)
    run_bounded(["wine", ctx["args"].uidriver, "status"], env=ctx["env"])
    if marker:
        poll_until(lambda: os.path.lexists(com1), READY_WAIT_S)
    # The machine may have more serial devices than ttyS0, laid out one by
    # one: the device manager is done once the links stand still.
    stable = com_links_settle(ctx["prefix"])
    log(ctx, "services of the prefix are up%s%s" % (
        "" if not marker or os.path.lexists(com1) else " (no com1 from the device manager)",
        "" if stable else " (dosdevices/com* still changing after %d s)" % READY_WAIT_S))


def com_links(prefix):
    """{name: target} of the prefix's dosdevices/com* links."""
    links = {}
    for link in glob.glob(os.path.join(prefix, "dosdevices", "com*")):
        try:
            links[os.path.basename(link)] = os.readlink(link)
        except OSError:
            links[os.path.basename(link)] = None  # gone, or not a link, between the listing and the look
    return links


def com_links_settle(prefix):
    """Waits until the COM links have stood still for COM_LINKS_STABLE_S, at
    most READY_WAIT_S; whether they did."""
    deadline = now_s() + READY_WAIT_S
    last, since = com_links(prefix), now_s()
    while now_s() - since < COM_LINKS_STABLE_S:
        if now_s() > deadline:
            return False
        time.sleep(0.02)
        links = com_links(prefix)
        if links != last:
            last, since = links, now_s()
    return True


def ports_clear(ctx):
    """Leaves dosdevices no COM port to open: each number for which Wine
    would fall back to /dev/ttyS<n-1> points at an empty directory, so that
    no port the case does not play can be opened."""
    dosdevices = os.path.join(ctx["prefix"], "dosdevices")
    os.makedirs(nodev(ctx), exist_ok=True)
    for link in glob.glob(os.path.join(dosdevices, "com*")):
        os.unlink(link)
    for device in glob.glob("/dev/ttyS*"):
        number = int(re.sub(r"\D", "", os.path.basename(device)) or 0) + 1
        os.symlink(nodev(ctx), os.path.join(dosdevices, "com%d" % number))


def windows_version_set(ctx, version):
    """Has the prefix show its programs another Windows version, and checks
    that a program started now sees it."""
    run_bounded(["wine", "reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", version, "/f"],
                env=ctx["env"])
    path = os.path.join(ctx["out"], "ver.txt")
    with open(path, "wb") as out:
        run_bounded(["wine", "cmd", "/c", "ver"], env=ctx["env"], stdout=out)
    with open(path, "rb") as f:
        shown = normalize_lines(f.read()).strip()
    check(ctx, shown.startswith("Microsoft Windows " + WINDOWS_VERSIONS[version]),
          "the prefix shows programs %s" % version, repr(shown))


def session_start(ctx, without_sys_admin=False):
    """What every run needs before its devices: a display (an Xvfb of its own
    unless ctx brings one), a prefix, its wineserver, the Windows version if
    the run names one, no COM port yet."""
    if ctx["display"] is None:
        xvfb_start(ctx)
    prefix_from_template(ctx)
    wineserver_start(ctx, without_sys_admin)
    version = getattr(ctx["args"], "windows_version", None)
    if version:
        windows_version_set(ctx, version)
    ports_clear(ctx)


def port_link_set(ctx, number, target):
    link = os.path.join(ctx["prefix"], "dosdevices", "com%d" % number)
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(target, link)


def nodev(ctx):
    return os.path.join(ctx["out"], "nodev")


def com_without_fallback(lowest=5):
    """A COM number, `lowest` or above, past every /dev/ttyS<n-1> of the
    machine's: Wine has nothing to open for it once its link is gone."""
    numbers = [lowest]
    for device in glob.glob("/dev/ttyS*"):
        match = re.fullmatch(r"/dev/ttyS(\d+)", device)
        if match:
            numbers.append(int(match.group(1)) + 2)
    return max(numbers)


def bootsim_start(ctx, com, extra=(), tag=None, timeout_s=CASE_DEADLINE_S + 15):
    """A simulator on com; its files are bootsim-<tag>.*, tag com<n> unless
    given, and bootsim.* for an empty tag."""
    tag = "com%d" % com if tag is None else tag
    stem = "bootsim-" + tag if tag else "bootsim"
    files = {name: os.path.join(ctx["out"], "%s.%s" % (stem, name))
             for name in ("ready", "report.json", "log", "flash.bin")}
    for path in files.values():
        if os.path.exists(path):
            os.unlink(path)
    argv = [ctx["args"].bootsim, "--prefix", ctx["prefix"], "--com", str(com), "--ready", files["ready"],
            "--report", files["report.json"], "--termrec-log", ctx["termrec_log"], "--expect", ctx["expect"],
            "--flash-out", files["flash.bin"], "--timeout", str(timeout_s)] + list(extra)
    errors = open(files["log"], "ab")
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=errors, stderr=errors)
    if not poll_until(lambda: os.path.exists(files["ready"]), READY_WAIT_S, proc):
        process_end(proc)
        raise RuntimeError("bootsim on com%d did not become ready (see %s)" % (com, files["log"]))
    sim = {"proc": proc, "files": files, "com": com, "slave": open(files["ready"]).read().strip()}
    ctx["sims"].append(sim)
    log(ctx, "bootsim pid %d on com%d = %s %s" % (proc.pid, com, sim["slave"], " ".join(extra)))
    return sim


def bootsim_stop(ctx, sim):
    process_end(sim["proc"], grace_s=10)
    try:
        with open(sim["files"]["report.json"]) as f:
            return json.load(f)
    except (OSError, ValueError) as error:
        check(ctx, False, "bootsim on com%d wrote its report" % sim["com"], str(error))
        return {}


def installer_start(ctx):
    env = dict(ctx["env"], LD_PRELOAD=ctx["preload"], TERMREC_LOG=ctx["termrec_log"])
    ctx["trace_path"] = os.path.join(ctx["out"], "trace.log")
    ctx["err_path"] = os.path.join(ctx["out"], "err.log")
    trace = open(ctx["trace_path"], "wb")
    errors = open(ctx["err_path"], "wb")
    ctx["installer"] = subprocess.Popen(["wine", ctx["args"].installer], env=env, stdin=subprocess.DEVNULL,
                                        stdout=trace, stderr=errors)
    log(ctx, "installer pid %d" % ctx["installer"].pid)


def installer_exit(ctx):
    try:
        code = ctx["installer"].wait(EXIT_WAIT_S)
    except subprocess.TimeoutExpired:
        code = None
    log(ctx, "installer exit code %s" % code)
    return code


def trace_text(ctx):
    with open(ctx["trace_path"], "rb") as f:
        return normalize_lines(f.read())


def ui_call(ctx, args):
    """The command line of a uidriver command, and ui/<n>-<command>, the
    numbered base name of its output files."""
    ctx["ui_calls"] += 1
    base = os.path.join(ctx["out"], "ui", "%03d-%s" % (ctx["ui_calls"], args[0]))
    os.makedirs(os.path.dirname(base), exist_ok=True)
    return ["wine", ctx["args"].uidriver] + [str(a) for a in args], base


def ui(ctx, *args, timeout=WINE_CALL_TIMEOUT_S):
    """One uidriver command; its output goes through files, never a pipe."""
    argv, base = ui_call(ctx, args)
    with open(base + ".out", "wb") as out, open(base + ".err", "wb") as err:
        code = run_bounded(argv, env=ctx["env"], timeout=timeout, stdout=out, stderr=err)
    with open(base + ".out", "rb") as f:
        text = normalize_lines(f.read())
    log(ctx, "uidriver %s -> %s %r" % (" ".join(str(a) for a in args), code, text[:300]))
    return code, text


def ui_background(ctx, *args):
    """A uidriver command left running (watch-progress); read with ui_collect."""
    argv, base = ui_call(ctx, args)
    path = base + ".out"
    out = open(path, "wb")
    proc = subprocess.Popen(argv, env=ctx["env"], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
    ctx["background"].append(proc)
    # Its first line is the state before anything is pressed.
    poll_until(lambda: os.path.getsize(path) > 0, WINE_CALL_TIMEOUT_S, proc)
    return {"proc": proc, "path": path}


def ui_collect(ctx, job, timeout):
    try:
        code = job["proc"].wait(timeout)
    except subprocess.TimeoutExpired:
        process_end(job["proc"])
        code = None
    with open(job["path"], "rb") as f:
        return code, normalize_lines(f.read())


def screenshot(ctx, name, window="root"):
    path = os.path.join(ctx["out"], name)
    code = run_bounded(["import", "-display", ctx["display"], "-window", window, path], timeout=20)
    log(ctx, "screenshot %s (%s)" % (path, "ok" if code == 0 else "failed: %s" % code))
    return code == 0


def xdotool(ctx, *args):
    return run_bounded(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=ctx["display"]),
                       timeout=10)


# ---------------------------------------------------------------- steps shared by the cases

def dialog_up(ctx, expected_ports, expected_selected=0):
    code, _ = ui(ctx, "wait-dialog", DIALOG_WAIT_MS)
    if not check(ctx, code == 0, "the dialog \"Orvex 2.0 Firmware Update Tool\" appears"):
        raise RuntimeError("no dialog")
    code, text = ui(ctx, "list")
    lines = text.splitlines()
    entries, selected = lines[:-1], lines[-1] if lines else ""
    check(ctx, entries == expected_ports and selected == "selected %d" % expected_selected,
          "the port list is exactly %s, entry %d selected" % (expected_ports, expected_selected), repr(lines))
    if entries != expected_ports:
        raise RuntimeError("the port list is not what the case set up; nothing else would mean anything")


def press_update(ctx):
    code, _ = ui(ctx, "click")
    check(ctx, code == 0, "the update button is pressed")


def ui_wait(ctx, command, wanted, wait_ms, what):
    """A uidriver wait command, checked; the statuses it saw."""
    code, text = ui(ctx, command, wanted, wait_ms, timeout=wait_ms / 1000 + WINE_CALL_TIMEOUT_S)
    seen = text.splitlines()
    check(ctx, code == 0, what, "seen: %r" % seen[-8:])
    return seen


def wait_status(ctx, wanted, wait_ms=RUN_WAIT_MS):
    return ui_wait(ctx, "wait-status", wanted, wait_ms, "the status line comes to read \"%s\"" % wanted)


def wait_address(ctx, address, wait_ms=RUN_WAIT_MS):
    """Until the status line tells of writing the block at address or one
    past it: a block's status may stand too briefly to be seen."""
    return ui_wait(ctx, "wait-address", "%#x" % address, wait_ms,
                   "the status line comes to \"programming %#x\" or past it" % address)


def click_time_parse(text):
    """uidriver click-time's output: the status changes as (ms, status), and
    how it ended as {"how", "ms", "status"}, or None if it did not say."""
    changes, end = [], None
    for line in text.splitlines():
        fields = line.split("\t")
        if fields[0] in ("done", "timeout", "stalled") and len(fields) >= 3:
            end = {"how": fields[0], "ms": float(fields[1]), "status": fields[2]}
        elif len(fields) == 2:
            try:
                changes.append((float(fields[0]), fields[1]))
            except ValueError:
                pass
    return changes, end


def update_run(ctx, ports, final):
    """The tool started, its dialog up listing ports, the button pressed,
    and the run waited for up to the final status."""
    installer_start(ctx)
    dialog_up(ctx, ports)
    press_update(ctx)
    wait_status(ctx, final)


def update_end(ctx, sim):
    """The dialog as the run left it on a screenshot, then closed, the tool
    exiting with 0; the device's report."""
    screenshot(ctx, "screenshot.png")
    close_dialog(ctx, 0)
    return bootsim_stop(ctx, sim)


def close_dialog(ctx, expected_exit=0):
    ui(ctx, "close")
    check(ctx, installer_exit(ctx) == expected_exit, "the tool exits with %d once the dialog is closed" % expected_exit)


def check_no_box(ctx, after):
    """After a press that must not end the tool: no "Terminate Program" box
    (uidriver looked and found none, rather than failing to look) and the
    tool still running."""
    code, text = ui(ctx, "read-box", NO_BOX_WAIT_MS)
    check(ctx, code == UI_EXIT_NOT_FOUND and ctx["installer"].poll() is None,
          "%s: no \"Terminate Program\" box, the tool runs on" % after, "read-box %s %r" % (code, text[:200]))


def click_instructions(ctx):
    """A real mouse click on the instructions, away from the button: gives
    the dialog the keyboard without pressing anything."""
    code, text = ui(ctx, "rect", -1)
    fields = text.split()
    if not check(ctx, code == 0 and len(fields) == 4, "the instructions have a place on the screen", repr(text)):
        return
    left, top, right, bottom = (int(v) for v in fields)
    code = xdotool(ctx, "mousemove", (left + right) // 2, (top + bottom) // 2, "click", "1")
    check(ctx, code == 0, "a mouse click on the instructions", "xdotool exit %s" % code)
    focus_wait(ctx)


def xdotool_output(ctx, *args):
    try:
        done = subprocess.run(["xdotool"] + [str(a) for a in args], env=dict(os.environ, DISPLAY=ctx["display"]),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
    except subprocess.TimeoutExpired:
        return None
    return done.stdout.split() if done.returncode == 0 else None


def focus_wait(ctx):
    """Keys go where the focus is: waits, at most FOCUS_WAIT_S, until the X
    focus is on the dialog's window and Wine has the dialog in front with
    the keyboard focus in it."""
    deadline = now_s() + FOCUS_WAIT_S
    x_focus = windows = None
    while now_s() < deadline:
        x_focus = xdotool_output(ctx, "getwindowfocus")
        windows = xdotool_output(ctx, "search", "--name", DIALOG_CAPTION)
        if x_focus and windows and x_focus[0] in windows:
            break
        time.sleep(0.05)
    else:
        check(ctx, False, "the X focus is on the dialog", "focus %s, dialog %s" % (x_focus, windows))
        return
    left_ms = max(0, int((deadline - now_s()) * 1000))
    code, text = ui(ctx, "wait-foreground", left_ms)
    check(ctx, code == 0, "the dialog is in front with the keyboard focus", repr(text))


def key_press(ctx, keys):
    code = xdotool(ctx, "key", keys)
    check(ctx, code == 0, "the key %s is pressed" % keys, "xdotool exit %s" % code)


def trace_has(ctx, trace, needle, what=None):
    return check(ctx, needle in trace, what or "the trace holds %r" % needle)


def trace_in_order(ctx, trace, needles, what):
    position = 0
    for needle in needles:
        found = trace.find(needle, position)
        if found < 0:
            return check(ctx, False, what, "%r missing after offset %d" % (needle, position))
        position = found + len(needle)
    return check(ctx, True, what)


def prog_lines(trace):
    return re.findall(r"PROG ADDR (0x[0-9a-f]+|0), LEN (0x[0-9a-f]+|0), FROM (0x[0-9a-f]+|0)\.\.\.", trace)


def writes_of(report):
    return [frame for frame in report.get("frames", []) if frame.get("op") == "write"]


def start_trace(image):
    """What the tool traces before anything is pressed."""
    return ("Running on windows version: a00\n"
            "\nFlash Image Base 0x8001000\n"
            "Flash Image Size %#x bytes\n" % len(image))


def open_line(com):
    return " . Opening serial port \\\\.\\com%d at 115200 baud\n" % com


def check_start_trace(ctx, trace):
    check(ctx, trace.startswith(start_trace(ctx["image"])), "the trace starts with the version and the image lines",
          repr(trace[:200]))


def check_crc_lines(ctx, trace, expect_match):
    image = ctx["image"]
    remote = re.findall(r"Remote CRC (0x[0-9a-f]+|0)\n", trace)
    local = re.findall(r"Local  CRC (0x[0-9a-f]+|0)\n", trace)
    if not check(ctx, remote and local, "the trace gives the remote and the local CRC"):
        return
    check(ctx, int(local[-1], 16) == crc16_modbus(image),
          "the local CRC is the CRC-16 of the padded image (%#x)" % crc16_modbus(image), local[-1])
    check(ctx, (remote[-1] == local[-1]) == expect_match,
          "remote and local CRC %s" % ("agree" if expect_match else "differ"), "%s / %s" % (remote[-1], local[-1]))


def image_blocks(ctx):
    return len(ctx["image"]) // BLOCK_BYTES


def block_addresses(count):
    """The addresses of the first count blocks, in order."""
    return [FLASH_BASE + i * BLOCK_BYTES for i in range(count)]


def check_clean_run(ctx, trace, report, com=5, timeouts_allowed=False):
    """What every successful run of the carried image must show."""
    blocks = image_blocks(ctx)
    trace_in_order(ctx, trace, [
        open_line(com),
        "CONTACTING...",
        "REMOTE DEVICE LINK ESTABLISHED\n",
        "PROG ADDR 0x8001000, LEN 0x400, FROM 0... - SENT - - OK\n",
        "PROG ADDR 0x8001400, LEN 0x400, FROM 0x400... - SENT - - OK\n",
        "Verifying address 0x8001000, image size %#x bytes\n" % len(ctx["image"]),
        "frame length   13 bytes sent\n",
        "Remote CRC ",
        "Local  CRC ",
        "CRCs match\n",
        "Resetting target\n",
        "frame length    5 bytes sent\n",
        "frame length    5 bytes received & OK\n",
    ], "the trace tells the run in order: open, contact, blocks, verify, CRCs match, restart")
    check_crc_lines(ctx, trace, True)
    addresses = [int(a, 16) for a, _, _ in prog_lines(trace)]
    if not timeouts_allowed:
        check(ctx, "TIMEOUT" not in trace, "no block had to be sent again")
        check(ctx, addresses == block_addresses(blocks),
              "the trace announces %d blocks at 0x8001000 upward, 0x400 apart" % blocks,
              "%d announced" % len(addresses))
    written = [frame.get("address") for frame in writes_of(report)]
    distinct = [a for i, a in enumerate(written) if i == 0 or a != written[i - 1]]
    check(ctx, distinct == block_addresses(blocks),
          "the device got the %d blocks in address order" % blocks, "%d write frames" % len(written))
    if not timeouts_allowed:
        check(ctx, report.get("flash", {}).get("blocks_written") == blocks,
              "the device counted %d write blocks" % blocks, str(report.get("flash")))
    check(ctx, report.get("writes_in_order") is True, "the device saw the writes in order")
    check(ctx, report.get("flash", {}).get("expect_match") is True,
          "the device's flash equals the padded image", str(report.get("flash")))
    check(ctx, report.get("restart", {}).get("count") == 1, "the device was told to restart once",
          str(report.get("restart")))


# ---------------------------------------------------------------- the cases

def case_start_close(ctx):
    """The dialog at rest: idle status, empty bar, a press with no port
    selected refused on the status line, and the system menu's close, from a
    real alt+F4, ending the tool with 0. Nothing but the start lines traced."""
    blocks = image_blocks(ctx)
    sim = bootsim_start(ctx, 5)
    installer_start(ctx)
    dialog_up(ctx, ["\\\\.\\com5"])
    code, text = ui(ctx, "status")
    check(ctx, code == 0 and text == STATUS_IDLE + "\n", "the status line reads \"%s\"" % STATUS_IDLE, repr(text))
    code, text = ui(ctx, "progress")
    check(ctx, code == 0 and text == "range 0 %d pos 0\n" % blocks,
          "the bar is empty and counts the image's %d blocks" % blocks, repr(text))

    ui(ctx, "select", -1)  # uidriver says "not found": clearing the selection has no entry to report
    code, text = ui(ctx, "list")
    check(ctx, code == 0 and text.splitlines()[-1:] == ["selected -1"], "no port list entry is selected", repr(text))
    press_update(ctx)
    wait_status(ctx, STATUS_NO_PORT, 5000)
    check_no_box(ctx, "a press with no port selected")

    click_instructions(ctx)
    key_press(ctx, "alt+F4")
    check(ctx, installer_exit(ctx) == 0, "alt+F4 ends the tool with 0")
    trace = trace_text(ctx)
    check(ctx, trace == start_trace(ctx["image"]), "the trace holds the start lines and nothing else", repr(trace))
    report = bootsim_stop(ctx, sim)
    check(ctx, not report.get("frames"), "nothing reached the device")


def case_clean(ctx):
    sim = bootsim_start(ctx, 5)
    update_run(ctx, ["\\\\.\\com5"], STATUS_DONE)
    time.sleep(0.3)  # anything the tool were to add to the final status would be there by now
    code, text = ui(ctx, "status")
    check(ctx, text == STATUS_DONE + "\n", "the final status stays \"%s\"" % STATUS_DONE, repr(text))
    report = update_end(ctx, sim)
    trace = trace_text(ctx)
    check_start_trace(ctx, trace)
    check_clean_run(ctx, trace, report)


def case_dropped_ack(ctx):
    dropped = 5
    sim = bootsim_start(ctx, 5, ["--fault", "drop-write:%d" % dropped])
    update_run(ctx, ["\\\\.\\com5"], STATUS_DONE)
    report = update_end(ctx, sim)
    trace = trace_text(ctx)
    check_clean_run(ctx, trace, report, timeouts_allowed=True)
    address = FLASH_BASE + (dropped - 1) * BLOCK_BYTES
    offset = (dropped - 1) * BLOCK_BYTES
    block_text = "PROG ADDR %#x, LEN 0x400, FROM %#x... - SENT - " % (address, offset)
    trace_has(ctx, trace, block_text + "TIMEOUT\n" + block_text + "- OK\n",
              "block %d times out once and goes again to the same address" % dropped)
    check(ctx, trace.count("TIMEOUT\n") == 1, "exactly one TIMEOUT", str(trace.count("TIMEOUT\n")))
    repeats = [f for f in writes_of(report) if f.get("address") == address]
    check(ctx, len(repeats) == 2, "the device got block %d twice" % dropped, str(len(repeats)))
    if len(repeats) == 2:
        gap = repeats[1]["t_ms"] - repeats[0]["t_ms"]
        check(ctx, RESEND_AFTER_MS[0] < gap < RESEND_AFTER_MS[1],
              "block %d went again %d-%d ms after its first send" % ((dropped,) + RESEND_AFTER_MS),
              "%.1f ms" % gap)


def check_paced_blocks(ctx, report):
    """On a paced line the blocks follow one another at the pace of Wine's
    reads: the write, its acknowledgement, and the silence that ends the
    read. Counted between each block and the next one up, as they reached
    the device."""
    frames = report.get("frames", [])
    gaps = [b["t_ms"] - a["t_ms"] for a, b in zip(frames, frames[1:])
            if a.get("op") == "write" and b.get("op") == "write"
            and b.get("address") == a.get("address", 0) + BLOCK_BYTES]
    if not check(ctx, len(gaps) >= 10, "the device got blocks one after the other", "%d pairs" % len(gaps)):
        return
    gaps.sort()
    median = gaps[len(gaps) // 2]
    log(ctx, "paced block gaps: min %.1f median %.1f max %.1f ms over %d" % (gaps[0], median, gaps[-1], len(gaps)))
    check(ctx, abs(median - PACED_BLOCK_MS) <= PACED_BLOCK_SLACK_MS,
          "paced, the blocks went out %d +- %d ms apart (median)" % (PACED_BLOCK_MS, PACED_BLOCK_SLACK_MS),
          "median %.1f ms" % median)


def corrupting_bootsim_start(ctx, tag):
    """A device whose flash keeps one byte wrong: a run against it ends in FAILED."""
    return bootsim_start(ctx, 5, ["--fault", "corrupt-flash:%#x" % CORRUPT_AT], tag=tag)


def check_failed_run(ctx, trace, report):
    trace_has(ctx, trace, "CRC FAIL\n")
    check(ctx, "CRCs match" not in trace, "the trace does not claim a match")
    check_crc_lines(ctx, trace, False)
    check(ctx, report.get("restart", {}).get("count") == 0, "no restart request went out on the line",
          str(report.get("restart")))
    check(ctx, not [f for f in report.get("frames", []) if f.get("op") == "reset"], "no reset frame at all")
    check(ctx, report.get("flash", {}).get("first_diff") == CORRUPT_AT,
          "the device's flash differs at the corrupted byte only", str(report.get("flash")))


def case_corrupt_flash(ctx):
    sim = corrupting_bootsim_start(ctx, "com5")
    update_run(ctx, ["\\\\.\\com5"], STATUS_FAILED)
    time.sleep(0.5)  # a restart request, were one to follow, would be on the line by now
    code, text = ui(ctx, "status")
    check(ctx, text.strip("\n") == STATUS_FAILED, "the status stays \"FAILED\"", text)
    report = update_end(ctx, sim)
    check_failed_run(ctx, trace_text(ctx), report)


def case_retry_after_failed(ctx):
    # The corruption is the device's and comes with every write, so the
    # second run gets a sound device: a fresh simulator on the same COM link.
    first = corrupting_bootsim_start(ctx, "first")
    update_run(ctx, ["\\\\.\\com5"], STATUS_FAILED)
    first_report = bootsim_stop(ctx, first)
    check_failed_run(ctx, trace_text(ctx), first_report)
    trace_length = len(trace_text(ctx))
    second = bootsim_start(ctx, 5, tag="second")
    press_update(ctx)
    wait_status(ctx, STATUS_DONE)
    second_report = update_end(ctx, second)
    trace = trace_text(ctx)
    check(ctx, trace.count(open_line(5)) == 2, "the same port was opened a second time")
    check_clean_run(ctx, trace[trace_length:], second_report)


def fatal_box_checks(ctx, text):
    match = FATAL_BOX_PATTERN.match(text)
    if check(ctx, match is not None, "the \"Terminate Program\" box holds the fatal report in order", repr(text)):
        check(ctx, int(match.group(1)) != 0 and match.group(2).strip() != "",
              "the box gives the error number %s and the system's text %r" % (match.group(1), match.group(2)))
    return match


def open_fails(ctx, com, make_unopenable):
    """The port is listed when the tool starts and cannot be opened when the
    button is pressed: the "Terminate Program" box, exit status 1 once it is
    answered, and nothing traced after the attempt to open. Returns the box's
    match of FATAL_BOX_PATTERN, or None."""
    sim = bootsim_start(ctx, com)
    installer_start(ctx)
    dialog_up(ctx, ["\\\\.\\com%d" % com])
    make_unopenable(sim)
    press_update(ctx)
    code, text = ui(ctx, "read-box", BOX_WAIT_MS)
    check(ctx, code == 0, "a \"Terminate Program\" box appears")
    match = fatal_box_checks(ctx, text)
    screenshot(ctx, "screenshot.png")
    ui(ctx, "answer-box")
    check(ctx, installer_exit(ctx) == 1, "the tool exits with 1 once the box is answered")
    trace = trace_text(ctx)
    check(ctx, trace == start_trace(ctx["image"]) + open_line(com),
          "the trace ends with the attempt to open \\\\.\\com%d" % com, repr(trace))
    report = bootsim_stop(ctx, sim)
    check(ctx, not report.get("frames"), "nothing reached the device")
    return match


def case_port_absent(ctx):
    """Listed at start, gone by the time the button is pressed, as when an
    adapter is pulled out: its link removed, on a number for which Wine has no
    serial device of the machine's to fall back to."""
    com = com_without_fallback()
    def pull_out(sim):
        os.unlink(os.path.join(ctx["prefix"], "dosdevices", "com%d" % com))
    match = open_fails(ctx, com, pull_out)
    if match:
        check(ctx, match.group(1) == "2", "the error number is 2, the system's \"file not found\"", match.group(1))


def case_port_held(ctx):
    """Another program holds the port: the exclusive-use flag on the tty,
    which binds every opener without CAP_SYS_ADMIN, the case's wineserver
    (which does Wine's opens) included."""
    def hold(sim):
        holder = os.open(sim["slave"], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        ctx["fds"].append(holder)
        fcntl.ioctl(holder, termios.TIOCEXCL)
    open_fails(ctx, 5, hold)


def case_ports_2_and_10(ctx):
    master, slave = os.openpty()  # com2: a port that is there but plays no device
    ctx["fds"] += [master, slave]
    port_link_set(ctx, 2, os.ttyname(slave))
    sim = bootsim_start(ctx, 10)
    update_run(ctx, ["\\\\.\\com10", "\\\\.\\com2"], STATUS_DONE)
    report = update_end(ctx, sim)
    trace = trace_text(ctx)
    trace_has(ctx, trace, open_line(10))
    check(ctx, "\\\\.\\com2 " not in trace, "com2 was never opened")
    check_clean_run(ctx, trace, report, com=10)


def case_line_settings(ctx):
    sim = bootsim_start(ctx, 5)
    update_run(ctx, ["\\\\.\\com5"], STATUS_DONE)
    close_dialog(ctx, 0)
    report = bootsim_stop(ctx, sim)
    line = report.get("line", {})
    log(ctx, "line as the device saw it: %s" % json.dumps(line))
    check(ctx, line.get("baud") == 115200 and line.get("stop_bits") == 1,
          "read back from the pty: 115200 baud, 1 stop bit", str(line))
    check(ctx, line.get("rtscts") is False and line.get("xonxoff") is False,
          "read back from the pty: no RTS/CTS, no XON/XOFF", str(line))
    check(ctx, line.get("observed_from") == "tcgetattr+termrec" and line.get("termrec_records", 0) > 0,
          "the tool's own tcsetattr requests were recorded", str(line))
    check(ctx, line.get("data_bits") == 8 and line.get("parity") == "even",
          "as requested by the tool: 8 data bits, even parity", str(line))
    check(ctx, line.get("ok") is True, "the device judges the line settings right", str(line))


def watch_parse(text):
    samples = []
    for line in text.splitlines():
        fields = line.split("\t", 4)
        if len(fields) == 5:
            samples.append({"t": int(fields[0]), "lo": int(fields[1]), "hi": int(fields[2]),
                            "pos": int(fields[3]), "status": fields[4]})
    return samples


def check_progress_run(ctx, samples, run_name, final):
    """The bar through one run, watched from before the press: its range is
    the image's blocks throughout, it is emptied as the run starts, follows
    the acknowledged blocks while writing and never goes back, and is full
    from verifying on, up to the final status."""
    blocks = image_blocks(ctx)
    if not check(ctx, samples, "%s: the watch saw the dialog" % run_name):
        return
    ranges = sorted({(s["lo"], s["hi"]) for s in samples})
    check(ctx, ranges == [(0, blocks)], "%s: the bar's range is 0..%d throughout" % (run_name, blocks), str(ranges))
    started = [i for i, s in enumerate(samples) if s["status"].startswith(RUN_STATUS_PREFIXES)]
    if not check(ctx, started, "%s: a run started" % run_name, str([s["status"] for s in samples][:5])):
        return
    run = samples[started[0]:]
    check(ctx, run[0]["pos"] == 0, "%s: the bar is empty as the run starts" % run_name, "first sample %s" % run[0])
    positions = [s["pos"] for s in run]
    check(ctx, positions == sorted(positions), "%s: the bar never goes back during the run" % run_name)
    writing = [s for s in run if s["status"].startswith("programming ")]
    check(ctx, any(0 < s["pos"] < blocks for s in writing),
          "%s: while writing the bar stands strictly between empty and full" % run_name,
          str(sorted({s["pos"] for s in writing})[:10]))
    # The status is read before the bar, and a tick of the tool may come
    # between the two reads and move both on by one block.
    astray = [s for s in writing
              if s["pos"] - (int(s["status"].split()[1], 16) - FLASH_BASE) // BLOCK_BYTES not in (0, 1)]
    check(ctx, not astray, "%s: while writing the bar stands at the blocks acknowledged" % run_name, str(astray[:3]))
    late = [s for s in run if s["status"] in STATUS_AFTER_WRITING]
    check(ctx, late and all(s["pos"] == blocks for s in late),
          "%s: the bar is full from \"Verifying...\" on" % run_name,
          str(sorted({(s["status"], s["pos"]) for s in late})))
    check(ctx, run[-1]["status"] == final and run[-1]["pos"] == blocks,
          "%s: ends at \"%s\" with the bar full" % (run_name, final), str(run[-1]))


def watch_press(ctx, press):
    """Calls press() while uidriver watches the status line and the bar, up
    to the next final status; returns the samples, the state before the
    press first."""
    watch = ui_background(ctx, "watch-progress", RUN_WAIT_MS)
    press()
    code, text = ui_collect(ctx, watch, RUN_WAIT_MS / 1000 + 10)
    check(ctx, code == 0, "the watch comes to a final status", repr(text[-300:]))
    return watch_parse(text)


def case_progress_and_enter(ctx):
    """The bar through a failed run, started with a real Enter key, and
    through the clean run pressed after it."""
    blocks = image_blocks(ctx)
    sim = corrupting_bootsim_start(ctx, "first")
    installer_start(ctx)
    dialog_up(ctx, ["\\\\.\\com5"])
    code, text = ui(ctx, "progress")
    check(ctx, code == 0 and text == "range 0 %d pos 0\n" % blocks, "before any run the bar is empty", repr(text))

    # A real key press: a click on the instructions, away from the button, then Enter.
    first = watch_press(ctx, lambda: (click_instructions(ctx), key_press(ctx, "Return")))
    check(ctx, any(s["status"].startswith(RUN_STATUS_PREFIXES) for s in first),
          "Enter, after a click on the instructions, starts a run")
    check_progress_run(ctx, first, "first run", STATUS_FAILED)
    time.sleep(0.3)
    code, text = ui(ctx, "progress")
    check(ctx, text == "range 0 %d pos %d\n" % (blocks, blocks),
          "after \"FAILED\" the bar keeps its place (full: verifying had begun)", repr(text))
    bootsim_stop(ctx, sim)

    second = bootsim_start(ctx, 5, tag="second")
    samples = watch_press(ctx, lambda: press_update(ctx))
    check_progress_run(ctx, samples, "second run", STATUS_DONE)
    report = update_end(ctx, second)
    check(ctx, report.get("flash", {}).get("expect_match") is True, "the second run's flash verifies")


def case_press_during_run(ctx):
    """A press while a run is under way on the same device: the tool lets go
    of the port it holds, opens it again, and a complete new run begins at
    the first block."""
    blocks = image_blocks(ctx)
    # Paced, a run takes about 15 s and each block about 120 ms: the second
    # press comes well before the first run could end.
    sim = bootsim_start(ctx, 5, ["--pace"])
    installer_start(ctx)
    dialog_up(ctx, ["\\\\.\\com5"])
    press_update(ctx)
    wait_address(ctx, FLASH_BASE + 16 * BLOCK_BYTES)
    samples = watch_press(ctx, lambda: press_update(ctx))
    statuses = [s["status"] for s in samples]
    check(ctx, samples and samples[0]["status"].startswith("programming ") and samples[0]["pos"] > 0,
          "the watch began with the first run under way", str(samples[:1]))
    check(ctx, "programming %#x" % FLASH_BASE in statuses, "the press begins again at the first block",
          str(statuses[:8]))
    check(ctx, samples and samples[-1]["status"] == STATUS_DONE and samples[-1]["pos"] == blocks,
          "the new run ends at \"%s\" with the bar full" % STATUS_DONE, str(samples[-1:]))
    check_no_box(ctx, "a press during a run")
    screenshot(ctx, "screenshot.png")
    close_dialog(ctx, 0)
    trace = trace_text(ctx)
    check(ctx, trace.count(open_line(5)) == 2, "the port was opened once for each press",
          str(trace.count(open_line(5))))
    check(ctx, trace.count("CRCs match\n") == 1 and "CRC FAIL" not in trace,
          "one verification, and it matched")
    report = bootsim_stop(ctx, sim)
    written = [frame.get("address") for frame in writes_of(report)]
    # The first run's writes, cut short, then the second run's from the first block.
    restart = max((i for i in range(1, len(written)) if written[i] < written[i - 1]), default=0)
    check(ctx, 0 < restart < blocks and written[restart] == FLASH_BASE,
          "the device got part of the image, then the first block again", str(written[:restart + 1]))
    check(ctx, restart and written[restart:] == block_addresses(blocks),
          "the device got all %d blocks in order after the press" % blocks, "%d write frames" % len(written))
    check(ctx, report.get("flash", {}).get("expect_match") is True,
          "the device's flash equals the padded image", str(report.get("flash")))
    check(ctx, report.get("restart", {}).get("count") == 1, "the device was told to restart once",
          str(report.get("restart")))
    check_paced_blocks(ctx, report)


def case_lost_connection(ctx):
    """The device goes in the middle of the block writes, as when the adapter
    is pulled out: the tool says so, lets go of the port and runs on; a new
    device on the same COM port then takes a whole update."""
    gone_at = 20  # the device leaves as this write block comes, unanswered
    address = FLASH_BASE + (gone_at - 1) * BLOCK_BYTES
    first = bootsim_start(ctx, 5, ["--exit-after-writes", str(gone_at)], tag="first")
    installer_start(ctx)
    dialog_up(ctx, ["\\\\.\\com5"])
    code, text = ui(ctx, "click-time", RUN_WAIT_MS, 0, STATUS_LOST, STATUS_DONE, STATUS_FAILED,
                    timeout=RUN_WAIT_MS / 1000 + WINE_CALL_TIMEOUT_S)
    changes, end = click_time_parse(text)
    log(ctx, "statuses: %s" % " | ".join("%.0f ms %s" % change for change in changes))
    check(ctx, code == 0 and end and end["status"] == STATUS_LOST,
          "the status line comes to read \"%s\"" % STATUS_LOST, repr(text[-300:]))
    last_block = [ms for ms, status in changes if status == "programming %#x" % address]
    if check(ctx, end and last_block, "the status named the block the device left on (%#x)" % address):
        took = end["ms"] - last_block[0]
        log(ctx, "from the block the device left on to \"%s\": %.0f ms" % (STATUS_LOST, took))
        check(ctx, took <= LOST_WITHIN_MS, "the loss is told within %d ms" % LOST_WITHIN_MS, "%.0f ms" % took)
    check(ctx, first["proc"].poll() is not None, "the simulated device has gone")
    check_no_box(ctx, "a lost connection")
    code, text = ui(ctx, "progress")
    check(ctx, text == "range 0 %d pos %d\n" % (image_blocks(ctx), gone_at - 1),
          "the bar keeps its place at the %d blocks acknowledged" % (gone_at - 1), repr(text))
    screenshot(ctx, "screenshot-lost.png")
    trace = trace_text(ctx)
    lost_lines = re.findall(r"Connection lost: error .*\n", trace)
    log(ctx, "trace: %r" % lost_lines)
    block_text = "PROG ADDR %#x, LEN 0x400, FROM %#x..." % (address, address - FLASH_BASE)
    # Under Wine a read on the orphaned line still succeeds empty; the block
    # goes again after its wait, and that write fails.
    check(ctx, trace.endswith(block_text + " - SENT - TIMEOUT\n" + block_text + "Connection lost: error 21, Not ready.\n"),
          "the trace ends: the block timed out, its resend failed with error 21, not claimed as sent",
          repr(trace[-300:]))
    report = bootsim_stop(ctx, first)
    frames = report.get("frames", [])
    check(ctx, frames and frames[-1].get("reply") == "unplugged" and report["flash"]["blocks_written"] == gone_at - 1,
          "the device stored %d blocks and left on the next" % (gone_at - 1), str(frames[-1:]))

    trace_length = len(trace)
    second = bootsim_start(ctx, 5, tag="second")
    press_update(ctx)
    wait_status(ctx, STATUS_DONE)
    check_no_box(ctx, "an update after the device came back")
    report = update_end(ctx, second)
    trace = trace_text(ctx)
    check(ctx, trace.count(open_line(5)) == 2, "the same port was opened again")
    check_clean_run(ctx, trace[trace_length:], report)


def list_read(ctx):
    """The port list's entries and the selected entry's index."""
    code, text = ui(ctx, "list")
    lines = text.splitlines()
    if not lines or not lines[-1].startswith("selected "):
        return [], None
    return lines[:-1], int(lines[-1].split()[1])


def announce(ctx, event, com, expected, selected, what):
    """Posts the arrival or removal of COM<com> as Windows would, then checks
    the list against expected and the selected entry's index."""
    before = list_read(ctx)
    code, text = ui(ctx, "device-change", event, "COM%d" % com)
    check(ctx, code == 0, "the dialog takes the announcement of COM%d's %s" % (com, event), repr(text))
    after = list_read(ctx)
    log(ctx, "list before %s of COM%d: %s; after: %s" % (event, com, before, after))
    check(ctx, after == (expected, selected), what, "%s" % (after,))


def case_ports_come_and_go(ctx):
    """The list follows announced arrivals and removals; the selection stays
    while its port is there, and the port of a run under way stays listed
    and selected, the run undisturbed. Numbers whose paths sort before the
    selected one's show that the selection follows the port, not the place."""
    com5, com10, com12 = ("\\\\.\\com%d" % n for n in (5, 10, 12))
    sim5 = bootsim_start(ctx, 5)
    installer_start(ctx)
    dialog_up(ctx, [com5])
    sim12 = bootsim_start(ctx, 12, ["--pace"])  # paced: the run lasts long enough to announce during it
    announce(ctx, "arrival", 12, [com12, com5], 1, "after COM12 arrived both are listed and com5 stays selected")
    bootsim_stop(ctx, sim5)
    port_link_set(ctx, 5, nodev(ctx))
    announce(ctx, "removal", 5, [com12], 0, "after COM5 went only com12 is listed, and selected")

    press_update(ctx)
    wait_address(ctx, FLASH_BASE + 16 * BLOCK_BYTES)
    # Windows's probe cannot open the port the tool holds; under Wine it
    # could, so the port is taken out of the probe's reach as it would be.
    port_link_set(ctx, 12, nodev(ctx))
    sim10 = bootsim_start(ctx, 10)
    announce(ctx, "arrival", 10, [com10, com12], 1,
             "during the run COM10 arrives: com12, held by the run, stays listed and selected")
    code, text = ui(ctx, "status")
    check(ctx, text.startswith("programming "), "the run was still writing after the announcement", repr(text))
    wait_status(ctx, STATUS_DONE)
    announce(ctx, "removal", 12, [com10], 0, "after the run, with com12 let go and out of reach, only com10 is listed")
    report = update_end(ctx, sim12)
    check_clean_run(ctx, trace_text(ctx), report, com=12)
    check(ctx, not bootsim_stop(ctx, sim10).get("frames"), "nothing reached the device on com10")


CASES = {
    "start-close": case_start_close,
    "clean": case_clean,
    "dropped-ack": case_dropped_ack,
    "corrupt-flash": case_corrupt_flash,
    "retry-after-failed": case_retry_after_failed,
    "port-absent": case_port_absent,
    "port-held": case_port_held,
    "ports-2-and-10": case_ports_2_and_10,
    "line-settings": case_line_settings,
    "progress-and-enter": case_progress_and_enter,
    "press-during-run": case_press_during_run,
    "lost-connection": case_lost_connection,
    "ports-come-and-go": case_ports_come_and_go,
}

CASES_WITHOUT_SYS_ADMIN = {"port-held"}


# ---------------------------------------------------------------- running one case

def case_cleanup(ctx):
    for job in ctx["background"]:
        process_end(job)
    process_end(ctx.get("installer"), grace_s=2, sig=signal.SIGKILL)
    if ctx.get("prefix"):
        wineserver_kill(ctx["prefix"])
    process_end(ctx.get("wineserver"))
    for sim in ctx["sims"]:
        process_end(sim["proc"], grace_s=10)
    process_end(ctx.get("xvfb"))
    for fd in ctx["fds"]:
        try:
            os.close(fd)
        except OSError:
            pass


def tree_inputs(root):
    """The inputs of a run as the two builds of the tree at root lay them out,
    with the Wine prefix template that the end-to-end suite makes."""
    return argparse.Namespace(
        template=os.path.join(root, "build", "host", "e2e", "template"),
        installer=os.path.join(root, "build", "win32", "installer.exe"),
        uidriver=os.path.join(root, "build", "win32", "tools", "uidriver", "uidriver.exe"),
        bootsim=os.path.join(root, "build", "host", "tools", "bootsim", "bootsim"),
        firmware=os.path.join(root, "installer", "resources", "firmware.bin"))


def missing_inputs(args):
    return [path for path in (args.installer, args.uidriver, args.bootsim, args.firmware)
            if not os.path.isfile(path)]


def tree_prepare(root, who, build, out, displays=None):
    """What a script that runs the tree's builds does first: scripts/build
    unless not asked to, its out directory, its own range of X displays if
    given, the prefix template up to date. The tree's inputs, or None once
    told on standard error why not."""
    global XVFB_DISPLAY_FIRST, XVFB_DISPLAY_LAST
    if build:
        subprocess.run([os.path.join(root, "scripts", "build")], check=True)
    os.makedirs(out, exist_ok=True)
    if displays:
        XVFB_DISPLAY_FIRST, XVFB_DISPLAY_LAST = displays
    inputs = tree_inputs(root)
    missing = missing_inputs(inputs)
    if missing:
        print("%s: missing %s (run scripts/build)" % (who, ", ".join(missing)), file=sys.stderr)
        return None
    if template_make(inputs.template) != E2E_EXIT_PASS:
        return None
    return inputs


def expect_write(path, firmware):
    """The padded image, written where bootsim --expect reads it; returned."""
    image = padded_image(firmware)
    with open(path, "wb") as f:
        f.write(image)
    return image


def preload_of(bootsim):
    """The line-setting recorder that the simulator reads the tool's requests from."""
    return subprocess.run([bootsim, "--print-preload"], capture_output=True, text=True, timeout=10).stdout.strip()


def out_keep(out):
    """The previous run's artefacts go to <out>.prev (an older one there is
    dropped), so a rerun starts empty and the last failure can still be read."""
    if not os.path.lexists(out):
        return
    wineserver_kill(os.path.join(out, "prefix"))
    previous = out + ".prev"
    shutil.rmtree(previous, ignore_errors=True)
    os.rename(out, previous)


def case_run(args):
    out = os.path.abspath(args.out)
    out_keep(out)
    os.makedirs(out)
    ctx = context_new(out, args)
    missing = missing_inputs(args)
    if missing:
        log(ctx, "missing: %s (build both builds first)" % ", ".join(missing))
        return E2E_EXIT_FAIL
    ctx["expect"] = os.path.join(out, "expect.bin")
    ctx["image"] = expect_write(ctx["expect"], args.firmware)
    ctx["termrec_log"] = os.path.join(out, "termrec.log")
    ctx["preload"] = preload_of(args.bootsim)
    deadline_arm(CASE_DEADLINE_S, "case")
    try:
        session_start(ctx, without_sys_admin=args.case in CASES_WITHOUT_SYS_ADMIN)
        CASES[args.case](ctx)
    except (CaseTimeout, RuntimeError, OSError, subprocess.SubprocessError) as error:
        check(ctx, False, "the case ran to its end", "%s: %s" % (type(error).__name__, error))
    finally:
        # Nothing may cut the cleanup short, or processes of the case outlive it.
        signal.alarm(0)
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
        case_cleanup(ctx)
    if ctx.get("err_path"):
        with open(ctx["err_path"], "rb") as f:
            errors = normalize_lines(f.read())
        check(ctx, errors == "", "the tool wrote nothing to standard error", repr(errors[:300]))
    failed = [what for ok, what in ctx["checks"] if not ok]
    if failed or not ctx["checks"]:
        verdict, code = "FAILED (%d of %d checks)" % (len(failed), len(ctx["checks"])), E2E_EXIT_FAIL
    else:
        verdict, code = "PASSED (%d checks)" % len(ctx["checks"]), E2E_EXIT_PASS
    log(ctx, "%s: %s in %.1f s; artefacts in %s" % (args.case, verdict, now_s() - ctx["t0"], out))
    with open(os.path.join(out, "result.txt"), "w") as f:
        f.write(verdict + "\n" + "".join("FAIL %s\n" % what for what in failed))
    return code


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    template = sub.add_parser("template", help="make the Wine prefix template once")
    template.add_argument("--template", required=True)
    run = sub.add_parser("run", help="run one case")
    run.add_argument("case", choices=sorted(CASES))
    for name in ("--template", "--out", "--installer", "--uidriver", "--bootsim", "--firmware"):
        run.add_argument(name, required=True)
    run.add_argument("--windows-version", choices=sorted(WINDOWS_VERSIONS),
                     help="the Windows version the prefix shows the tool (default: Wine's)")
    sub.add_parser("cases", help="list the cases")
    args = parser.parse_args()
    if args.command == "template":
        return template_make(os.path.abspath(args.template))
    if args.command == "cases":
        print("\n".join(CASES))
        return E2E_EXIT_PASS
    return case_run(args)


if __name__ == "__main__":
    sys.exit(main())
