#pragma once

#include <stddef.h>
#include <stdint.h>

struct fuzz_line {
    const uint8_t *data;
    size_t size;
    size_t at;
    uint32_t now_ms;
    uint16_t image_crc;     // what a right answer to the CRC query carries
    bool last_reply_right;  // the last read was a right answer to the CRC query
    int writes;             // calls, failed ones included
    int reads;
    int failures;           // calls that failed
    bool port_gone;         // every port call fails from now on
};

extern fuzz_line fuzz;
