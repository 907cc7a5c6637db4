#include "fake/crc_reference.h"

uint16_t reference_crc16(const uint8_t *data, size_t n)
{
    // Reflected polynomial 0x8005 (0xA001), initial value 0xFFFF, no final xor.
    uint32_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= data[i];
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xA001u : 0u);
    }
    return uint16_t(crc);
}
