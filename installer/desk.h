// What the desk is told of a run besides the dialog itself: the reason
// Windows shows for a shutdown held off, the system kept awake, the taskbar
// button's progress and its flash at the end, and the window's icon. The
// portable core decides (engine/progress.h); these only apply its answers,
// and tell Windows of changes only.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "engine/link.h"

// Before the dialog exists, with COM started on this thread: the message
// that announces the taskbar button.
void desk_start();

// Once the dialog is gone, before COM ends on this thread: the taskbar's
// interface let go.
void desk_end();

// Once the dialog's controls exist, before it is first shown: its icon,
// and the taskbar's announcement let through its message filter.
void desk_dialog_created(HWND dialog);

// Whether message_id is the taskbar's announcement that the dialog's button
// exists, or exists again after Explorer restarted.
bool desk_taskbar_message(UINT message_id);

// The button announced: the taskbar is got ready, and shows nothing yet.
void desk_taskbar_button_created();

// What the run now means to the system: a reason not to shut down while the
// flash changes, no sleep meanwhile, the taskbar button's progress.
void desk_run_show(HWND dialog, const modbus_transfer *t, bool port_held);

// The run moved from state before to after; the taskbar button flashes if
// that ended it while another window was in front.
void desk_end_flash(HWND dialog, uint32_t before, uint32_t after);
