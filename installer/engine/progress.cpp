#include "engine/progress.h"

#include "engine/sequencer.h"

int32_t progress_position(const modbus_transfer *t)
{
    // The image is a whole number of blocks, so once all are written the
    // offset is the image's size and the bar stays full through verifying,
    // restarting, success and a failed checksum. A run just pressed has
    // acknowledged nothing yet, whatever the run before it left.
    if (t->state == PROG_STATE_IDLE)
        return 0;
    return t->offset / MODBUS_PROG_BLOCKSIZE_MAX;
}

bool progress_bar_error(const modbus_transfer *t)
{
    // Both final states that are not success; opening the port for a new
    // run puts the state back to the start.
    return t->state == PROG_STATE_FAILED || t->state == PROG_STATE_LOST;
}

static bool state_final(uint32_t state)
{
    return state == PROG_STATE_DONE || state == PROG_STATE_FAILED || state == PROG_STATE_LOST;
}

bool run_flash_changing(const modbus_transfer *t, bool port_held)
{
    // Contact has written nothing yet, and once the checksums are compared
    // the flash holds either the whole image or a run that says "FAILED".
    return port_held && (t->state == PROG_STATE_WRITE || t->state == PROG_STATE_VERIFY);
}

bool run_keep_awake(const modbus_transfer *t, bool port_held)
{
    // A failed run keeps its port open with nothing more to do.
    return port_held && !state_final(t->state);
}

taskbar_view run_taskbar(const modbus_transfer *t, bool port_held)
{
    taskbar_view view = {TASKBAR_NONE, progress_position(t), t->image_size / MODBUS_PROG_BLOCKSIZE_MAX};
    if (progress_bar_error(t))
        view.state = TASKBAR_ERROR;
    else if (run_keep_awake(t, port_held))
        view.state = TASKBAR_NORMAL;
    return view;
}

bool run_end_flash(uint32_t before, uint32_t after, bool foreground)
{
    return !foreground && !state_final(before) && state_final(after);
}

bool run_status_announced(bool pressed, uint32_t before, uint32_t after)
{
    // Leaving the start state changes nothing on the status line; the ticks
    // after a run has ended leave the state as it was.
    return pressed || (after != before && after != PROG_STATE_START && after != PROG_STATE_RESET);
}
