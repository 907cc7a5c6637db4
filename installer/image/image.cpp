#include "image/image.h"

#include <stdlib.h>
#include <string.h>

#include "report/report.h"

int32_t image_padded_size(int32_t resource_size)
{
    return ((resource_size - 1) / MODBUS_PROG_BLOCKSIZE_MAX + 1) * MODBUS_PROG_BLOCKSIZE_MAX;
}

int32_t image_place(modbus_transfer *t, const uint8_t *data, int32_t resource_size)
{
    int32_t image_size = image_padded_size(resource_size);
    // Zeroed, because the padding after the firmware is written and verified too.
    uint8_t *padded = static_cast<uint8_t *>(calloc(static_cast<size_t>(image_size), 1));
    if (padded == nullptr)
        return -1;
    memcpy(padded, data, static_cast<size_t>(resource_size));
    t->image = padded;
    t->image_size = image_size;
    t->flash_base = FLASH_IMAGE_BASE;
    trace("\nFlash Image Base %#x\n", t->flash_base);
    trace("Flash Image Size %#x bytes\n", static_cast<uint32_t>(t->image_size));
    return 0;
}
