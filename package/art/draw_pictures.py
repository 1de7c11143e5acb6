#!/usr/bin/env python3
"""Draws the package's pictures and writes them into package/resources:
one 24 x 24 palette bitmap per component (16 colours, 256 for the check
processor) and the package's 32 x 32, 16-colour icon MAINICON.

The pictures are drawn here, shape by shape; run this script after changing
one and commit the files it writes.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, '..', 'resources')

# The 16 standard colours, in their usual order.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER, GREY, RED, LIME, YELLOW, BLUE, \
    FUCHSIA, AQUA, WHITE = range(16)


class Canvas:
    def __init__(self, size, background):
        self.size = size
        self.pixels = [[background] * size for _ in range(size)]

    def put(self, x, y, colour):
        if 0 <= x < self.size and 0 <= y < self.size:
            self.pixels[y][x] = colour

    def rect(self, x0, y0, x1, y1, colour):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, colour)

    def frame(self, x0, y0, x1, y1, colour):
        for x in range(x0, x1 + 1):
            self.put(x, y0, colour)
            self.put(x, y1, colour)
        for y in range(y0, y1 + 1):
            self.put(x0, y, colour)
            self.put(x1, y, colour)

    def diamond(self, cx, cy, radius, fill, outline):
        for y in range(cy - radius, cy + radius + 1):
            reach = radius - abs(y - cy)
            for x in range(cx - reach, cx + reach + 1):
                edge = abs(x - cx) + abs(y - cy) == radius
                self.put(x, y, outline if edge else fill)


def warning(c):
    """The yellow warning diamond with a black exclamation mark, lower right."""
    c.diamond(18, 18, 5, YELLOW, BLACK)
    c.rect(18, 15, 18, 18, BLACK)
    c.put(18, 20, BLACK)


def exception_log():
    c = Canvas(24, SILVER)
    c.rect(3, 1, 15, 20, WHITE)
    c.frame(3, 1, 15, 20, GREY)
    for y, colour in ((4, RED), (6, GREY), (8, RED), (10, GREY), (12, GREY), (14, RED)):
        c.rect(5, y, 13, y, colour)
    warning(c)
    return c


def app_log():
    c = Canvas(24, SILVER)
    c.diamond(9, 3, 3, MAROON, MAROON)
    c.rect(2, 5, 16, 6, MAROON)
    for x in (3, 7, 11, 15):
        c.rect(x, 7, x, 17, WHITE)
        c.put(x + 1, 7, GREY)
    c.rect(2, 18, 16, 19, GREY)
    warning(c)
    return c


def dataset_log():
    c = Canvas(24, OLIVE)
    c.rect(2, 2, 17, 16, WHITE)
    c.rect(2, 2, 17, 4, NAVY)
    for y in (7, 10, 13):
        c.rect(2, y, 17, y, GREY)
    for x in (7, 12):
        c.rect(x, 2, x, 16, GREY)
    c.frame(2, 2, 17, 16, BLACK)
    warning(c)
    return c


def file_log():
    c = Canvas(24, SILVER)
    c.rect(2, 2, 8, 5, YELLOW)
    c.frame(2, 2, 8, 5, OLIVE)
    c.rect(4, 6, 4, 15, BLACK)
    for y in (9, 14):
        c.rect(5, y, 8, y, BLACK)
        c.rect(9, y - 2, 14, y + 1, YELLOW)
        c.frame(9, y - 2, 14, y + 1, OLIVE)
    for dx, dy in ((0, -2), (0, 2), (-2, 0), (2, 0), (0, 0), (1, 1), (-1, -1), (1, -1), (-1, 1)):
        c.put(17 + dx, 5 + dy, LIME)
    warning(c)
    return c


def nt_event_log():
    c = Canvas(24, SILVER)
    c.rect(2, 2, 17, 16, NAVY)
    c.rect(3, 4, 9, 9, RED)
    c.rect(10, 4, 16, 9, LIME)
    c.rect(3, 10, 9, 15, BLUE)
    c.rect(10, 10, 16, 15, YELLOW)
    c.frame(2, 2, 17, 16, BLACK)
    warning(c)
    return c


def shell_log():
    c = Canvas(24, OLIVE)
    c.rect(3, 2, 16, 12, GREY)
    c.rect(5, 4, 14, 10, TEAL)
    c.frame(3, 2, 16, 12, BLACK)
    c.rect(8, 13, 11, 14, GREY)
    c.rect(4, 15, 15, 17, SILVER)
    c.frame(4, 15, 15, 17, BLACK)
    warning(c)
    return c


def registry_log():
    c = Canvas(24, SILVER)
    for x0, y0 in ((2, 10), (9, 10), (5, 3)):
        c.rect(x0, y0, x0 + 6, y0 + 6, AQUA)
        c.rect(x0 + 1, y0 - 1, x0 + 7, y0 - 1, TEAL)
        c.rect(x0 + 7, y0, x0 + 7, y0 + 5, TEAL)
        c.frame(x0, y0, x0 + 6, y0 + 6, NAVY)
    warning(c)
    return c


def person(c, x, shirt):
    c.rect(x + 1, 4, x + 4, 7, (224, 176, 128))
    c.frame(x + 1, 4, x + 4, 7, BLACK)
    c.rect(x, 9, x + 5, 17, shirt)
    c.frame(x, 9, x + 5, 17, BLACK)


def check_processor():
    c = Canvas(24, SILVER)
    person(c, 1, BLUE)
    person(c, 8, GREEN)
    c.diamond(18, 12, 5, YELLOW, BLACK)
    c.rect(18, 9, 18, 12, RED)
    c.put(18, 14, RED)
    return c


def rgb(colour):
    return VGA[colour] if isinstance(colour, int) else colour


def bitmap(canvas, bits):
    """An uncompressed bottom-up BMP: 4 bits (16 colours) or 8 bits (256)."""
    colours = 16 if bits == 4 else 256
    palette = list(VGA)
    index = {}
    for row in canvas.pixels:
        for colour in row:
            value = rgb(colour)
            if value not in palette:
                palette.append(value)
    assert len(palette) <= colours
    palette += [(0, 0, 0)] * (colours - len(palette))
    for i, value in enumerate(palette):
        index.setdefault(value, i)
    stride = ((canvas.size * bits + 31) // 32) * 4
    rows = b''
    for row in reversed(canvas.pixels):
        values = [index[rgb(colour)] for colour in row]
        if bits == 4:
            data = bytes((values[i] << 4) | (values[i + 1] if i + 1 < len(values) else 0)
                         for i in range(0, len(values), 2))
        else:
            data = bytes(values)
        rows += data + b'\0' * (stride - len(data))
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    header = struct.pack('<IiiHHIIiiII', 40, canvas.size, canvas.size, 1, bits, 0, len(rows),
                         2835, 2835, colours, 0)
    offset = 14 + len(header) + len(table)
    return struct.pack('<2sIHHI', b'BM', offset + len(rows), 0, 0, offset) + header + table + rows


def icon(canvas):
    """A one-image icon file: a 16-colour image with its AND mask."""
    dib = bitmap(canvas, 4)[14:]
    size = canvas.size
    width, height, planes, bits, compression, _, xr, yr, used, important = \
        struct.unpack('<iiHHIIiiII', dib[4:40])
    mask_stride = ((size + 31) // 32) * 4
    mask = b'\0' * (mask_stride * size)
    xor_size = len(dib) - 40 - 16 * 4
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, xor_size + len(mask),
                         0, 0, 16, 0)
    image = header + dib[40:] + mask
    return struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4,
                                                        len(image), 22) + image


def package_icon():
    c = Canvas(32, SILVER)
    c.rect(4, 3, 21, 27, WHITE)
    c.frame(4, 3, 21, 27, GREY)
    for y in range(7, 24, 3):
        c.rect(7, y, 18, y, RED if y % 2 else GREY)
    c.diamond(23, 23, 7, YELLOW, BLACK)
    c.rect(23, 19, 23, 24, BLACK)
    c.put(23, 26, BLACK)
    return c


def main():
    pictures = [('TKVEXCEPTIONLOG', exception_log, 4), ('TKVAPPLOG', app_log, 4),
                ('TKVDATASETLOG', dataset_log, 4), ('TKVFILELOG', file_log, 4),
                ('TKVNTEVENTLOG', nt_event_log, 4), ('TKVSHELLLOG', shell_log, 4),
                ('TKVREGISTRYLOG', registry_log, 4), ('TKVLCHECKPROCESSOR', check_processor, 8)]
    for name, draw, bits in pictures:
        with open(os.path.join(OUT, name + '.bmp'), 'wb') as f:
            f.write(bitmap(draw(), bits))
    with open(os.path.join(OUT, 'MAINICON.ico'), 'wb') as f:
        f.write(icon(package_icon()))


if __name__ == '__main__':
    main()
