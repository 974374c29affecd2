#!/usr/bin/python3
"""Draws the setup's artwork: the product icon (rvq.ico: 16, 24, 32, 48 and
64 pixels, 32-bit with alpha) and the picture of the welcome and finish
pages (wizard.bmp: 164 x 314, 24-bit). Both are drawn here from shapes, so
the same script always writes the same bytes.

usage: make-art.py OUT_DIR
"""
import struct
import sys

BLUE = (0x1F, 0x5F, 0xA8)
DARK = (0x12, 0x3A, 0x68)
WHITE = (0xFF, 0xFF, 0xFF)


def inside_rounded(x, y, size, radius):
    """Whether (x, y), in units of the image's size, lies in the rounded square."""
    r = radius
    cx = min(max(x, r), size - r)
    cy = min(max(y, r), size - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def near_segment(px, py, ax, ay, bx, by, width):
    dx, dy = bx - ax, by - ay
    t = ((px - ax) * dx + (py - ay) * dy) / float(dx * dx + dy * dy)
    t = min(max(t, 0.0), 1.0)
    qx, qy = ax + t * dx, ay + t * dy
    return (px - qx) ** 2 + (py - qy) ** 2 <= (width / 2.0) ** 2


def mark_pixel(x, y):
    """Colour and coverage of the mark at (x, y) in a 1 x 1 square: a blue
    rounded square with a white tick, darker at the bottom."""
    if not inside_rounded(x, y, 1.0, 0.18):
        return None
    if near_segment(x, y, 0.24, 0.52, 0.43, 0.72, 0.13) or near_segment(x, y, 0.43, 0.72, 0.78, 0.28, 0.13):
        return WHITE
    shade = y
    return tuple(int(b + (d - b) * shade * 0.6) for b, d in zip(BLUE, DARK))


def render_mark(size, samples=4):
    """Rows of (r, g, b, a), top row first, supersampled for smooth edges."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = mark_pixel((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits:
                row.append((acc[0] // hits, acc[1] // hits, acc[2] // hits, 255 * hits // (samples * samples)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def ico_image(size):
    """One icon image: BITMAPINFOHEADER, BGRA pixels bottom-up, AND mask."""
    rows = render_mark(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(bits)
    return header + pixels + mask


def write_ico(path, sizes):
    images = [ico_image(s) for s in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(images))


def write_wizard(path, width=164, height=314):
    """A vertical blue gradient with the mark, 24-bit, bottom-up."""
    mark_size = 96
    mark = render_mark(mark_size)
    left, top = (width - mark_size) // 2, 48
    stride = (width * 3 + 3) // 4 * 4
    body = bytearray()
    for y in reversed(range(height)):
        row = bytearray()
        t = y / float(height - 1)
        bg = tuple(int(w + (b - w) * t * 0.35) for w, b in zip(WHITE, BLUE))
        for x in range(width):
            r, g, b = bg
            if left <= x < left + mark_size and top <= y < top + mark_size:
                mr, mg, mb, a = mark[y - top][x - left]
                r = (mr * a + r * (255 - a)) // 255
                g = (mg * a + g * (255 - a)) // 255
                b = (mb * a + b * (255 - a)) // 255
            row += bytes((b, g, r))
        row += bytes(stride - len(row))
        body += row
    header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    file_header = struct.pack("<2sIHHI", b"BM", 14 + len(header) + len(body), 0, 0, 14 + len(header))
    with open(path, "wb") as f:
        f.write(file_header + header + body)


def main(out_dir):
    write_ico(out_dir + "/rvq.ico", [16, 24, 32, 48, 64])
    write_wizard(out_dir + "/wizard.bmp")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
