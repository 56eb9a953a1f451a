#!/usr/bin/env python3
"""Draws the client's icons into res/: the tray states and the folder decorations.

Every icon is made of a few plain shapes (circles, rounded boxes, polygons, arcs), sampled
4 x 4 times per pixel for smooth edges, and written as a 64 x 64 PNG. The folder icons are also
written as .ico files (an ICO container holding the same PNG), the form the folder decoration
names. Standard library only.  Usage: tools/make_icons.py [output-folder]
"""
import math
import os
import struct
import sys
import zlib

SIZE = 64
SUB = 4  # samples per pixel along each axis


# ---- shapes: each is inside(x, y) -> bool, in pixel units (0..64) ----

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rbox(x0, y0, x1, y1, r):
    def inside(x, y):
        if x < x0 or x > x1 or y < y0 or y > y1:
            return False
        dx = max(x0 + r - x, 0, x - (x1 - r))
        dy = max(y0 + r - y, 0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            xa, ya = points[i]
            xb, yb = points[(i + 1) % n]
            if (ya > y) != (yb > y) and x < (xb - xa) * (y - ya) / (yb - ya) + xa:
                hit = not hit
        return hit
    return inside


def ring_arc(cx, cy, r_in, r_out, start_deg, end_deg):
    """Part of a ring, angles in degrees counter-clockwise from the x axis (y pointing up)."""
    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if d2 < r_in * r_in or d2 > r_out * r_out:
            return False
        a = math.degrees(math.atan2(cy - y, x - cx)) % 360
        s, e = start_deg % 360, end_deg % 360
        return s <= a <= e if s <= e else (a >= s or a <= e)
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def minus(a, b):
    return lambda x, y: a(x, y) and not b(x, y)


def thick_line(points, width):
    """A polyline of the given width (segments with round joins)."""
    half = width / 2.0

    def near(x, y):
        for (xa, ya), (xb, yb) in zip(points, points[1:]):
            dx, dy = xb - xa, yb - ya
            t = max(0.0, min(1.0, ((x - xa) * dx + (y - ya) * dy) / (dx * dx + dy * dy)))
            px, py = xa + t * dx, ya + t * dy
            if (x - px) ** 2 + (y - py) ** 2 <= half * half:
                return True
        return False
    return near


def rotate(points, cx, cy, deg):
    a = math.radians(deg)
    c, s = math.cos(a), math.sin(a)
    return [(cx + (x - cx) * c - (y - cy) * s, cy + (x - cx) * s + (y - cy) * c) for x, y in points]


# ---- rendering ----

def render(layers):
    """layers: list of (shape, (r, g, b, a)) painted in order. Returns RGBA rows."""
    rows = []
    step = 1.0 / SUB
    for py in range(SIZE):
        row = bytearray()
        for px in range(SIZE):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(SUB):
                for sx in range(SUB):
                    x = px + (sx + 0.5) * step
                    y = py + (sy + 0.5) * step
                    r = g = b = a = 0.0
                    for shape, (cr, cg, cb, ca) in layers:
                        if shape(x, y):
                            fa = ca / 255.0
                            r = cr * fa + r * (1 - fa)
                            g = cg * fa + g * (1 - fa)
                            b = cb * fa + b * (1 - fa)
                            a = fa + a * (1 - fa)
                    acc[0] += r
                    acc[1] += g
                    acc[2] += b
                    acc[3] += a
            n = SUB * SUB
            alpha = acc[3] / n
            if alpha > 0:
                row += bytes([round(acc[0] / n / alpha), round(acc[1] / n / alpha),
                              round(acc[2] / n / alpha), round(alpha * 255)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return rows


def png_bytes(rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\x00" + r for r in rows)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def ico_bytes(png):
    # One image; width and height 0 mean 256 in the directory, so 64 is written as is.
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(png), 6 + 16)
    return header + entry + png


# ---- the icons ----

BLUE = (33, 118, 214, 255)
BLUE_DARK = (20, 80, 160, 255)
GREY = (150, 156, 164, 255)
GREY_DARK = (105, 110, 118, 255)
WHITE = (255, 255, 255, 255)
GREEN = (46, 170, 80, 255)
ORANGE = (240, 150, 30, 255)
FOLDER = (242, 190, 66, 255)
FOLDER_DARK = (214, 156, 40, 255)


def cloud():
    return union(circle(22, 34, 12), circle(36, 26, 15), circle(47, 36, 10), rbox(10, 34, 57, 48, 7))


def cloud_layers(fill, edge):
    # An outline one pixel wider than the body, then the body, then a kestrel's wing stroke.
    outline = union(circle(22, 34, 13.2), circle(36, 26, 16.2), circle(47, 36, 11.2), rbox(8.8, 32.8, 58.2, 49.2, 8))
    wing = thick_line([(21, 38), (29, 33), (35, 37), (44, 30)], 3.2)
    return [(outline, edge), (cloud(), fill), (wing, WHITE)]


def badge(cx, cy, r, color):
    return [(circle(cx, cy, r + 1.5), WHITE), (circle(cx, cy, r), color)]


def check(cx, cy):
    return thick_line([(cx - 6, cy), (cx - 2, cy + 4.5), (cx + 6.5, cy - 5)], 3.2)


def busy_arrows(cx, cy, turn):
    """Two curved arrows chasing each other; `turn` rotates them for the second frame."""
    layers = []
    for k in (0, 180):
        start = 20 + k + turn
        layers.append((ring_arc(cx, cy, 5.2, 8.4, start, start + 120), WHITE))
        # The arrow head at the arc's leading end.
        a = math.radians(start + 120)
        tip = (cx + 6.8 * math.cos(a), cy - 6.8 * math.sin(a))
        # Point the head along the direction of travel (counter-clockwise).
        d = (-math.sin(a), -math.cos(a))
        head = [(tip[0] + 4.0 * math.cos(a), tip[1] - 4.0 * math.sin(a)),
                (tip[0] - 4.0 * math.cos(a), tip[1] + 4.0 * math.sin(a)),
                (tip[0] + 4.6 * d[0], tip[1] + 4.6 * d[1])]
        layers.append((polygon(head), WHITE))
    return layers


def folder_layers():
    back = union(rbox(6, 12, 28, 24, 3), rbox(6, 17, 58, 54, 4))
    front = rbox(6, 22, 58, 54, 4)
    return [(back, FOLDER_DARK), (front, FOLDER)]


def house(cx, cy, color):
    roof = polygon([(cx - 11, cy - 1), (cx, cy - 11), (cx + 11, cy - 1)])
    body = rbox(cx - 7.5, cy - 3, cx + 7.5, cy + 10, 1)
    door = rbox(cx - 2.5, cy + 3, cx + 2.5, cy + 10.5, 0.5)
    return [(roof, color), (body, color), (door, FOLDER)]


def arrow(cx, cy, outward, color):
    """A bent arrow leaving the folder (outward) or entering it."""
    if outward:
        shaft = thick_line([(cx - 9, cy + 8), (cx - 9, cy + 1), (cx + 3, cy + 1)], 4.2)
        head = polygon([(cx + 2, cy - 6), (cx + 11, cy + 1), (cx + 2, cy + 8)])
    else:
        shaft = thick_line([(cx + 10, cy - 7), (cx + 10, cy + 1), (cx - 2, cy + 1)], 4.2)
        head = polygon([(cx - 1, cy - 6), (cx - 10, cy + 1), (cx - 1, cy + 8)])
    return [(shaft, color), (head, color)]


ICONS = {
    # Tray states, named after what they show.
    "tray-signedout.png": cloud_layers(GREY, GREY_DARK),
    "tray-idle.png": cloud_layers(BLUE, BLUE_DARK),
    "tray-done.png": cloud_layers(BLUE, BLUE_DARK) + badge(48, 46, 11, GREEN) + [(check(48, 46), WHITE)],
    "tray-busy1.png": cloud_layers(BLUE, BLUE_DARK) + badge(48, 46, 11, ORANGE) + busy_arrows(48, 46, 0),
    "tray-busy2.png": cloud_layers(BLUE, BLUE_DARK) + badge(48, 46, 11, ORANGE) + busy_arrows(48, 46, 90),
    # Folder decorations.
    "Home.png": folder_layers() + house(32, 38, BLUE),
    "ShareTo.png": folder_layers() + arrow(32, 38, True, BLUE_DARK),
    "ShareFrom.png": folder_layers() + arrow(32, 38, False, GREEN),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "res")
    os.makedirs(out, exist_ok=True)
    for name, layers in ICONS.items():
        png = png_bytes(render(layers))
        with open(os.path.join(out, name), "wb") as f:
            f.write(png)
        if not name.startswith("tray-"):
            with open(os.path.join(out, name[:-4] + ".ico"), "wb") as f:
                f.write(ico_bytes(png))
        print("wrote", name)
    # The application's own icon (windows and dialogs) is the signed-in tray picture.
    with open(os.path.join(out, "kestrine.png"), "wb") as f:
        f.write(png_bytes(render(ICONS["tray-idle.png"])))


if __name__ == "__main__":
    main()
