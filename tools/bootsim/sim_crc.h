// CRC-16/MODBUS of the simulated boot loader. Written independently of the
// installer's own checksum on purpose: the simulator must catch its mistakes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint16_t CRC_MODBUS_INIT = 0xFFFF;
constexpr uint16_t CRC_MODBUS_POLY_REFLECTED = 0xA001;

uint16_t sim_crc16(const uint8_t *data, size_t count);
