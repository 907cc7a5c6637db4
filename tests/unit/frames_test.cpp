#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>

#include "engine/frames.h"
#include "fake/fake_platform.h"
#include "unit/rows.h"

namespace {

// The one record the tests build frames in, as link_init leaves it.
modbus_transfer *record_fresh()
{
    static modbus_transfer t;
    free(t.frame);
    t = modbus_transfer();
    EXPECT_EQ(link_init(&t), 0);
    return &t;
}

bytes from_hex(const char *text)
{
    bytes out;
    for (char *end; *text != '\0'; text = end)
        out.push_back(uint8_t(strtoul(text, &end, 16)));
    return out;
}

void load_reply(modbus_transfer *t, const bytes &reply)
{
    std::copy(reply.begin(), reply.end(), t->frame);
    t->len = int32_t(reply.size());
}

TEST(Crc16, CheckValueEmptyInputAndAllByteValues)
{
    const uint8_t digits[] = "123456789";
    EXPECT_EQ(crc16(digits, 9), 0x4B37);
    EXPECT_EQ(crc16(digits, 0), 0xFFFF);
    EXPECT_EQ(crc16(digits, -5), 0xFFFF);
    bytes all(4096); // and over all byte values, as an independent computation has it
    for (size_t i = 0; i < all.size(); i++)
        all[i] = uint8_t(i * 7 + (i >> 8));
    EXPECT_EQ(crc16(all.data(), int32_t(all.size())), reference_crc16(all.data(), all.size()));
}

// Requests as the boot loader takes them, byte for byte: the fields high
// byte first, the CRC low byte first, the slave address's low byte alone.
struct request_case {
    const char *name;
    uint8_t op;
    uint32_t slave_address;
    uint32_t address;
    int32_t length;     // bytes asked a CRC of, or written
    const char *header; // the frame up to its data or CRC
};

const request_case REQUESTS[] = {
    {"RestartRequestIsExact", PROG_OP_RESET, DEVICE_ADDRESS, 0, 0, "04 2B F7"},
    {"SlaveAddressUsesItsLowByte", PROG_OP_RESET, 0x1207, 0, 0, "07 2B F7"},
    {"ContactQueryIsExact", PROG_OP_CRC, DEVICE_ADDRESS, FLASH_IMAGE_BASE, 4, "04 2B F6 08 00 10 00 00 00 00 04"},
    {"CrcQueryFieldsAreBigEndian", PROG_OP_CRC, DEVICE_ADDRESS, 0x08001000, 0x1B400,
     "04 2B F6 08 00 10 00 00 01 B4 00"},
    {"FullWriteBlock", PROG_OP_WRITE, DEVICE_ADDRESS, 0x0801B000, MODBUS_PROG_BLOCKSIZE_MAX,
     "04 2B F5 08 01 B0 00 04 00"},
    {"ShortWriteBlockCarriesOnlyItsData", PROG_OP_WRITE, DEVICE_ADDRESS, 0x08001000, 3, "04 2B F5 08 00 10 00 00 03"},
};

void request_is_exact(const request_case &c)
{
    modbus_transfer *t = record_fresh();
    t->slave_address = c.slave_address;
    bytes data(size_t(c.op == PROG_OP_WRITE ? c.length : 0));
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(255 - i % 251);
    if (c.op == PROG_OP_RESET)
        build_reset(t);
    else if (c.op == PROG_OP_CRC)
        build_crc_query(t, c.address, uint32_t(c.length));
    else
        build_write_block(t, c.address, c.length, data.data());
    bytes expected = from_hex(c.header);
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(bytes(t->frame, t->frame + t->len), fake_sealed(expected));
}

const bool requests = test_rows("Frames", REQUESTS, request_is_exact);

TEST(FramesDeathTest, WriteBlockAssertionsHoldInEveryBuild)
{
    modbus_transfer *t = record_fresh();
    uint8_t data[MODBUS_PROG_BLOCKSIZE_MAX + 1] = {};
    EXPECT_DEATH(build_write_block(t, 0, MODBUS_PROG_BLOCKSIZE_MAX + 1, data),
                 "local_memory_address!=0 && block_length>0 && block_length <= MODBUS_PROG_BLOCKSIZE_MAX");
    EXPECT_DEATH(build_write_block(t, 0, 0, data), "block_length>0");
    EXPECT_DEATH(build_write_block(t, 0, 16, nullptr), "local_memory_address!=0");
}

TEST(Frames, ReplyValidity)
{
    bytes four = fake_sealed({0x04, 0x2B});
    bytes bad = fake_sealed({0x04, 0x2B, 0xF5});
    bad[1] ^= 0x01;
    const struct {
        const char *name;
        bytes reply;
        bool valid;
    } cases[] = {
        {"empty", {}, false},
        {"one byte", {0x04}, false},
        {"three bytes whose tail is the CRC of the first", fake_sealed({0x04}), false},
        {"four bytes, sealed", four, true},
        {"four bytes, CRC high byte wrong", {four[0], four[1], four[2], uint8_t(four[3] ^ 1)}, false},
        {"CRC stored high byte first", {four[0], four[1], four[3], four[2]}, four[2] == four[3]},
        {"restart reply", {0x04, 0x2B, 0xF7, 0x6F, 0x77}, true},
        {"corrupted payload", bad, false},
        {"any address and code", fake_sealed({0x99, 0x01, 0x02, 0x03}), true},
    };
    for (const auto &c : cases) {
        modbus_transfer *t = record_fresh();
        load_reply(t, c.reply);
        EXPECT_EQ(frame_valid(t), c.valid) << c.name;
        EXPECT_EQ(t->len, int32_t(c.reply.size())) << c.name << ": the check changed the record";
    }
}

TEST(ByteOrder, Helpers)
{
    uint8_t p[4] = {};
    put_be16(p, 0xABCD);
    EXPECT_EQ(bytes(p, p + 2), from_hex("AB CD"));
    put_be16(p, 0x12345);
    EXPECT_EQ(bytes(p, p + 2), from_hex("23 45"));
    put_be32(p, 0x08001400);
    EXPECT_EQ(bytes(p, p + 4), from_hex("08 00 14 00"));
    EXPECT_EQ(get_be16(p), 0x0800u);
    EXPECT_EQ(get_le16(p), 0x0008u);
    const uint8_t high[2] = {0xFF, 0xFE};
    EXPECT_EQ(get_be16(high), 0xFFFEu);
    EXPECT_EQ(get_le16(high), 0xFEFFu);
}

TEST(Frames, DumpRxLine)
{
    modbus_transfer *t = record_fresh();
    load_reply(t, {0x04, 0x2B, 0xF7, 0x6F, 0x77});
    EXPECT_EQ(traced([&] { dump_rx(t); }), "RX: 04 2b f7 6f 77\n");
}

} // namespace
