// The trace log (standard output) and the status line.
#pragma once

#include <stdint.h>
#include <stdio.h>

// Lets the compiler check the arguments against the format; mingw's C99
// printf, which the Windows build uses, has its own name for the kind.
#ifdef __MINGW32__
#define REPORT_FORMAT(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define REPORT_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

const int32_t STATUS_TEXT_SIZE = 100; // bytes, terminating zero included

extern char status_text[STATUS_TEXT_SIZE];

void trace(const char *format, ...) REPORT_FORMAT(1, 2);
void show_status(const char *format, ...) REPORT_FORMAT(1, 2);
