// The two handles that the Windows side of the program shares: the module
// (for its resources) and the main dialog (owner of the status line, of the
// fatal error box and of the message loop's dialog handling).
#pragma once

#include <windows.h>

#include <stdint.h>

extern HINSTANCE g_instance;
extern HWND g_main_dialog; // null until the dialog exists; kept after it is destroyed
// Where Windows stands with the end of the session (SESSION_*): while it
// may end the run starts no block; once it ends the program ends with 0,
// quietly, whatever box is up.
extern uint32_t session_end;
