// discover_time: how long the tool's port discovery takes on this machine.
// It runs the very discover_ports that the tool runs at start (from the
// Windows build's installer_core), a few times over, and prints the time of
// each pass from the performance counter, then the ports it found.
//   discover_time [passes]
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

#include "serial/serial.h"

const long BENCH_PASSES_DEFAULT = 5;

int main(int argc, char **argv)
{
    long passes = std::max(1L, argc > 1 ? strtol(argv[1], nullptr, 0) : BENCH_PASSES_DEFAULT);
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    int32_t count = 0;
    for (long pass = 1; pass <= passes; ++pass) {
        LARGE_INTEGER start{};
        LARGE_INTEGER end{};
        QueryPerformanceCounter(&start);
        count = discover_ports(com_ports);
        QueryPerformanceCounter(&end);
        printf("pass\t%ld\t%.3f\t%ld\n", pass,
               static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart),
               static_cast<long>(count));
    }
    for (int32_t i = 0; i < count; ++i)
        printf("port\t%ld\t%s\n", static_cast<long>(com_ports[i].number), com_ports[i].path);
    return 0;
}
