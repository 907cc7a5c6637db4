#include "engine/progress.h"

#include "engine/sequencer.h"

int32_t progress_position(const modbus_transfer *t)
{
    // The image is a whole number of blocks, so once all are written the
    // offset is the image's size and the bar stays full through verifying,
    // restarting, success and a failed checksum.
    return t->offset / MODBUS_PROG_BLOCKSIZE_MAX;
}

bool progress_bar_error(const modbus_transfer *t)
{
    // Both final states that are not success; opening the port for a new
    // run puts the state back to the start.
    return t->state == PROG_STATE_FAILED || t->state == PROG_STATE_LOST;
}
