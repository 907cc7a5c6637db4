// The portable pieces around the engine: port discovery, the fatal report's
// text, the image padding and the status line.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "image/image.h"
#include "report/fatal.h"
#include "report/report.h"
#include "serial/serial.h"
#include "unit/rows.h"

// The start-up allocations are the portable core's callocs; the unit tests
// link them to this wrapper, which can make them fail as an exhausted heap
// would.
static int calloc_failures_left;

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

com_port port_entry(int n)
{
    com_port entry = {};
    entry.number = n;
    snprintf(entry.path, sizeof entry.path, "\\\\.\\com%d", n);
    return entry;
}

// The numbers of a port table's entries, each of which must carry its path.
std::vector<int> numbers_of(const com_port *table, int32_t count)
{
    std::vector<int> numbers;
    for (int32_t i = 0; i < count; i++) {
        EXPECT_STREQ(table[i].path, port_entry(table[i].number).path);
        numbers.push_back(table[i].number);
    }
    return numbers;
}

// What discovery finds with these ports present. It probes device paths
// with fopen: in a scratch working folder, files named like the paths stand
// in for the ports.
std::vector<int> discovered(const std::vector<int> &present)
{
    namespace fs = std::filesystem;
    const fs::path back = fs::current_path();
    const fs::path folder = fs::temp_directory_path() / ("discover-" + std::to_string(getpid()));
    fs::remove_all(folder); // what a run that crashed here left
    fs::create_directory(folder);
    fs::current_path(folder);
    for (int n : present)
        std::ofstream(port_entry(n).path).put('\n');
    static com_port table[COM_PORTS_MAX];
    memset(table, 0x55, sizeof table);
    int32_t count = discover_ports(table);
    fs::current_path(back);
    fs::remove_all(folder);
    return numbers_of(table, count);
}

TEST(Discovery, FindsPortsInAscendingOrderUpTo998)
{
    EXPECT_EQ(discovered({}), std::vector<int>());
    EXPECT_EQ(discovered({12, 3}), std::vector<int>({3, 12}));
    EXPECT_EQ(discovered({10, 2}), std::vector<int>({2, 10}));
    EXPECT_EQ(discovered({1, 998, 999, 1000}), std::vector<int>({1, 998})); // the edges
    // Each probe's file is closed again: a port left open is one nobody else can use.
    const auto before = std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    discovered({4, 5});
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), before);
    std::vector<int> every(1000); // every port present: at most 998 entries
    std::iota(every.begin(), every.end(), 1);
    EXPECT_EQ(discovered(every), std::vector<int>(every.begin(), every.begin() + 998));
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
        EXPECT_EQ(numbers_of(table, count), c.expected) << c.name;
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
        {"COM15", 2, 1},  {"COM5", 4, 0},   {"COM10", 0, 10}, {"XOM5", 0, 0},
    };
    for (const name_case &c : cases) {
        std::vector<uint8_t> narrow(c.name, c.name + strlen(c.name) + 1);
        std::vector<uint8_t> wide;
        for (uint8_t byte : narrow)
            wide.insert(wide.end(), {byte, 0});
        int32_t narrow_bytes = int32_t(narrow.size()) - c.bytes_cut;
        int32_t wide_bytes = int32_t(wide.size()) - 2 * c.bytes_cut;
        EXPECT_EQ(port_announced_number(narrow.data(), narrow_bytes), c.number) << c.name << " cut " << c.bytes_cut;
        EXPECT_EQ(port_announced_number(wide.data(), wide_bytes), c.number) << c.name << " in UTF-16, cut " << c.bytes_cut;
    }
    const uint8_t odd[] = {'C', 0, 'O', 0, 'M', 0, '7'}; // a UTF-16 name cut inside a character
    EXPECT_EQ(port_announced_number(odd, sizeof odd), 0);
    const uint8_t wide_high[] = {'C', 0, 'O', 0, 'M', 0x04, '7', 0}; // a character beyond ASCII
    EXPECT_EQ(port_announced_number(wide_high, sizeof wide_high), 0);
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
        port_return back = {};
        if (c.lost)
            port_return_remember(&back, &table[0]);
        int32_t count = ports_drop(table, 2, 5);
        ASSERT_EQ(numbers_of(table, count), std::vector<int>{7}) << c.name;
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
    com_port stale[] = {port_entry(7), port_entry(5)}; // com5 past the count: none of the list's
    const port_return five = {5};
    int32_t selected = 0;
    EXPECT_EQ(ports_merge(stale, 1, nullptr, port_entry(5).path, &selected) + selected, 0);
    EXPECT_EQ(port_return_select(&five, 5, stale, 1, 0), 0);
}

const char FATAL_OPENING[] = "\n\nAn Error has occurred as follows:\n";
const char FATAL_CLOSING[] = "\n\n The program will now abort\n\n\n";
const char PORT_TEXT[] = "Unable to open serial port. In use already, or not present";

// What fatal_compose writes for these, held to what every report must be:
// its length as returned, within its buffer and nothing past it, the
// closing line whole at its end.
std::string composed(const char *description, uint32_t code, const char *system_text)
{
    char message[FATAL_MESSAGE_SIZE + 16];
    memset(message, 0x7E, sizeof message);
    int32_t n = fatal_compose(message, description, code, system_text);
    std::string text(message);
    EXPECT_EQ(n, int32_t(text.size()));
    EXPECT_LE(text.size(), size_t(FATAL_MESSAGE_SIZE - 1));
    EXPECT_EQ(text.rfind(FATAL_CLOSING), text.size() - strlen(FATAL_CLOSING));
    EXPECT_EQ(message[FATAL_MESSAGE_SIZE], 0x7E) << "nothing written past the report";
    return text;
}

// A reply ends after 20 ms of silence, a read that gets nothing after 100 ms; writes never time out.
TEST(PortLine, TimeoutsAsTheEngineExpectsThem)
{
    const port_timeouts t = line_timeouts();
    EXPECT_EQ(std::vector<uint32_t>({t.read_interval, t.read_total_multiplier, t.read_total_constant,
                                     t.write_total_multiplier, t.write_total_constant}),
              std::vector<uint32_t>({20, 0, 100, 0, 0}));
}

TEST(FatalReport, PiecesInOrderAndNoErrorLineWithoutAnError)
{
    EXPECT_EQ(composed(PORT_TEXT, 2, "The system cannot find the file specified.\r\n"),
              std::string(FATAL_OPENING) + "          " + PORT_TEXT + "\n" + "Error number 2 reported\n" +
                  "The system cannot find the file specified.\r\n" + FATAL_CLOSING);
    EXPECT_EQ(composed("Could not create dialog", 0, "ignored"),
              std::string(FATAL_OPENING) + "          Could not create dialog\n" + FATAL_CLOSING);
}

TEST(FatalReport, LongSystemTextIsCutAndTheClosingLineStaysWhole)
{
    for (size_t length : {900u, 940u, 999u, 5000u}) {
        SCOPED_TRACE(length);
        std::string text = composed(PORT_TEXT, 1450, std::string(length, 'x').c_str());
        EXPECT_NE(text.find("Error number 1450 reported\nxxx"), std::string::npos);
    }
    // Nor can a long description push it out.
    EXPECT_EQ(composed(std::string(2000, 'd').c_str(), 5, "Access is denied.\r\n").size(), FATAL_MESSAGE_SIZE - 1u);
}

TEST(ImagePadding, RoundsUpToWholeBlocks)
{
    const int32_t sizes_padded[][2] = {{1, 1024},    {1023, 1024}, {1024, 1024},
                                       {1025, 2048}, {2048, 2048}, {110784, 0x1B400}};
    for (const auto &c : sizes_padded)
        EXPECT_EQ(image_padded_size(c[0]), c[1]) << c[0];
}

// The image that image_place makes of `size` bytes: they, then zeros to the
// whole blocks the padding gives. Returns what it traced.
std::string placed(int32_t size)
{
    std::vector<uint8_t> data(size_t(size), 0xA5);
    modbus_transfer t = {};
    std::string log = traced([&] { EXPECT_EQ(image_place(&t, data.data(), size), 0); });
    EXPECT_EQ(t.image_size, image_padded_size(size));
    EXPECT_EQ(t.flash_base, FLASH_IMAGE_BASE);
    EXPECT_TRUE(t.image != nullptr && std::equal(data.begin(), data.end(), t.image) &&
                std::all_of(t.image + size, t.image + t.image_size, [](uint8_t b) { return b == 0; }));
    free(t.image);
    return log;
}

TEST(ImagePadding, CopyIsZeroPaddedAndTraced)
{
    EXPECT_EQ(placed(1025), "\nFlash Image Base 0x8001000\nFlash Image Size 0x800 bytes\n");
    EXPECT_EQ(placed(110784), "\nFlash Image Base 0x8001000\nFlash Image Size 0x1b400 bytes\n"); // the carried one
}

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
    EXPECT_EQ(traced([&] { EXPECT_EQ(image_place(&t, data.data(), int32_t(data.size())), -1); }), "") << "no image";
    EXPECT_EQ(t.image, nullptr);
    EXPECT_EQ(t.image_size, 0);

    ASSERT_EQ(link_init(&t), 0);
    free(t.frame);
}

TEST(StatusLine, FormatsAndIsBounded)
{
    fake_reset();
    show_status("programming %#x", 0x8001400u);
    show_status("%s", std::string(300, 'z').c_str());
    EXPECT_EQ(fake.statuses,
              std::vector<std::string>({"programming 0x8001400", std::string(STATUS_TEXT_SIZE - 1, 'z')}));
    EXPECT_EQ(status_text[STATUS_TEXT_SIZE - 1], '\0');
}

// The port list's accessible name is the instruction that asks for it:
// the paragraph of the dialog's instructions that holds the phrase.
TEST(AccessibleName, ParagraphHoldingThePhrase)
{
    const char *instructions = "Plug the Tamlink into the Orvex remote port (right hand connector)\n\n"
                               "Choose the COM port corresponding to the Orvex.\n\n"
                               "Press the \"\"Update\"\" button when ready.";
    const struct {
        const char *phrase;
        int32_t size;
        const char *expected;
    } cases[] = {
        {"COM port", 100, "Choose the COM port corresponding to the Orvex."},
        {"Plug", 100, "Plug the Tamlink into the Orvex remote port (right hand connector)"},
        {"when ready.", 100, "Press the \"\"Update\"\" button when ready."},
        {"COM port", 7, "Choose"}, // cut to fit
        {"USB", 100, ""},
    };
    for (const auto &c : cases) {
        char out[100] = "left over";
        paragraph_with(instructions, c.phrase, out, c.size);
        EXPECT_STREQ(out, c.expected) << c.phrase;
    }
}

} // namespace
