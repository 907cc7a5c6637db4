// CRC-16/MODBUS written apart from the engine's, so that the unit tests and
// the fuzz targets compare the engine against the definition rather than
// against itself.
#pragma once

#include <stddef.h>
#include <stdint.h>

uint16_t reference_crc16(const uint8_t *data, size_t n);
