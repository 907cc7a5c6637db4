"""The boot loader's protocol as the test scripts and the simulated device know it, apart from the
tool's code: flash layout, line, frames and sizes, the image's padding, one CRC-16/MODBUS."""

FLASH_BASE = 0x08001000
BLOCK_BYTES = 1024
LINE_BAUD = 115200
LINE_BITS_PER_BYTE = 11       # start bit, 8 data bits, parity, stop bit
BYTE_MS = LINE_BITS_PER_BYTE * 1000.0 / LINE_BAUD
# Bytes on the line of each request and of its reply.
REQUEST_BYTES = {"crc": 13, "write": 11 + BLOCK_BYTES, "reset": 5}
REPLY_BYTES = {"crc": 15, "write": 11, "reset": 5}
PROG = bytes([0x04, 0x2B])    # the device's bus address, the programming function
OP_WRITE, OP_CRC = 0xF5, 0xF6
RESTART = bytes([0x04, 0x2B, 0xF7, 0x6F, 0x77])  # request and reply alike


def crc_of_byte(crc):
    for _ in range(8):
        crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


CRC_TABLE = [crc_of_byte(byte) for byte in range(256)]  # a byte at a time: the device checks 110 KB at once


def crc16_modbus(data):
    crc = 0xFFFF
    for byte in data:
        crc = (crc >> 8) ^ CRC_TABLE[(crc ^ byte) & 0xFF]
    return crc


def seal(body):
    """A frame: its body and the body's CRC-16, low byte first."""
    crc = crc16_modbus(body)
    return bytes(body) + bytes([crc & 0xFF, crc >> 8])


def crc_query(address, length):
    return seal(PROG + bytes([OP_CRC]) + address.to_bytes(4, "big") + length.to_bytes(4, "big"))


def crc_reply(address, length, checksum):
    """The device's answer to crc_query: the query's body, then its checksum high byte first."""
    return seal(crc_query(address, length)[:-2] + checksum.to_bytes(2, "big"))


def write_block(address, data):
    return seal(PROG + bytes([OP_WRITE]) + address.to_bytes(4, "big") + len(data).to_bytes(2, "big") + data)


def ack_for(frame):
    """The device's acknowledgement of a write: the echo of its head."""
    return seal(frame[:9])


def padded_image(firmware_path):
    """The image as the tool writes it: zeros up to a whole block."""
    with open(firmware_path, "rb") as f:
        return padded(f.read())


def padded(data):
    size = ((len(data) - 1) // BLOCK_BYTES + 1) * BLOCK_BYTES
    return data + bytes(size - len(data))


def block_addresses(count):
    """The addresses of the first count blocks, in order."""
    return [FLASH_BASE + i * BLOCK_BYTES for i in range(count)]


def block_index(address):
    """Which block of the image starts at address."""
    return (address - FLASH_BASE) // BLOCK_BYTES
