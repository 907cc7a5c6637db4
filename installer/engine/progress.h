// What the dialog's progress bar shows of a run, worked out from the link
// record alone so that it can be checked without a window.
#pragma once

#include <stdint.h>

#include "engine/link.h"

// The bar counts blocks: its range is the image's blocks, its position the
// blocks the device has acknowledged in this run.
int32_t progress_position(const modbus_transfer *t);

// Whether the bar shows the error state: from the end of a run that failed
// until the next run starts. A run that succeeds never shows it.
bool progress_bar_error(const modbus_transfer *t);
