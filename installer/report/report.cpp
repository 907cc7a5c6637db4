#include "report/report.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

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

void paragraph_with(const char *text, const char *phrase, char *out, int32_t size)
{
    const char *const PARAGRAPH_BREAK = "\n\n";
    const size_t break_length = strlen(PARAGRAPH_BREAK);
    out[0] = '\0';
    const char *found = strstr(text, phrase);
    if (found == NULL)
        return;
    const char *start = text;
    for (const char *at = strstr(text, PARAGRAPH_BREAK); at != NULL && at < found;
         at = strstr(at + break_length, PARAGRAPH_BREAK))
        start = at + break_length;
    const char *end = strstr(found, PARAGRAPH_BREAK);
    size_t length = end != NULL ? size_t(end - start) : strlen(start);
    snprintf(out, size_t(size), "%.*s", int(length), start);
}
