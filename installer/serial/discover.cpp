#include <stdio.h>

#include "serial/serial.h"

com_port com_ports[COM_PORTS_MAX];

int32_t discover_ports(com_port *table)
{
    int32_t count = 0;
    for (int32_t n = 1; n < COM_PORT_NUMBER_END; n++) {
        com_port *entry = &table[count];
        // The \\.\ device namespace is the only way to reach ports above COM9,
        // and it works for the low ones as well.
        snprintf(entry->path, sizeof entry->path, "\\\\.\\com%d", n);
        FILE *probe = fopen(entry->path, "r");
        if (probe == nullptr)
            continue;
        fclose(probe);
        entry->number = n;
        count++;
    }
    return count;
}
