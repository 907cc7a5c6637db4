#include "report/report.h"

#include <stdarg.h>
#include <stdio.h>

#include "engine/platform.h"

char status_text[STATUS_TEXT_SIZE];

void trace(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void show_status(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    // Bounded: a longer text is cut rather than run past the buffer.
    vsnprintf(status_text, sizeof status_text, format, args);
    va_end(args);
    status_line_set(status_text);
}
