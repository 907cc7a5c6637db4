#include "engine/link.h"

#include <stdlib.h>

// Static storage: every field is zero until the program or a run sets it.
modbus_transfer transfer;

int32_t link_init(modbus_transfer *t)
{
    t->rx_size = MODBUS_FRAME_LENGTH_MAX;
    t->slave_address = DEVICE_ADDRESS;
    t->baud_rate = LINK_BAUD_RATE;
    t->frame = static_cast<uint8_t *>(calloc(MODBUS_FRAME_LENGTH_MAX, 1));
    return t->frame == nullptr ? -1 : 0;
}
