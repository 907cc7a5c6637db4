#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>

#include "engine/frames.h"
#include "fake/fake_platform.h"

namespace {

struct frame_record {
    uint8_t buffer[MODBUS_FRAME_LENGTH_MAX];
    modbus_transfer t;
};

// The one record the tests build frames in, cleared for each.
frame_record &record_fresh()
{
    static frame_record r;
    memset(&r, 0, sizeof r);
    r.t.frame = r.buffer;
    r.t.rx_size = MODBUS_FRAME_LENGTH_MAX;
    r.t.slave_address = DEVICE_ADDRESS;
    return r;
}

bytes frame_bytes(const modbus_transfer *t)
{
    return bytes(t->frame, t->frame + t->len);
}

void load_reply(frame_record *r, const bytes &reply)
{
    std::copy(reply.begin(), reply.end(), r->buffer);
    r->t.len = int32_t(reply.size());
}

TEST(Crc16, CheckValueAndEmptyInput)
{
    const char *digits = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t *>(digits), 9), 0x4B37);
    uint8_t none = 0;
    EXPECT_EQ(crc16(&none, 0), 0xFFFF);
    EXPECT_EQ(crc16(&none, -5), 0xFFFF);
}

TEST(Crc16, AgreesWithIndependentComputationOverAllByteValues)
{
    bytes all(4096);
    for (size_t i = 0; i < all.size(); i++)
        all[i] = uint8_t(i * 7 + (i >> 8));
    EXPECT_EQ(crc16(all.data(), int32_t(all.size())), reference_crc16(all.data(), all.size()));
}

TEST(Frames, RestartRequestIsExact)
{
    frame_record &r = record_fresh();
    build_reset(&r.t);
    EXPECT_EQ(fake_hex(frame_bytes(&r.t)), "04 2B F7 6F 77");
}

TEST(Frames, ContactQueryIsExact)
{
    frame_record &r = record_fresh();
    build_crc_query(&r.t, FLASH_IMAGE_BASE, 4);
    EXPECT_EQ(fake_hex(frame_bytes(&r.t)), "04 2B F6 08 00 10 00 00 00 00 04 4E 0A");
}

TEST(Frames, CrcQueryFieldsAreBigEndian)
{
    frame_record &r = record_fresh();
    build_crc_query(&r.t, 0x08001000, 0x1B400);
    bytes f = frame_bytes(&r.t);
    ASSERT_EQ(f.size(), 13u);
    EXPECT_EQ(fake_hex(bytes(f.begin(), f.begin() + 11)), "04 2B F6 08 00 10 00 00 01 B4 00");
    EXPECT_EQ(fake_hex(f), fake_hex(fake_sealed(bytes(f.begin(), f.begin() + 11))));
}

TEST(Frames, FullWriteBlock)
{
    frame_record &r = record_fresh();
    uint8_t data[MODBUS_PROG_BLOCKSIZE_MAX];
    for (int i = 0; i < MODBUS_PROG_BLOCKSIZE_MAX; i++)
        data[i] = uint8_t(255 - i % 251);
    build_write_block(&r.t, 0x0801B000, MODBUS_PROG_BLOCKSIZE_MAX, data);
    bytes f = frame_bytes(&r.t);
    ASSERT_EQ(f.size(), 1035u);
    EXPECT_EQ(fake_hex(bytes(f.begin(), f.begin() + 9)), "04 2B F5 08 01 B0 00 04 00");
    EXPECT_EQ(memcmp(f.data() + 9, data, sizeof data), 0);
    uint16_t expected = reference_crc16(f.data(), 1033);
    EXPECT_EQ(f[1033], expected & 0xFF);
    EXPECT_EQ(f[1034], expected >> 8);
}

TEST(Frames, ShortWriteBlockCarriesOnlyItsData)
{
    frame_record &r = record_fresh();
    const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
    build_write_block(&r.t, 0x08001000, 3, data);
    EXPECT_EQ(fake_hex(frame_bytes(&r.t)),
              fake_hex(fake_sealed({0x04, 0x2B, 0xF5, 0x08, 0x00, 0x10, 0x00, 0x00, 0x03, 0xAA, 0xBB, 0xCC})));
}

TEST(Frames, SlaveAddressUsesItsLowByte)
{
    frame_record &r = record_fresh();
    r.t.slave_address = 0x1207;
    build_reset(&r.t);
    EXPECT_EQ(r.t.frame[0], 0x07);
}

TEST(FramesDeathTest, WriteBlockAssertionsHoldInEveryBuild)
{
    frame_record &r = record_fresh();
    uint8_t data[MODBUS_PROG_BLOCKSIZE_MAX + 1] = {};
    EXPECT_DEATH(build_write_block(&r.t, 0, MODBUS_PROG_BLOCKSIZE_MAX + 1, data),
                 "local_memory_address!=0 && block_length>0 && block_length <= MODBUS_PROG_BLOCKSIZE_MAX");
    EXPECT_DEATH(build_write_block(&r.t, 0, 0, data), "block_length>0");
    EXPECT_DEATH(build_write_block(&r.t, 0, 16, nullptr), "local_memory_address!=0");
}

struct validity_case {
    const char *name;
    bytes reply;
    bool valid;
};

TEST(Frames, ReplyValidity)
{
    bytes four = fake_sealed({0x04, 0x2B});
    bytes bad = fake_sealed({0x04, 0x2B, 0xF5});
    bad[1] ^= 0x01;
    const validity_case cases[] = {
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
    for (const validity_case &c : cases) {
        frame_record &r = record_fresh();
        load_reply(&r, c.reply);
        EXPECT_EQ(frame_valid(&r.t), c.valid) << c.name;
        EXPECT_EQ(r.t.len, int32_t(c.reply.size())) << c.name << ": the check changed the record";
    }
}

TEST(ByteOrder, Helpers)
{
    uint8_t p[4] = {};
    put_be16(p, 0xABCD);
    EXPECT_EQ(fake_hex(bytes(p, p + 2)), "AB CD");
    put_be16(p, 0x12345);
    EXPECT_EQ(fake_hex(bytes(p, p + 2)), "23 45");
    put_be32(p, 0x08001400);
    EXPECT_EQ(fake_hex(bytes(p, p + 4)), "08 00 14 00");
    EXPECT_EQ(get_be16(p), 0x0800u);
    EXPECT_EQ(get_le16(p), 0x0008u);
    const uint8_t high[2] = {0xFF, 0xFE};
    EXPECT_EQ(get_be16(high), 0xFFFEu);
    EXPECT_EQ(get_le16(high), 0xFEFFu);
}

TEST(Frames, DumpRxLine)
{
    frame_record &r = record_fresh();
    load_reply(&r, {0x04, 0x2B, 0xF7, 0x6F, 0x77});
    testing::internal::CaptureStdout();
    dump_rx(&r.t);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "RX: 04 2b f7 6f 77\n");
}

} // namespace
