#include "engine/frames.h"

#include <assert.h>
#include <string.h>

#include "report/report.h"

const uint16_t CRC16_INIT = 0xFFFF;
const uint16_t CRC16_POLY_REFLECTED = 0xA001;

struct crc16_table {
    uint16_t entry[256];
};

// The register after the bit-by-bit rule has shifted one byte through it:
// bit 0 set, shift right and XOR the reflected polynomial, else only shift.
// Worked out for every byte value when the program is compiled, so that the
// checksum of a block or of the image costs one look-up per byte.
constexpr crc16_table crc16_table_make()
{
    crc16_table table = {};
    for (uint32_t byte = 0; byte < 256; byte++) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc >> 1) ^ CRC16_POLY_REFLECTED : crc >> 1;
        table.entry[byte] = static_cast<uint16_t>(crc);
    }
    return table;
}

constexpr crc16_table CRC16_TABLE = crc16_table_make();

uint16_t crc16(const uint8_t *data, int32_t n)
{
    uint16_t crc = CRC16_INIT;
    for (int32_t i = 0; i < n; i++)
        crc = static_cast<uint16_t>((crc >> 8) ^ CRC16_TABLE.entry[(crc ^ data[i]) & 0xFF]);
    return crc;
}

uint16_t frame_crc(const modbus_transfer *t)
{
    return crc16(t->frame, t->len - FRAME_CRC_SIZE);
}

void frame_seal(modbus_transfer *t)
{
    uint16_t crc = frame_crc(t);
    // Modbus RTU sends its CRC low byte first, unlike the payload fields.
    t->frame[t->len - 2] = static_cast<uint8_t>(crc & 0xFF);
    t->frame[t->len - 1] = static_cast<uint8_t>(crc >> 8);
}

bool frame_valid(const modbus_transfer *t)
{
    if (t->len < FRAME_REPLY_LENGTH_MIN)
        return false;
    return frame_crc(t) == get_le16(t->frame + t->len - FRAME_CRC_SIZE);
}

static void put_header(modbus_transfer *t, uint8_t op)
{
    t->frame[0] = static_cast<uint8_t>(t->slave_address & 0xFF);
    t->frame[1] = MODBUS_FC_PROG;
    t->frame[2] = op;
}

void build_write_block(modbus_transfer *t, uint32_t address, int32_t block_length,
                       const uint8_t *local_memory_address)
{
    assert(local_memory_address!=0 && block_length>0 && block_length <= MODBUS_PROG_BLOCKSIZE_MAX);
    put_header(t, PROG_OP_WRITE);
    put_be32(t->frame + 3, address);
    put_be16(t->frame + 7, static_cast<uint32_t>(block_length));
    memcpy(t->frame + 9, local_memory_address, static_cast<size_t>(block_length));
    t->len = block_length + 11;
    assert(t->len <= MODBUS_FRAME_LENGTH_MAX);
    frame_seal(t);
}

void build_crc_query(modbus_transfer *t, uint32_t address, uint32_t length)
{
    put_header(t, PROG_OP_CRC);
    put_be32(t->frame + 3, address);
    put_be32(t->frame + 7, length);
    t->len = 13;
    frame_seal(t);
}

void build_reset(modbus_transfer *t)
{
    put_header(t, PROG_OP_RESET);
    t->len = 5;
    frame_seal(t);
}

void put_be16(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>((v >> 8) & 0xFF);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>((v >> 24) & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 16) & 0xFF);
    p[2] = static_cast<uint8_t>((v >> 8) & 0xFF);
    p[3] = static_cast<uint8_t>(v & 0xFF);
}

uint32_t get_be16(const uint8_t *p)
{
    return p[0] * 256u + p[1];
}

uint32_t get_le16(const uint8_t *p)
{
    return p[0] + p[1] * 256u;
}

void dump_rx(const modbus_transfer *t)
{
    trace("RX:");
    for (int32_t i = 0; i < t->len; i++)
        trace(" %02x", t->frame[i]);
    trace("\n");
}
