// The portable pieces around the engine: port discovery, the fatal report's
// text, the image padding and the status line.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "image/image.h"
#include "report/fatal.h"
#include "report/report.h"
#include "serial/serial.h"

namespace {

// Discovery probes device paths with fopen; in a scratch working folder,
// files named like the paths stand in for the ports.
struct scratch_folder {
    char old_cwd[PATH_MAX];
    char path[64];
};

void scratch_enter(scratch_folder *s)
{
    ASSERT_NE(getcwd(s->old_cwd, sizeof s->old_cwd), nullptr);
    snprintf(s->path, sizeof s->path, "/tmp/discover-XXXXXX");
    ASSERT_NE(mkdtemp(s->path), nullptr);
    ASSERT_EQ(chdir(s->path), 0);
}

void scratch_leave(scratch_folder *s)
{
    ASSERT_EQ(chdir(s->old_cwd), 0);
    std::string cmd = std::string("rm -rf ") + s->path;
    ASSERT_EQ(system(cmd.c_str()), 0);
}

com_port port_entry(int n)
{
    com_port entry = {};
    entry.number = n;
    snprintf(entry.path, sizeof entry.path, "\\\\.\\com%d", n);
    return entry;
}

void port_present(int n)
{
    FILE *f = fopen(port_entry(n).path, "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
}

struct discovery_case {
    const char *name;
    std::vector<int> present;
    std::vector<int> expected;
};

TEST(Discovery, FindsPortsInAscendingOrderUpTo998)
{
    const discovery_case cases[] = {
        {"none", {}, {}},
        {"3 and 12", {12, 3}, {3, 12}},
        {"2 and 10", {10, 2}, {2, 10}},
        {"the edges", {1, 998, 999, 1000}, {1, 998}},
    };
    for (const discovery_case &c : cases) {
        scratch_folder s;
        ASSERT_NO_FATAL_FAILURE(scratch_enter(&s));
        for (int n : c.present)
            port_present(n);
        static com_port table[COM_PORTS_MAX];
        memset(table, 0x55, sizeof table);
        int32_t count = discover_ports(table);
        ASSERT_EQ(count, int32_t(c.expected.size())) << c.name;
        for (size_t i = 0; i < c.expected.size(); i++) {
            EXPECT_EQ(table[i].number, c.expected[i]) << c.name;
            EXPECT_STREQ(table[i].path, port_entry(c.expected[i]).path) << c.name;
        }
        scratch_leave(&s);
    }
}

TEST(Discovery, EveryPortPresentFillsAtMost998Entries)
{
    scratch_folder s;
    ASSERT_NO_FATAL_FAILURE(scratch_enter(&s));
    for (int n = 1; n <= 1000; n++)
        port_present(n);
    static com_port table[COM_PORTS_MAX];
    EXPECT_EQ(discover_ports(table), 998);
    EXPECT_STREQ(table[0].path, "\\\\.\\com1");
    EXPECT_STREQ(table[997].path, "\\\\.\\com998");
    EXPECT_EQ(table[997].number, 998);
    scratch_leave(&s);
}

struct merge_case {
    const char *name;
    std::vector<int> probed;
    int held;      // 0: no port held
    int selected;  // 0: nothing selected
    std::vector<int> expected;
    int32_t expected_selected;
};

TEST(PortList, FreshProbeKeepsTheHeldPortAndTheSelection)
{
    const merge_case cases[] = {
        {"selected port still there", {3, 5, 6}, 0, 5, {3, 5, 6}, 1},
        {"selected port gone", {6}, 0, 5, {6}, -1},
        {"nothing selected", {2, 10}, 0, 0, {2, 10}, -1},
        {"no port at all", {}, 0, 5, {}, -1},
        {"held port, which the probe cannot open, joins in order", {2, 10}, 5, 5, {2, 5, 10}, 1},
        {"held port first", {4}, 1, 4, {1, 4}, 1},
        {"held port last", {2, 3}, 12, 3, {2, 3, 12}, 1},
        {"held port alone", {}, 7, 0, {7}, -1},
        {"held port that the probe could open is listed once", {5, 6}, 5, 5, {5, 6}, 0},
    };
    for (const merge_case &c : cases) {
        static com_port table[COM_PORTS_MAX];
        memset(table, 0x55, sizeof table);
        for (size_t i = 0; i < c.probed.size(); i++)
            table[i] = port_entry(c.probed[i]);
        com_port held = port_entry(c.held);
        com_port selected = port_entry(c.selected);
        int32_t selected_index = 99;
        int32_t count = ports_merge(table, int32_t(c.probed.size()), c.held ? &held : nullptr,
                                    c.selected ? selected.path : nullptr, &selected_index);
        ASSERT_EQ(count, int32_t(c.expected.size())) << c.name;
        for (size_t i = 0; i < c.expected.size(); i++) {
            EXPECT_EQ(table[i].number, c.expected[i]) << c.name;
            EXPECT_STREQ(table[i].path, port_entry(c.expected[i]).path) << c.name;
        }
        EXPECT_EQ(selected_index, c.expected_selected) << c.name;
    }
}

// Windows names the port that came or went; only "COM" and 1 to 998 count,
// in single-byte or UTF-16 characters, within the bytes the message holds.
TEST(PortList, AnnouncementNamesOnePort)
{
    struct name_case {
        const char *name;
        int32_t bytes_cut; // bytes taken off the name's end with its zero
        int32_t number;
    };
    const name_case cases[] = {
        {"COM5", 0, 5},   {"com12", 0, 12}, {"COM1", 0, 1},   {"COM998", 0, 998}, {"COM999", 0, 0},
        {"COM0", 0, 0},   {"COM05", 0, 0},  {"COM", 0, 0},    {"", 0, 0},         {"LPT1", 0, 0},
        {"COM5x", 0, 0},  {"COM 5", 0, 0},  {"XCOM5", 0, 0},  {"COM-5", 0, 0},    {"COM5", 1, 5},
        {"COM15", 2, 1},  {"COM5", 4, 0},
    };
    for (const name_case &c : cases) {
        std::vector<uint8_t> narrow(c.name, c.name + strlen(c.name) + 1);
        std::vector<uint8_t> wide;
        for (uint8_t byte : narrow) {
            wide.push_back(byte);
            wide.push_back(0);
        }
        int32_t narrow_bytes = int32_t(narrow.size()) - c.bytes_cut;
        int32_t wide_bytes = int32_t(wide.size()) - 2 * c.bytes_cut;
        EXPECT_EQ(port_announced_number(narrow.data(), narrow_bytes), c.number) << c.name << " cut " << c.bytes_cut;
        EXPECT_EQ(port_announced_number(wide.data(), wide_bytes), c.number) << c.name << " in UTF-16, cut " << c.bytes_cut;
    }
    const uint8_t odd[] = {'C', 0, 'O', 0, 'M', 0, '7'}; // a UTF-16 name cut inside a character
    EXPECT_EQ(port_announced_number(odd, sizeof odd), 0);
}

// Ports com5 and com7, com5 selected; its run loses the line; Windows then
// announces com5's removal and, later, its return (or another port's).
// com5 comes back selected unless the technician chose another entry or
// pressed Update in between. A removal drops only the port it names.
TEST(PortList, LostRunsPortIsSelectedAgainWhenItComesBack)
{
    struct return_case {
        const char *name;
        bool lost;      // the run on com5 ended "Connection lost"
        bool forgotten; // the technician chose another entry, or pressed Update
        int arrived;
        int expected_selected; // port number
    };
    const return_case cases[] = {
        {"the lost run's port back", true, false, 5, 5},
        {"another entry chosen in between", true, true, 5, 7},
        {"another port arrives", true, false, 9, 7},
        {"the run did not lose its line", false, false, 5, 7},
    };
    for (const return_case &c : cases) {
        static com_port table[COM_PORTS_MAX];
        table[0] = port_entry(5);
        table[1] = port_entry(7);
        int32_t count = 2;
        port_return back = {};
        if (c.lost)
            port_return_remember(&back, &table[0]);
        count = ports_drop(table, count, 5);
        ASSERT_EQ(count, 1) << c.name;
        ASSERT_EQ(table[0].number, 7) << c.name;
        EXPECT_EQ(ports_drop(table, count, 6), 1) << c.name << ": a port not listed";
        // With its entry gone the list shows com7, the first, selected.
        if (c.forgotten)
            port_return_forget(&back);
        com_port arrived = port_entry(c.arrived);
        int32_t selected = -1;
        count = ports_merge(table, count, &arrived, port_entry(7).path, &selected);
        ASSERT_EQ(count, 2) << c.name;
        selected = port_return_select(&back, c.arrived, table, count, selected);
        ASSERT_GE(selected, 0) << c.name;
        EXPECT_EQ(table[selected].number, c.expected_selected) << c.name;
    }
}

const char FATAL_OPENING[] = "\n\nAn Error has occurred as follows:\n";
const char FATAL_CLOSING[] = "\n\n The program will now abort\n\n\n";
const char PORT_TEXT[] = "Unable to open serial port. In use already, or not present";

TEST(FatalReport, PiecesInOrder)
{
    char message[FATAL_MESSAGE_SIZE];
    int32_t n = fatal_compose(message, PORT_TEXT, 2, "The system cannot find the file specified.\r\n");
    std::string expected = std::string(FATAL_OPENING) + "          " + PORT_TEXT + "\n" +
                           "Error number 2 reported\n" + "The system cannot find the file specified.\r\n" +
                           FATAL_CLOSING;
    EXPECT_EQ(std::string(message), expected);
    EXPECT_EQ(n, int32_t(expected.size()));
}

TEST(FatalReport, NoErrorLineWithoutAnError)
{
    char message[FATAL_MESSAGE_SIZE];
    fatal_compose(message, "Could not create dialog", 0, "ignored");
    EXPECT_EQ(std::string(message),
              std::string(FATAL_OPENING) + "          Could not create dialog\n" + FATAL_CLOSING);
}

TEST(FatalReport, LongSystemTextIsCutAndTheClosingLineStaysWhole)
{
    for (size_t length : {900u, 940u, 999u, 5000u}) {
        std::string system_text(length, 'x');
        char message[FATAL_MESSAGE_SIZE + 16];
        memset(message, 0x7E, sizeof message);
        int32_t n = fatal_compose(message, PORT_TEXT, 1450, system_text.c_str());
        std::string text(message);
        EXPECT_EQ(n, int32_t(text.size())) << length;
        EXPECT_LE(text.size(), size_t(FATAL_MESSAGE_SIZE - 1)) << length;
        EXPECT_EQ(text.substr(text.size() - strlen(FATAL_CLOSING)), FATAL_CLOSING) << length;
        EXPECT_NE(text.find("Error number 1450 reported\nxxx"), std::string::npos) << length;
        EXPECT_EQ(message[FATAL_MESSAGE_SIZE], 0x7E) << "nothing written past the report";
    }
}

TEST(FatalReport, LongDescriptionCannotPushOutTheClosingLine)
{
    std::string text(2000, 'd');
    char message[FATAL_MESSAGE_SIZE];
    fatal_compose(message, text.c_str(), 5, "Access is denied.\r\n");
    std::string out(message);
    EXPECT_EQ(out.size(), size_t(FATAL_MESSAGE_SIZE - 1));
    EXPECT_EQ(out.substr(out.size() - strlen(FATAL_CLOSING)), FATAL_CLOSING);
}

struct padding_case {
    int32_t resource_size;
    int32_t padded;
};

TEST(ImagePadding, RoundsUpToWholeBlocks)
{
    const padding_case cases[] = {{1, 1024}, {1023, 1024}, {1024, 1024}, {1025, 2048},
                                  {2048, 2048}, {110784, 0x1B400}};
    for (const padding_case &c : cases)
        EXPECT_EQ(image_padded_size(c.resource_size), c.padded) << c.resource_size;
}

TEST(ImagePadding, CopyIsZeroPaddedAndTraced)
{
    std::vector<uint8_t> data(1025, 0xA5);
    modbus_transfer t = {};
    testing::internal::CaptureStdout();
    ASSERT_EQ(image_place(&t, data.data(), int32_t(data.size())), 0);
    std::string log = testing::internal::GetCapturedStdout();
    ASSERT_EQ(t.image_size, 2048);
    EXPECT_EQ(t.flash_base, FLASH_IMAGE_BASE);
    EXPECT_EQ(memcmp(t.image, data.data(), data.size()), 0);
    for (int32_t i = 1025; i < 2048; i++)
        ASSERT_EQ(t.image[i], 0) << i;
    EXPECT_EQ(log, "\nFlash Image Base 0x8001000\nFlash Image Size 0x800 bytes\n");
    free(t.image);
}

TEST(ImagePadding, CarriedImageSizeTraces)
{
    std::vector<uint8_t> data(110784, 1);
    modbus_transfer t = {};
    testing::internal::CaptureStdout();
    ASSERT_EQ(image_place(&t, data.data(), int32_t(data.size())), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nFlash Image Base 0x8001000\nFlash Image Size 0x1b400 bytes\n");
    free(t.image);
}

// The start-up allocations are the portable core's callocs; the unit tests
// link them to this wrapper, which can make them fail as an exhausted heap
// would.
int calloc_failures_left;

} // namespace

extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void *__wrap_calloc(size_t count, size_t size)
{
    if (calloc_failures_left > 0) {
        calloc_failures_left--;
        return nullptr;
    }
    return __real_calloc(count, size);
}

namespace {

// The caller turns -1 into the fatal report; what matters here is that no
// half-made buffer is left behind for the program to use.
TEST(StartUp, BuffersThatCannotBeAllocatedAreReportedNotUsed)
{
    modbus_transfer t = {};
    calloc_failures_left = 1;
    EXPECT_EQ(link_init(&t), -1);
    EXPECT_EQ(t.frame, nullptr);

    std::vector<uint8_t> data(1025, 0xA5);
    calloc_failures_left = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(image_place(&t, data.data(), int32_t(data.size())), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "no image to trace";
    EXPECT_EQ(t.image, nullptr);
    EXPECT_EQ(t.image_size, 0);

    ASSERT_EQ(link_init(&t), 0);
    free(t.frame);
}

TEST(StatusLine, FormatsAndIsBounded)
{
    fake_reset();
    show_status("programming %#x", 0x8001400u);
    std::string long_text(300, 'z');
    show_status("%s", long_text.c_str());
    ASSERT_EQ(fake.statuses.size(), 2u);
    EXPECT_EQ(fake.statuses[0], "programming 0x8001400");
    EXPECT_EQ(fake.statuses[1], std::string(STATUS_TEXT_SIZE - 1, 'z'));
    EXPECT_EQ(status_text[STATUS_TEXT_SIZE - 1], '\0');
}

// The port list's accessible name is the instruction that asks for it:
// the paragraph of the dialog's instructions that holds the phrase.
TEST(AccessibleName, ParagraphHoldingThePhrase)
{
    const char *instructions = "Plug the Tamlink into the Orvex remote port (right hand connector)\n\n"
                               "Choose the COM port corresponding to the Orvex.\n\n"
                               "Press the \"\"Update\"\" button when ready.";
    struct paragraph_case {
        const char *phrase;
        int32_t size;
        const char *expected;
    };
    const paragraph_case cases[] = {
        {"COM port", 100, "Choose the COM port corresponding to the Orvex."},
        {"Plug", 100, "Plug the Tamlink into the Orvex remote port (right hand connector)"},
        {"when ready.", 100, "Press the \"\"Update\"\" button when ready."},
        {"COM port", 7, "Choose"}, // cut to fit
        {"USB", 100, ""},
    };
    for (const paragraph_case &c : cases) {
        char out[100] = "left over";
        paragraph_with(instructions, c.phrase, out, c.size);
        EXPECT_STREQ(out, c.expected) << c.phrase;
    }
}

} // namespace
