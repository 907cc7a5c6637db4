// The fatal error report: what failed, the system's account of the last
// error, a low tone, and exit status 1.
#pragma once

#include <stdint.h>

const int32_t FATAL_MESSAGE_SIZE = 1000; // bytes, terminating zero included

// Composes the report into message (FATAL_MESSAGE_SIZE bytes). With an
// error_code of 0 there is no error line and system_text is not used. The
// system's text is cut where it would leave no room for the closing line.
// Returns the length of the report.
int32_t fatal_compose(char *message, const char *text, uint32_t error_code,
                      const char *system_text);

// Shows the report and ends the program (Windows only).
[[noreturn]] void fatal_error(const char *text);
