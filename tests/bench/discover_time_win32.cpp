// discover_time: how long the tool's port discovery takes on this machine.
// It runs the very discover_ports that the tool runs at start (from the
// Windows build's installer_core), a few times over, and prints the time of
// each pass from the performance counter, then the ports it found.
//   discover_time [passes]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "serial/serial.h"

namespace {

const long BENCH_PASSES_DEFAULT = 5;

double elapsed_ms(const LARGE_INTEGER &since, const LARGE_INTEGER &until)
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(until.QuadPart - since.QuadPart) * 1000.0 /
           static_cast<double>(frequency.QuadPart);
}

} // namespace

int main(int argc, char **argv)
{
    long passes = argc > 1 ? strtol(argv[1], nullptr, 0) : BENCH_PASSES_DEFAULT;
    if (passes < 1) {
        passes = 1;
    }
    int32_t count = 0;
    for (long pass = 0; pass < passes; ++pass) {
        LARGE_INTEGER start{};
        LARGE_INTEGER end{};
        QueryPerformanceCounter(&start);
        count = discover_ports(com_ports);
        QueryPerformanceCounter(&end);
        printf("pass\t%ld\t%.3f\t%ld\n", pass + 1, elapsed_ms(start, end), static_cast<long>(count));
    }
    for (int32_t i = 0; i < count; ++i) {
        printf("port\t%ld\t%s\n", static_cast<long>(com_ports[i].number), com_ports[i].path);
    }
    return 0;
}
