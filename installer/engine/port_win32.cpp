// The engine's machine seam on Windows: synchronous serial I/O on the port
// handle, the millisecond tick count and sleeping.
#include <windows.h>

#include "engine/platform.h"

// The code of the last call that failed, taken straight after it, before any
// other system call can change the thread's last error.
static DWORD port_last_error = 0;

static int32_t port_result(BOOL done, DWORD count)
{
    if (!done) {
        port_last_error = GetLastError();
        return PORT_CALL_FAILED;
    }
    return static_cast<int32_t>(count);
}

int32_t port_write(port_handle port, const uint8_t *data, int32_t n)
{
    DWORD bytes_written = 0;
    BOOL done = WriteFile(port, data, static_cast<DWORD>(n), &bytes_written, NULL);
    return port_result(done, bytes_written);
}

// How long this blocks is the port's business: configure_port sets 20 ms of
// silence to end a reply and 100 ms for a read that gets nothing. A read that
// gets nothing still succeeds; only a port that has gone away fails it.
int32_t port_read(port_handle port, uint8_t *buffer, int32_t n)
{
    DWORD bytes_read = 0;
    BOOL done = ReadFile(port, buffer, static_cast<DWORD>(n), &bytes_read, NULL);
    return port_result(done, bytes_read);
}

uint32_t port_error()
{
    return port_last_error;
}

void port_purge(port_handle port)
{
    PurgeComm(port, PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void port_drain(port_handle port)
{
    FlushFileBuffers(port);
}

uint32_t tick_count_ms()
{
    return GetTickCount();
}

void sleep_ms(uint32_t ms)
{
    Sleep(ms);
}
