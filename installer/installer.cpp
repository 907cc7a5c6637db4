// The program's entry point and its one window: a dialog, built on the
// program's own window class, that lists the COM ports, starts an update on
// the chosen one and drives the update engine from its timer.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include "dll_search.h"
#include "engine/link.h"
#include "engine/progress.h"
#include "engine/sequencer.h"
#include "globals.h"
#include "image/image.h"
#include "report/fatal.h"
#include "report/report.h"
#include "resources/resource.h"
#include "serial/serial.h"

HINSTANCE g_instance;
HWND g_main_dialog;

namespace {

const UINT PROG_TICK_MS = 10;     // timer period between steps
const UINT PROG_GUARD_MS = 10000; // timer period while a step runs

// The Windows version the program is built for, as the trace reports it.
const unsigned WINDOWS_VERSION_BUILT_FOR = _WIN32_WINNT;

// The port of the run under way, or of the last one: the run's own copy of
// its table entry, since the table is probed again when ports come and go.
com_port run_port;

// Lists the table's count entries and selects the entry at index selected,
// or the list's first entry when selected is -1. Each list entry carries its
// index in the table, since the list sorts its entries by text.
void port_list_fill(HWND dialog, int32_t count, int32_t selected)
{
    HWND port_list = GetDlgItem(dialog, IDC_PORT_LIST);
    SendMessageA(port_list, CB_RESETCONTENT, 0, 0);
    for (int32_t i = 0; i < count; i++) {
        LRESULT at = SendMessageA(port_list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(com_ports[i].path));
        SendMessageA(port_list, CB_SETITEMDATA, at, i);
    }
    LRESULT shown = 0;
    if (selected >= 0) {
        shown = SendMessageA(port_list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                             reinterpret_cast<LPARAM>(com_ports[selected].path));
    }
    SendMessageA(port_list, CB_SETCURSEL, shown, 0);
}

// A port came or went: the list is probed again as at start. The selection
// follows its path, and the port this program holds open, which the probe
// cannot open, stays listed.
void ports_refresh(HWND dialog)
{
    HWND port_list = GetDlgItem(dialog, IDC_PORT_LIST);
    LRESULT selected_entry = SendMessageA(port_list, CB_GETCURSEL, 0, 0);
    LRESULT entry = SendMessageA(port_list, CB_GETITEMDATA, selected_entry, 0);
    // The probe writes over the table: keep the selected path apart.
    char selected_path[COM_PATH_SIZE] = "";
    if (entry != CB_ERR) {
        lstrcpynA(selected_path, com_ports[entry].path, COM_PATH_SIZE);
    }
    bool held = transfer.port != INVALID_HANDLE_VALUE;
    int32_t selected = -1;
    int32_t count = ports_merge(com_ports, discover_ports(com_ports), held ? &run_port : NULL,
                                entry != CB_ERR ? selected_path : NULL, &selected);
    port_list_fill(dialog, count, selected);
}

void progress_show(HWND dialog)
{
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    SendMessageA(bar, PBM_SETPOS, progress_position(&transfer), 0);
    // Red under visual styles. Told only of a change: after a failed run
    // the timer goes on ticking for as long as the dialog is open.
    LRESULT state = progress_bar_error(&transfer) ? PBST_ERROR : PBST_NORMAL;
    if (SendMessageA(bar, PBM_GETSTATE, 0, 0) != state) {
        SendMessageA(bar, PBM_SETSTATE, state, 0);
    }
}

// Puts the record's port out of use. A run that failed, or never got a reply,
// still holds its port open, and a new press must be able to open it again.
void port_release(HWND dialog)
{
    KillTimer(dialog, ID_PROG_TIMER);
    if (transfer.port != INVALID_HANDLE_VALUE) {
        CloseHandle(transfer.port);
        transfer.port = INVALID_HANDLE_VALUE;
    }
}

// The update button: a complete new run on the selected port.
void update_command(HWND dialog)
{
    HWND port_list = GetDlgItem(dialog, IDC_PORT_LIST);
    LRESULT selected = SendMessageA(port_list, CB_GETCURSEL, 0, 0);
    // Each list entry carries its index in the port table, since the list
    // sorts its entries by text. With no selection this is CB_ERR too.
    LRESULT entry = SendMessageA(port_list, CB_GETITEMDATA, selected, 0);
    if (entry == CB_ERR) {
        show_status("No COM port selected");
        return;
    }

    port_release(dialog);
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    SendMessageA(bar, PBM_SETSTATE, PBST_NORMAL, 0);

    run_port = com_ports[entry];
    transfer.port_name = run_port.path;
    open_serial_port(&transfer);
    show_status("Contacting Device...");
    SetTimer(dialog, ID_PROG_TIMER, PROG_TICK_MS, NULL);
}

// One step of the run. While the step blocks, the timer is set far out so
// that its ticks do not pile up behind it; the next tick comes no sooner
// than PROG_TICK_MS after the step ends.
void prog_tick(HWND dialog)
{
    SetTimer(dialog, ID_PROG_TIMER, PROG_GUARD_MS, NULL);
    prog_step(&transfer);
    SetTimer(dialog, ID_PROG_TIMER, PROG_TICK_MS, NULL);
    progress_show(dialog);

    if (transfer.state == PROG_STATE_DONE && transfer.port != INVALID_HANDLE_VALUE) {
        Beep(2000, 100);
        show_status("Programming Completed");
        port_release(dialog);
    }
    // The port failed under the run. Its handle is of no more use; closing
    // it lets a press open the port afresh once the adapter is back.
    if (transfer.state == PROG_STATE_LOST && transfer.port != INVALID_HANDLE_VALUE) {
        port_release(dialog);
        show_status("Connection lost - reconnect and press Update");
    }
}

LRESULT on_destroy()
{
    PostQuitMessage(0);
    return 0;
}

LRESULT on_command(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (LOWORD(wParam) != IDC_UPDATE) {
        return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
    }
    update_command(window);
    return 0;
}

// Windows announces serial ports that arrive or go to every top-level window.
LRESULT on_device_change(HWND window, WPARAM wParam, LPARAM lParam)
{
    const DEV_BROADCAST_HDR *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam);
    bool port_came_or_went = (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) &&
                             header != NULL && header->dbch_devicetype == DBT_DEVTYP_PORT;
    if (!port_came_or_went) {
        return DefWindowProcA(window, WM_DEVICECHANGE, wParam, lParam);
    }
    ports_refresh(window);
    return TRUE;
}

LRESULT on_timer(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (LOWORD(wParam) != ID_PROG_TIMER) {
        return DefWindowProcA(window, WM_TIMER, wParam, lParam);
    }
    prog_tick(window);
    return 0;
}

// Enter presses the update button wherever the focus is in the dialog: the
// dialog manager asks the window for its default button, and a window that is
// not a dialog procedure's has to answer for itself.
LRESULT on_get_default_id()
{
    return MAKELRESULT(IDC_UPDATE, DC_HASDEFID);
}

} // namespace

LRESULT CALLBACK main_wnd_proc(HWND window, UINT message_id, WPARAM wParam, LPARAM lParam)
{
    switch (message_id) {
    case WM_DESTROY:
        return on_destroy();
    case WM_COMMAND:
        return on_command(window, wParam, lParam);
    case WM_TIMER:
        return on_timer(window, wParam, lParam);
    case WM_DEVICECHANGE:
        return on_device_change(window, wParam, lParam);
    case DM_GETDEFID:
        return on_get_default_id();
    default:
        return DefWindowProcA(window, message_id, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    dll_search_restrict();

    WNDCLASSA wndclass = {};
    wndclass.style = CS_HREDRAW | CS_VREDRAW;
    wndclass.lpfnWndProc = main_wnd_proc;
    wndclass.cbClsExtra = 0;
    wndclass.cbWndExtra = DLGWINDOWEXTRA; // a dialog on a private class needs them
    wndclass.hInstance = instance;
    wndclass.hIcon = NULL;
    wndclass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wndclass.hbrBackground = reinterpret_cast<HBRUSH>(INT_PTR{COLOR_BTNFACE + 1});
    wndclass.lpszMenuName = NULL;
    wndclass.lpszClassName = "ZELT";

    g_instance = instance;
    if (!RegisterClassA(&wndclass)) {
        fatal_error("Unabled to register window class");
    }

    // The dialog's progress bar is a common control; its class must exist
    // before the dialog does, or the dialog cannot be created.
    INITCOMMONCONTROLSEX common_controls = {};
    common_controls.dwSize = sizeof common_controls;
    common_controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&common_controls);

    g_main_dialog = CreateDialogParamA(g_instance, "ZELT", NULL, NULL, 0);
    if (g_main_dialog == NULL) {
        fatal_error("Could not create dialog");
    }
    ShowWindow(g_main_dialog, show_command);

    trace("Running on windows version: %x\n", WINDOWS_VERSION_BUILT_FOR);

    port_list_fill(g_main_dialog, discover_ports(com_ports), -1);
    show_status(" - Idle - ");

    transfer.port = INVALID_HANDLE_VALUE;
    if (link_init(&transfer) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY); // calloc leaves the last error alone
        fatal_error("Unable to allocate memory for the frame buffer");
    }
    load_image(&transfer);
    SendMessageA(GetDlgItem(g_main_dialog, IDC_PROGRESS), PBM_SETRANGE32, 0,
                 transfer.image_size / MODBUS_PROG_BLOCKSIZE_MAX);

    // IsDialogMessageA gives the dialog its keyboard handling (tab order,
    // the default button), which a dialog without a dialog procedure of its
    // own would otherwise lack.
    MSG msg = {};
    while (GetMessageA(&msg, NULL, 0, 0)) {
        if (!IsWindow(g_main_dialog) || !IsDialogMessageA(g_main_dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}
