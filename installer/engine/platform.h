// What the engine needs of the machine it runs on, and nothing more.
// port_win32.cpp and report_win32.cpp implement it for Windows; the unit
// tests put a scripted device and a virtual clock in its place.
#pragma once

#include <stdint.h>

#include "engine/link.h"

// What a port call returns when the call itself failed, as when the adapter
// has been pulled out; port_error then gives the system's code for it.
const int32_t PORT_CALL_FAILED = -1;

// Blocking write of n bytes; returns the count written, or PORT_CALL_FAILED.
int32_t port_write(port_handle port, const uint8_t *data, int32_t n);
// Reads up to n bytes within the port's time-outs: the bytes of one reply,
// which ends after 20 ms of silence, or 0 after 100 ms with nothing (a
// silent line, not a failure); PORT_CALL_FAILED when the call failed.
int32_t port_read(port_handle port, uint8_t *buffer, int32_t n);
// The system's error code of the last port call that failed.
uint32_t port_error();
// The system's text for an error code, as the fatal report shows it; empty
// when the system has none.
void system_error_text(uint32_t code, char *text, uint32_t size);
// Drops whatever is buffered in both directions.
void port_purge(port_handle port);
// Waits until written data has left.
void port_drain(port_handle port);

uint32_t tick_count_ms();
void sleep_ms(uint32_t ms);

// Puts a text into the main dialog's status line.
void status_line_set(const char *text);
