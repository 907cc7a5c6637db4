// The trace log (standard output) and the status line.
#pragma once

#include <stdint.h>

const int32_t STATUS_TEXT_SIZE = 100; // bytes, terminating zero included

extern char status_text[STATUS_TEXT_SIZE];

void trace(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
void show_status(const char *format, ...) __attribute__((format(gnu_printf, 1, 2)));
