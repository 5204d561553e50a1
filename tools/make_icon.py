#!/usr/bin/env python3
"""Turns the text picture of resources/icon.txt into a Windows .ico file.

The picture is 32 by 32 pixels in 16 colours; the icon holds one image of
4 bits per pixel with its transparency mask. The output depends only on the
input, byte for byte.

Usage: make_icon.py <icon.txt> <output.ico>
"""
import struct
import sys

SIZE = 32
COLOURS = 16


def parse(text):
    palette = {}
    pixels = []
    section = None
    for number, line in enumerate(text.splitlines(), 1):
        line = line.rstrip()
        if not line or line.startswith("#"):
            continue
        if line in ("palette", "pixels"):
            section = line
            continue
        if section == "palette":
            digit, rgb = line.split()
            index = int(digit, 16)
            if len(digit) != 1 or len(rgb) != 6 or index in palette:
                raise ValueError(f"line {number}: bad palette entry {line!r}")
            palette[index] = bytes.fromhex(rgb)
        elif section == "pixels":
            if len(line) != SIZE or any(c != "." and int(c, 16) not in palette for c in line):
                raise ValueError(f"line {number}: a row is {SIZE} palette digits or '.'")
            pixels.append(line)
        else:
            raise ValueError(f"line {number}: text outside a section")
    if sorted(palette) != list(range(COLOURS)):
        raise ValueError(f"the palette needs exactly the {COLOURS} indices 0-f")
    if len(pixels) != SIZE:
        raise ValueError(f"the picture needs {SIZE} rows, not {len(pixels)}")
    return palette, pixels


def build(palette, pixels):
    colour_table = b"".join(bytes((rgb[2], rgb[1], rgb[0], 0)) for _, rgb in sorted(palette.items()))
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):  # bitmaps are stored bottom row first
        indices = [0 if c == "." else int(c, 16) for c in row]
        xor += bytes((indices[x] << 4) | indices[x + 1] for x in range(0, SIZE, 2))
        bits = 0
        for c in row:
            bits = (bits << 1) | (c == ".")
        mask += bits.to_bytes(SIZE // 8, "big")
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, COLOURS, 0)
    image = header + colour_table + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, COLOURS, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    with open(argv[1], encoding="ascii") as source:
        try:
            palette, pixels = parse(source.read())
        except ValueError as error:
            sys.exit(f"{argv[1]}: {error}")
    with open(argv[2], "wb") as output:
        output.write(build(palette, pixels))


if __name__ == "__main__":
    main(sys.argv)
