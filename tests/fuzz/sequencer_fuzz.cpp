// Arbitrary replies, read lengths and clock steps into the sequencer, from
// any state. Checks what must hold whatever the line does: no access out of
// bounds (the sanitizers), the offset within the image and on a block
// boundary, no success without a reply that carried the right checksum, and
// nothing sent once the run has ended.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/frames.h"
#include "engine/sequencer.h"
#include "fake/crc_reference.h"
#include "fuzz/fuzz_platform.h"

const int32_t FUZZ_IMAGE_BLOCKS = 3;
const int FUZZ_TICKS_MAX = 400;
const uint32_t FUZZ_TICK_MS = 10; // the main window's timer

static void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
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

    fuzz = fuzz_line{data, size, 2, 0xFFFFFF00u + data[1], image_crc, false, 0, 0, 0, false};
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
    uint32_t first_state = t.state;
    if (first_state == PROG_STATE_RESET || first_state == PROG_STATE_DONE)
        return 0; // success states cannot be judged without the verdict that led there

    for (int i = 0; i < FUZZ_TICKS_MAX && fuzz.at < fuzz.size; i++) {
        uint32_t before = t.state;
        int calls_before = fuzz.writes + fuzz.reads;
        int failures_before = fuzz.failures;
        prog_step(&t);
        fuzz.now_ms += FUZZ_TICK_MS;
        check(t.offset >= 0 && t.offset <= t.image_size, "offset outside the image");
        check(t.offset % MODBUS_PROG_BLOCKSIZE_MAX == 0, "offset off a block boundary");
        check(t.len >= 0 && t.len <= MODBUS_FRAME_LENGTH_MAX, "frame length out of range");
        bool succeeded = t.state == PROG_STATE_RESET || t.state == PROG_STATE_DONE;
        if (succeeded && before != t.state && before != PROG_STATE_RESET)
            check(before == PROG_STATE_VERIFY && fuzz.last_reply_right,
                  before == PROG_STATE_VERIFY ? "verified without a matching checksum" : "skipped the verifying");
        if (before == PROG_STATE_VERIFY && t.state == PROG_STATE_FAILED)
            check(!fuzz.last_reply_right, "failed on the right checksum");
        // A run that has ended, and a state the sequencer does not know,
        // stay where they are and use the port no more until a new run starts.
        bool final = before == PROG_STATE_FAILED || before == PROG_STATE_DONE || before >= PROG_STATE_LOST;
        if (final)
            check(t.state == before && fuzz.writes + fuzz.reads == calls_before, "moved on or used the port after the end");
        if (fuzz.failures != failures_before)
            check(t.state == PROG_STATE_LOST && fuzz.failures == failures_before + 1,
                  "went on after a port call failed");
    }
    return 0;
}
