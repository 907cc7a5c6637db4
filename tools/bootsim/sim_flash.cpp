#include "sim_flash.h"

#include "fake/crc_reference.h"

void flash_init(flash_model *flash)
{
    flash->bytes.assign(FLASH_SIZE_BYTES, FLASH_ERASED_BYTE);
    flash->extent_bytes = 0;
    flash->blocks_written = 0;
    flash->writes_in_order = true;
    flash->previous_address = 0;
    flash->previous_length = 0;
}

bool flash_range_valid(uint32_t address, uint32_t length)
{
    if (address < FLASH_BASE_ADDRESS)
        return false;
    const uint64_t offset = address - FLASH_BASE_ADDRESS;
    return offset + length <= FLASH_SIZE_BYTES;
}

static bool flash_block_follows(const flash_model *flash, uint32_t address, uint32_t length)
{
    if (flash->blocks_written == 0)
        return address == FLASH_BASE_ADDRESS;
    const bool repeat = address == flash->previous_address && length == flash->previous_length;
    const bool next = address == flash->previous_address + flash->previous_length;
    return repeat || next;
}

static void flash_apply_corruption(flash_model *flash, uint32_t offset, uint32_t length)
{
    for (uint32_t target : flash->corrupt_offsets) {
        if (target >= offset && target - offset < length)
            flash->bytes[target] = static_cast<uint8_t>(flash->bytes[target] ^ FLASH_CORRUPT_XOR);
    }
}

void flash_write(flash_model *flash, uint32_t address, const uint8_t *data, uint32_t length)
{
    const uint32_t offset = address - FLASH_BASE_ADDRESS;
    if (!flash_block_follows(flash, address, length))
        flash->writes_in_order = false;
    for (uint32_t i = 0; i < length; i++)
        flash->bytes[offset + i] = data[i];
    flash_apply_corruption(flash, offset, length);
    if (length > 0 && offset + length > flash->extent_bytes)
        flash->extent_bytes = offset + length;
    flash->blocks_written++;
    flash->previous_address = address;
    flash->previous_length = length;
}

uint16_t flash_crc(const flash_model *flash, uint32_t address, uint32_t length)
{
    return reference_crc16(flash->bytes.data() + (address - FLASH_BASE_ADDRESS), length);
}

uint16_t flash_extent_crc(const flash_model *flash)
{
    return reference_crc16(flash->bytes.data(), flash->extent_bytes);
}

flash_comparison flash_compare(const flash_model *flash, const std::vector<uint8_t> &expected)
{
    flash_comparison result{true, -1};
    const size_t limit = expected.size() < flash->bytes.size() ? expected.size() : flash->bytes.size();
    for (size_t i = 0; i < limit; i++) {
        if (flash->bytes[i] != expected[i]) {
            result.match = false;
            result.first_diff = static_cast<long>(i);
            return result;
        }
    }
    // Bytes written past the end of the expected image are a difference too.
    if (expected.size() > flash->bytes.size() || flash->extent_bytes > expected.size()) {
        result.match = false;
        result.first_diff = static_cast<long>(limit);
    }
    return result;
}
