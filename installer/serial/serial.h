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

// Makes a fresh probe's count entries in table the list to show. The port
// this program holds open (held, null when none) belongs in it although the
// probe cannot open it: it joins the entries in ascending port number, once.
// Returns the new count, and in *selected the index of the entry whose path
// is selected_path, or -1 when none has it (selected_path may be null).
int32_t ports_merge(com_port *table, int32_t count, const com_port *held, const char *selected_path,
                    int32_t *selected);

// Opens t->port_name, configures it and puts the sequencer into its idle
// state. Does not return when the port cannot be opened.
int32_t open_serial_port(modbus_transfer *t);
int32_t configure_port(port_handle port, int32_t baud, uint32_t interval);
