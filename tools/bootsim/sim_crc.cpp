#include "sim_crc.h"

#include <climits>

uint16_t sim_crc16(const uint8_t *data, size_t count)
{
    uint16_t crc = CRC_MODBUS_INIT;
    for (size_t i = 0; i < count; i++) {
        crc = static_cast<uint16_t>(crc ^ data[i]);
        for (int bit = 0; bit < CHAR_BIT; bit++) {
            const bool carry = (crc & 1u) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (carry)
                crc = static_cast<uint16_t>(crc ^ CRC_MODBUS_POLY_REFLECTED);
        }
    }
    return crc;
}
