// Finding the COM ports present, and opening and configuring the chosen one.
#pragma once

#include <stdint.h>

#include "engine/link.h"

const int32_t COM_PATH_SIZE = 256;     // bytes, terminating zero included
const int32_t COM_PORTS_MAX = 999;     // entries in the port table
const int32_t COM_PORT_NUMBER_END = 999; // ports 1 to 998 are probed
const uint32_t COM_READ_INTERVAL_MS = 20;  // silence that ends a reply
const uint32_t COM_READ_TOTAL_MS = 100;    // longest a read waits

struct com_port {
    int32_t number;
    char path[COM_PATH_SIZE];
};

extern com_port com_ports[COM_PORTS_MAX];

// Probes \\.\com1 to \\.\com998 and fills table from index 0 upward.
int32_t discover_ports(com_port *table);

// Probes the one port number as discover_ports does; true, with *entry
// filled, when it can be opened.
bool port_probe(int32_t number, com_port *entry);

// The port number that a port announcement's name gives: "COM5" gives 5.
// name holds bytes bytes, the name in single-byte or in UTF-16 characters
// (a window can be told either way). 0 for any name that is not exactly COM
// and a number 1 to 998, such as a printer port's "LPT1".
int32_t port_announced_number(const uint8_t *name, int32_t bytes);

// Makes count entries in table the list to show. One port (held, null when
// none) belongs in it whatever a probe found: the port this program holds
// open, which a probe cannot open, or one that has just been probed alone.
// It joins the entries in ascending port number, once. Returns the new
// count, and in *selected the index of the entry whose path is
// selected_path, or -1 when none has it (selected_path may be null).
int32_t ports_merge(com_port *table, int32_t count, const com_port *held, const char *selected_path,
                    int32_t *selected);

// Takes the entry of port number out of table's count entries; the new count.
int32_t ports_drop(com_port *table, int32_t count, int32_t number);

// After "Connection lost" the technician is told to reconnect and press
// Update: the port of that run, once Windows announces it back, is to be
// selected again, so that the press goes where the device is. The user's own
// choice of another entry, or a press, makes it forget.
struct port_return {
    int32_t number; // 0: nothing to come back to
};

void port_return_remember(port_return *r, const com_port *lost);
void port_return_forget(port_return *r);
// The entry to select after port number arrived and the list became table's
// count entries, with the entry at selected (-1: none) selected before.
int32_t port_return_select(const port_return *r, int32_t arrived, const com_port *table, int32_t count,
                           int32_t selected);

// The port's time-outs, in the members of Windows's COMMTIMEOUTS (ms): a
// reply is the bytes that come before the line falls silent for
// COM_READ_INTERVAL_MS, a read that gets nothing gives up after
// COM_READ_TOTAL_MS however many bytes it asked for, and writes have no limit.
struct port_timeouts {
    uint32_t read_interval;
    uint32_t read_total_multiplier; // per byte asked for
    uint32_t read_total_constant;
    uint32_t write_total_multiplier; // per byte written
    uint32_t write_total_constant;
};
port_timeouts line_timeouts();

// Opens t->port_name, configures it and puts the sequencer into its idle
// state. Does not return when the port cannot be opened.
int32_t open_serial_port(modbus_transfer *t);
// Sets the line the boot loader expects; a port whose settings cannot be
// read is left as it stands, said so on standard error.
void configure_port(port_handle port, int32_t baud);
