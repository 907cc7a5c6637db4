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
    return run_flash_changing(t, port_held);
}

// From the press until the run reaches a final state or lets go of its
// port; a failed run keeps its port open with nothing more to do.
static bool run_under_way(const modbus_transfer *t, bool port_held)
{
    return port_held && !state_final(t->state);
}

taskbar_view run_taskbar(const modbus_transfer *t, bool port_held)
{
    taskbar_view view = {TASKBAR_NONE, progress_position(t), t->image_size / MODBUS_PROG_BLOCKSIZE_MAX};
    if (progress_bar_error(t))
        view.state = TASKBAR_ERROR;
    else if (run_under_way(t, port_held))
        view.state = TASKBAR_NORMAL;
    return view;
}

bool run_end_flash(uint32_t before, uint32_t after, bool foreground)
{
    return !foreground && !state_final(before) && state_final(after);
}

uint32_t session_after_query(uint32_t session, bool agreed)
{
    return agreed ? SESSION_MAY_END : session;
}

uint32_t session_after_end(bool ending)
{
    return ending ? SESSION_ENDING : SESSION_GOES_ON;
}

bool run_step_held(const modbus_transfer *t, uint32_t session)
{
    if (session == SESSION_ENDING)
        return true;
    // Up to the last block's acknowledgement a step may send a block: the
    // contact's answer sends the first, each acknowledgement the next.
    bool blocks_to_come = t->state == PROG_STATE_IDLE || t->state == PROG_STATE_START ||
                          t->state == PROG_STATE_CONTACT || t->state == PROG_STATE_WRITE;
    return session == SESSION_MAY_END && blocks_to_come;
}

uint32_t run_port_removal(const modbus_transfer *t, bool port_held, int32_t held_number, int32_t removed_number)
{
    if (!port_held || held_number != removed_number)
        return REMOVAL_NONE;
    // A failed run's "FAILED" says more than a lost line would.
    return state_final(t->state) ? REMOVAL_RELEASE : REMOVAL_LOST;
}

bool run_status_announced(bool pressed, uint32_t before, uint32_t after)
{
    // Leaving the start state changes nothing on the status line; the ticks
    // after a run has ended leave the state as it was.
    return pressed || (after != before && after != PROG_STATE_START && after != PROG_STATE_RESET);
}
