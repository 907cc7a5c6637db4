// The firmware image the tool carries, padded to whole blocks.
#pragma once

#include <stdint.h>

#include "engine/link.h"

// Length of an image of resource_size bytes rounded up to whole blocks.
int32_t image_padded_size(int32_t resource_size);

// Gives t a zero-padded copy of the resource_size bytes at data, with its
// flash address, and traces both. Returns -1, leaving t alone, when the copy
// cannot be allocated.
int32_t image_place(modbus_transfer *t, const uint8_t *data, int32_t resource_size);

// Loads the "BINFILE" resource into t (Windows only).
void load_image(modbus_transfer *t);
