// The link record: everything one firmware update needs, in one place.
#pragma once

#include <stdint.h>

// The open serial port. On Windows this is the HANDLE from CreateFileA; the
// engine keeps it opaque so that it never has to include windows.h.
typedef void *port_handle;

const int32_t DEVICE_ADDRESS = 4;          // bus address of the boot loader
const int32_t LINK_BAUD_RATE = 115200;     // bits per second
const uint32_t FLASH_IMAGE_BASE = 0x08001000; // flash address of image byte 0

const int32_t MODBUS_PROG_BLOCKSIZE_MAX = 1024; // data bytes in one write block
const int32_t MODBUS_FRAME_LENGTH_MAX = 1040;   // bytes; frame buffer and read size

struct modbus_transfer {
    const char *port_name;  // device path of the run's port, its own copy
    port_handle port;
    int32_t baud_rate;
    int32_t slave_address;
    int32_t len;            // valid bytes in frame
    int32_t rx_size;        // bytes asked of each read
    uint8_t *frame;         // MODBUS_FRAME_LENGTH_MAX bytes, requests and replies
    uint32_t state;
    uint8_t *image;         // padded firmware image
    uint32_t flash_base;
    int32_t offset;         // image bytes acknowledged so far in this run
    int32_t image_size;     // a whole multiple of MODBUS_PROG_BLOCKSIZE_MAX
    int32_t block_length;   // data length of the block in flight
    uint32_t timer_start;   // tick count at which the current wait began
    uint32_t timeout_ms;    // how long the current phase waits for a reply
};

extern modbus_transfer transfer;

// Start values of the record, with its frame buffer. Returns -1, leaving the
// record without a buffer, when the buffer cannot be allocated.
int32_t link_init(modbus_transfer *t);
