#!/usr/bin/env python3
"""Draws the program's icon (a screen with a turning arrow) and writes the two
icon files of the resources, each with the same eight images:
32x32 and 16x16 at 4 bits, 48/32/16 at 8 bits, 48/32/16 at 32 bits.
Run from anywhere: python3 res/make_icons.py"""
import math
import os
import struct

SIZES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]

# A 16-colour palette (the classic VGA one); the 8-bit palette starts with it.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def picture(size):
    """RGBA rows, top row first: a dark frame, a light screen, an orange arrow."""
    rows = []
    c = (size - 1) / 2.0
    for y in range(size):
        row = []
        for x in range(size):
            fx, fy = x / size, y / size
            pixel = (0, 0, 0, 0)
            if 0.06 <= fx <= 0.94 and 0.18 <= fy <= 0.82:
                pixel = (20, 30, 110, 255)
                if 0.14 <= fx <= 0.86 and 0.26 <= fy <= 0.74:
                    pixel = (170, 210, 255, 255)
            r = math.hypot(x - c, y - c) / size
            angle = math.degrees(math.atan2(y - c, x - c)) % 360
            if 0.26 <= r <= 0.36 and 30 <= angle <= 300:
                pixel = (255, 140, 0, 255)
            if 0.20 <= r <= 0.42 and 300 < angle <= 330 and (r - 0.20) < (330 - angle) / 30 * 0.22:
                pixel = (255, 140, 0, 255)
            row.append(pixel)
        rows.append(row)
    return rows


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))


def palette256():
    colours = list(VGA)
    for r in range(6):
        for g in range(6):
            for b in range(6):
                colours.append((r * 51, g * 51, b * 51))
    while len(colours) < 256:
        grey = (len(colours) - 232) * 10 + 8
        colours.append((grey, grey, grey))
    return colours[:256]


def stride(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def image(size, bits):
    rows = picture(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0, 0, 0)
    data = bytearray()
    if bits in (4, 8):
        palette = VGA if bits == 4 else palette256()
        for (r, g, b) in palette:
            data += bytes((b, g, r, 0))
    xor = bytearray()
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        if bits == 32:
            for (r, g, b, a) in row:
                line += bytes((b, g, r, a))
        else:
            indices = [nearest(palette, p[:3]) if p[3] else 0 for p in row]
            if bits == 8:
                line += bytes(indices)
            else:
                for i in range(0, size, 2):
                    line.append((indices[i] << 4) | indices[i + 1])
        line += b'\0' * (stride(size * bits) - len(line))
        xor += line
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride(size))
        for x, p in enumerate(row):
            if p[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + data + xor + mask


def icon_file():
    images = [image(size, bits) for size, bits in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), blob in zip(SIZES, images):
        colours = 16 if bits == 4 else 0
        out += struct.pack('<BBBBHHII', size % 256, size % 256, colours, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    return out + b''.join(images)


if __name__ == '__main__':
    here = os.path.dirname(os.path.abspath(__file__))
    data = icon_file()
    for name in ('velatrix.ico', 'velatrix_small.ico'):
        with open(os.path.join(here, name), 'wb') as f:
            f.write(data)
