// Arbitrary replies, read lengths and clock steps into the sequencer, from
// any state. Checks what must hold whatever the line does: no access out of
// bounds (the sanitizers), the offset within the image and on a block
// boundary, no success without a reply that carried the right checksum, and
// nothing sent once the run has ended.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/frames.h"
#include "engine/platform.h"
#include "engine/sequencer.h"
#include "fake/fake_platform.h"

const int32_t FUZZ_IMAGE_BLOCKS = 3;
const int FUZZ_TICKS_MAX = 400;
const uint32_t FUZZ_TICK_MS = 10;        // the main window's timer
const int FUZZ_READ_MODES = 7;           // what a read can bring: see input_read
const int32_t FUZZ_CRC_REPLY_BYTES = 15; // an answer to the CRC query, CRC included

// Where the fake line's reads and the clock's steps come from.
static struct {
    const uint8_t *data;
    size_t size;
    size_t at;
    uint16_t image_crc;    // what a right answer to the CRC query carries
    bool last_reply_right; // the last read was a right answer to the CRC query
} input;

static void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

static uint8_t next_byte()
{
    return input.at < input.size ? input.data[input.at++] : 0;
}

// The next n bytes of the input into buffer, zeros once it runs out; in one
// piece, since a reply can be a thousand bytes long.
static void next_bytes(uint8_t *buffer, int32_t n)
{
    size_t from_input = input.size - input.at < size_t(n) ? input.size - input.at : size_t(n);
    memcpy(buffer, input.data + input.at, from_input);
    memset(buffer + from_input, 0, size_t(n) - from_input);
    input.at += from_input;
}

static int32_t seal(uint8_t *buffer, int32_t n)
{
    uint16_t crc = reference_crc16(buffer, size_t(n));
    buffer[n] = uint8_t(crc & 0xFF);
    buffer[n + 1] = uint8_t(crc >> 8);
    return n + 2;
}

// Each read takes a mode byte from the input. Random bytes alone would almost
// never carry a correct CRC, so some modes seal what they read. Notes whether
// the read is a whole, sealed answer to the CRC query that carries the
// image's checksum: that field first, since the frame's own CRC is worth
// working out only for the few reads that carry the image's checksum there.
static int32_t input_read(uint8_t *buffer, int32_t n)
{
    uint8_t mode = next_byte() % FUZZ_READ_MODES;
    fake.now_ms += next_byte();
    int32_t length = 0; // mode 0: silence
    if (mode == 5 || mode == 6) { // the adapter is pulled out: this call (5) or the next (6) fails, and every later one
        fake.writes_fail = fake.reads_fail = true;
        length = mode == 5 ? PORT_CALL_FAILED : 0;
    } else if (mode == 1) { // raw bytes, any length up to the buffer
        length = next_byte() * 5 % (n + 1);
        next_bytes(buffer, length);
    } else if (mode == 2) { // a sealed frame of any length
        length = next_byte() % (n - 1);
        next_bytes(buffer, length);
        length = seal(buffer, length);
    } else if (mode >= 3 && n >= FUZZ_CRC_REPLY_BYTES) { // a CRC-query answer: 3 with the right checksum, 4 any
        uint8_t reply[FUZZ_CRC_REPLY_BYTES - 2] = {DEVICE_ADDRESS, MODBUS_FC_PROG, PROG_OP_CRC};
        reply[11] = mode == 3 ? uint8_t(input.image_crc >> 8) : next_byte();
        reply[12] = mode == 3 ? uint8_t(input.image_crc & 0xFF) : next_byte();
        memcpy(buffer, reply, sizeof reply);
        length = seal(buffer, sizeof reply);
    }
    input.last_reply_right = length >= FUZZ_CRC_REPLY_BYTES && ((buffer[11] << 8) | buffer[12]) == input.image_crc &&
                             reference_crc16(buffer, size_t(length - 2)) == (buffer[length - 2] | buffer[length - 1] << 8);
    return length;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static uint8_t frame[MODBUS_FRAME_LENGTH_MAX];
    static uint8_t image[FUZZ_IMAGE_BLOCKS * MODBUS_PROG_BLOCKSIZE_MAX];
    if (size < 2)
        return 0;
    // The trace log is not under test here, and writing it would dominate.
    [[maybe_unused]] static FILE *sink = freopen("/dev/null", "w", stdout);
    // The image depends on the first byte alone: it and its checksum are
    // made again only when that byte changes, not for every input.
    static int image_made_from = -1;
    static uint16_t image_crc;
    if (image_made_from != data[0]) {
        for (size_t i = 0; i < sizeof image; i++)
            image[i] = uint8_t(i * 13 + data[0]);
        image_crc = reference_crc16(image, sizeof image);
        image_made_from = data[0];
    }

    input = {data, size, 2, image_crc, false};
    // A line without a device: what the sequencer reads is the input. The
    // clock starts just short of its wrap.
    fake_reset(0xFFFFFF00u + data[1], input_read);
    fake.error_code = 21; // the system's code for a port that has gone
    fake.error_text = "Not ready.\r\n";
    modbus_transfer t = {};
    t.frame = frame;
    t.rx_size = MODBUS_FRAME_LENGTH_MAX;
    t.slave_address = DEVICE_ADDRESS;
    t.image = image;
    t.image_size = sizeof image;
    t.flash_base = FLASH_IMAGE_BASE;
    // Start from any state, as a run can be in any of them when a reply comes.
    t.state = data[0] % (PROG_STATE_LOST + 2); // every state, and one past them
    // From state 1 on the run's counters are set, as entering state 1 sets them.
    if (t.state >= PROG_STATE_START) {
        t.block_length = MODBUS_PROG_BLOCKSIZE_MAX;
        t.timeout_ms = PROG_CONTACT_TIMEOUT_MS;
    }
    if (t.state >= PROG_STATE_WRITE) {
        t.timeout_ms = PROG_LINK_TIMEOUT_MS;
        t.offset = (data[1] % FUZZ_IMAGE_BLOCKS) * MODBUS_PROG_BLOCKSIZE_MAX;
    }
    if (t.state == PROG_STATE_RESET || t.state == PROG_STATE_DONE)
        return 0; // success states cannot be judged without the verdict that led there

    for (int i = 0; i < FUZZ_TICKS_MAX && input.at < input.size; i++) {
        uint32_t before = t.state;
        size_t calls_before = fake.calls.size(); // w and r, W and R for a failed call
        prog_step(&t);
        fake.now_ms += FUZZ_TICK_MS;
        check(t.offset >= 0 && t.offset <= t.image_size, "offset outside the image");
        check(t.offset % MODBUS_PROG_BLOCKSIZE_MAX == 0, "offset off a block boundary");
        check(t.len >= 0 && t.len <= MODBUS_FRAME_LENGTH_MAX, "frame length out of range");
        bool succeeded = t.state == PROG_STATE_RESET || t.state == PROG_STATE_DONE;
        if (succeeded && before != t.state && before != PROG_STATE_RESET)
            check(before == PROG_STATE_VERIFY && input.last_reply_right,
                  before == PROG_STATE_VERIFY ? "verified without a matching checksum" : "skipped the verifying");
        if (before == PROG_STATE_VERIFY && t.state == PROG_STATE_FAILED)
            check(!input.last_reply_right, "failed on the right checksum");
        // A run that has ended, and a state the sequencer does not know,
        // stay where they are and use the port no more until a new run starts.
        if (before == PROG_STATE_FAILED || before == PROG_STATE_DONE || before >= PROG_STATE_LOST)
            check(t.state == before && fake.calls.size() == calls_before, "moved on or used the port after the end");
        size_t failed = fake.calls.find_first_of("WR", calls_before);
        if (failed != std::string::npos)
            check(t.state == PROG_STATE_LOST && failed + 1 == fake.calls.size(), "went on after a port call failed");
    }
    return 0;
}
