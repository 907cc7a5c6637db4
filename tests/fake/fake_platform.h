// A scripted boot loader on a virtual serial line with a virtual millisecond
// clock, in place of the Windows half of the engine's platform seam.
#pragma once

#include <stdint.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "fake/crc_reference.h"

typedef std::vector<uint8_t> bytes;

enum fake_fault_kind {
    FAKE_DROP,     // no reply at all
    FAKE_LATE,     // reply after delay_ms instead of the usual delay
    FAKE_BAD_CRC,  // reply with its last byte flipped
    FAKE_TWICE,    // the reply, and the same again delay_ms later
    FAKE_OTHER,    // other bytes instead of the reply
};

struct fake_fault {
    fake_fault_kind kind;
    uint32_t delay_ms;
    bytes other = {}; // for FAKE_OTHER
};

struct fake_chunk {
    uint32_t at_ms; // when its bytes have arrived at the port
    bytes data;
};

struct fake_line {
    uint32_t now_ms;
    bool wine_reads;            // reads end 20 ms after a byte even past the 100 ms total
    std::deque<fake_chunk> incoming;
    std::vector<bytes> written;
    std::vector<uint32_t> written_at;
    std::vector<std::string> statuses;
    std::string calls;          // each write and read in order: w, r; W, R for a failed one
    std::vector<size_t> unflushed; // at each of them, the bytes traced but not yet out of stdout's buffer
    bool writes_fail, reads_fail; // the port has gone: the calls themselves fail
    uint32_t error_code;        // what port_error gives after a failed call
    std::string error_text;     // the system's text for it, line end included
    int alloc_guard;            // >0 while the fake itself runs (its allocations are not the engine's)
    int32_t (*reader)(uint8_t *buffer, int32_t n); // see fake_reset; the requests are not kept then

    bool device_on;             // the device, and what it holds and does
    uint32_t reply_delay_ms;    // from the end of a request to its reply
    std::vector<uint8_t> flash; // FAKE_FLASH_SIZE bytes from FAKE_FLASH_BASE
    std::map<int, fake_fault> faults; // by request index, 0-based
    int corrupt_flash_at;       // image offset flipped after writing, -1 for none
    int requests;
};

const uint32_t FAKE_FLASH_BASE = 0x08001000;
const uint32_t FAKE_FLASH_SIZE = 256 * 1024;
const uint32_t FAKE_READ_INTERVAL_MS = 20;
const uint32_t FAKE_READ_TOTAL_MS = 100;

extern fake_line fake;

// Fresh line, clock at start_ms; a device answering every request after 5 ms,
// or, given a reader, none: reads then come from it.
void fake_reset(uint32_t start_ms = 1000, int32_t (*reader)(uint8_t *buffer, int32_t n) = nullptr);
// Bytes that arrive delay_ms from now, whatever was written.
void fake_arrive(uint32_t delay_ms, const bytes &data);

bytes fake_sealed(bytes frame);
// The four bytes from `at`, high byte first, as the frames carry addresses.
uint32_t fake_be32(const bytes &f, size_t at);
