"""What the test scripts know of the boot loader's protocol: the flash
layout, the padding of the image and the one CRC-16/MODBUS of the scripts
(tools/bootsim/test_bootsim.py holds it to the check value)."""

FLASH_BASE = 0x08001000
BLOCK_BYTES = 1024


def crc16_modbus(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


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
