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

// The paragraph of text (paragraphs are separated by a blank line, "\n\n")
// that holds phrase, copied into out (size bytes, cut to fit); empty when no
// paragraph holds it. A control without a label of its own is named after
// the instruction that asks for it.
void paragraph_with(const char *text, const char *phrase, char *out, int32_t size);
