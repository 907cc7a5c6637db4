// The platform seam driven by fuzz input: every read and every clock step
// comes from the input, so the sequencer meets any order of replies, lengths
// and timings the line could produce.
#include "fuzz/fuzz_platform.h"

#include <stdio.h>
#include <string.h>

#include "engine/frames.h"
#include "engine/platform.h"
#include "fake/crc_reference.h"

fuzz_line fuzz;

const int FUZZ_READ_MODES = 7;           // what a read can bring: see fuzz_reply
const uint32_t FUZZ_ERROR_CODE = 21;     // the system's code for a port that has gone
const int32_t FUZZ_CRC_REPLY_BYTES = 15; // an answer to the CRC query, CRC included

static uint8_t next_byte()
{
    if (fuzz.at >= fuzz.size)
        return 0;
    return fuzz.data[fuzz.at++];
}

// The next n bytes of the input into buffer, zeros once it runs out; in one
// piece, since a reply can be a thousand bytes long.
static void next_bytes(uint8_t *buffer, int32_t n)
{
    size_t from_input = fuzz.size - fuzz.at < size_t(n) ? fuzz.size - fuzz.at : size_t(n);
    memcpy(buffer, fuzz.data + fuzz.at, from_input);
    memset(buffer + from_input, 0, size_t(n) - from_input);
    fuzz.at += from_input;
}

static int32_t seal(uint8_t *buffer, int32_t n)
{
    uint16_t crc = reference_crc16(buffer, size_t(n));
    buffer[n] = uint8_t(crc & 0xFF);
    buffer[n + 1] = uint8_t(crc >> 8);
    return n + 2;
}

int32_t port_write(port_handle, const uint8_t *, int32_t n)
{
    fuzz.writes++;
    if (!fuzz.port_gone)
        return n;
    fuzz.failures++;
    return PORT_CALL_FAILED;
}

uint32_t port_error()
{
    return FUZZ_ERROR_CODE;
}

void system_error_text(uint32_t, char *text, uint32_t size)
{
    snprintf(text, size_t(size), "Not ready.\r\n");
}

// Each read takes a mode byte from the input. Random bytes alone would almost
// never carry a correct CRC, so some modes seal what they read.
static int32_t fuzz_reply(uint8_t *buffer, int32_t n);

// Notes whether what the sequencer is about to read is a whole, sealed
// answer to the CRC query that carries the image's checksum.
int32_t port_read(port_handle, uint8_t *buffer, int32_t n)
{
    fuzz.reads++;
    int32_t length = fuzz_reply(buffer, n);
    if (length == PORT_CALL_FAILED) {
        fuzz.failures++;
        fuzz.last_reply_right = false;
        return length;
    }
    // The checksum field first: the frame's own CRC is worth working out only
    // for the few reads that carry the image's checksum there.
    fuzz.last_reply_right = length >= FUZZ_CRC_REPLY_BYTES && ((buffer[11] << 8) | buffer[12]) == fuzz.image_crc &&
                            reference_crc16(buffer, size_t(length - 2)) == (buffer[length - 2] | buffer[length - 1] << 8);
    return length;
}

static int32_t fuzz_reply(uint8_t *buffer, int32_t n)
{
    uint8_t mode = next_byte();
    fuzz.now_ms += next_byte();
    int32_t length = 0;
    if (fuzz.port_gone)
        return PORT_CALL_FAILED;
    switch (mode % FUZZ_READ_MODES) {
    case 0: // silence
        return 0;
    case 5: // the adapter is pulled out: this call and every later one fail
        fuzz.port_gone = true;
        return PORT_CALL_FAILED;
    case 6: // the adapter is pulled out after the read: the next write fails
        fuzz.port_gone = true;
        return 0;
    case 1: // raw bytes, any length up to the buffer
        length = next_byte() * 5 % (n + 1);
        next_bytes(buffer, length);
        return length;
    case 2: { // a sealed frame of any length
        length = next_byte() % (n - 1);
        next_bytes(buffer, length);
        return seal(buffer, length);
    }
    default: { // a sealed CRC-query answer: mode 3 with the right checksum, 4 with any
        if (n < FUZZ_CRC_REPLY_BYTES)
            return 0;
        bool right = mode % FUZZ_READ_MODES == 3;
        uint8_t reply[FUZZ_CRC_REPLY_BYTES - 2] = {DEVICE_ADDRESS, MODBUS_FC_PROG, PROG_OP_CRC};
        reply[11] = right ? uint8_t(fuzz.image_crc >> 8) : next_byte();
        reply[12] = right ? uint8_t(fuzz.image_crc & 0xFF) : next_byte();
        memcpy(buffer, reply, sizeof reply);
        return seal(buffer, sizeof reply);
    }
    }
}

void port_purge(port_handle) {}

void port_drain(port_handle) {}

uint32_t tick_count_ms()
{
    return fuzz.now_ms;
}

void sleep_ms(uint32_t ms)
{
    fuzz.now_ms += ms;
}

void status_line_set(const char *) {}

