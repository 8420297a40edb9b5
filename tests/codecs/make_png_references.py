#!/usr/bin/python3
"""Writes pngsuite_rgba8.txt: the RGBA8 pixels that every PngSuite file must decode to.

Run once, by hand, with Debian's Python and python3-pil:

    /usr/bin/python3 tests/codecs/make_png_references.py tests/data/pngsuite \
        > tests/codecs/pngsuite_rgba8.txt

Each line is "name width height fnv1a64" (FNV-1a 64 of the RGBA8 bytes, rows top
to bottom), or "name refused" for a file the reader must reject: a corrupt x*
file, or a colour type / bit depth outside the accepted set (grey, RGB, grey +
alpha and RGBA at 8 or 16 bits; palette at 8 bits).

8-bit files are converted by PIL's convert("RGBA"), which applies the tRNS
palette alphas and colour keys. For 16-bit files PIL keeps only the high byte
of each colour sample, while our reader rounds (v * 255 + 32767) // 65535 and
compares tRNS keys at 16 bits; so for those the generator reads the full
16-bit samples through PIL (both byte halves) and applies that rule itself.
"""
import os
import struct
import sys

from PIL import Image

ACCEPTED = {(0, 8), (0, 16), (2, 8), (2, 16), (3, 8), (4, 8), (4, 16), (6, 8), (6, 16)}


def fnv1a64(data):
    h = 0xCBF29CE484222325
    for b in data:
        h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def header(path):
    with open(path, "rb") as f:
        head = f.read(33)
    width, height, depth, colour = struct.unpack(">IIBB", head[16:26])
    return width, height, depth, colour


def reduce16(v):
    return (v * 255 + 32767) // 65535


def load_with_rawmode(path, rawmode):
    """Decodes with PIL but unpacks the scanlines with another raw layout."""
    im = Image.open(path)
    codec, box, offset, _ = im.tile[0]
    im.tile = [(codec, box, offset, rawmode)]
    im.load()
    return im


def samples16(path, colour):
    """Full 16-bit samples of every pixel, as tuples."""
    if colour == 0:  # PIL's "I" mode holds the samples whole
        return [(v,) for v in Image.open(path).getdata()]
    if colour == 4:  # 4 bytes a pixel: unpacked as 8-bit RGBA, they are the raw bytes
        raw = load_with_rawmode(path, "RGBA").getdata()
        return [(p[0] << 8 | p[1], p[2] << 8 | p[3]) for p in raw]
    mode = "RGB" if colour == 2 else "RGBA"
    high = load_with_rawmode(path, mode + ";16B").getdata()  # big-endian unpacking: high bytes
    low = load_with_rawmode(path, mode + ";16L").getdata()  # little-endian unpacking: the other half
    return [tuple(h << 8 | l for h, l in zip(hp, lp)) for hp, lp in zip(high, low)]


def rgba16(path, colour):
    key = Image.open(path).info.get("transparency")
    out = bytearray()
    for s in samples16(path, colour):
        if colour == 0:
            g = reduce16(s[0])
            out += bytes((g, g, g, 0 if key is not None and s[0] == key else 255))
        elif colour == 2:
            alpha = 0 if key is not None and tuple(s) == tuple(key) else 255
            out += bytes((reduce16(s[0]), reduce16(s[1]), reduce16(s[2]), alpha))
        elif colour == 4:
            g = reduce16(s[0])
            out += bytes((g, g, g, reduce16(s[1])))
        else:
            out += bytes(reduce16(v) for v in s)
    return bytes(out)


def main():
    folder = sys.argv[1]
    print("# RGBA8 references for PngSuite, made by make_png_references.py; see there.")
    print("# name width height fnv1a64-of-rgba8 | name refused")
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".png"):
            continue
        path = os.path.join(folder, name)
        width, height, depth, colour = header(path)
        if name.startswith("x") or (colour, depth) not in ACCEPTED:
            print(f"{name} refused")
            continue
        if depth == 8:
            pixels = Image.open(path).convert("RGBA").tobytes()
        else:
            pixels = rgba16(path, colour)
        assert len(pixels) == width * height * 4, name
        print(f"{name} {width} {height} {fnv1a64(pixels):016x}")


if __name__ == "__main__":
    main()
