#!/usr/bin/env python3
"""Draws the program's own artwork into a build folder: the tray pictures, the log-window and
password icons, and the logo bitmap of the main window.

Run by the build (res/CMakeLists.txt): make_art.py OUTPUT_DIR. Standard library only. Shapes
are described in a unit square and rendered with 4x4 supersampling, so edges stay smooth at
16x16 and 32x32. The two tray pictures must be told apart at 16x16 at a glance: the idle one
is a grey plug, the traffic one two green arrows passing each other.
"""
import os
import struct
import sys

SUPER = 4  # supersampling factor per axis


class Canvas:
    """RGBA canvas in floating point, drawn at SUPER times the final size."""

    def __init__(self, size_x, size_y=None):
        self.w = size_x * SUPER
        self.h = (size_y or size_x) * SUPER
        self.px = [[(0.0, 0.0, 0.0, 0.0)] * self.w for _ in range(self.h)]

    def _over(self, x, y, rgba):
        r, g, b, a = rgba
        dr, dg, db, da = self.px[y][x]
        oa = a + da * (1 - a)
        if oa <= 0:
            return
        self.px[y][x] = ((r * a + dr * da * (1 - a)) / oa,
                         (g * a + dg * da * (1 - a)) / oa,
                         (b * a + db * da * (1 - a)) / oa, oa)

    def shape(self, inside, rgba):
        """Paints every sample whose centre (in unit coordinates) satisfies inside(u, v)."""
        for y in range(self.h):
            v = (y + 0.5) / self.h
            for x in range(self.w):
                if inside((x + 0.5) / self.w, v):
                    self._over(x, y, rgba)

    def pixels(self):
        """Rows top-down of (r, g, b, a) bytes, averaged over each SUPER x SUPER block."""
        rows = []
        for y in range(0, self.h, SUPER):
            row = []
            for x in range(0, self.w, SUPER):
                acc = [0.0, 0.0, 0.0, 0.0]
                for yy in range(y, y + SUPER):
                    for xx in range(x, x + SUPER):
                        r, g, b, a = self.px[yy][xx]
                        acc[0] += r * a
                        acc[1] += g * a
                        acc[2] += b * a
                        acc[3] += a
                n = SUPER * SUPER
                a = acc[3] / n
                if acc[3] > 0:
                    rgb = [c / acc[3] for c in acc[:3]]
                else:
                    rgb = [0.0, 0.0, 0.0]
                row.append(tuple(int(round(max(0.0, min(1.0, c)) * 255)) for c in rgb + [a]))
            rows.append(row)
        return rows


def rect(x0, y0, x1, y1, radius=0.0):
    def inside(u, v):
        if not (x0 <= u <= x1 and y0 <= v <= y1):
            return False
        if radius <= 0:
            return True
        cx = min(max(u, x0 + radius), x1 - radius)
        cy = min(max(v, y0 + radius), y1 - radius)
        return (u - cx) ** 2 + (v - cy) ** 2 <= radius ** 2
    return inside


def circle(cx, cy, r):
    return lambda u, v: (u - cx) ** 2 + (v - cy) ** 2 <= r * r


def segment(x0, y0, x1, y1, half_width):
    dx, dy = x1 - x0, y1 - y0
    length2 = dx * dx + dy * dy

    def inside(u, v):
        t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((u - x0) * dx + (v - y0) * dy) / length2))
        px, py = x0 + t * dx, y0 + t * dy
        return (u - px) ** 2 + (v - py) ** 2 <= half_width ** 2
    return inside


def polygon(points):
    def inside(u, v):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > v) != (yj > v) and u < (xj - xi) * (v - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def rgb(hex_text, alpha=1.0):
    value = int(hex_text, 16)
    return ((value >> 16) / 255.0, ((value >> 8) & 255) / 255.0, (value & 255) / 255.0, alpha)


def draw_idle(c):
    """A grey mains plug with its cable: the link is waiting."""
    outline, body, prong = rgb("3c3c3c"), rgb("9a9a9a"), rgb("6b6b6b")
    c.shape(segment(0.50, 0.62, 0.50, 0.98, 0.085), outline)      # cable
    c.shape(segment(0.50, 0.62, 0.50, 0.98, 0.045), body)
    c.shape(rect(0.28, 0.04, 0.40, 0.34, 0.03), outline)          # prongs
    c.shape(rect(0.60, 0.04, 0.72, 0.34, 0.03), outline)
    c.shape(rect(0.305, 0.07, 0.375, 0.34), prong)
    c.shape(rect(0.625, 0.07, 0.695, 0.34), prong)
    c.shape(rect(0.14, 0.28, 0.86, 0.70, 0.12), outline)          # body
    c.shape(rect(0.19, 0.33, 0.81, 0.65, 0.08), body)


def draw_traffic(c):
    """Two green arrows passing each other: bytes are flowing."""
    dark, light = rgb("0b6b1f"), rgb("35c24f")
    top = [(0.06, 0.20), (0.58, 0.20), (0.58, 0.04), (0.96, 0.31), (0.58, 0.58), (0.58, 0.42),
           (0.06, 0.42)]
    bottom = [(0.94, 0.58), (0.42, 0.58), (0.42, 0.42), (0.04, 0.69), (0.42, 0.96), (0.42, 0.80),
              (0.94, 0.80)]
    for points in (top, bottom):
        c.shape(polygon(points), dark)
        cx = sum(p[0] for p in points) / len(points)
        cy = sum(p[1] for p in points) / len(points)
        inner = [(cx + (x - cx) * 0.78, cy + (y - cy) * 0.70) for x, y in points]
        c.shape(polygon(inner), light)


def draw_log(c):
    """A page with lines of text: the transaction log."""
    c.shape(polygon([(0.16, 0.04), (0.66, 0.04), (0.86, 0.24), (0.86, 0.96), (0.16, 0.96)]),
            rgb("4a4a4a"))
    c.shape(polygon([(0.21, 0.09), (0.63, 0.09), (0.81, 0.27), (0.81, 0.91), (0.21, 0.91)]),
            rgb("ffffff"))
    c.shape(polygon([(0.63, 0.09), (0.81, 0.27), (0.63, 0.27)]), rgb("c8c8c8"))
    for i, y in enumerate((0.36, 0.50, 0.64, 0.78)):
        end = 0.74 if i % 2 == 0 else 0.60
        c.shape(rect(0.28, y, end, y + 0.07), rgb("2f5fb3"))


def draw_password(c):
    """A gold padlock: the settings are locked."""
    c.shape(segment(0.35, 0.45, 0.35, 0.28, 0.075), rgb("5a5a5a"))
    c.shape(segment(0.65, 0.45, 0.65, 0.28, 0.075), rgb("5a5a5a"))
    ring = lambda u, v: (0.165 ** 2 >= (u - 0.5) ** 2 + (v - 0.28) ** 2 >= 0.085 ** 2) and v <= 0.28
    c.shape(ring, rgb("5a5a5a"))
    c.shape(rect(0.14, 0.42, 0.86, 0.96, 0.08), rgb("8a6200"))
    c.shape(rect(0.19, 0.47, 0.81, 0.91, 0.05), rgb("e6b422"))
    c.shape(circle(0.50, 0.62, 0.075), rgb("5a4000"))
    c.shape(rect(0.465, 0.62, 0.535, 0.80), rgb("5a4000"))


def ico_bytes(drawer, sizes=(16, 32, 48)):
    """An .ico file with one 32-bit image (alpha and AND mask) per size."""
    images = []
    for size in sizes:
        canvas = Canvas(size)
        drawer(canvas)
        rows = canvas.pixels()
        header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
        xor = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
        mask_stride = ((size + 31) // 32) * 4
        mask = bytearray()
        for row in reversed(rows):
            line = bytearray(mask_stride)
            for x, (_, _, _, a) in enumerate(row):
                if a < 128:
                    line[x // 8] |= 0x80 >> (x % 8)
            mask += line
        images.append((size, header + xor + bytes(mask)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


# 5x7 capitals for the logo's word mark.
GLYPHS = {
    "P": ["1111.", "1...1", "1...1", "1111.", "1....", "1....", "1...."],
    "E": ["11111", "1....", "1....", "1111.", "1....", "1....", "11111"],
    "L": ["1....", "1....", "1....", "1....", "1....", "1....", "11111"],
    "A": [".111.", "1...1", "1...1", "11111", "1...1", "1...1", "1...1"],
    "R": ["1111.", "1...1", "1...1", "1111.", "1.1..", "1..1.", "1...1"],
    "I": ["11111", "..1..", "..1..", "..1..", "..1..", "..1..", "11111"],
    "N": ["1...1", "11..1", "1.1.1", "1.1.1", "1..11", "1...1", "1...1"],
}


def logo_bytes(width=146, height=66):
    """A 24-bit bottom-up .bmp: a blue band, a card terminal, arrows and the word mark."""
    px = [[(0, 0, 0)] * width for _ in range(height)]
    top, bottom = (18, 52, 110), (28, 120, 160)
    for y in range(height):
        t = y / (height - 1)
        colour = tuple(int(top[i] + (bottom[i] - top[i]) * t) for i in range(3))
        px[y] = [colour] * width

    def fill(x0, y0, x1, y1, colour):
        for y in range(max(0, y0), min(height, y1)):
            for x in range(max(0, x0), min(width, x1)):
                px[y][x] = colour

    # Card terminal: body, screen, keys.
    fill(5, 10, 29, 56, (235, 235, 235))
    fill(8, 13, 26, 25, (40, 70, 40))
    fill(9, 14, 25, 24, (120, 200, 120))
    for row in range(3):
        for col in range(3):
            fill(9 + col * 6, 29 + row * 8, 13 + col * 6, 34 + row * 8, (90, 90, 90))
    # Arrows towards and from the host.
    fill(33, 22, 43, 25, (255, 210, 60))
    for i in range(5):
        fill(43 + i, 19 + i, 44 + i, 28 - i, (255, 210, 60))
    fill(36, 38, 47, 41, (120, 230, 140))
    for i in range(5):
        fill(35 - i, 35 + i, 36 - i, 44 - i, (120, 230, 140))
    # Word mark, each glyph pixel 2x3, glyphs 12 pixels apart.
    x = 50
    for letter in "PELLARIN":
        for gy, line in enumerate(GLYPHS[letter]):
            for gx, bit in enumerate(line):
                if bit == "1":
                    fill(x + gx * 2, 19 + gy * 3, x + gx * 2 + 2, 19 + gy * 3 + 3, (255, 255, 255))
        x += 12
    fill(50, 46, 144, 48, (255, 210, 60))

    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for y in reversed(range(height)):
        line = bytearray()
        for (r, g, b) in px[y]:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        data += line
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(data), 2835, 2835, 0, 0)
    header = struct.pack("<2sIHHI", b"BM", 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return header + info + bytes(data)


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    files = {
        "idle.ico": ico_bytes(draw_idle),
        "traffic.ico": ico_bytes(draw_traffic),
        "log.ico": ico_bytes(draw_log),
        "password.ico": ico_bytes(draw_password),
        "logo.bmp": logo_bytes(),
    }
    for name, data in files.items():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
