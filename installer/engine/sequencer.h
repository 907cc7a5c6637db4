// The update sequencer: one firmware update as a state machine over the link
// record, advanced by at most one exchange per timer tick.
#pragma once

#include <stdint.h>

#include "engine/link.h"

const uint32_t PROG_STATE_IDLE = 0;     // port just opened
const uint32_t PROG_STATE_START = 1;    // counters set, contact next
const uint32_t PROG_STATE_CONTACT = 2;  // contact request out
const uint32_t PROG_STATE_WRITE = 3;    // write block out
const uint32_t PROG_STATE_VERIFY = 4;   // CRC query for the whole image out
const uint32_t PROG_STATE_FAILED = 5;   // checksums differed; final
const uint32_t PROG_STATE_RESET = 6;    // restart request out
const uint32_t PROG_STATE_DONE = 7;     // final; the run succeeded
const uint32_t PROG_STATE_LOST = 8;     // final; the port failed under the run

const uint32_t PROG_CONTACT_TIMEOUT_MS = 100;
const uint32_t PROG_LINK_TIMEOUT_MS = 500;   // block writes and the CRC query
const uint32_t PROG_RESET_TIMEOUT_MS = 100;
const uint32_t PROG_CONTACT_PAUSE_MS = 100;  // sleep after each contact request
const uint32_t PROG_CONTACT_QUERY_LENGTH = 4; // bytes the contact request asks a CRC of

// A CRC-query reply carries the device's checksum at bytes 11 and 12, so only a
// frame that reaches past them with its own CRC after them can be that answer.
const int32_t PROG_CRC_REPLY_LENGTH_MIN = 15; // bytes

// Room for the system's text of a failed port call in the trace line.
const int32_t PROG_ERROR_TEXT_SIZE = 512; // bytes, terminating zero included

// The system's error number for a device that has been removed, which the
// trace gives for a port that Windows announced as gone under the run.
const uint32_t PROG_ERROR_DEVICE_REMOVED = 1617;

bool timer_elapsed(uint32_t *start, uint32_t timeout);
void prog_enter(modbus_transfer *t, uint32_t s);
void prog_step(modbus_transfer *t);
// Windows announced the removal of the run's port: the run ends in the
// lost state, with its "Connection lost" line, as when a write fails. A
// driver may go on answering on a handle whose device is gone, or the port
// may be replaced under the same name; the run must not go on over it.
void prog_port_removed(modbus_transfer *t);
