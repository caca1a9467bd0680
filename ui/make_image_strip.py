#!/usr/bin/env python3
"""Draws image_strip.bmp, bitmap 104: 51 images of 16 x 16 pixels in one row, magenta (FF00FF)
transparent. Only the slots the dialogs use are drawn (7 Data Access 2/3 server, 9 branch,
27 host, 28 network, 29 other server, 35 error item); the others stay blank.
Run: python3 ui/make_image_strip.py ui/image_strip.bmp"""
import struct
import sys

W, H, COUNT = 16, 16, 51
MAGENTA = (255, 0, 255)
pixels = [[MAGENTA] * (W * COUNT) for _ in range(H)]


def put(slot, x, y, colour):
    if 0 <= x < W and 0 <= y < H:
        pixels[y][slot * W + x] = colour


def rect(slot, x0, y0, x1, y1, fill, edge=None):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            border = edge and (x in (x0, x1) or y in (y0, y1))
            put(slot, x, y, edge if border else fill)


def circle(slot, cx, cy, r, fill, edge):
    for y in range(H):
        for x in range(W):
            d = (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2
            if d <= r * r:
                put(slot, x, y, edge if d > (r - 1.2) ** 2 else fill)


BLACK, WHITE, GREY, DARK = (0, 0, 0), (255, 255, 255), (192, 192, 192), (96, 96, 96)
BLUE, SKY, GREEN, DGREEN = (0, 64, 160), (120, 180, 240), (40, 170, 60), (0, 100, 20)
YELLOW, BROWN, RED = (250, 210, 80), (160, 120, 20), (210, 30, 30)


def server(slot, body, stripe):
    rect(slot, 3, 1, 12, 14, body, BLACK)
    for y in (4, 7, 10):
        rect(slot, 5, y, 10, y, stripe)
    put(slot, 10, 12, (255, 255, 0))


def computer(slot, x0=1, y0=1, scale_small=False):
    if scale_small:
        rect(slot, x0, y0, x0 + 5, y0 + 4, SKY, BLACK)
        rect(slot, x0 + 1, y0 + 5, x0 + 4, y0 + 5, DARK)
        return
    rect(slot, 1, 1, 14, 10, SKY, BLACK)
    rect(slot, 6, 11, 9, 12, DARK)
    rect(slot, 3, 13, 12, 14, GREY, BLACK)


server(7, GREEN, DGREEN)          # Data Access 2/3 server
server(29, GREY, DARK)            # other server
rect(9, 1, 3, 6, 4, YELLOW, BROWN)  # branch: a folder
rect(9, 1, 5, 14, 13, YELLOW, BROWN)
computer(27)                      # host
for x0, y0 in ((5, 0), (0, 9), (10, 9)):  # network: three hosts joined by lines
    computer(28, x0, y0, True)
for x in range(3, 13):
    put(28, x, 8, BLUE)
for y in range(6, 9):
    put(28, 7, y, BLUE)
circle(35, 8, 8, 7.5, RED, (120, 0, 0))  # error item: a red disc with a white cross
for i in range(4, 12):
    put(35, i, i, WHITE)
    put(35, 15 - i, i, WHITE)
    put(35, i + 1, i, WHITE)
    put(35, 14 - i, i, WHITE)

row = W * COUNT * 3
pad = (4 - row % 4) % 4
data = b"".join(bytes(c for p in reversed_row for c in (p[2], p[1], p[0])) + b"\0" * pad
                for reversed_row in reversed(pixels))
header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
info = struct.pack("<IiiHHIIiiII", 40, W * COUNT, H, 1, 24, 0, len(data), 2835, 2835, 0, 0)
with open(sys.argv[1] if len(sys.argv) > 1 else "image_strip.bmp", "wb") as f:
    f.write(header + info + data)
