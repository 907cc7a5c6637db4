// Prints the system's text for each error code given, as the fatal report
// and the trace would show it, between brackets so that line breaks and
// inserts stay visible:  system_text CODE...
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include "engine/platform.h"
#include "report/fatal.h"

// The report's module links against the program's two handles and where
// the session stands.
HINSTANCE g_instance;
HWND g_main_dialog;
uint32_t session_end;

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        uint32_t code = static_cast<uint32_t>(strtoul(argv[i], NULL, 0));
        char text[FATAL_MESSAGE_SIZE] = "what the buffer held"; // gone, when the system has no text
        system_error_text(code, text, sizeof text);
        printf("%lu [%s]\n", static_cast<unsigned long>(code), text);
    }
    return 0;
}
