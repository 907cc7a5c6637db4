// The Windows ends of the reports: the dialog's status line, and the fatal
// error box that ends the program.
#include <windows.h>

#include <stdlib.h>

#include "engine/platform.h"
#include "engine/progress.h"
#include "globals.h"
#include "report/fatal.h"
#include "resources/resource.h"

void status_line_set(const char *text)
{
    SetDlgItemTextA(g_main_dialog, IDC_STATUS, text);
}

void system_error_text(uint32_t code, char *text, uint32_t size)
{
    // Some system messages hold inserts such as %1 for the caller to fill
    // in; with no arguments to give, they must come back as written rather
    // than have FormatMessageA read arguments that do not exist. It leaves
    // the buffer alone when it has no text for the code.
    text[0] = '\0';
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, text, size,
                   NULL);
}

void fatal_error(const char *text)
{
    // Before any other system call, or the code would be some later call's.
    DWORD code = GetLastError();

    // Not shown for a code of 0.
    char system_text[FATAL_MESSAGE_SIZE] = "";
    system_error_text(code, system_text, sizeof system_text);

    char message[FATAL_MESSAGE_SIZE];
    fatal_compose(message, text, code, system_text);

    // Owned by the dialog when there is one, so that it stays in front of it.
    MessageBoxA(g_main_dialog, message, "Terminate Program", MB_ICONWARNING | MB_OK);
    // The session's end took the box away with the dialog: no tone in a
    // shutdown, and the end Windows asked for is not a failure.
    if (session_end == SESSION_ENDING)
        exit(0);
    Beep(200, 1000);
    exit(1);
}
