#include <stdio.h>
#include <string.h>

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

int32_t ports_merge(com_port *table, int32_t count, const com_port *held, const char *selected_path,
                    int32_t *selected)
{
    if (held != nullptr && count < COM_PORTS_MAX) {
        int32_t at = 0;
        while (at < count && table[at].number < held->number)
            at++;
        if (at == count || table[at].number != held->number) {
            memmove(&table[at + 1], &table[at], sizeof table[0] * static_cast<size_t>(count - at));
            table[at] = *held;
            count++;
        }
    }
    *selected = -1;
    for (int32_t i = 0; selected_path != nullptr && i < count; i++) {
        if (strcmp(table[i].path, selected_path) == 0)
            *selected = i;
    }
    return count;
}
