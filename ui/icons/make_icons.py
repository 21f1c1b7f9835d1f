#!/usr/bin/env python3
"""Draws the program's three icons as 32x32, 16-colour .ico files.

    python3 make_icons.py [FOLDER]    (default: the folder of this script)

101 application.ico: a flash chip with an arrow going into it
102 end.ico:         a green disc with a white check mark (end, exit, confirmation)
103 error.ico:       a red disc with a white cross (error)
"""
import os
import struct
import sys

SIZE = 32

# The standard 16-colour palette, as (red, green, blue).
PALETTE = [
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
]
BLACK, DARK_RED, DARK_GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GRAY, RED, LIME, YELLOW, BLUE, MAGENTA, CYAN, WHITE = range(8, 16)
CLEAR = None  # transparent pixel


def blank():
    return [[CLEAR] * SIZE for _ in range(SIZE)]


def fill_rect(image, x0, y0, x1, y1, colour):
    """Fills x0..x1, y0..y1 inclusive."""
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            image[y][x] = colour


def fill_disc(image, cx, cy, radius, colour):
    for y in range(SIZE):
        for x in range(SIZE):
            if (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2:
                image[y][x] = colour


def thick_line(image, x0, y0, x1, y1, width, colour):
    steps = max(abs(x1 - x0), abs(y1 - y0)) * 4
    for i in range(steps + 1):
        x = x0 + (x1 - x0) * i / steps
        y = y0 + (y1 - y0) * i / steps
        for dy in range(-width // 2 + 1, width // 2 + 1):
            for dx in range(-width // 2 + 1, width // 2 + 1):
                px, py = int(round(x + dx)), int(round(y + dy))
                if 0 <= px < SIZE and 0 <= py < SIZE:
                    image[py][px] = colour


def application_icon():
    image = blank()
    # Chip body with pins on both sides.
    fill_rect(image, 8, 12, 23, 30, BLACK)
    fill_rect(image, 9, 13, 22, 29, GRAY)
    for y in range(14, 29, 3):
        fill_rect(image, 4, y, 7, y + 1, SILVER)
        fill_rect(image, 24, y, 27, y + 1, SILVER)
    fill_disc(image, 11, 27, 1, BLACK)  # pin-1 mark
    # Arrow down into the chip.
    fill_rect(image, 14, 1, 17, 13, BLUE)
    for row in range(7):
        fill_rect(image, 9 + row, 11 + row, 22 - row, 11 + row, BLUE)
    fill_rect(image, 15, 2, 16, 14, CYAN)
    return image


def end_icon():
    image = blank()
    fill_disc(image, 15.5, 15.5, 15, BLACK)
    fill_disc(image, 15.5, 15.5, 14, DARK_GREEN)
    thick_line(image, 8, 16, 13, 22, 4, WHITE)
    thick_line(image, 13, 22, 23, 9, 4, WHITE)
    return image


def error_icon():
    image = blank()
    fill_disc(image, 15.5, 15.5, 15, BLACK)
    fill_disc(image, 15.5, 15.5, 14, RED)
    thick_line(image, 9, 9, 22, 22, 4, WHITE)
    thick_line(image, 22, 9, 9, 22, 4, WHITE)
    return image


def ico_bytes(image):
    """One 32x32 4-bit image: header, palette, colour bits, then the mask."""
    colour_rows = []
    mask_rows = []
    for row in reversed(image):  # bitmaps are stored bottom-up
        nibbles = [0 if pixel is CLEAR else pixel for pixel in row]
        colour_rows.append(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, SIZE, 2)))
        mask = 0
        for pixel in row:
            mask = (mask << 1) | (1 if pixel is CLEAR else 0)
        mask_rows.append(struct.pack('>I', mask))
    colour_bits = b''.join(colour_rows)
    mask_bits = b''.join(mask_rows)
    palette = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(colour_bits) + len(mask_bits), 0, 0, 16, 0)
    body = header + palette + colour_bits + mask_bits
    directory = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 16, 0, 1, 4, len(body), 6 + 16)
    return directory + entry + body


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, draw in (('application.ico', application_icon), ('end.ico', end_icon),
                       ('error.ico', error_icon)):
        with open(os.path.join(folder, name), 'wb') as out:
            out.write(ico_bytes(draw()))


if __name__ == '__main__':
    main()
