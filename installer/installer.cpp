// The program's entry point and its one window: a dialog, built on the
// program's own window class, that lists the COM ports, starts an update on
// the chosen one and drives the update engine from its timer.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <objbase.h>
#include <oleacc.h>
#include <stddef.h>
#include <stdio.h>

#include "desk.h"
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
uint32_t session_end = SESSION_GOES_ON;

namespace {

const UINT PROG_TICK_MS = 10;     // timer period between steps
const UINT PROG_GUARD_MS = 10000; // timer period while a step runs

// The Windows version the program is built for, as the trace reports it.
const unsigned WINDOWS_VERSION_BUILT_FOR = _WIN32_WINNT;

// The port of the run under way, or of the last one: the run's own copy of
// its table entry, since the table changes when ports come and go.
com_port run_port;

// The entries of com_ports that the port list shows.
int32_t port_count;

// The port of a run that lost its line, to select again when it comes back.
port_return lost_port;

// Closing while the flash is changing asks first; a second close while the
// question is up must not ask again.
const char CLOSE_CAPTION[] = "Orvex 2.0 Firmware Update Tool";
const char CLOSE_QUESTION[] =
    "The firmware is being written to the Orvex 2.0 now.\n\n"
    "If you close the program, the update stops part way and the Orvex is left "
    "without working firmware until an update completes.\n\n"
    "Close the program anyway?";
bool close_question_up;

// Whether Windows has been told what it must know of the dialog: once,
// before the dialog is first shown.
bool dialog_announced;

// The control that had the keyboard focus when the dialog last lost it, to
// get it back when the dialog is in front again, as a dialog's own window
// procedure does. Null until then: the port list comes first.
HWND focus_saved;

// The status line is a live region: a screen reader reads it out when told
// that it changed, politely, once the reader has finished what it was saying.
// Windows names the live setting by this property (UI Automation's, which
// the accessibility annotations take); the headers here lack it.
const GUID ACCESS_LIVE_SETTING_PROPERTY = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
const LONG ACCESS_LIVE_POLITE = 1;
const int32_t ACCESS_NAME_SIZE = 256; // bytes of the port list's name, with its terminating zero

// Whether the record holds its port open: from a press until the run
// succeeds, loses its line, or the next press.
bool port_held()
{
    return transfer.port != INVALID_HANDLE_VALUE;
}

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

// Port number came (arrived) or went. Only that port is touched: opening a
// port raises its DTR line, which resets many a board on another adapter,
// and a slow port would hold the dialog, a run with it. An arrival is probed
// as at start; a removal drops the entry. The selection follows its path,
// the port this program holds open stays listed, and a lost run's port is
// selected again when it comes back.
void ports_refresh(HWND dialog, int32_t number, bool arrived)
{
    HWND port_list = GetDlgItem(dialog, IDC_PORT_LIST);
    LRESULT selected_entry = SendMessageA(port_list, CB_GETCURSEL, 0, 0);
    LRESULT entry = SendMessageA(port_list, CB_GETITEMDATA, selected_entry, 0);
    // The table's entries move: keep the selected path apart.
    char selected_path[COM_PATH_SIZE] = "";
    if (entry != CB_ERR) {
        lstrcpynA(selected_path, com_ports[entry].path, COM_PATH_SIZE);
    }
    const com_port *kept = port_held() ? &run_port : NULL;
    com_port probed = {};
    if (arrived && port_probe(number, &probed)) {
        kept = &probed;
    } else if (!arrived) {
        port_count = ports_drop(com_ports, port_count, number);
    }
    int32_t selected = -1;
    port_count = ports_merge(com_ports, port_count, kept, entry != CB_ERR ? selected_path : NULL, &selected);
    if (arrived) {
        selected = port_return_select(&lost_port, number, com_ports, port_count, selected);
    }
    port_list_fill(dialog, port_count, selected);
}

// Tells the system what the run now means to it (desk.h).
void run_announce(HWND dialog)
{
    desk_run_show(dialog, &transfer, port_held());
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
    if (port_held()) {
        CloseHandle(transfer.port);
        transfer.port = INVALID_HANDLE_VALUE;
    }
}

// Tells a screen reader that the status line changed, when the change is
// one it should hear: from the button, or from a tick that left state before.
void status_announce(HWND dialog, bool pressed, uint32_t before)
{
    if (run_status_announced(pressed, before, transfer.state)) {
        NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, GetDlgItem(dialog, IDC_STATUS), OBJID_CLIENT, CHILDID_SELF);
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
    port_return_forget(&lost_port);
    HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
    SendMessageA(bar, PBM_SETPOS, 0, 0);
    SendMessageA(bar, PBM_SETSTATE, PBST_NORMAL, 0);

    run_port = com_ports[entry];
    transfer.port_name = run_port.path;
    open_serial_port(&transfer);
    show_status("Contacting Device...");
    SetTimer(dialog, ID_PROG_TIMER, PROG_TICK_MS, NULL);
    run_announce(dialog);
}

// What the dialog and the system show once the run has moved on from
// state_before: by a step, or by the announced removal of its port.
void run_moved(HWND dialog, uint32_t state_before)
{
    progress_show(dialog);

    if (transfer.state == PROG_STATE_DONE && port_held()) {
        Beep(2000, 100);
        show_status("Programming Completed");
        port_release(dialog);
    }
    // The port failed under the run, or Windows announced it gone. Its
    // handle is of no more use; closing it lets a press open the port
    // afresh once the adapter is back.
    if (transfer.state == PROG_STATE_LOST && port_held()) {
        port_release(dialog);
        show_status("Connection lost - reconnect and press Update");
        port_return_remember(&lost_port, &run_port);
    }
    run_announce(dialog);
    status_announce(dialog, false, state_before);
    desk_end_flash(dialog, state_before, transfer.state);
}

// One step of the run. While the step blocks, the timer is set far out so
// that its ticks do not pile up behind it; the next tick comes no sooner
// than PROG_TICK_MS after the step ends. While the session may end the run
// waits where it is, and says nothing new: a contact request or a block
// that was waiting goes again after its time-out, as after a lost answer.
void prog_tick(HWND dialog)
{
    if (run_step_held(&transfer, session_end)) {
        return;
    }
    uint32_t state_before = transfer.state;
    SetTimer(dialog, ID_PROG_TIMER, PROG_GUARD_MS, NULL);
    prog_step(&transfer);
    SetTimer(dialog, ID_PROG_TIMER, PROG_TICK_MS, NULL);
    run_moved(dialog, state_before);
}

// Windows announced that port number is gone. Its removal under a run ends
// the run as a failed write does; a finished run only lets go of it.
void port_removed(HWND dialog, int32_t number)
{
    uint32_t removal = run_port_removal(&transfer, port_held(), run_port.number, number);
    if (removal == REMOVAL_LOST) {
        uint32_t state_before = transfer.state;
        prog_port_removed(&transfer);
        run_moved(dialog, state_before);
    } else if (removal == REMOVAL_RELEASE) {
        port_release(dialog);
        run_announce(dialog);
    }
}

// Keeps the control that has the focus, if one of the dialog's has it.
void focus_save(HWND dialog)
{
    HWND focus = GetFocus();
    if (focus != NULL && IsChild(dialog, focus)) {
        focus_saved = focus;
    }
}

// Gives the focus back to the control that had it, or to the port list.
void focus_restore(HWND dialog)
{
    bool saved_usable = focus_saved != NULL && IsChild(dialog, focus_saved) && IsWindowEnabled(focus_saved);
    SetFocus(saved_usable ? focus_saved : GetDlgItem(dialog, IDC_PORT_LIST));
}

// A dialog's keyboard focus belongs on one of its controls: on the way out
// the control that has it is kept, on the way back it gets it again (the
// port list, the first time). DefWindowProcA would give it to the dialog
// window itself, where no key does anything but Tab.
LRESULT on_activate(HWND window, WPARAM wParam)
{
    bool minimized = HIWORD(wParam) != 0;
    if (LOWORD(wParam) == WA_INACTIVE) {
        focus_save(window);
    } else if (!minimized) {
        focus_restore(window);
    }
    return 0;
}

// Nor does the focus stay on the dialog window when something gives it
// there, as Windows does when a minimized dialog is restored.
LRESULT on_set_focus(HWND window)
{
    focus_restore(window);
    return 0;
}

// Screen readers: the port list has no label right before it (the
// instructions stand above everything), so it is named after the instruction
// that asks for it; the status line is a polite live region. Without the
// accessibility service (Wine has a stub) the dialog works as before.
void accessibility_annotate(HWND dialog)
{
    void *created = NULL;
    if (FAILED(CoCreateInstance(CLSID_AccPropServices, NULL, CLSCTX_INPROC_SERVER, IID_IAccPropServices, &created))) {
        return;
    }
    IAccPropServices *services = static_cast<IAccPropServices *>(created);
    char instructions[ACCESS_NAME_SIZE * 2] = "";
    GetDlgItemTextA(dialog, IDC_INSTRUCTIONS, instructions, sizeof instructions);
    char name[ACCESS_NAME_SIZE] = "";
    paragraph_with(instructions, "COM port", name, sizeof name);
    wchar_t wide_name[ACCESS_NAME_SIZE] = L"";
    if (name[0] != '\0' && MultiByteToWideChar(CP_ACP, 0, name, -1, wide_name, ACCESS_NAME_SIZE) > 0) {
        services->SetHwndPropStr(GetDlgItem(dialog, IDC_PORT_LIST), OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME,
                                 wide_name);
    }
    VARIANT live = {};
    live.vt = VT_I4;
    live.lVal = ACCESS_LIVE_POLITE;
    services->SetHwndProp(GetDlgItem(dialog, IDC_STATUS), OBJID_CLIENT, CHILDID_SELF, ACCESS_LIVE_SETTING_PROPERTY,
                          live);
    // The annotations stay with the windows.
    services->Release();
}

LRESULT on_destroy()
{
    PostQuitMessage(0);
    return 0;
}

// Closing in the middle of the writes leaves the device without working
// firmware: then the technician is asked first. The run goes on under the
// question (its modal loop delivers the timer), so the answer alone decides.
LRESULT on_close(HWND window)
{
    if (close_question_up) {
        return 0;
    }
    if (run_flash_changing(&transfer, port_held())) {
        // Kept here too: the question disables the dialog, and a disabled
        // window can lose its focus before it hears that it is behind.
        focus_save(window);
        close_question_up = true;
        int answer = MessageBoxA(window, CLOSE_QUESTION, CLOSE_CAPTION, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        close_question_up = false;
        if (answer != IDYES) {
            return 0;
        }
    }
    return DefWindowProcA(window, WM_CLOSE, 0, 0);
}

// Shutdown, restart and log-off ask every window first.
LRESULT on_query_end_session()
{
    bool agreed = !run_flash_changing(&transfer, port_held());
    session_end = session_after_query(session_end, agreed);
    return agreed ? TRUE : FALSE;
}

// Windows says whether the session ends after all: another program may
// have held it off, or the user cancelled it while Windows waited. It ends
// for a shutdown, a restart or a log-off, "Shut down anyway" included, and
// when an installer's restart manager closes the program (lParam
// ENDSESSION_CLOSEAPP). Windows may end the process at any moment once this
// returns, and the restart manager may leave it running: so the port is let
// go and the system no longer held here, and the program ends, with 0. A
// close question or a fatal error box that is up goes with the dialog.
LRESULT on_end_session(HWND window, WPARAM wParam)
{
    session_end = session_after_end(wParam != FALSE);
    if (session_end == SESSION_ENDING) {
        port_release(window);
        run_announce(window);
        fflush(stdout);
        DestroyWindow(window);
    }
    return 0;
}

// A template's WS_VISIBLE has CreateDialogParamA show the dialog, and from
// then on Explorer and screen readers look at it. A dialog without a dialog
// procedure gets no WM_INITDIALOG; its first WM_SHOWWINDOW comes once its
// controls exist, before it shows. So Windows is told all it must know of
// the window there: its icon, the taskbar's announcement let through, the
// names for screen readers. The focus is not set here: the dialog is not
// active yet, and a focus set now would activate it even when the program
// was started with SW_SHOWNOACTIVATE. Its activation gives the focus to the
// port list (on_activate), whenever that comes.
LRESULT on_show_window(HWND window, WPARAM wParam, LPARAM lParam)
{
    if (wParam != FALSE && !dialog_announced) {
        dialog_announced = true;
        desk_dialog_created(window);
        accessibility_annotate(window);
    }
    return DefWindowProcA(window, WM_SHOWWINDOW, wParam, lParam);
}

LRESULT on_command(HWND window, WPARAM wParam, LPARAM lParam)
{
    // The list sends no CBN_SELCHANGE for the program's own CB_SETCURSEL:
    // this is the technician's choice, which a lost run's port gives way to.
    if (LOWORD(wParam) == IDC_PORT_LIST && HIWORD(wParam) == CBN_SELCHANGE) {
        port_return_forget(&lost_port);
    }
    // Esc, as the dialog manager gives it: what the close box does.
    if (LOWORD(wParam) == IDCANCEL) {
        return on_close(window);
    }
    if (LOWORD(wParam) != IDC_UPDATE) {
        return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
    }
    update_command(window);
    // A press always answers on the status line, a refusal included.
    status_announce(window, true, transfer.state);
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
    const DEV_BROADCAST_PORT_A *port = reinterpret_cast<const DEV_BROADCAST_PORT_A *>(lParam);
    const int32_t name_at = offsetof(DEV_BROADCAST_PORT_A, dbcp_name);
    int32_t name_bytes = static_cast<int32_t>(header->dbch_size) - name_at;
    int32_t number = port_announced_number(reinterpret_cast<const uint8_t *>(port->dbcp_name), name_bytes);
    if (number != 0) {
        if (wParam == DBT_DEVICEREMOVECOMPLETE) {
            port_removed(window, number);
        }
        ports_refresh(window, number, wParam == DBT_DEVICEARRIVAL);
    }
    return TRUE;
}

// The taskbar button exists now, or again after Explorer restarted.
LRESULT on_taskbar_button_created(HWND window)
{
    desk_taskbar_button_created();
    run_announce(window);
    return 0;
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
    case WM_CLOSE:
        return on_close(window);
    case WM_QUERYENDSESSION:
        return on_query_end_session();
    case WM_ENDSESSION:
        return on_end_session(window, wParam);
    case WM_SHOWWINDOW:
        return on_show_window(window, wParam, lParam);
    case WM_ACTIVATE:
        return on_activate(window, wParam);
    case WM_SETFOCUS:
        return on_set_focus(window);
    default:
        if (desk_taskbar_message(message_id)) {
            return on_taskbar_button_created(window);
        }
        return DefWindowProcA(window, message_id, wParam, lParam);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    // A corrupted heap ends the process at once rather than letting it run
    // on with what an attacker may have written; 32-bit programs made for
    // Windows before Vista (subsystem version 4.0) do not get it by default.
    HeapSetInformation(NULL, HeapEnableTerminationOnCorruption, NULL, 0);
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
    // No port is held yet; the window's handlers ask this from the start.
    transfer.port = INVALID_HANDLE_VALUE;
    if (!RegisterClassA(&wndclass)) {
        fatal_error("Unabled to register window class");
    }

    // The taskbar's interface is a COM object of this one thread. Without
    // COM the program runs as before, only without taskbar progress. COM
    // started here (S_OK), or already started on this thread in this mode
    // (S_FALSE), is to be ended once each; started in another mode
    // (RPC_E_CHANGED_MODE), it is not this program's to end.
    HRESULT com = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    desk_start();

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

    port_count = discover_ports(com_ports);
    port_list_fill(g_main_dialog, port_count, -1);
    show_status(" - Idle - ");

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
    desk_end();
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
    return static_cast<int>(msg.wParam);
}
