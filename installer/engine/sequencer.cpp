#include "engine/sequencer.h"

#include <stdio.h>
#include <string.h>

#include "engine/frames.h"
#include "engine/platform.h"
#include "report/report.h"

bool timer_elapsed(uint32_t *start, uint32_t timeout)
{
    uint32_t now = tick_count_ms();
    if (timeout == 0) {
        *start = now;
        return true;
    }
    // Unsigned difference, so the wrap of the tick counter after 49.7 days
    // still gives the right elapsed time.
    return now - *start > timeout;
}

// Trailing line breaks and blanks go, so that the trace line ends in one
// line feed whatever the system's text ends in.
static void trim_line_end(char *text)
{
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        text[--n] = '\0';
}

// A write block's trace line stays open from "PROG ADDR" until its answer or
// its time-out ends it.
static bool block_line_open;

static void block_line_end(const char *text)
{
    trace("%s", text);
    block_line_open = false;
}

// Ends the run on a line that is gone; the main window lets go of the port
// and tells the user.
static void run_lost(modbus_transfer *t, uint32_t code, const char *text)
{
    // A line of its own, so that it cannot be read as the end of the block's.
    if (block_line_open)
        block_line_end("\n");
    trace("Connection lost: error %lu, %s\n", static_cast<unsigned long>(code), text);
    fflush(stdout);
    t->state = PROG_STATE_LOST;
}

// The port failed under the run: the adapter was pulled out, or its driver
// gave up. Nothing more can go over it, so the run ends here.
static void connection_lost(modbus_transfer *t)
{
    uint32_t code = port_error();
    char text[PROG_ERROR_TEXT_SIZE];
    system_error_text(code, text, sizeof text);
    trim_line_end(text);
    run_lost(t, code, text);
}

void prog_port_removed(modbus_transfer *t)
{
    char text[PROG_ERROR_TEXT_SIZE];
    snprintf(text, sizeof text, "%s was announced as removed", t->port_name);
    run_lost(t, PROG_ERROR_DEVICE_REMOVED, text);
}

// False when the port failed; the run is then lost.
static bool send_request(modbus_transfer *t)
{
    if (port_write(t->port, t->frame, t->len) != PORT_CALL_FAILED)
        return true;
    connection_lost(t);
    return false;
}

// False when there is no reply to take: the port failed now, or the request
// before it in this step already found it gone.
static bool read_reply(modbus_transfer *t)
{
    if (t->state == PROG_STATE_LOST)
        return false;
    int32_t count = port_read(t->port, t->frame, t->rx_size);
    if (count != PORT_CALL_FAILED) {
        t->len = count;
        return true;
    }
    t->len = 0;
    connection_lost(t);
    return false;
}

static void enter_start(modbus_transfer *t)
{
    block_line_open = false;
    t->block_length = MODBUS_PROG_BLOCKSIZE_MAX;
    t->offset = 0;
    t->timeout_ms = PROG_CONTACT_TIMEOUT_MS;
}

static bool enter_contact(modbus_transfer *t)
{
    timer_elapsed(&t->timer_start, 0);
    trace("CONTACTING...\n");
    build_crc_query(t, t->flash_base, PROG_CONTACT_QUERY_LENGTH);
    if (!send_request(t))
        return false;
    sleep_ms(PROG_CONTACT_PAUSE_MS);
    return true;
}

static bool enter_write(modbus_transfer *t)
{
    timer_elapsed(&t->timer_start, 0);
    uint32_t address = t->flash_base + static_cast<uint32_t>(t->offset);
    trace("PROG ADDR %#x, LEN %#x, FROM %#x...", address, static_cast<uint32_t>(t->block_length),
          static_cast<uint32_t>(t->offset));
    block_line_open = true;
    fflush(stdout);
    show_status("programming %#x", address);
    build_write_block(t, address, t->block_length, t->image + t->offset);
    if (!send_request(t))
        return false;
    trace(" - SENT - ");
    fflush(stdout);
    return true;
}

static bool enter_verify(modbus_transfer *t)
{
    timer_elapsed(&t->timer_start, 0);
    trace("Verifying address %#x, image size %#x bytes\n", t->flash_base,
          static_cast<uint32_t>(t->image_size));
    show_status("Verifying...");
    build_crc_query(t, t->flash_base, static_cast<uint32_t>(t->image_size));
    if (!send_request(t))
        return false;
    trace("frame length %4d bytes sent\n", t->len);
    return true;
}

static bool enter_reset(modbus_transfer *t)
{
    timer_elapsed(&t->timer_start, 0);
    trace("Resetting target\n");
    show_status("Resetting target...");
    build_reset(t);
    if (!send_request(t))
        return false;
    trace("frame length %4d bytes sent\n", t->len);
    return true;
}

void prog_enter(modbus_transfer *t, uint32_t s)
{
    // A request that the port refused has ended the run in the lost state,
    // which must stand.
    bool sent = true;
    switch (s) {
    case PROG_STATE_START:
        enter_start(t);
        break;
    case PROG_STATE_CONTACT:
        sent = enter_contact(t);
        break;
    case PROG_STATE_WRITE:
        sent = enter_write(t);
        break;
    case PROG_STATE_VERIFY:
        sent = enter_verify(t);
        break;
    case PROG_STATE_RESET:
        sent = enter_reset(t);
        break;
    case PROG_STATE_DONE:
        show_status("Programming Completed OK");
        break;
    default:
        break;
    }
    if (sent)
        t->state = s;
}

static void step_contact(modbus_transfer *t)
{
    if (timer_elapsed(&t->timer_start, t->timeout_ms))
        prog_enter(t, PROG_STATE_CONTACT);
    if (!read_reply(t))
        return;
    if (t->len != 0)
        dump_rx(t);
    if (!frame_valid(t))
        return;
    trace("REMOTE DEVICE LINK ESTABLISHED\n");
    t->timeout_ms = PROG_LINK_TIMEOUT_MS;
    // Answers to earlier contact requests may still be on their way; they
    // must not be taken for the first block's acknowledgement.
    port_purge(t->port);
    port_drain(t->port);
    prog_enter(t, PROG_STATE_WRITE);
}

static void step_write(modbus_transfer *t)
{
    if (timer_elapsed(&t->timer_start, t->timeout_ms)) {
        block_line_end("TIMEOUT\n");
        prog_enter(t, PROG_STATE_WRITE);
    }
    if (!read_reply(t))
        return;
    if (!frame_valid(t))
        return;
    block_line_end("- OK\n");
    fflush(stdout);
    t->offset += t->block_length;
    if (t->offset >= t->image_size) {
        prog_enter(t, PROG_STATE_VERIFY);
        return;
    }
    if (t->image_size - t->offset < t->block_length)
        t->block_length = t->image_size - t->offset;
    prog_enter(t, PROG_STATE_WRITE);
}

static void step_verify(modbus_transfer *t)
{
    if (timer_elapsed(&t->timer_start, t->timeout_ms))
        prog_enter(t, PROG_STATE_VERIFY);
    if (!read_reply(t))
        return;
    // A shorter frame, such as a late acknowledgement of the last block, does
    // not reach the checksum field: what stands there would be left over from
    // our own query. Wait for the real answer instead.
    if (!frame_valid(t) || t->len < PROG_CRC_REPLY_LENGTH_MIN)
        return;
    uint32_t remote = get_be16(t->frame + 11);
    uint32_t local = crc16(t->image, t->image_size);
    trace("Remote CRC %#x\n", remote);
    trace("Local  CRC %#x\n", local);
    if (remote == local) {
        trace("CRCs match\n");
        show_status("Program Verified OK");
        prog_enter(t, PROG_STATE_RESET);
    } else {
        trace("CRC FAIL\n");
        show_status("FAILED");
        prog_enter(t, PROG_STATE_FAILED);
    }
}

static void step_reset(modbus_transfer *t)
{
    if (timer_elapsed(&t->timer_start, PROG_RESET_TIMEOUT_MS))
        prog_enter(t, PROG_STATE_RESET);
    if (!read_reply(t))
        return;
    if (!frame_valid(t))
        return;
    trace("frame length %4d bytes received & OK\n", t->len);
    prog_enter(t, PROG_STATE_DONE);
}

void prog_step(modbus_transfer *t)
{
    switch (t->state) {
    case PROG_STATE_IDLE:
        prog_enter(t, PROG_STATE_START);
        break;
    case PROG_STATE_START:
        show_status("Establishing Link...");
        prog_enter(t, PROG_STATE_CONTACT);
        break;
    case PROG_STATE_CONTACT:
        step_contact(t);
        break;
    case PROG_STATE_WRITE:
        step_write(t);
        break;
    case PROG_STATE_VERIFY:
        step_verify(t);
        break;
    case PROG_STATE_RESET:
        step_reset(t);
        break;
    default:
        // Failed, done and lost are final; nothing happens until a new run.
        break;
    }
}
