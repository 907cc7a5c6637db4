#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/frames.h"
#include "engine/progress.h"
#include "engine/sequencer.h"
#include "fake/fake_platform.h"
#include "report/report.h"
#include "unit/rows.h"

namespace {

const int RUN_BLOCKS = 109;          // the carried image pads to 109 blocks
const int32_t BLOCK = MODBUS_PROG_BLOCKSIZE_MAX;
const uint32_t TICK_PERIOD_MS = 10;  // the main window's timer
const int TICKS_MAX = 5000;

struct run_record {
    bytes frame_buffer = bytes(MODBUS_FRAME_LENGTH_MAX);
    bytes image;
    modbus_transfer t = {};
};

// A fresh line with its clock at start_ms, and a record that runs an image of
// `blocks` blocks. The record points into its own buffers, which a move
// leaves where they are.
run_record run_new(int blocks, uint32_t start_ms = 1000)
{
    fake_reset(start_ms);
    run_record r;
    r.image.resize(size_t(blocks) * BLOCK);
    for (size_t i = 0; i < r.image.size(); i++)
        r.image[i] = uint8_t((i * 31) ^ (i >> 9));
    r.t.frame = r.frame_buffer.data();
    r.t.rx_size = MODBUS_FRAME_LENGTH_MAX;
    r.t.slave_address = DEVICE_ADDRESS;
    r.t.image = r.image.data();
    r.t.image_size = int32_t(r.image.size());
    r.t.flash_base = FLASH_IMAGE_BASE;
    r.t.state = PROG_STATE_IDLE; // as opening the port leaves it
    return r;
}

std::string status()
{
    return fake.statuses.empty() ? "" : fake.statuses.back();
}

// After every step the bar must stand at the blocks acknowledged: while a
// block is in flight the status line names it, and the blocks before it are
// the ones done; from verifying on, all of them. It shows its error state
// from "FAILED" or a lost line on, until the next run starts.
void expect_progress_follows_status(const modbus_transfer *t)
{
    const std::string shown = status();
    unsigned address = 0;
    int32_t expected = -1;
    if (sscanf(shown.c_str(), "programming %x", &address) == 1)
        expected = int32_t((address - FLASH_IMAGE_BASE) / MODBUS_PROG_BLOCKSIZE_MAX);
    else if (shown == "Contacting Device..." || shown == "Establishing Link...")
        expected = 0;
    else if (!shown.empty()) // "Verifying..." and every status after it
        expected = t->image_size / MODBUS_PROG_BLOCKSIZE_MAX;
    if (expected >= 0) {
        EXPECT_EQ(progress_position(t), expected) << "after \"" << shown << "\"";
    }
    EXPECT_EQ(progress_bar_error(t), shown == "FAILED" || t->state == PROG_STATE_LOST) << "after \"" << shown << "\"";
}

bool is_final(uint32_t state)
{
    return state == PROG_STATE_DONE || state == PROG_STATE_FAILED || state == PROG_STATE_LOST;
}

const auto never = [] { return false; };

// Ticks as the main window does until `done` holds, at most `count` times,
// with a step only where the session allows one; returns the trace. Without
// a count, `done` must come to hold.
template <typename condition>
std::string ticks(run_record *r, condition done, int count = TICKS_MAX, uint32_t session = SESSION_GOES_ON)
{
    std::string log = traced([&] {
        for (int i = 0; i < count && !done(); i++, fake.now_ms += TICK_PERIOD_MS) {
            if (run_step_held(&r->t, session))
                continue;
            prog_step(&r->t);
            expect_progress_follows_status(&r->t);
        }
    });
    EXPECT_TRUE(count != TICKS_MAX || done()) << "still waiting after " << TICKS_MAX << " ticks";
    return log;
}

bool is_op(const bytes &f, uint8_t op)
{
    return f.size() >= 3 && f[2] == op;
}

std::vector<bytes> written_of(uint8_t op)
{
    std::vector<bytes> out;
    for (const bytes &f : fake.written)
        if (is_op(f, op))
            out.push_back(f);
    return out;
}

int count_of(const std::string &text, const std::string &piece)
{
    int n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        n++;
    return n;
}

// The image in the device's flash, and nothing written past it.
bool flash_holds_image(const run_record &r)
{
    auto end = fake.flash.begin() + r.t.image_size;
    return std::equal(r.image.begin(), r.image.begin() + r.t.image_size, fake.flash.begin()) &&
           std::all_of(end, fake.flash.end(), [](uint8_t b) { return b == 0xFF; });
}

// Runs through a fault of the line or the device, or on a line that runs
// otherwise than usual, that still end verified with the image in the
// device's flash. Throughout, no request goes before the device could have
// answered the one before it, and a request goes again only after its wait
// has run out; a block with a time-out on the trace.
struct line_run_case {
    const char *name;
    int32_t image_bytes;
    uint32_t start_ms;                // the tick counter as the run starts
    uint32_t reply_delay_ms;
    bool wine_reads;
    std::map<int, fake_fault> faults; // by request: three contact requests, then the blocks
    size_t writes;                    // block writes, blocks sent again included
    const char *traced;               // a piece of the trace
};

std::string line_run(const line_run_case &c)
{
    int blocks = (c.image_bytes + BLOCK - 1) / BLOCK;
    run_record r = run_new(blocks, c.start_ms);
    r.t.image_size = c.image_bytes;
    fake.reply_delay_ms = c.reply_delay_ms;
    fake.wine_reads = c.wine_reads;
    fake.faults = c.faults;
    std::string log = ticks(&r, [&] { return is_final(r.t.state); });
    EXPECT_EQ(r.t.state, PROG_STATE_DONE) << log;
    EXPECT_TRUE(flash_holds_image(r));
    EXPECT_EQ(written_of(PROG_OP_WRITE).size(), c.writes);
    EXPECT_EQ(count_of(log, "TIMEOUT"), int(c.writes) - blocks);
    EXPECT_EQ(count_of(log, "Remote CRC"), 1);
    EXPECT_TRUE(written_of(PROG_OP_RESET).size() == 1 && is_op(fake.written.back(), PROG_OP_RESET));
    EXPECT_NE(log.find(c.traced), std::string::npos) << log;
    for (size_t i = 1; i < fake.written.size(); i++) {
        const bytes &request = fake.written[i];
        uint32_t gap = fake.written_at[i] - fake.written_at[i - 1];
        EXPECT_GE(gap, c.reply_delay_ms) << "request " << i << " before the device could answer the one before";
        bool contact = is_op(request, PROG_OP_CRC) && fake_be32(request, 7) == PROG_CONTACT_QUERY_LENGTH;
        uint32_t wait_ms = contact ? PROG_CONTACT_TIMEOUT_MS : PROG_LINK_TIMEOUT_MS;
        EXPECT_TRUE(request != fake.written[i - 1] || gap > wait_ms) << "request " << i << " sent again within its wait";
    }
    return log;
}

const line_run_case LINE_RUNS[] = {
    // The third contact request makes the link; a copy of its answer, on the
    // line as the link is made, must not be taken for block 0's
    // acknowledgement: block 1 would then go before the device had answered.
    {"LateContactAnswerIsNotTakenForTheFirstBlocksAcknowledgement", 4 * BLOCK, 1000, 40, false,
     {{2, {FAKE_TWICE, 120}}}, 4,
     "REMOTE DEVICE LINK ESTABLISHED\nPROG ADDR 0x8001000, LEN 0x400, FROM 0... - SENT - - OK\n"},
    {"MissingAcknowledgementSendsTheSameBlockAgain", 8 * BLOCK, 1000, 5, false, {{6, {FAKE_DROP, 0}}}, 9,
     "FROM 0xc00... - SENT - TIMEOUT\nPROG ADDR 0x8001c00, LEN 0x400, FROM 0xc00... - SENT - - OK\n"},
    {"SlowAcknowledgementWithinItsWaitIsNotResent", 6 * BLOCK, 1000, 5, false, {{5, {FAKE_LATE, 450}}}, 6, ""},
    // A copy of block 2's acknowledgement 30 ms after it lands in block 3's
    // read together with that block's own: the read is no frame, and block 3
    // goes again after its wait.
    {"DuplicatedAcknowledgementStillEndsVerified", 6 * BLOCK, 1000, 5, false, {{5, {FAKE_TWICE, 30}}}, 7,
     "FROM 0xc00... - SENT - TIMEOUT\n"},
    {"RunAcrossTheTickCounterWrapCompletes", 20 * BLOCK, 0xFFFFFE00u, 5, false, {}, 20, ""},
    {"RunUnderWineReadTimingCompletes", 20 * BLOCK, 1000, 95, true, {}, 20, ""},
    {"LastBlockCarriesOnlyTheRemainder", BLOCK + 100, 1000, 5, false, {}, 2,
     "PROG ADDR 0x8001400, LEN 0x64, FROM 0x400... - SENT - - OK\n"},
};

const bool line_runs = test_rows("Sequencer", LINE_RUNS, line_run);

TEST(Sequencer, CleanRunWritesEveryBlockVerifiesAndRestarts)
{
    std::string log = line_run({"", RUN_BLOCKS * BLOCK, 1000, 5, false, {}, RUN_BLOCKS,
                                "REMOTE DEVICE LINK ESTABLISHED\n"
                                "PROG ADDR 0x8001000, LEN 0x400, FROM 0... - SENT - - OK\n"
                                "PROG ADDR 0x8001400, LEN 0x400, FROM 0x400... - SENT - - OK\n"});
    std::vector<bytes> queries = written_of(PROG_OP_CRC);
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(queries.back(), fake_sealed({0x04, 0x2B, 0xF6, 0x08, 0x00, 0x10, 0x00, 0x00, 0x01, 0xB4, 0x00}));
    for (size_t i = 0; i + 1 < queries.size(); i++)
        EXPECT_EQ(fake_be32(queries[i], 7), 4u) << "contact requests ask for 4 bytes";

    std::vector<std::string> expected = {"Establishing Link..."};
    for (int i = 0; i < RUN_BLOCKS; i++) {
        char text[32];
        snprintf(text, sizeof text, "programming %#x", FLASH_IMAGE_BASE + uint32_t(i) * 0x400);
        expected.push_back(text);
    }
    for (const char *text : {"Verifying...", "Program Verified OK", "Resetting target...", "Programming Completed OK"})
        expected.push_back(text);
    EXPECT_EQ(fake.statuses, expected);
    // A block's line is out up to " - SENT - " before its answer is read: a run stopped there leaves it traced.
    for (size_t i = 0, w = 0; i + 1 < fake.calls.size(); i++) {
        if (fake.calls[i] == 'w' && is_op(fake.written[w++], PROG_OP_WRITE))
            EXPECT_EQ(fake.unflushed[i] + fake.unflushed[i + 1], 0u) << "block " << w;
    }

    EXPECT_NE(log.find("PROG ADDR 0x801c000, LEN 0x400, FROM 0x1b000... - SENT - - OK\n"
                       "Verifying address 0x8001000, image size 0x1b400 bytes\n"
                       "frame length   13 bytes sent\n"),
              std::string::npos);
    char crc_lines[96];
    uint16_t local = reference_crc16(fake.flash.data(), RUN_BLOCKS * BLOCK); // the image, as checked
    snprintf(crc_lines, sizeof crc_lines, "Remote CRC %#x\nLocal  CRC %#x\nCRCs match\n", local, local);
    EXPECT_NE(log.find(std::string(crc_lines) + "Resetting target\nframe length    5 bytes sent\n"
                       "frame length    5 bytes received & OK\n"),
              std::string::npos);
}

TEST(Sequencer, ContactNeedsThreeTicks)
{
    run_record r = run_new(2);
    std::string log = ticks(&r, [&] { return r.t.state == PROG_STATE_WRITE; });
    // The first two answers arrive within the pause after each request and
    // are read together at the second contact tick: together they are no frame.
    EXPECT_EQ(count_of(log, "CONTACTING...\n"), 3);
    const std::string one = "04 2b f6 08 00 10 00 00 00 00 04 b0 01 01 a7"; // 4 erased bytes' CRC, sealed
    EXPECT_NE(log.find("RX: " + one + " " + one + "\n"), std::string::npos) << log;
    EXPECT_EQ(r.t.timeout_ms, PROG_LINK_TIMEOUT_MS);
}

TEST(Sequencer, AcknowledgementAfterItsWaitCountsForTheResentBlock)
{
    run_record r = run_new(8);
    ticks(&r, [&] { return r.t.state == PROG_STATE_WRITE; });
    // Block 0's acknowledgement comes after the wait ran out but before the
    // tick that sends the block again reads.
    fake.incoming.clear();
    fake_arrive(555, fake_sealed({0x04, 0x2B, 0xF5}));
    fake.device_on = false;
    uint32_t block_sent = fake.written_at.back();
    size_t writes_before = fake.written.size();
    ticks(&r, [&] { return fake.written.size() != writes_before; });
    // The tick that found the wait over sent block 0 again, read the late
    // answer, took it for that block and sent block 1 straight away.
    ASSERT_EQ(fake.written.size(), writes_before + 2);
    EXPECT_GT(fake.written_at[writes_before] - block_sent, PROG_LINK_TIMEOUT_MS);
    EXPECT_EQ(fake_be32(fake.written[writes_before], 3), FLASH_IMAGE_BASE);
    EXPECT_EQ(fake_be32(fake.written[writes_before + 1], 3), FLASH_IMAGE_BASE + 0x400);
    EXPECT_EQ(r.t.offset, 0x400);
}

TEST(Sequencer, BadChecksumWhileContactingIsDumpedButMakesNoLink)
{
    run_record r = run_new(2);
    for (int i = 0; i < 20; i++)
        fake.faults[i] = {FAKE_BAD_CRC, 0};
    std::string log = ticks(&r, never, 12);
    EXPECT_EQ(r.t.state, PROG_STATE_CONTACT);
    EXPECT_EQ(log.find("REMOTE DEVICE LINK ESTABLISHED"), std::string::npos);
    EXPECT_GE(count_of(log, "RX: 04 2b f6 08 00 10 00"), 9);
    EXPECT_EQ(fake.statuses.back(), "Establishing Link...");
    fake.faults.clear();
    ticks(&r, [&] { return is_final(r.t.state); });
    EXPECT_EQ(r.t.state, PROG_STATE_DONE);
}

TEST(Sequencer, SilentDeviceIsAskedAgainForeverWithoutGivingUp)
{
    run_record r = run_new(2);
    fake.device_on = false;
    std::string log = ticks(&r, never, 50);
    EXPECT_EQ(r.t.state, PROG_STATE_CONTACT);
    EXPECT_EQ(count_of(log, "CONTACTING...\n"), 49);
    EXPECT_EQ(count_of(log, "RX:"), 0);
}

// A valid frame too short to carry the device's checksum (an acknowledgement
// that came late, for instance) must not be taken for the answer to the CRC
// query: bytes 11 and 12 would then be left over from the query itself. The
// query goes again once its wait has run out, counted from the verify
// state's start: the last block's acknowledgement comes late, so that a wait
// counted from that block would end far sooner.
TEST(Sequencer, ShortValidReplyWhileVerifyingGivesNoVerdict)
{
    const std::pair<const char *, bytes> cases[] = {
        {"restart-sized", fake_sealed({0x04, 0x2B, 0xF6})},
        {"acknowledgement-sized", fake_sealed({0x04, 0x2B, 0xF5, 0x08, 0x01, 0xB0, 0x00, 0x04, 0x00})},
        {"13 bytes: its own CRC stands at 11 and 12", fake_sealed({0x04, 0x2B, 0xF6, 0, 0, 0, 0, 0, 0, 0, 0})},
        {"14 bytes", fake_sealed({0x04, 0x2B, 0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
    };
    for (const auto &[name, reply] : cases) {
        SCOPED_TRACE(name);
        std::string log = line_run({"", 3 * BLOCK, 1000, 5, false, {{5, {FAKE_LATE, 450}}, {6, {FAKE_OTHER, 0, reply}}},
                                    3, "frame length   13 bytes sent\nVerifying address 0x8001000"});
        EXPECT_EQ(count_of(log, "Verifying address"), 2) << "asked again once";
    }
}

// The adapter is pulled out: the device hears nothing more and the port's
// calls fail. Wherever the run is, it ends in the lost state at the failed
// call, says so once on the trace, and touches the port no more. The trace
// line shows what the system says of the failed call without the line end
// and trailing blanks; an empty text stays empty.
TEST(Sequencer, FailedPortCallEndsTheRunAtOnce)
{
    const struct {
        const char *name;
        uint32_t state;   // the phase the port fails in
        int32_t offset;   // and how far the writing has come by then
        bool write_fails; // otherwise a read fails
        uint32_t code;
        const char *system_text;
        const char *shown;
    } cases[] = {
        {"contact, write", PROG_STATE_CONTACT, 0, true, 21, "Not ready.\r\n", "Not ready."},
        {"contact, read", PROG_STATE_CONTACT, 0, false, 31, "A device attached to the system is not functioning. \r\n",
         "A device attached to the system is not functioning."},
        {"a block, write", PROG_STATE_WRITE, 0x800, true, 1167, "", ""},
        {"a block, read", PROG_STATE_WRITE, 0x800, false, 21, "Not ready.\r\n", "Not ready."},
        {"checksum query, write", PROG_STATE_VERIFY, 0x1000, true, 31, "Not functioning. \r\n", "Not functioning."},
        {"checksum query, read", PROG_STATE_VERIFY, 0x1000, false, 1167, "\r\n", ""},
        {"restart, write", PROG_STATE_RESET, 0x1000, true, 21, "Not ready.\r\n", "Not ready."},
        {"restart, read", PROG_STATE_RESET, 0x1000, false, 31, "Not functioning. \r\n", "Not functioning."},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        run_record r = run_new(4);
        ticks(&r, [&] { return r.t.state == c.state && r.t.offset == c.offset; });
        fake.device_on = false;
        fake.incoming.clear();
        fake.writes_fail = c.write_fails;
        fake.reads_fail = !c.write_fails;
        fake.error_code = c.code;
        fake.error_text = c.system_text;
        fake.calls.clear();
        size_t written = fake.written.size();
        size_t statuses = fake.statuses.size();

        std::string log = ticks(&r, [&] { return r.t.state != c.state; });
        log += ticks(&r, never, 50);
        EXPECT_EQ(r.t.state, PROG_STATE_LOST);
        // Until the failed call the run waited as it does for a silent device;
        // after it, nothing more went to the port.
        EXPECT_EQ(fake.calls.find(c.write_fails ? 'W' : 'R'), fake.calls.size() - 1) << fake.calls;
        EXPECT_EQ(r.t.offset, c.offset) << "the bar keeps its place";
        std::string lost = "\nConnection lost: error " + std::to_string(c.code) + ", " + c.shown + "\n";
        std::string framed = "\n" + log; // a line of its own at the end
        EXPECT_EQ(framed.substr(framed.size() - std::min(framed.size(), lost.size())), lost);
        EXPECT_EQ(count_of(log, "Connection lost"), 1);
        // A request the port refused is not reported as sent.
        if (c.write_fails) {
            EXPECT_EQ(fake.written.size(), written);
            EXPECT_EQ(log.find(" - SENT - \nConnection lost"), std::string::npos) << log;
            EXPECT_EQ(log.find("bytes sent\nConnection lost"), std::string::npos) << log;
        }
        for (size_t i = statuses; i < fake.statuses.size(); i++)
            EXPECT_TRUE(fake.statuses[i].rfind("programming ", 0) == 0 || fake.statuses[i] == "Verifying..." ||
                        fake.statuses[i] == "Resetting target...")
                << fake.statuses[i];
    }
}

TEST(Sequencer, RestartWithoutReplyIsSentAgainAndNeverCompletes)
{
    run_record r = run_new(2);
    ticks(&r, [&] { return r.t.state == PROG_STATE_RESET; });
    fake.device_on = false;
    fake.incoming.clear();
    ticks(&r, never, 100);
    EXPECT_EQ(r.t.state, PROG_STATE_RESET);
    EXPECT_GE(written_of(PROG_OP_RESET).size(), 8u);
    EXPECT_EQ(fake.statuses.back(), "Resetting target...");
}

// What the desk, Windows and the taskbar are told, in every state with the
// run holding its port and without. Offset 3 of 10 blocks: the taskbar shows
// the bar's blocks, none yet for a run just pressed. While the session may
// end, a run that may still send a block waits; the removal of its port
// (com5) ends a run under way and lets a finished one's port go.
TEST(RunDecisions, EveryStateWithAndWithoutItsPort)
{
    struct decision_case {
        uint32_t state;
        bool held;
        bool changing; // closing asks, shutdown is held off, the system kept awake
        uint32_t taskbar;
        int32_t done;
        bool held_may_end; // waits while the session may end
        uint32_t removal;  // com5 announced as removed
    };
    const decision_case cases[] = {
        {PROG_STATE_IDLE, false, false, TASKBAR_NONE, 0, true, REMOVAL_NONE}, // before the first run
        {PROG_STATE_IDLE, true, false, TASKBAR_NORMAL, 0, true, REMOVAL_LOST}, // just pressed
        {PROG_STATE_START, true, false, TASKBAR_NORMAL, 3, true, REMOVAL_LOST},
        {PROG_STATE_CONTACT, true, false, TASKBAR_NORMAL, 3, true, REMOVAL_LOST},
        {PROG_STATE_WRITE, true, true, TASKBAR_NORMAL, 3, true, REMOVAL_LOST},
        {PROG_STATE_WRITE, false, false, TASKBAR_NONE, 3, true, REMOVAL_NONE},
        {PROG_STATE_VERIFY, true, true, TASKBAR_NORMAL, 3, false, REMOVAL_LOST},
        {PROG_STATE_VERIFY, false, false, TASKBAR_NONE, 3, false, REMOVAL_NONE},
        {PROG_STATE_RESET, true, false, TASKBAR_NORMAL, 3, false, REMOVAL_LOST},
        {PROG_STATE_FAILED, true, false, TASKBAR_ERROR, 3, false, REMOVAL_RELEASE}, // the port stays open
        {PROG_STATE_DONE, true, false, TASKBAR_NONE, 3, false, REMOVAL_RELEASE},    // within the tick that ends it
        {PROG_STATE_DONE, false, false, TASKBAR_NONE, 3, false, REMOVAL_NONE},
        {PROG_STATE_LOST, true, false, TASKBAR_ERROR, 3, false, REMOVAL_RELEASE},
        {PROG_STATE_LOST, false, false, TASKBAR_ERROR, 3, false, REMOVAL_NONE},
    };
    for (const decision_case &c : cases) {
        modbus_transfer t = {};
        t.state = c.state;
        t.offset = 3 * MODBUS_PROG_BLOCKSIZE_MAX;
        t.image_size = 10 * MODBUS_PROG_BLOCKSIZE_MAX;
        std::string what = "state " + std::to_string(c.state) + (c.held ? ", port held" : ", no port");
        EXPECT_EQ(run_flash_changing(&t, c.held), c.changing) << what;
        EXPECT_EQ(run_keep_awake(&t, c.held), c.changing) << what;
        EXPECT_EQ(run_step_held(&t, SESSION_MAY_END), c.held_may_end) << what;
        EXPECT_FALSE(run_step_held(&t, SESSION_GOES_ON)) << what;
        EXPECT_TRUE(run_step_held(&t, SESSION_ENDING)) << what << ": nothing more once the session ends";
        EXPECT_EQ(run_port_removal(&t, c.held, 5, 5), c.removal) << what;
        EXPECT_EQ(run_port_removal(&t, c.held, 5, 7), REMOVAL_NONE) << what << ": another port";
        taskbar_view view = run_taskbar(&t, c.held);
        EXPECT_EQ(view.state, c.taskbar) << what;
        if (view.state != TASKBAR_NONE) {
            EXPECT_EQ(view.done, c.done) << what;
            EXPECT_EQ(view.total, 10) << what;
        }
    }
}

// What becomes of the line as block 3 is due.
enum line_fate { LINE_HOLDS, WRITES_FAIL, PORT_ANNOUNCED_REMOVED };

// A run of a sequence: what the line does to it, how it ends, and what a
// screen reader hears of it after the press.
struct turn_case {
    int corrupt_at; // -1: none
    line_fate line;
    uint32_t final_state;
    const char *verdict;   // the status that ends the writing states
    const char *announced; // after those of contact and the first block
    const char *traced;    // a piece of the run's trace
};

const turn_case SUCCEEDS = {-1, LINE_HOLDS, PROG_STATE_DONE, "Program Verified OK",
                            "Verifying...|Programming Completed OK|", "CRCs match\nResetting target\n"};
const turn_case CHECKSUM_FAILS = {100, LINE_HOLDS, PROG_STATE_FAILED, "FAILED", "Verifying...|FAILED|", "CRC FAIL\n"};
// The window then shows its own text. Windows's announcement that the port
// is gone ends the run as a failed call would, on a line of its own.
const turn_case LINE_LOST = {-1, WRITES_FAIL, PROG_STATE_LOST, nullptr, "lost|", "Connection lost: error"};
const turn_case PORT_GONE = {-1, PORT_ANNOUNCED_REMOVED, PROG_STATE_LOST, nullptr, "lost|",
                             "PROG ADDR 0x8001c00, LEN 0x400, FROM 0xc00... - SENT - \n"
                             "Connection lost: error 1617, \\\\.\\com5 was announced as removed\n"};

struct turns {
    const char *name;
    std::vector<turn_case> runs;
};

// Runs each begun by a press after the one before, as the window drives
// them: the port is held from the press until success or a lost line.
// Closing asks exactly from the first block's status until the checksum's
// verdict; the taskbar button flashes once at each run's end, and only with
// the dialog behind; a screen reader hears the press and then only the
// statuses that begin a phase. Each run starts again from contact and the
// first block, sends a restart request only once verified, and nothing once
// it has ended, however long it ticks on.
void runs_in_turn(const turns &row)
{
    run_record r = run_new(6);
    char port_name[] = "\\\\.\\com5";
    r.t.port_name = port_name;
    for (size_t k = 0; k < row.runs.size(); k++) {
        const turn_case &c = row.runs[k];
        SCOPED_TRACE("run " + std::to_string(k));
        fake.corrupt_flash_at = c.corrupt_at;
        fake.writes_fail = false;
        fake.statuses.clear();
        fake.written.clear();
        uint32_t before = r.t.state;
        r.t.state = PROG_STATE_IDLE; // the press: the port opened afresh
        bool held = true;
        EXPECT_FALSE(progress_bar_error(&r.t)) << "the bar normal again as the run starts";
        EXPECT_FALSE(run_end_flash(before, r.t.state, false)) << "a press is no end";
        taskbar_view pressed = run_taskbar(&r.t, held);
        EXPECT_TRUE(pressed.state == TASKBAR_NORMAL && pressed.done == 0) << "the button starts empty";
        EXPECT_FALSE(run_keep_awake(&r.t, held)) << "nothing at stake before the first block";
        EXPECT_TRUE(run_status_announced(true, before, r.t.state)) << "the press is heard";
        std::string announced, log;
        int flashes = 0;
        bool wrote = false;
        for (int i = 0; i < 400; i++) {
            before = r.t.state;
            bool block_3_due = r.t.state == PROG_STATE_WRITE && r.t.offset == 3 * BLOCK;
            fake.writes_fail = fake.writes_fail || (block_3_due && c.line == WRITES_FAIL);
            if (block_3_due && c.line == PORT_ANNOUNCED_REMOVED)
                log += traced([&] { prog_port_removed(&r.t); });
            bool ended = is_final(r.t.state);
            size_t calls = fake.calls.size();
            log += ticks(&r, never, 1);
            EXPECT_TRUE(i > 0 || (r.t.offset == 0 && r.t.timeout_ms == PROG_CONTACT_TIMEOUT_MS)) << "a fresh start";
            EXPECT_TRUE(!ended || fake.calls.size() == calls) << "port used after the end";
            held = held && r.t.state != PROG_STATE_DONE && r.t.state != PROG_STATE_LOST;
            wrote = wrote || status().rfind("programming ", 0) == 0;
            // "Program Verified OK" gives way to "Resetting target..." within its tick.
            bool judged = c.verdict != nullptr && std::count(fake.statuses.begin(), fake.statuses.end(), c.verdict) > 0;
            bool expected = wrote && !judged && r.t.state != PROG_STATE_LOST;
            EXPECT_EQ(run_flash_changing(&r.t, held), expected) << "tick " << i << ", \"" << status() << "\"";
            EXPECT_EQ(run_keep_awake(&r.t, held), expected) << "tick " << i;
            EXPECT_FALSE(run_end_flash(before, r.t.state, true)) << "the dialog in front";
            flashes += run_end_flash(before, r.t.state, false);
            if (run_status_announced(false, before, r.t.state))
                announced += (r.t.state == PROG_STATE_LOST ? std::string("lost") : status()) + "|";
        }
        EXPECT_EQ(announced, std::string("Establishing Link...|programming 0x8001000|") + c.announced);
        EXPECT_EQ(r.t.state, c.final_state);
        EXPECT_NE(log.find(c.traced), std::string::npos) << log;
        EXPECT_EQ(written_of(PROG_OP_RESET).empty(), c.final_state != PROG_STATE_DONE);
        EXPECT_TRUE(c.final_state != PROG_STATE_DONE || flash_holds_image(r));
        EXPECT_EQ(flashes, 1);
        EXPECT_EQ(run_taskbar(&r.t, held).state, c.final_state == PROG_STATE_DONE ? TASKBAR_NONE : TASKBAR_ERROR);
    }
}

// The bar turns to its error state with "FAILED" and keeps it while the
// timer ticks on; the next run starts with it normal and, succeeding, never
// shows it, not even at its end. A run that loses its port ends in it too.
// The steps' check in ticks() judges the bar.
const turns DECISION_TURNS[] = {
    {"ThroughRunsThatSucceedFailAndLoseTheLine", {SUCCEEDS, CHECKSUM_FAILS, LINE_LOST, SUCCEEDS}}};
const turns PROGRESS_TURNS[] = {
    {"ErrorStateFromAFailedRunUntilTheNextRunStarts", {CHECKSUM_FAILS, SUCCEEDS, LINE_LOST}}};
const turns SEQUENCER_TURNS[] = {
    {"ChecksumMismatchFailsWithoutRestart", {CHECKSUM_FAILS}},
    {"SecondRunStartsAgainFromTheFirstBlock", {SUCCEEDS, SUCCEEDS}},
    {"AnnouncedRemovalEndsTheRunAsALostLine", {PORT_GONE}},
};
const bool turn_rows = test_rows("RunDecisions", DECISION_TURNS, runs_in_turn) &&
                       test_rows("Progress", PROGRESS_TURNS, runs_in_turn) &&
                       test_rows("Sequencer", SEQUENCER_TURNS, runs_in_turn);

// Where the session stands after Windows's questions and announcements. An
// end that Windows announces ends the program, whatever came before it.
TEST(RunDecisions, SessionEndAsWindowsTellsIt)
{
    for (uint32_t session : {SESSION_GOES_ON, SESSION_MAY_END}) {
        EXPECT_EQ(session_after_query(session, true), SESSION_MAY_END) << session;
        EXPECT_EQ(session_after_query(session, false), session) << session;
    }
    EXPECT_EQ(session_after_end(true), SESSION_ENDING);
    EXPECT_EQ(session_after_end(false), SESSION_GOES_ON);
}

// Asked while contacting, the program agrees that the session may end; the
// device answers, and no block goes out, nor a status or a trace line, until
// Windows says the session goes on. Asked again while writing, it does not
// agree, and the run ends verified. Once the session ends, a run stops
// where it is.
TEST(RunDecisions, SessionThatMayEndHoldsTheWrites)
{
    run_record r = run_new(4);
    ticks(&r, [&] { return r.t.state == PROG_STATE_CONTACT; });
    uint32_t session = session_after_query(SESSION_GOES_ON, !run_flash_changing(&r.t, true));
    ASSERT_EQ(session, SESSION_MAY_END);
    size_t calls = fake.calls.size();
    size_t statuses = fake.statuses.size();
    EXPECT_EQ(ticks(&r, never, 200, session), "");
    EXPECT_EQ(fake.calls.size(), calls);
    EXPECT_EQ(fake.statuses.size(), statuses);
    EXPECT_EQ(r.t.state, PROG_STATE_CONTACT);

    session = session_after_end(false);
    ticks(&r, [&] { return r.t.offset == 0x400; });
    session = session_after_query(session, !run_flash_changing(&r.t, true));
    EXPECT_EQ(session, SESSION_GOES_ON) << "asked while writing: not agreed";
    ticks(&r, never, 300, session);
    EXPECT_EQ(r.t.state, PROG_STATE_DONE);
    EXPECT_TRUE(flash_holds_image(r));

    r.t.state = PROG_STATE_IDLE; // the press, as the window makes it
    show_status("Contacting Device...");
    ticks(&r, [&] { return r.t.offset == 0x800; });
    session = session_after_end(true);
    calls = fake.calls.size();
    ticks(&r, never, 200, session);
    EXPECT_EQ(fake.calls.size(), calls) << "the session ends: nothing more goes out";
}

TEST(TimerElapsed, StartsWaitsAndSurvivesTheWrap)
{
    fake_reset(0xFFFFFFF0u);
    uint32_t start = 7;
    EXPECT_TRUE(timer_elapsed(&start, 0));
    EXPECT_EQ(start, 0xFFFFFFF0u);
    fake.now_ms += 100; // wraps to 0x54
    EXPECT_FALSE(timer_elapsed(&start, 100)) << "strictly more than the time-out";
    EXPECT_TRUE(timer_elapsed(&start, 99));
    EXPECT_EQ(start, 0xFFFFFFF0u) << "a check leaves the start alone";
    fake.now_ms += 1;
    EXPECT_TRUE(timer_elapsed(&start, 100));
    EXPECT_FALSE(timer_elapsed(&start, 500));
}

// A run must not allocate: every request is built in the record's one frame
// buffer and every reply is read into it. The sanitizer runtime calls these
// hooks on every allocation; gcc ships the runtime but not clang's header
// that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void *, size_t),
                                                         void (*free_hook)(const volatile void *));
size_t engine_allocations;
bool counting_allocations;

void on_malloc(const volatile void *, size_t)
{
    if (counting_allocations && fake.alloc_guard == 0)
        engine_allocations++;
}

const int hooks_installed = __sanitizer_install_malloc_and_free_hooks(on_malloc, [](const volatile void *) {});

// The allocations outside the fake while steps() runs.
template <typename run_steps> size_t allocations_in(run_steps steps)
{
    EXPECT_NE(hooks_installed, 0);
    engine_allocations = 0;
    counting_allocations = true;
    steps();
    counting_allocations = false;
    return engine_allocations;
}

TEST(Sequencer, WholeRunAllocatesNothing)
{
    run_record r = run_new(RUN_BLOCKS);
    fake.faults[20] = {FAKE_DROP, 0};
    fake.faults[40] = {FAKE_BAD_CRC, 0};
    traced([&] {
        printf("warm up the output buffer %#x\n", 1u);
        EXPECT_EQ(allocations_in([&] {
                      for (int i = 0; i < TICKS_MAX && r.t.state != PROG_STATE_DONE; i++, fake.now_ms += TICK_PERIOD_MS)
                          prog_step(&r.t);
                  }),
                  0u);
    });
    EXPECT_EQ(r.t.state, PROG_STATE_DONE);
}

TEST(Sequencer, AllocationCounterSeesAnAllocation)
{
    void *p = nullptr;
    EXPECT_EQ(allocations_in([&] { p = malloc(16); }), 1u);
    free(p);
}

} // namespace
