#include <stdio.h>
#include <string.h>

#include "serial/serial.h"

com_port com_ports[COM_PORTS_MAX];

bool port_probe(int32_t number, com_port *entry)
{
    // The \\.\ device namespace is the only way to reach ports above COM9,
    // and it works for the low ones as well.
    snprintf(entry->path, sizeof entry->path, "\\\\.\\com%d", number);
    FILE *probe = fopen(entry->path, "r");
    if (probe == nullptr)
        return false;
    fclose(probe);
    entry->number = number;
    return true;
}

port_timeouts line_timeouts()
{
    return port_timeouts{COM_READ_INTERVAL_MS, 0, COM_READ_TOTAL_MS, 0, 0};
}

int32_t discover_ports(com_port *table)
{
    int32_t count = 0;
    for (int32_t n = 1; n < COM_PORT_NUMBER_END; n++) {
        if (port_probe(n, &table[count]))
            count++;
    }
    return count;
}

int32_t port_announced_number(const uint8_t *name, int32_t bytes)
{
    // UTF-16 puts a zero byte after each of these ASCII characters; no
    // single-byte name of a port has one second.
    int32_t width = bytes >= 2 && name[1] == 0 ? 2 : 1;
    const char prefix[] = "COM";
    int32_t number = 0;
    int32_t at = 0;
    for (; (at + 1) * width <= bytes; at++) {
        uint8_t c = name[at * width];
        if (width == 2 && name[at * width + 1] != 0)
            return 0;
        if (c == 0)
            break;
        if (at < 3) {
            if ((c & ~0x20) != prefix[at])
                return 0;
            continue;
        }
        // Digits only, no leading zero, and no more than the probe reaches.
        if (c < '0' || c > '9' || (at == 3 && c == '0'))
            return 0;
        number = number * 10 + (c - '0');
        if (number >= COM_PORT_NUMBER_END)
            return 0;
    }
    return at > 3 ? number : 0;
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

int32_t ports_drop(com_port *table, int32_t count, int32_t number)
{
    for (int32_t at = 0; at < count; at++) {
        if (table[at].number != number)
            continue;
        memmove(&table[at], &table[at + 1], sizeof table[0] * static_cast<size_t>(count - at - 1));
        return count - 1;
    }
    return count;
}

void port_return_remember(port_return *r, const com_port *lost)
{
    r->number = lost->number;
}

void port_return_forget(port_return *r)
{
    r->number = 0;
}

int32_t port_return_select(const port_return *r, int32_t arrived, const com_port *table, int32_t count,
                           int32_t selected)
{
    if (r->number == 0 || arrived != r->number)
        return selected;
    for (int32_t i = 0; i < count; i++) {
        if (table[i].number == arrived)
            return i;
    }
    return selected;
}
