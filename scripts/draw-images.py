#!/usr/bin/env python3
"""Draws the report trees' five 18 x 18 pictures and the 32 x 32 application icon as XPM
files under res/images/, in the 16 standard colours on white. White is the transparent
colour: the program masks it out when it loads the pictures. The same icon goes to
res/icons/ for the desktop: PNG files of 32, 64 and 128 pixels (each pixel of the design
made a square, white transparent) and a scalable SVG. Run it again after a change."""
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))

PALETTE = {
    ".": "#FFFFFF", "#": "#000000", "m": "#800000", "g": "#008000", "o": "#808000",
    "n": "#000080", "p": "#800080", "t": "#008080", "s": "#C0C0C0", "d": "#808080",
    "r": "#FF0000", "l": "#00FF00", "y": "#FFFF00", "b": "#0000FF", "f": "#FF00FF",
    "a": "#00FFFF",
}

HOST = """
..................
..##############..
..#ssssssssssss#..
..#s##########s#..
..#s#tttttttt#s#..
..#s#tttttttt#s#..
..#s#tttttttt#s#..
..#s#tttttttt#s#..
..#s#tttttttt#s#..
..#s##########s#..
..#ssssssssssss#..
..##############..
.......#ss#.......
.....########.....
..##############..
..#ssssssssss#l#..
..##############..
..................
"""

ROUTE = """
..................
.#######..........
.#ttttt#..........
.#ttttt#..........
.#ttttt#..........
.#######..........
...#s#............
..#####...........
....#.............
....#.............
....#####.#######.
........#.#ttttt#.
........###ttttt#.
..........#ttttt#.
..........#######.
............#s#...
...........#####..
..................
"""

OK = """
..................
..................
..................
..............nn..
.............nnn..
............nnn...
...........nnn....
..........nnn.....
..n......nnn......
..nn....nnn.......
..nnn..nnn........
...nnnnnn.........
....nnnn..........
.....nn...........
..................
..................
..................
..................
"""


def grid(art):
    rows = [list(r) for r in art.strip().splitlines()]
    assert all(len(r) == len(rows[0]) for r in rows), "ragged picture"
    return rows


def fail():
    # A red ring with a bar from its upper left to its lower right.
    rows = [["."] * 18 for _ in range(18)]
    c = 8.5
    for y in range(18):
        for x in range(18):
            d = math.hypot(x - c, y - c)
            on_ring = 6.0 <= d <= 8.4
            on_bar = d < 6.5 and abs((x - c) - (y - c)) <= 1.3
            if on_ring or on_bar:
                rows[y][x] = "r"
    return rows


def info():
    # A blue disc with a white letter i: a dot above a stem with a foot.
    rows = [["."] * 18 for _ in range(18)]
    c = 8.5
    for y in range(18):
        for x in range(18):
            if math.hypot(x - c, y - c) <= 8.4:
                rows[y][x] = "b"
    for x in (8, 9):
        for y in (3, 4):
            rows[y][x] = "."
        for y in range(7, 14):
            rows[y][x] = "."
    for x in (7, 10):
        rows[13][x] = "."
    rows[7][7] = "."
    return rows


def icon():
    # The application: a monitor whose screen shows an echo trace, on a stand.
    rows = [["."] * 32 for _ in range(32)]
    for y in range(2, 24):
        for x in range(2, 30):
            rows[y][x] = "#" if y in (2, 23) or x in (2, 29) else "s"
    for y in range(5, 21):
        for x in range(5, 27):
            rows[y][x] = "#" if y in (5, 20) or x in (5, 26) else "n"
    # The echo: a flat line with one spike, then a smaller returning one.
    trace = {6: 15, 7: 15, 8: 15, 9: 15, 10: 14, 11: 10, 12: 7, 13: 11, 14: 15, 15: 15,
             16: 15, 17: 15, 18: 15, 19: 13, 20: 11, 21: 13, 22: 15, 23: 15, 24: 15, 25: 15}
    prev = None
    for x, y in trace.items():
        lo, hi = (y, y) if prev is None else (min(y, prev), max(y, prev))
        for yy in range(lo, hi + 1):
            rows[yy][x] = "l"
        prev = y
    for y in range(24, 27):
        for x in range(13, 19):
            rows[y][x] = "#" if x in (13, 18) else "d"
    for y in range(27, 30):
        for x in range(6, 26):
            rows[y][x] = "#" if y in (27, 29) or x in (6, 25) else "s"
    return rows


def write(name, rows):
    used = sorted({ch for r in rows for ch in r})
    h, w = len(rows), len(rows[0])
    lines = [f'"{w} {h} {len(used)} 1",']
    lines += [f'"{ch} c {PALETTE[ch]}",' for ch in used]
    lines += [f'"{"".join(r)}",' for r in rows]
    lines[-1] = lines[-1].rstrip(",")
    text = f"/* XPM */\nstatic const char* const {name}_xpm[] = {{\n" + "\n".join(lines) + "\n};\n"
    with open(os.path.join(HERE, "..", "res", "images", f"{name}.xpm"), "w") as f:
        f.write(text)


def rgba(ch):
    if ch == ".":
        return b"\0\0\0\0"
    return bytes.fromhex(PALETTE[ch][1:]) + b"\xff"


def write_png(path, rows, scale):
    # 8-bit RGBA, no ancillary chunks (no time stamp), so the same design gives the same bytes.
    w, h = len(rows[0]) * scale, len(rows) * scale
    raw = b"".join(b"\0" + b"".join(rgba(ch) * scale for ch in r) for r in rows for _ in range(scale))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))
    with open(path, "wb") as f:
        f.write(png)


def write_svg(path, rows):
    # One rectangle per horizontal run of a colour; crisp edges keep the pixel design at any size.
    h, w = len(rows), len(rows[0])
    rects = []
    for y, r in enumerate(rows):
        x = 0
        while x < w:
            end = x
            while end < w and r[end] == r[x]:
                end += 1
            if r[x] != ".":
                rects.append(f'<rect x="{x}" y="{y}" width="{end - x}" height="1" '
                             f'fill="{PALETTE[r[x]]}"/>')
            x = end
    text = (f'<svg xmlns="http://www.w3.org/2000/svg" width="{w * 4}" height="{h * 4}" '
            f'viewBox="0 0 {w} {h}" shape-rendering="crispEdges">\n' + "\n".join(rects) +
            "\n</svg>\n")
    with open(path, "w") as f:
        f.write(text)


def write_icons(rows):
    out = os.path.join(HERE, "..", "res", "icons")
    os.makedirs(out, exist_ok=True)
    for size in (32, 64, 128):
        write_png(os.path.join(out, f"sabrevin-{size}.png"), rows, size // len(rows))
    write_svg(os.path.join(out, "sabrevin.svg"), rows)


write("host", grid(HOST))
write("route", grid(ROUTE))
write("ok", grid(OK))
write("fail", fail())
write("info", info())
write("mainframe", icon())
write_icons(icon())
