#include "fake/fake_platform.h"

#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>

#include <algorithm>

#include "engine/frames.h"
#include "engine/platform.h"

fake_line fake;

namespace {

const uint8_t FAKE_CORRUPTION = 0x5A; // bits flipped in a corrupted flash byte

// Around the seam's calls that allocate while the engine runs.
struct guard {
    guard() { fake.alloc_guard++; }
    ~guard() { fake.alloc_guard--; }
};

bytes device_answer(const bytes &req)
{
    if (req.size() < 5 || reference_crc16(req.data(), req.size() - 2) != (req[req.size() - 2] | (req[req.size() - 1] << 8)))
        return {};
    switch (req[2]) {
    case PROG_OP_WRITE: {
        uint32_t address = fake_be32(req, 3);
        size_t n = (size_t(req[7]) << 8) | req[8];
        if (req.size() != n + 11 || address < FAKE_FLASH_BASE || address - FAKE_FLASH_BASE + n > FAKE_FLASH_SIZE)
            return {};
        uint32_t at = address - FAKE_FLASH_BASE;
        std::copy(req.begin() + 9, req.begin() + 9 + long(n), fake.flash.begin() + at);
        if (fake.corrupt_flash_at >= 0 && uint32_t(fake.corrupt_flash_at) >= at && uint32_t(fake.corrupt_flash_at) < at + n)
            fake.flash[size_t(fake.corrupt_flash_at)] ^= FAKE_CORRUPTION;
        return fake_sealed(bytes(req.begin(), req.begin() + 9));
    }
    case PROG_OP_CRC: {
        uint32_t address = fake_be32(req, 3);
        uint32_t length = fake_be32(req, 7);
        if (address < FAKE_FLASH_BASE || address - FAKE_FLASH_BASE + length > FAKE_FLASH_SIZE)
            return {};
        uint16_t crc = reference_crc16(fake.flash.data() + (address - FAKE_FLASH_BASE), length);
        bytes reply(req.begin(), req.begin() + 11);
        reply.insert(reply.end(), {uint8_t(crc >> 8), uint8_t(crc & 0xFF)}); // the checksum high byte first
        return fake_sealed(reply);
    }
    case PROG_OP_RESET:
        return fake_sealed({req[0], req[1], req[2]});
    default:
        return {};
    }
}

void device_receive(const bytes &req)
{
    int index = fake.requests++;
    bytes reply = device_answer(req);
    if (reply.empty())
        return;
    uint32_t delay = fake.reply_delay_ms;
    auto fault = fake.faults.find(index);
    if (fault != fake.faults.end()) {
        switch (fault->second.kind) {
        case FAKE_DROP:
            return;
        case FAKE_LATE:
            delay = fault->second.delay_ms;
            break;
        case FAKE_BAD_CRC:
            reply.back() ^= 0xFF;
            break;
        case FAKE_TWICE:
            fake_arrive(fault->second.delay_ms, reply);
            break;
        case FAKE_OTHER:
            reply = fault->second.other;
            break;
        }
    }
    fake_arrive(delay, reply);
}

} // namespace

void fake_reset(uint32_t start_ms, int32_t (*reader)(uint8_t *buffer, int32_t n))
{
    fake = fake_line(); // everything empty, false or 0 but for these
    fake.now_ms = start_ms;
    fake.reader = reader;
    fake.device_on = reader == nullptr;
    fake.reply_delay_ms = 5;
    fake.flash.assign(reader == nullptr ? FAKE_FLASH_SIZE : 0, 0xFF);
    fake.corrupt_flash_at = -1;
}

void fake_arrive(uint32_t delay_ms, const bytes &data)
{
    fake_chunk chunk{fake.now_ms + delay_ms, data};
    auto later = std::find_if(fake.incoming.begin(), fake.incoming.end(),
                              [&](const fake_chunk &c) { return int32_t(c.at_ms - chunk.at_ms) > 0; });
    fake.incoming.insert(later, chunk);
}

uint32_t fake_be32(const bytes &f, size_t at)
{
    return (uint32_t(f[at]) << 24) | (uint32_t(f[at + 1]) << 16) | (uint32_t(f[at + 2]) << 8) | f[at + 3];
}

bytes fake_sealed(bytes frame)
{
    uint16_t crc = reference_crc16(frame.data(), frame.size());
    frame.push_back(uint8_t(crc & 0xFF));
    frame.push_back(uint8_t(crc >> 8));
    return frame;
}

int32_t port_write(port_handle, const uint8_t *data, int32_t n)
{
    guard g;
    fake.calls += fake.writes_fail ? 'W' : 'w';
    fake.unflushed.push_back(__fpending(stdout));
    if (fake.writes_fail)
        return PORT_CALL_FAILED;
    if (fake.reader != nullptr)
        return n;
    bytes req(data, data + n);
    fake.written.push_back(req);
    fake.written_at.push_back(fake.now_ms);
    if (fake.device_on)
        device_receive(req);
    return n;
}

// What a read gets of the bytes that have arrived, and the time it takes.
static int32_t line_read(uint8_t *buffer, int32_t n)
{
    uint32_t start = fake.now_ms;
    if (fake.incoming.empty() || int32_t(fake.incoming.front().at_ms - (start + FAKE_READ_TOTAL_MS)) > 0) {
        fake.now_ms = start + FAKE_READ_TOTAL_MS;
        return 0;
    }
    int32_t got = 0;
    uint32_t last = start;
    while (got < n && !fake.incoming.empty()) {
        fake_chunk &chunk = fake.incoming.front();
        uint32_t at = int32_t(chunk.at_ms - start) > 0 ? chunk.at_ms : start;
        bool within_interval = int32_t(at - last) < int32_t(FAKE_READ_INTERVAL_MS);
        bool within_total = fake.wine_reads || int32_t(at - start) <= int32_t(FAKE_READ_TOTAL_MS);
        if (got > 0 && !(within_interval && within_total))
            break;
        size_t take = std::min(chunk.data.size(), size_t(n - got));
        memcpy(buffer + got, chunk.data.data(), take);
        got += int32_t(take);
        last = at;
        chunk.data.erase(chunk.data.begin(), chunk.data.begin() + long(take));
        if (chunk.data.empty())
            fake.incoming.pop_front();
    }
    uint32_t end = last + FAKE_READ_INTERVAL_MS;
    if (!fake.wine_reads && int32_t(end - (start + FAKE_READ_TOTAL_MS)) > 0)
        end = start + FAKE_READ_TOTAL_MS;
    if (got == n)
        end = last;
    fake.now_ms = end;
    return got;
}

int32_t port_read(port_handle, uint8_t *buffer, int32_t n)
{
    guard g;
    int32_t got = fake.reads_fail ? PORT_CALL_FAILED : fake.reader ? fake.reader(buffer, n) : line_read(buffer, n);
    fake.calls += got == PORT_CALL_FAILED ? 'R' : 'r';
    fake.unflushed.push_back(__fpending(stdout));
    return got;
}

void port_purge(port_handle)
{
    while (!fake.incoming.empty() && int32_t(fake.incoming.front().at_ms - fake.now_ms) <= 0)
        fake.incoming.pop_front();
}

// The fake's writes arrive whole and at once: nothing is ever left to wait for.
void port_drain(port_handle) {}

uint32_t tick_count_ms()
{
    return fake.now_ms;
}

void sleep_ms(uint32_t ms)
{
    fake.now_ms += ms;
}

uint32_t port_error()
{
    return fake.error_code;
}

void status_line_set(const char *text)
{
    guard g;
    fake.statuses.push_back(text);
}

// Only the code that port_error gave has a text, so that a text asked for
// another code shows.
void system_error_text(uint32_t code, char *text, uint32_t size)
{
    snprintf(text, size_t(size), "%s", code == fake.error_code ? fake.error_text.c_str() : "");
}
