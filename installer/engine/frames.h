// Boot loader frames: a Modbus RTU style request/reply format with one
// function code and three sub-codes. Payload fields go big-endian; only the
// trailing CRC-16 goes low byte first, as Modbus RTU has it.
#pragma once

#include <stdint.h>

#include "engine/link.h"

const uint8_t MODBUS_FC_PROG = 0x2B;
const uint8_t PROG_OP_WRITE = 0xF5;
const uint8_t PROG_OP_CRC = 0xF6;
const uint8_t PROG_OP_RESET = 0xF7;

const int32_t FRAME_CRC_SIZE = 2;         // bytes of the trailing CRC-16
const int32_t FRAME_REPLY_LENGTH_MIN = 4;  // bytes, CRC included, of the shortest reply taken

uint16_t crc16(const uint8_t *data, int32_t n);
uint16_t frame_crc(const modbus_transfer *t);
void frame_seal(modbus_transfer *t);
bool frame_valid(const modbus_transfer *t);

void build_write_block(modbus_transfer *t, uint32_t address, int32_t block_length,
                       const uint8_t *local_memory_address);
void build_crc_query(modbus_transfer *t, uint32_t address, uint32_t length);
void build_reset(modbus_transfer *t);

void put_be16(uint8_t *p, uint32_t v);
void put_be32(uint8_t *p, uint32_t v);
uint32_t get_be16(const uint8_t *p);
uint32_t get_le16(const uint8_t *p);

void dump_rx(const modbus_transfer *t);
