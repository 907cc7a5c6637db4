"""One firmware update, start to finish, told as a person would want to hear
it; scripts/demo builds first, then runs this.

    python3 tests/e2e/demo.py ROOT DEMO_DIR
"""

import contextlib
import dataclasses
import io
import os
import subprocess
import sys
import time

import harness

DEMO_COM = 5
DEMO_PORT = "\\\\.\\com%d" % DEMO_COM
DEMO_RUN_LIMIT_MS = 120000     # a paced update takes about 15 s
DEMO_DURING_SHOT_S = 6         # into the run, when about half the blocks are written


def say(text):
    print("demo: " + text, file=sys.stderr, flush=True)


def embedded_firmware(root, inputs):
    """The inputs with the image build/win32 embeds in place of the stand-in, so that the device's
    flash is judged against what the tool carries, and what to say of that firmware."""
    embed = os.path.join(root, "build", "win32", "installer", "embed")
    with open(os.path.join(embed, "firmware_identity.txt")) as f:
        ident = dict(line.rstrip("\n").split(" ", 1) for line in f if " " in line)
    image = os.path.join(embed, "embedded_firmware.bin")
    with open(image, "rb") as f, open(inputs.firmware, "rb") as g:
        stand_in = f.read() == g.read()
    carried = "%s, %s bytes, CRC-16 %s, %s" % (
        ident.get("name"), ident.get("size"), ident.get("crc16"),
        "the stand-in image" if stand_in else "NOT the stand-in (INSTALLER_FIRMWARE of build/win32)")
    return dataclasses.replace(inputs, firmware=image), carried


def screenshot_take(s, name):
    """The dialog's window on the user's display, the whole screen on ours."""
    windows = None if s.xvfb else s.xdotool("search", "--name", harness.DIALOG_CAPTION)
    if not s.screenshot(name, windows[0] if windows else "root"):
        say("the screenshot failed")


def outcome_print(s, carried, samples, sim):
    """A person's account of the run, from the watch and what the device saw;
    whether the flash verified and the device was told to restart."""
    final = samples[-1].status if samples else "(none seen)"
    started = next((x.t for x in samples if x.status != samples[0].status), None)
    line, blocks, matches = sim.line, sim.blocks_written, sim.written() == s.image
    verified = final == harness.STATUS_DONE and matches and sim.restarts
    print("\nOutcome of the update")
    for label, text in (
            ("firmware carried", carried), ("tool's final status", final),
            ("device (simulated)", "%s block%s written%s, flash %s the image (CRC-16 0x%04x), restart %s" % (
                blocks, "" if blocks == 1 else "s", " in order" if sim.writes_in_order else " OUT OF ORDER",
                "matches" if matches else "DOES NOT MATCH", harness.crc16_modbus(sim.written()),
                "requested" if sim.restarts else "NOT requested")),
            ("line settings", "%s baud, %s data bits, %s parity, %s stop bit: %s" % (line["baud"], line["data_bits"],
                line["parity"], line["stop_bits"], "right" if line["ok"] else "WRONG")),
            ("update took", "%.1f s from the button press to the final status" % ((samples[-1].t - started) / 1000)
             if started is not None else "unknown"),
            ("trace log", s.trace_path), ("screenshots", os.path.join(s.out, "screenshot.png") + " (at the end)"),
            ("", os.path.join(s.out, "screenshot-during.png") + " (during the update)"),
            ("simulator report", s.sims[sim]), ("verdict", "VERIFIED" if verified else "NOT VERIFIED")):
        print("  %-22s %s" % (label + ":" if label else "", text))
    return bool(verified)


def main(root, demo_dir):
    with contextlib.redirect_stdout(io.StringIO()):  # the template's state is no news here
        inputs = harness.prepare(root, "demo", build=False)
    if inputs is None:
        return 1
    inputs, carried = embedded_firmware(root, inputs)
    display = os.environ.get("DISPLAY")  # the user's display, when it answers
    display = display if display and harness.run_bounded(["xdpyinfo"], timeout=5) == 0 else None
    try:
        with harness.Session(demo_dir, inputs, display=display, echo=False) as s:
            s.start()
            say("showing the tool on your display %s" % display if display
                else "no display of yours: showing the tool on a virtual one, %s" % s.display)
            sim = s.sim_start(DEMO_COM, pace=True, tag="")
            say("device simulated on %s (%s), paced at 115200 baud" % (DEMO_PORT, sim.slave))
            s.tool_start([DEMO_PORT])
            say("pressing \"Update Orvex 2.0\"")
            # The watch sees the whole run; part-way through the blocks of a
            # paced run, a picture of the bar.
            samples = s.watch(lambda: (s.press(), time.sleep(DEMO_DURING_SHOT_S),
                                       screenshot_take(s, "screenshot-during.png")), DEMO_RUN_LIMIT_MS)
            screenshot_take(s, "screenshot.png")
            s.close_dialog(0)
            s.sim_stop(sim)
    except (RuntimeError, OSError, subprocess.SubprocessError) as error:
        say("%s; its steps are in %s" % (error, os.path.join(demo_dir, "e2e.log")))
        return 1
    return 0 if outcome_print(s, carried, samples, sim) else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
