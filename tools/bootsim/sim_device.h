// The boot loader's side of the frames: how long a request is, what it asks,
// and the replies the device gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint8_t DEVICE_BUS_ADDRESS = 0x04;
constexpr uint8_t DEVICE_FC_PROG = 0x2B;
constexpr uint8_t DEVICE_OP_WRITE = 0xF5;
constexpr uint8_t DEVICE_OP_CRC = 0xF6;
constexpr uint8_t DEVICE_OP_RESET = 0xF7;

constexpr size_t REQUEST_HEADER_BYTES = 3;        // address, function, sub-code
constexpr size_t REQUEST_SUB_CODE_OFFSET = 2;     // byte offset of the sub-code
constexpr size_t REQUEST_ADDRESS_OFFSET = 3;      // byte offset of the flash address (4 bytes, BE)
constexpr size_t REQUEST_ADDRESS_BYTES = 4;
constexpr size_t REQUEST_LENGTH_OFFSET = 7;       // byte offset of the length (write: 2 bytes, CRC query: 4), BE
constexpr size_t REQUEST_CRC_LENGTH_BYTES = 4;
constexpr size_t REQUEST_WRITE_HEAD_BYTES = 9;    // header, address(4), length(2)
constexpr size_t REQUEST_WRITE_OVERHEAD_BYTES = 11; // head + CRC
constexpr size_t REQUEST_CRC_BYTES = 13;
constexpr size_t REQUEST_RESET_BYTES = 5;
constexpr size_t FRAME_CRC_BYTES = 2;
constexpr size_t REQUEST_BYTES_MAX = REQUEST_WRITE_OVERHEAD_BYTES + 0xFFFF;

enum request_op { OP_WRITE, OP_CRC, OP_RESET, OP_UNKNOWN };

struct request_info {
    request_op op;
    long long address;  // -1 when the frame holds none
    long long length;   // -1 when the frame holds none
    const char *verdict; // "ok", "bad-crc", "short", "out-of-range", "unknown-op"
};

// Bytes the request that begins the buffer will have, or 0 while that is not
// known yet or never will be (garbage: its end is found by line silence).
size_t request_expected_length(const std::vector<uint8_t> &buffer);
request_info request_classify(const uint8_t *frame, size_t count);
const char *request_op_name(request_op op);

std::vector<uint8_t> reply_write_ack(const uint8_t *request);
std::vector<uint8_t> reply_crc(uint32_t address, uint32_t length, uint16_t checksum);
std::vector<uint8_t> reply_reset();
void frame_seal(std::vector<uint8_t> *frame);
