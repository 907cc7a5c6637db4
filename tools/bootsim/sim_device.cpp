#include "sim_device.h"

#include "fake/crc_reference.h"
#include "sim_flash.h"

static uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

static uint16_t get_be16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

static void put_be32(std::vector<uint8_t> *frame, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        frame->push_back(static_cast<uint8_t>(value >> shift));
}

static bool header_is_prog(const uint8_t *frame, size_t count)
{
    if (count >= 1 && frame[0] != DEVICE_BUS_ADDRESS)
        return false;
    return count < 2 || frame[1] == DEVICE_FC_PROG;
}

static request_op op_of(uint8_t sub_code)
{
    switch (sub_code) {
    case DEVICE_OP_WRITE: return OP_WRITE;
    case DEVICE_OP_CRC: return OP_CRC;
    case DEVICE_OP_RESET: return OP_RESET;
    default: return OP_UNKNOWN;
    }
}

// Bytes a request of this kind has, or 0 while a write's length field has
// not arrived yet (or for an unknown kind).
static size_t expected_for(request_op op, const uint8_t *frame, size_t count)
{
    switch (op) {
    case OP_CRC: return REQUEST_CRC_BYTES;
    case OP_RESET: return REQUEST_RESET_BYTES;
    case OP_WRITE:
        return count < REQUEST_WRITE_HEAD_BYTES ? 0
                                                : REQUEST_WRITE_OVERHEAD_BYTES + get_be16(frame + REQUEST_LENGTH_OFFSET);
    default: return 0;
    }
}

size_t request_expected_length(const std::vector<uint8_t> &buffer)
{
    if (buffer.size() < REQUEST_HEADER_BYTES || !header_is_prog(buffer.data(), buffer.size()))
        return 0;
    return expected_for(op_of(buffer[REQUEST_SUB_CODE_OFFSET]), buffer.data(), buffer.size());
}

static bool crc_matches(const uint8_t *frame, size_t count)
{
    const uint16_t crc = reference_crc16(frame, count - FRAME_CRC_BYTES);
    const uint8_t *crc_bytes = frame + count - FRAME_CRC_BYTES; // low byte first
    const uint16_t sent = static_cast<uint16_t>(crc_bytes[0] | (crc_bytes[1] << 8));
    return crc == sent;
}

static void read_fields(request_info *info, const uint8_t *frame, size_t count)
{
    if (info->op != OP_WRITE && info->op != OP_CRC)
        return;
    if (count >= REQUEST_ADDRESS_OFFSET + REQUEST_ADDRESS_BYTES)
        info->address = get_be32(frame + REQUEST_ADDRESS_OFFSET);
    if (info->op == OP_WRITE && count >= REQUEST_WRITE_HEAD_BYTES)
        info->length = get_be16(frame + REQUEST_LENGTH_OFFSET);
    if (info->op == OP_CRC && count >= REQUEST_LENGTH_OFFSET + REQUEST_CRC_LENGTH_BYTES)
        info->length = get_be32(frame + REQUEST_LENGTH_OFFSET);
}

request_info request_classify(const uint8_t *frame, size_t count)
{
    request_info info{OP_UNKNOWN, -1, -1, "unknown-op"};
    if (!header_is_prog(frame, count))
        return info;
    if (count < REQUEST_HEADER_BYTES) {
        info.verdict = "short";
        return info;
    }
    info.op = op_of(frame[REQUEST_SUB_CODE_OFFSET]);
    if (info.op == OP_UNKNOWN)
        return info;
    read_fields(&info, frame, count);
    const size_t expected = expected_for(info.op, frame, count);
    if (expected == 0 || count < expected) {
        info.verdict = "short";
        return info;
    }
    if (count != expected || !crc_matches(frame, count)) {
        info.verdict = "bad-crc";
        return info;
    }
    const bool ranged = info.op == OP_WRITE || info.op == OP_CRC;
    if (ranged && !flash_range_valid(static_cast<uint32_t>(info.address), static_cast<uint32_t>(info.length))) {
        info.verdict = "out-of-range";
        return info;
    }
    info.verdict = "ok";
    return info;
}

const char *request_op_name(request_op op)
{
    switch (op) {
    case OP_WRITE: return "write";
    case OP_CRC: return "crc";
    case OP_RESET: return "reset";
    default: return "unknown";
    }
}

void frame_seal(std::vector<uint8_t> *frame)
{
    const uint16_t crc = reference_crc16(frame->data(), frame->size());
    frame->push_back(static_cast<uint8_t>(crc & 0xFF));
    frame->push_back(static_cast<uint8_t>(crc >> 8));
}

std::vector<uint8_t> reply_write_ack(const uint8_t *request)
{
    std::vector<uint8_t> reply(request, request + REQUEST_WRITE_HEAD_BYTES);
    frame_seal(&reply);
    return reply;
}

std::vector<uint8_t> reply_crc(uint32_t address, uint32_t length, uint16_t checksum)
{
    std::vector<uint8_t> reply{DEVICE_BUS_ADDRESS, DEVICE_FC_PROG, DEVICE_OP_CRC};
    put_be32(&reply, address);
    put_be32(&reply, length);
    reply.push_back(static_cast<uint8_t>(checksum >> 8));
    reply.push_back(static_cast<uint8_t>(checksum & 0xFF));
    frame_seal(&reply);
    return reply;
}

std::vector<uint8_t> reply_reset()
{
    std::vector<uint8_t> reply{DEVICE_BUS_ADDRESS, DEVICE_FC_PROG, DEVICE_OP_RESET};
    frame_seal(&reply);
    return reply;
}
