#include "engine/progress.h"

int32_t progress_position(const modbus_transfer *t)
{
    // The image is a whole number of blocks, so once all are written the
    // offset is the image's size and the bar stays full through verifying,
    // restarting, success and a failed checksum.
    return t->offset / MODBUS_PROG_BLOCKSIZE_MAX;
}
