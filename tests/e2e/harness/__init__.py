"""The end-to-end harness: a Session runs the real tool under Wine and Xvfb against simulated
devices, worked through its dialog by uidriver; protocol: what the scripts know of the frames."""

import os
import subprocess
import sys

from .protocol import (BLOCK_BYTES, BYTE_MS, FLASH_BASE, REPLY_BYTES, REQUEST_BYTES, block_addresses, block_index,
                       crc16_modbus, padded_image)
from .session import (DIALOG_CAPTION, RUN_STATUSES, STATUS_DONE, STATUS_FAILED, STATUS_IDLE, STATUS_NO_PORT,
                      Inputs, Session, com_without_fallback, fresh_out, process_end, run_bounded)
from .template import template_make


def prepare(root, who, build=True):
    """A script's first steps: scripts/build unless told not to, the prefix template up to date.
    The tree's inputs, or None once told on standard error why not."""
    if build:
        subprocess.run([os.path.join(root, "scripts", "build")], check=True)
    inputs = Inputs.of_tree(root)
    missing = inputs.missing()
    if missing:
        print("%s: missing %s (run scripts/build)" % (who, ", ".join(missing)), file=sys.stderr)
        return None
    return inputs if template_make(inputs.template) else None
