"""The Wine prefix template that every session copies (wineboot takes about
15 s; a copy of hard links a fraction of a second).

    python3 -m harness.template DIR [WINE_ROOT]     (from tests/e2e; WINE_ROOT: / by default)
"""

import os
import pathlib
import shutil
import subprocess
import sys
import time

from .session import in_wine, run_bounded, wine_env, wineserver_kill

TEMPLATE_STAMP = ".e2e-template"


def template_make(template, wine_root="/"):
    """Makes the template unless there for the version of wine_root's Wine; whether it is there now."""
    version = subprocess.run(in_wine(wine_root, ["wine", "--version"]), capture_output=True, text=True).stdout.strip()
    stamp = os.path.join(template, TEMPLATE_STAMP)
    if os.path.exists(stamp) and pathlib.Path(stamp).read_text().strip() == version:
        print("template %s is up to date (%s)" % (template, version))
        return True
    work = template + ".new"
    wineserver_kill(work, wine_root)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.dirname(os.path.abspath(work)), exist_ok=True)
    env = wine_env(work)
    env["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no network: no Mono or Gecko installer
    started = time.monotonic()
    try:
        if run_bounded(in_wine(wine_root, ["wine", "wineboot", "-i"]), env=env, timeout=180) != 0:
            print("wineboot -i failed in %s" % work, file=sys.stderr)
            return False
        # Without a window manager Wine must draw the caption itself, or the
        # screenshots show a frameless dialog.
        run_bounded(in_wine(wine_root, ["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                                        "/t", "REG_SZ", "/d", "N", "/f"]), env=env)
        run_bounded(in_wine(wine_root, ["wineserver", "-w"]), env=env, timeout=60)
    finally:
        wineserver_kill(work, wine_root)
    pathlib.Path(work, TEMPLATE_STAMP).write_text(version + "\n")
    wineserver_kill(template, wine_root)
    shutil.rmtree(template, ignore_errors=True)
    os.rename(work, template)
    print("template %s made in %.1f s" % (template, time.monotonic() - started))
    return True


if __name__ == "__main__":
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    sys.exit(0 if template_make(os.path.abspath(sys.argv[1]), *sys.argv[2:]) else 1)
