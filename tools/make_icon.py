#!/usr/bin/env python3
"""Draws the program's icon and writes it as a Windows .ico file.

The picture: a chip with pins on all four sides and a green arrow going down
into it, firmware going into a device. It is described below in a 256-unit
square and drawn at 16, 32, 48 and 256 pixels with anti-aliased edges (the
coverage of each pixel from the shapes' signed distances). The small sizes
are 32-bit bitmaps with their AND mask, which every Windows reads; the
256-pixel one is a PNG, as Explorer expects for that size. Only arithmetic and
zlib are used, so the file is the same on every run.

usage: make_icon.py OUTPUT.ico
"""

import math
import struct
import sys
import zlib

ICON_SIZES = (16, 32, 48, 256)   # pixels; 256 is stored as PNG
ICON_PNG_FROM = 256              # sizes from this one on are PNG entries
DESIGN_UNITS = 256.0             # the drawing's coordinate square

# Colours, RGB.
BODY_RGB = (0x26, 0x37, 0x47)
BODY_EDGE_RGB = (0x4A, 0x60, 0x75)
PIN_RGB = (0x87, 0x93, 0xA0)
ARROW_RGB = (0x2E, 0xA4, 0x4F)
ARROW_EDGE_RGB = (0xFF, 0xFF, 0xFF)

# The chip: body, its lighter rim, pins (per side, fewer at the smallest size).
BODY = (48.0, 48.0, 208.0, 208.0)
BODY_RADIUS = 22.0
BODY_RIM = 8.0                   # units of lighter edge inside the body's outline
PIN_LENGTH = 24.0                # from the body outwards
PIN_WIDTH = 16.0
PIN_CENTRES = {16: (96.0, 160.0), 0: (80.0, 112.0, 144.0, 176.0)}

# The arrow: shaft and head, and a white outline that keeps it apart from the body.
ARROW_SHAFT = (104.0, 40.0, 152.0, 124.0)
ARROW_HEAD = ((68.0, 116.0), (188.0, 116.0), (128.0, 188.0))
ARROW_OUTLINE = {16: 0.0, 0: 10.0}   # at 16 pixels it would only blur the arrow


# ---- shapes as signed distances (negative inside), in design units ------------

def box_distance(x, y, box, radius=0.0):
    x0, y0, x1, y1 = box
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    hx, hy = (x1 - x0) / 2 - radius, (y1 - y0) / 2 - radius
    qx, qy = abs(x - cx) - hx, abs(y - cy) - hy
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def triangle_edges(points):
    # Inward-facing edge lines of a convex polygon as (nx, ny, c) with
    # nx*x + ny*y + c the signed distance, positive outside.
    edges = []
    n = len(points)
    area = sum(points[i][0] * points[(i + 1) % n][1] - points[(i + 1) % n][0] * points[i][1]
               for i in range(n))
    for i in range(n):
        (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        length = math.hypot(ex, ey)
        nx, ny = (ey / length, -ex / length) if area > 0 else (-ey / length, ex / length)
        edges.append((nx, ny, -(nx * ax + ny * ay)))
    return edges


HEAD_EDGES = triangle_edges(ARROW_HEAD)


def arrow_distance(x, y):
    head = max(nx * x + ny * y + c for nx, ny, c in HEAD_EDGES)
    return min(box_distance(x, y, ARROW_SHAFT), head)


def pin_boxes(size):
    centres = PIN_CENTRES.get(size, PIN_CENTRES[0])
    x0, y0, x1, y1 = BODY
    half = PIN_WIDTH / 2
    boxes = []
    for c in centres:
        boxes.append((x0 - PIN_LENGTH, c - half, x0 + 1, c + half))   # left
        boxes.append((x1 - 1, c - half, x1 + PIN_LENGTH, c + half))   # right
        boxes.append((c - half, y0 - PIN_LENGTH, c + half, y0 + 1))   # top
        boxes.append((c - half, y1 - 1, c + half, y1 + PIN_LENGTH))   # bottom
    return boxes


def layers(size):
    """(distance function, RGB) from the bottom up."""
    pins = pin_boxes(size)
    outline = ARROW_OUTLINE.get(size, ARROW_OUTLINE[0])
    return [
        (lambda x, y: min(box_distance(x, y, b) for b in pins), PIN_RGB),
        (lambda x, y: box_distance(x, y, BODY, BODY_RADIUS), BODY_EDGE_RGB),
        (lambda x, y: box_distance(x, y, BODY, BODY_RADIUS) + BODY_RIM, BODY_RGB),
        (lambda x, y: arrow_distance(x, y) - outline, ARROW_EDGE_RGB),
        (arrow_distance, ARROW_RGB),
    ]


# ---- drawing ------------------------------------------------------------------

def draw(size):
    """Rows of (r, g, b, a) tuples, top row first."""
    unit = DESIGN_UNITS / size          # design units per pixel
    shapes = layers(size)
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            x, y = (px + 0.5) * unit, (py + 0.5) * unit
            # Premultiplied "over", bottom layer first.
            r = g = b = a = 0.0
            for distance, rgb in shapes:
                cover = min(max(0.5 - distance(x, y) / unit, 0.0), 1.0)
                if cover == 0.0:
                    continue
                r = rgb[0] * cover + r * (1 - cover)
                g = rgb[1] * cover + g * (1 - cover)
                b = rgb[2] * cover + b * (1 - cover)
                a = cover + a * (1 - cover)
            if a > 0:
                row.append((round(r / a), round(g / a), round(b / a), round(a * 255)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


# ---- file formats -------------------------------------------------------------

def png(rows):
    size = len(rows)

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def bitmap(rows):
    # An icon's bitmap: BITMAPINFOHEADER with twice the height (colour and
    # mask), BGRA rows bottom-up, then the 1-bit AND mask, rows padded to 32 bits.
    size = len(rows)
    mask_row_bytes = ((size + 31) // 32) * 4
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for r, g, b, a in row)
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_row_bytes)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + bytes(mask)


def ico(images):
    """images: [(size, bytes)] -> the .ico file."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    data = b""
    for size, image in images:
        side = 0 if size >= 256 else size   # 0 stands for 256
        out += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return out + data


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    images = []
    for size in ICON_SIZES:
        rows = draw(size)
        images.append((size, png(rows) if size >= ICON_PNG_FROM else bitmap(rows)))
    with open(argv[1], "wb") as f:
        f.write(ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
