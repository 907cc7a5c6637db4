// The engine's machine seam on Windows: synchronous serial I/O on the port
// handle, the millisecond tick count and sleeping.
#include <windows.h>

#include "engine/platform.h"

// The count tells the caller everything it uses: a failed write shows up as a
// reply that never comes, which the sequencer already answers with a resend.
int32_t port_write(port_handle port, const uint8_t *data, int32_t n)
{
    DWORD bytes_written = 0;
    WriteFile(port, data, static_cast<DWORD>(n), &bytes_written, NULL);
    return static_cast<int32_t>(bytes_written);
}

// How long this blocks is the port's business: configure_port sets 20 ms of
// silence to end a reply and 100 ms for a read that gets nothing.
int32_t port_read(port_handle port, uint8_t *buffer, int32_t n)
{
    DWORD bytes_read = 0;
    ReadFile(port, buffer, static_cast<DWORD>(n), &bytes_read, NULL);
    return static_cast<int32_t>(bytes_read);
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
