#include "report/fatal.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "report/report.h"

static const char FATAL_CLOSING[] = "\n\n The program will now abort\n\n\n";

// Appends to message at *pos, never past limit (the terminating zero's
// place); a piece that does not fit is cut.
static void append(char *message, int32_t *pos, int32_t limit, const char *format, ...)
    REPORT_FORMAT(4, 5);

static void append(char *message, int32_t *pos, int32_t limit, const char *format, ...)
{
    if (*pos >= limit)
        return;
    va_list args;
    va_start(args, format);
    int written = vsnprintf(message + *pos, static_cast<size_t>(limit - *pos + 1), format, args);
    va_end(args);
    if (written < 0)
        return;
    *pos += written;
    if (*pos > limit)
        *pos = limit;
}

int32_t fatal_compose(char *message, const char *text, uint32_t error_code, const char *system_text)
{
    // The closing line always goes in whole: whatever comes before it is cut
    // to leave it room.
    int32_t closing_length = static_cast<int32_t>(sizeof FATAL_CLOSING - 1);
    int32_t body_limit = FATAL_MESSAGE_SIZE - 1 - closing_length;
    int32_t pos = 0;

    message[0] = '\0';
    append(message, &pos, body_limit, "\n\nAn Error has occurred as follows:\n");
    append(message, &pos, body_limit, "          %s\n", text);
    if (error_code != 0) {
        append(message, &pos, body_limit, "Error number %ld reported\n", static_cast<long>(error_code));
        if (system_text != nullptr)
            append(message, &pos, body_limit, "%s", system_text);
    }
    append(message, &pos, FATAL_MESSAGE_SIZE - 1, "%s", FATAL_CLOSING);
    return pos;
}
