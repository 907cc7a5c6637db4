// State of one run of the simulated boot loader, shared by the event loop and
// the report.
#pragma once

#include "sim_device.h"
#include "sim_flash.h"
#include "sim_line.h"
#include "sim_options.h"
#include "sim_pty.h"

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

constexpr int64_t US_PER_MS = 1000;
constexpr int64_t US_PER_S = 1000000;
constexpr int64_t NS_PER_US = 1000;
constexpr double NS_PER_S = 1e9;

// The line: 115200 baud, a start bit, 8 data bits, parity, a stop bit.
constexpr double LINE_BAUD = static_cast<double>(LINE_EXPECTED_BAUD);
constexpr double LINE_BITS_PER_BYTE = 11.0;
constexpr double LINE_BYTE_TIME_US = LINE_BITS_PER_BYTE * static_cast<double>(US_PER_S) / LINE_BAUD; // about 95.5 us

constexpr int64_t RX_SILENCE_END_US = 20000;  // a garbage frame ends after this much silence
constexpr int64_t NOISE_GAP_US = 30000;       // silence between noise and the real reply
constexpr int64_t SPLIT_GAP_US = 10000;       // between the pieces of a split reply
constexpr int SPLIT_PIECES = 3;
constexpr int64_t DUP_GAP_US = 30000;         // between a reply and its duplicate
constexpr int64_t LOOP_IDLE_WAIT_US = 50000;  // longest sleep when nothing is due
constexpr int64_t TX_RETRY_US = 1000;         // pause after the pty refused bytes
constexpr int64_t EXIT_DRAIN_LIMIT_US = 1000000; // after the exit time, how long unread replies may still wait
constexpr uint8_t REPLY_BAD_CRC_XOR = 0x5A;     // flips some bits of a reply's CRC high byte
constexpr uint64_t RANDOM_DEFAULT_SEED = 1;
constexpr long RANDOM_LATE_MIN_MS = 30;
constexpr long RANDOM_LATE_MAX_MS = 800;
constexpr long RANDOM_NOISE_MIN_BYTES = 1;
constexpr long RANDOM_NOISE_MAX_BYTES = 16;

struct frame_record {
    double t_ms;          // when the request counted as received
    size_t len;
    request_info info;
    const char *reply;    // "answered", "dropped", "late", "bad-crc", "split", "dup", "noise", "none", "unplugged"
    double reply_t_ms;    // when the reply's last byte left; < 0 without a reply
    std::vector<std::string> faults_applied;
};

struct out_byte {
    int64_t due_us;
    uint8_t value;
};

struct pending_request {
    int64_t done_us;      // when its last byte is on the (simulated) line
    std::vector<uint8_t> bytes;
};

struct reply_plan {
    bool drop = false;
    bool bad_crc = false;
    long late_ms = 0;
    long noise_bytes = 0;
    bool split = false;
    bool dup = false;
    std::vector<std::string> applied;
};

struct sim_state {
    sim_options options;
    sim_pty pty;
    flash_model flash;
    line_observation line;
    int64_t start_us = 0;
    double start_unix_s = 0;
    int64_t end_us = 0;
    int64_t exit_at_us = -1;  // --exit-after-restart: when to end once the replies are out
    bool unplugged = false;   // --exit-after-writes: the device has gone

    std::vector<uint8_t> rx;
    int64_t rx_first_us = 0;
    int64_t rx_last_us = 0;
    int64_t rx_line_free_us = 0;
    std::deque<pending_request> pending;

    std::deque<out_byte> out;
    int64_t tx_free_us = 0;
    int64_t tx_retry_us = 0;  // after a full pty buffer, the next try

    std::vector<frame_record> frames;
    long requests = 0;
    long write_blocks = 0;
    int restart_count = 0;
    double restart_first_ms = -1;

    std::mt19937_64 rng;
    double random_chance = 0;
    bool silent = false;
    bool no_restart_reply = false;

    bool have_expect = false;
    std::vector<uint8_t> expected_image;
};

std::string report_json(const sim_state *sim);
