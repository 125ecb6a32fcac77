#!/usr/bin/env python3
"""Draws the application icon and writes res/uninstaller.ico, byte for byte the same on every run.

The picture: a blue tile with a white plug-in brick on it, and a red badge with a white minus sign at
the lower right. Eight images: 16 and 32 pixels at 4, 8 and 32 bits per pixel, 48 pixels at 8 and 32.
"""
import math
import struct
import sys
from pathlib import Path

SIZES = [(16, 4), (16, 8), (16, 32), (32, 4), (32, 8), (32, 32), (48, 8), (48, 32)]
SUPERSAMPLE = 4

TILE = (32, 92, 168)
TILE_EDGE = (20, 60, 120)
BRICK = (245, 245, 245)
BRICK_SHADE = (200, 208, 220)
BADGE = (204, 32, 40)
WHITE = (255, 255, 255)


def rounded_box(x, y, x0, y0, x1, y1, r):
    """True when (x, y) lies in the box from (x0, y0) to (x1, y1) with corners of radius r."""
    if not (x0 <= x <= x1 and y0 <= y <= y1):
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def shade(u, v):
    """The colour and opacity at (u, v), both from 0 to 1 across the icon."""
    badge_d = math.hypot(u - 0.72, v - 0.72)
    if badge_d <= 0.27:
        if abs(v - 0.72) <= 0.05 and abs(u - 0.72) <= 0.16:
            return WHITE, 1.0
        return (WHITE if badge_d > 0.24 else BADGE), 1.0
    if rounded_box(u, v, 0.18, 0.30, 0.62, 0.66, 0.04) or rounded_box(u, v, 0.26, 0.20, 0.36, 0.32, 0.02) \
            or rounded_box(u, v, 0.44, 0.20, 0.54, 0.32, 0.02):
        return (BRICK_SHADE if v > 0.56 else BRICK), 1.0
    if rounded_box(u, v, 0.02, 0.02, 0.98, 0.98, 0.18):
        edge = not rounded_box(u, v, 0.06, 0.06, 0.94, 0.94, 0.15)
        return (TILE_EDGE if edge else TILE), 1.0
    return (0, 0, 0), 0.0


def render(size):
    """Rows of (r, g, b, a) pixels, top row first, each averaged over a grid of samples."""
    rows = []
    n = SUPERSAMPLE
    for y in range(size):
        row = []
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    colour, alpha = shade((x + (sx + 0.5) / n) / size, (y + (sy + 0.5) / n) / size)
                    for i in range(3):
                        acc[i] += colour[i] * alpha
                    acc[3] += alpha
            a = acc[3] / (n * n)
            rgb = [round(acc[i] / acc[3]) if acc[3] else 0 for i in range(3)]
            row.append((rgb[0], rgb[1], rgb[2], round(a * 255)))
        rows.append(row)
    return rows


def vga_palette():
    base = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
            (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
            (255, 0, 255), (0, 255, 255), (255, 255, 255)]
    return base


def cube_palette():
    steps = [0, 51, 102, 153, 204, 255]
    colours = [(r, g, b) for r in steps for g in steps for b in steps]
    colours += [(g, g, g) for g in range(8, 248, 6)][:40]
    return colours


def nearest(palette, rgb):
    return min(range(len(palette)), key=lambda i: sum((palette[i][k] - rgb[k]) ** 2 for k in range(3)))


def padded(data):
    return data + b"\0" * (-len(data) % 4)


def bmp_image(size, bits):
    """One icon image in the DIB form: header, palette, colour rows and AND mask, bottom row first."""
    pixels = render(size)
    palette = {4: vga_palette(), 8: cube_palette()}.get(bits, [])
    colour_rows, mask_rows = [], []
    for row in reversed(pixels):
        mask_bits = 0
        for x, (r, g, b, a) in enumerate(row):
            if a < 128:
                mask_bits |= 1 << (size - 1 - x)
        mask_rows.append(padded(mask_bits.to_bytes(size // 8, "big")))
        if bits == 32:
            colour_rows.append(b"".join(struct.pack("BBBB", b, g, r, a) for r, g, b, a in row))
            continue
        indices = [nearest(palette, (r, g, b)) if a >= 128 else 0 for r, g, b, a in row]
        if bits == 4:
            packed = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        else:
            packed = bytes(indices)
        colour_rows.append(padded(packed))
    body = b"".join(colour_rows) + b"".join(mask_rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(body), 0, 0, len(palette), 0)
    table = b"".join(struct.pack("BBBB", b, g, r, 0) for r, g, b in palette)
    if bits == 8:
        table += b"\0\0\0\0" * (256 - len(palette))
    return header + table + body, (16 if bits == 4 else 0)


def icon_file():
    images = [bmp_image(size, bits) + (size, bits) for size, bits in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for data, colours, size, bits in images:
        out += struct.pack("<BBBBHHII", size, size, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    return out + b"".join(data for data, _, _, _ in images)


if __name__ == "__main__":
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("uninstaller.ico")
    target.write_bytes(icon_file())
