// What the desk is told of a run (desk.h): Windows's shutdown screen, its
// power management, the taskbar button and the window's icon.
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include "desk.h"
#include "engine/progress.h"
#include "globals.h"
#include "resources/resource.h"
#include "system_function.h"

namespace {

// What Windows shows, beside its shutdown screen, as the reason why this
// program holds the shutdown off.
const wchar_t SHUTDOWN_REASON[] = L"Writing firmware to the Orvex 2.0 - do not shut down";

// Windows XP has no shutdown reasons; they are looked up, not imported, so
// that the program still starts there.
typedef BOOL(WINAPI *shutdown_reason_create_call)(HWND window, LPCWSTR reason);
typedef BOOL(WINAPI *shutdown_reason_destroy_call)(HWND window);

// Windows 7's message filter, looked up as the shutdown reasons are.
typedef BOOL(WINAPI *message_filter_call)(HWND window, UINT message_id, DWORD action,
                                          PCHANGEFILTERSTRUCT change);

// What the system was last told of the run, so that it hears only of changes.
bool shutdown_held;
bool kept_awake;
taskbar_view taskbar_shown;

// The taskbar button's progress, from Windows 7 on; null where the interface
// is missing, and until Windows says the button exists.
ITaskbarList3 *taskbar;
UINT taskbar_button_created; // the registered message that says so

// Windows 7 and later show a run's progress on the taskbar button too.
void taskbar_show(HWND dialog, const taskbar_view &view)
{
    bool same = view.state == taskbar_shown.state && view.done == taskbar_shown.done &&
                view.total == taskbar_shown.total;
    if (taskbar == NULL || same) {
        return;
    }
    const TBPFLAG flags[] = {TBPF_NOPROGRESS, TBPF_NORMAL, TBPF_ERROR}; // by TASKBAR_*
    taskbar->SetProgressState(dialog, flags[view.state]);
    if (view.state != TASKBAR_NONE) {
        taskbar->SetProgressValue(dialog, static_cast<ULONGLONG>(view.done), static_cast<ULONGLONG>(view.total));
    }
    taskbar_shown = view;
}

void shutdown_hold(HWND dialog, bool hold)
{
    if (hold) {
        shutdown_reason_create_call create =
            system_function<shutdown_reason_create_call>("user32.dll", "ShutdownBlockReasonCreate");
        if (create != NULL) {
            create(dialog, SHUTDOWN_REASON);
        }
        return;
    }
    shutdown_reason_destroy_call destroy =
        system_function<shutdown_reason_destroy_call>("user32.dll", "ShutdownBlockReasonDestroy");
    if (destroy != NULL) {
        destroy(dialog);
    }
}

} // namespace

void desk_start()
{
    taskbar_button_created = RegisterWindowMessageA("TaskbarButtonCreated");
}

void desk_end()
{
    if (taskbar != NULL) {
        taskbar->Release();
        taskbar = NULL;
    }
}

void desk_dialog_created(HWND dialog)
{
    // The class has no icon, so the window would show the system's generic
    // one in its caption, on the taskbar and in Alt+Tab.
    const int icon_sizes[][3] = {{ICON_BIG, SM_CXICON, SM_CYICON}, {ICON_SMALL, SM_CXSMICON, SM_CYSMICON}};
    for (const auto &size : icon_sizes) {
        HANDLE icon = LoadImageA(g_instance, MAKEINTRESOURCEA(IDI_INSTALLER), IMAGE_ICON,
                                 GetSystemMetrics(size[1]), GetSystemMetrics(size[2]), LR_DEFAULTCOLOR);
        SendMessageA(dialog, WM_SETICON, size[0], reinterpret_cast<LPARAM>(icon));
    }
    // Run elevated, the window's message filter drops what a less
    // privileged Explorer sends it, the taskbar button's announcement too.
    message_filter_call message_filter =
        system_function<message_filter_call>("user32.dll", "ChangeWindowMessageFilterEx");
    if (message_filter != NULL && taskbar_button_created != 0) {
        message_filter(dialog, taskbar_button_created, MSGFLT_ALLOW, NULL);
    }
}

bool desk_taskbar_message(UINT message_id)
{
    // A registered message's number is known only at run time.
    return message_id == taskbar_button_created && taskbar_button_created != 0;
}

void desk_taskbar_button_created()
{
    if (taskbar == NULL) {
        ITaskbarList3 *created = NULL;
        if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, NULL, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&created)))) {
            if (SUCCEEDED(created->HrInit())) {
                taskbar = created;
            } else {
                created->Release();
            }
        }
    }
    // A new button shows nothing yet.
    taskbar_shown = taskbar_view{TASKBAR_NONE, 0, 0};
}

void desk_run_show(HWND dialog, const modbus_transfer *t, bool port_held)
{
    bool changing = run_flash_changing(t, port_held);
    if (changing != shutdown_held) {
        shutdown_hold(dialog, changing);
        shutdown_held = changing;
    }
    bool awake = run_keep_awake(t, port_held);
    if (awake != kept_awake) {
        SetThreadExecutionState(awake ? ES_CONTINUOUS | ES_SYSTEM_REQUIRED : ES_CONTINUOUS);
        kept_awake = awake;
    }
    taskbar_show(dialog, run_taskbar(t, port_held));
}

void desk_end_flash(HWND dialog, uint32_t before, uint32_t after)
{
    // Asked only when the state changed: the foreground is none of a tick's business.
    if (after != before && run_end_flash(before, after, GetForegroundWindow() == dialog)) {
        FLASHWINFO flash = {};
        flash.cbSize = sizeof flash;
        flash.hwnd = dialog;
        flash.dwFlags = FLASHW_TRAY | FLASHW_TIMERNOFG;
        FlashWindowEx(&flash);
    }
}
