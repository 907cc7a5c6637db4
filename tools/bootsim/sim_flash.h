// The flash model of the simulated device: 512 KiB from 0x08001000, erased to
// 0xFF, with the bookkeeping the report needs (extent, block count, order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t FLASH_BASE_ADDRESS = 0x08001000;
constexpr uint32_t FLASH_SIZE_BYTES = 512u * 1024u;
constexpr uint8_t FLASH_ERASED_BYTE = 0xFF;
constexpr uint8_t FLASH_CORRUPT_XOR = 0xFF; // flips every bit of a corrupted byte

struct flash_model {
    std::vector<uint8_t> bytes;
    uint32_t extent_bytes;       // highest written image offset + 1
    int blocks_written;
    bool writes_in_order;        // each block follows the previous one (or repeats it)
    uint32_t previous_address;
    uint32_t previous_length;
    std::vector<uint32_t> corrupt_offsets; // image offsets to flip after each write
};

void flash_init(flash_model *flash);
bool flash_range_valid(uint32_t address, uint32_t length);
void flash_write(flash_model *flash, uint32_t address, const uint8_t *data, uint32_t length);
uint16_t flash_crc(const flash_model *flash, uint32_t address, uint32_t length);
uint16_t flash_extent_crc(const flash_model *flash);

struct flash_comparison {
    bool match;
    long first_diff; // image offset, -1 when none
};

flash_comparison flash_compare(const flash_model *flash, const std::vector<uint8_t> &expected);
