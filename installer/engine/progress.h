// What the dialog's progress bar shows of a run, worked out from the link
// record alone so that it can be checked without a window.
#pragma once

#include <stdint.h>

#include "engine/link.h"

// The bar counts blocks: its range is the image's blocks, its position the
// blocks the device has acknowledged in this run.
int32_t progress_position(const modbus_transfer *t);

// Whether the bar shows the error state: from the end of a run that failed
// until the next run starts. A run that succeeds never shows it.
bool progress_bar_error(const modbus_transfer *t);

// What the rest of the system is told of a run besides the dialog: the
// desk's close and Windows's shutdown, the power manager, the taskbar button.
// Worked out here so that the window only applies the answers. port_held
// says whether the run holds its port open, which the record cannot tell by
// itself once the window has closed the handle.

// The device's flash is being changed: the run holds its port and has sent
// its first block, and the device has not yet answered the checksum query.
// A device stopped here is left without working firmware.
bool run_flash_changing(const modbus_transfer *t, bool port_held);

// The system must not sleep while the flash is changing: a sleep would cut
// the line as surely as a pulled cable. A device that does not answer, a
// wrong port or a pulled cable puts nothing at stake, and must not keep a
// laptop awake for as long as the dialog stays open.
bool run_keep_awake(const modbus_transfer *t, bool port_held);

const uint32_t TASKBAR_NONE = 0;   // no progress on the button
const uint32_t TASKBAR_NORMAL = 1; // done of total, the usual colour
const uint32_t TASKBAR_ERROR = 2;  // done of total, the error colour

struct taskbar_view {
    uint32_t state; // TASKBAR_*
    int32_t done;   // blocks, as the dialog's bar
    int32_t total;  // blocks of the image
};

// The taskbar button mirrors the bar during a run and after one that failed
// or lost its line; nothing before the first run and after a success.
taskbar_view run_taskbar(const modbus_transfer *t, bool port_held);

// Whether a tick that took the run from state before to state after ended
// it, while the dialog was not in front: the taskbar button then flashes so
// that a technician working in another window sees that the run is over.
bool run_end_flash(uint32_t before, uint32_t after, bool foreground);

// Where Windows stands with the end of the session. Once the program has
// agreed that the session may end, Windows may still wait on another
// program before it ends the session by force; writes begun then would be
// cut in half. Once Windows says that the session ends (a shutdown, or an
// installer's restart manager closing the program), the program ends,
// whatever the run is doing and whatever it answered before.
const uint32_t SESSION_GOES_ON = 0; // nothing asked, or Windows said it goes on
const uint32_t SESSION_MAY_END = 1; // agreed to end; Windows has not said
const uint32_t SESSION_ENDING = 2;  // the program lets go of everything and ends

// After the program answered whether the session may end (agreed: it may).
uint32_t session_after_query(uint32_t session, bool agreed);
// After Windows said whether the session ends after all: what came before
// no longer counts.
uint32_t session_after_end(bool ending);

// Whether the run must stay where it is this tick rather than step: while
// the session may end, as long as the run may still start a block (contact
// alone writes nothing, but its answer would start the writes); once it is
// ending, whatever the run does.
bool run_step_held(const modbus_transfer *t, uint32_t session);

// What Windows's announcement that port removed_number is gone does to the
// run whose port is held_number.
const uint32_t REMOVAL_NONE = 0;    // another port, or the run holds none
const uint32_t REMOVAL_RELEASE = 1; // the run is over: its port is let go, its end stands
const uint32_t REMOVAL_LOST = 2;    // the run loses its line, as when a write fails

uint32_t run_port_removal(const modbus_transfer *t, bool port_held, int32_t held_number, int32_t removed_number);

// Whether a screen reader is told that the status line changed (the line is
// a live region). It hears the run's phases: a press of the update button
// (whatever it answered), contact begun, the first block, verifying, and
// each way a run ends. Not each block: a reader would still be naming
// addresses long after the run had moved on. Nor the restart request, which
// success follows within a tick or two. pressed says that the change came
// from the button; otherwise it came from a tick that took the run from
// state before to state after.
bool run_status_announced(bool pressed, uint32_t before, uint32_t after);
