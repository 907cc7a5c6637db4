// tick_probe: the platform's share of a step of the tool, measured apart from
// the tool. Under Wine it times, with the performance counter, how long after
// SetTimer(10 ms) the WM_TIMER comes, the timer set again after each tick as
// the tool does; with a COM port given (a simulated device on it), a WriteFile
// of a 1035-byte frame, and a ReadFile with the tool's time-outs when the
// device's reply is already waiting (and, a few times, when nothing comes).
//   tick_probe [ticks] [\\.\comN]
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "engine/frames.h"
#include "serial/serial.h"

// The frame builder's trace and status helpers come along with it; the probe
// has no status line.
void status_line_set(const char *) {}

namespace {

const UINT PROBE_TIMER_ID = 1;
const UINT PROBE_TICK_MS = 10;
const long PROBE_TICKS_DEFAULT = 200;
const DWORD PROBE_REPLY_WAIT_MS = 10;  // as the tool: a tick between send and read

LARGE_INTEGER probe_frequency;

double now_ms()
{
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(probe_frequency.QuadPart);
}

void print_stats(const char *what, const std::vector<double> &values)
{
    if (!values.empty()) {
        auto range = std::minmax_element(values.begin(), values.end());
        printf("%s\tn %u\tmean %.3f\tmin %.3f\tmax %.3f\n", what, static_cast<unsigned>(values.size()),
               std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size()), *range.first,
               *range.second);
    }
}

void timer_probe(long ticks)
{
    // A plain window of the system's static class, as the tool's timer sits
    // on its dialog window.
    HWND window = CreateWindowA("STATIC", "tick_probe", 0, 0, 0, 0, 0, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
        fprintf(stderr, "tick_probe: no window (%lu)\n", GetLastError());
        return;
    }
    std::vector<double> delays;
    double set_at = now_ms();
    SetTimer(window, PROBE_TIMER_ID, PROBE_TICK_MS, nullptr);
    MSG msg{};
    while (static_cast<long>(delays.size()) < ticks && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER) {
            delays.push_back(now_ms() - set_at);
            set_at = now_ms();
            SetTimer(window, PROBE_TIMER_ID, PROBE_TICK_MS, nullptr);
            continue;
        }
        DispatchMessageA(&msg);
    }
    KillTimer(window, PROBE_TIMER_ID);
    print_stats("timer_10ms", delays);
}

void port_probe(const char *path, long rounds)
{
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "tick_probe: cannot open %s\n", path);
        return;
    }
    COMMTIMEOUTS cto{};
    cto.ReadIntervalTimeout = COM_READ_INTERVAL_MS; // the tool's own read limits
    cto.ReadTotalTimeoutConstant = COM_READ_TOTAL_MS;
    SetCommTimeouts(port, &cto);
    // A write block for the start of the flash, all zeros, built as the tool
    // builds it: the device stores it and acknowledges it.
    static const uint8_t zeros[MODBUS_PROG_BLOCKSIZE_MAX] = {};
    std::vector<uint8_t> frame(MODBUS_FRAME_LENGTH_MAX);
    modbus_transfer block = {};
    block.frame = frame.data();
    block.slave_address = DEVICE_ADDRESS;
    build_write_block(&block, FLASH_IMAGE_BASE, MODBUS_PROG_BLOCKSIZE_MAX, zeros);
    std::vector<uint8_t> reply(MODBUS_FRAME_LENGTH_MAX);
    std::vector<double> writes;
    std::vector<double> reads;
    std::vector<double> nothing;
    DWORD count = 0;
    auto timed_read = [&](std::vector<double> &times) {
        double start = now_ms();
        ReadFile(port, reply.data(), static_cast<DWORD>(reply.size()), &count, nullptr);
        times.push_back(now_ms() - start);
    };
    for (long round = 0; round < rounds; ++round) {
        double start = now_ms();
        WriteFile(port, block.frame, static_cast<DWORD>(block.len), &count, nullptr);
        writes.push_back(now_ms() - start);
        Sleep(PROBE_REPLY_WAIT_MS);
        timed_read(reads);
        if (round < 5)
            timed_read(nothing);
    }
    print_stats("write_1035", writes);
    print_stats("read_waiting_reply", reads);
    print_stats("read_nothing", nothing);
    CloseHandle(port);
}

} // namespace

int main(int argc, char **argv)
{
    QueryPerformanceFrequency(&probe_frequency);
    long ticks = argc > 1 ? strtol(argv[1], nullptr, 0) : PROBE_TICKS_DEFAULT;
    timer_probe(ticks);
    if (argc > 2)
        port_probe(argv[2], ticks / 4);
    return 0;
}
