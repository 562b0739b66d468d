#!/usr/bin/env python3
"""Draws the program's icon (ui/res/vantra.ico), toolbar image (ui/res/toolbar.bmp) and the
desktop's copy of the icon (ui/res/vantra.png, 32 x 32, installed with the program).

The first two are 16-colour, 4 bits per pixel, written byte by byte so that the output depends on
nothing but this script. Run from anywhere: python3 tools/make-icons.py
"""
import os
import struct
import zlib

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREEN, NAVY, SILVER, GRAY, LIME, YELLOW, WHITE = 0, 2, 4, 7, 8, 10, 11, 15
CLEAR = None  # transparent in the icon's mask


def draw_chip(size):
    """A black chip with silver pins on a green board, a yellow down-arrow on the chip."""
    s = size / 32.0
    px = [[CLEAR] * size for _ in range(size)]

    def fill(x0, y0, x1, y1, colour):
        for y in range(int(y0 * s), max(int(y1 * s), int(y0 * s) + 1)):
            for x in range(int(x0 * s), max(int(x1 * s), int(x0 * s) + 1)):
                px[y][x] = colour

    fill(1, 1, 31, 31, GREEN)
    # Rounded-off corners, transparent like the margin.
    fill(1, 1, 2, 2, CLEAR); fill(30, 1, 31, 2, CLEAR)
    fill(1, 30, 2, 31, CLEAR); fill(30, 30, 31, 31, CLEAR)
    # Board traces.
    fill(1, 15, 31, 17, LIME)
    fill(15, 1, 17, 31, LIME)
    # Pins, then the chip body over the traces.
    for i in range(5):
        y = 8 + i * 4
        fill(5, y, 9, y + 2, SILVER)
        fill(23, y, 27, y + 2, SILVER)
    fill(8, 6, 24, 26, BLACK)
    # Down-arrow: shaft, then a head narrowing row by row.
    fill(14, 9, 18, 16, YELLOW)
    for row in range(6):
        fill(10 + row, 16 + row, 22 - row, 17 + row, YELLOW)
    return px


def draw_about_button():
    """A white "i" on a navy disc over the toolbar's silver background (16 x 16)."""
    px = [[SILVER] * 16 for _ in range(16)]
    for y in range(16):
        for x in range(16):
            if (x - 7.5) ** 2 + (y - 7.5) ** 2 <= 7.2 ** 2:
                px[y][x] = NAVY
    for y in (3, 4):
        for x in (7, 8):
            px[y][x] = WHITE
    for y in range(6, 13):
        for x in (7, 8):
            px[y][x] = WHITE
    for x in (6, 7, 8, 9):
        px[12][x] = WHITE
    return px


def palette_bytes():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)


def pixel_rows_4bpp(px):
    """Bottom-up rows, two pixels a byte, each row padded to 4 bytes."""
    out = bytearray()
    width = len(px[0])
    stride = ((width * 4 + 31) // 32) * 4
    for row in reversed(px):
        line = bytearray(stride)
        for x, colour in enumerate(row):
            value = colour if colour is not None else BLACK
            line[x // 2] |= value << (4 if x % 2 == 0 else 0)
        out += line
    return bytes(out)


def mask_rows(px):
    """Bottom-up 1-bit rows: 1 where the icon is transparent."""
    out = bytearray()
    width = len(px[0])
    stride = ((width + 31) // 32) * 4
    for row in reversed(px):
        line = bytearray(stride)
        for x, colour in enumerate(row):
            if colour is None:
                line[x // 8] |= 0x80 >> (x % 8)
        out += line
    return bytes(out)


def info_header(width, height, image_size):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0, image_size, 0, 0, 16, 0)


def icon_image(px):
    size = len(px)
    xor = pixel_rows_4bpp(px)
    mask = mask_rows(px)
    # An icon's header counts the colour and mask bitmaps together: twice the height.
    return info_header(size, size * 2, len(xor) + len(mask)) + palette_bytes() + xor + mask


def ico_file(images):
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, bodies = b"", b""
    for px in images:
        size = len(px)
        body = icon_image(px)
        entries += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(body), offset)
        bodies += body
        offset += len(body)
    return header + entries + bodies


def bmp_file(px):
    pixels = pixel_rows_4bpp(px)
    dib = info_header(len(px[0]), len(px), len(pixels)) + palette_bytes()
    offset = 14 + len(dib)
    return struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset) + dib + pixels


def png_file(px):
    """8-bit RGBA, transparent where the icon's mask is."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    raw = bytearray()
    for row in px:
        raw.append(0)  # filter: none
        for colour in row:
            raw += bytes(PALETTE[colour]) + b"\xff" if colour is not None else b"\0\0\0\0"
    header = struct.pack(">IIBBBBB", len(px[0]), len(px), 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def main():
    res = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ui", "res")
    with open(os.path.join(res, "vantra.ico"), "wb") as f:
        f.write(ico_file([draw_chip(32), draw_chip(16)]))
    with open(os.path.join(res, "toolbar.bmp"), "wb") as f:
        f.write(bmp_file(draw_about_button()))
    with open(os.path.join(res, "vantra.png"), "wb") as f:
        f.write(png_file(draw_chip(32)))


if __name__ == "__main__":
    main()
