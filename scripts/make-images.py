#!/usr/bin/env python3
"""Builds the stub's icon (.ico, 32x32, 16 colours) and hand cursor (.cur, 32x32,
monochrome) from the readable pictures in resources/ (icon.txt, hand.txt).

Picture format: '#' comments; "size W H"; optional "hotspot X Y" (cursors);
"colour C RRGGBB" lines give each character its colour (icons: at most 16); the
character '.' is transparent; "picture" starts H rows of W characters. A cursor's
characters are '.' transparent, '#' black, 'o' white, '~' inverted screen.

Usage: make-images.py icon SOURCE OUTPUT.ico | cursor SOURCE OUTPUT.cur
"""
import struct
import sys


class PictureError(Exception):
    pass


def parse(path):
    size = None
    hotspot = (0, 0)
    colours = {}
    rows = []
    in_picture = False
    with open(path, encoding="ascii") as source:
        for number, raw in enumerate(source, 1):
            line = raw.rstrip("\n")
            if in_picture:
                if len(rows) < size[1]:
                    if len(line) != size[0]:
                        raise PictureError(f"{path}:{number}: row of {len(line)} characters, want {size[0]}")
                    rows.append(line)
                    continue
                if line.strip() and not line.lstrip().startswith("#"):
                    raise PictureError(f"{path}:{number}: text after the picture")
                continue
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            if words[0] == "size":
                size = (int(words[1]), int(words[2]))
            elif words[0] == "hotspot":
                hotspot = (int(words[1]), int(words[2]))
            elif words[0] == "colour":
                if len(words[1]) != 1 or words[1] == ".":
                    raise PictureError(f"{path}:{number}: a colour is named by one character, not '.'")
                colours[words[1]] = int(words[2], 16)
            elif words[0] == "picture":
                if size is None:
                    raise PictureError(f"{path}:{number}: 'size' must come before the picture")
                in_picture = True
            else:
                raise PictureError(f"{path}:{number}: unknown line {words[0]!r}")
    if size is None or len(rows) != size[1]:
        raise PictureError(f"{path}: picture has {len(rows)} rows, want {size[1] if size else '?'}")
    if not 0 <= hotspot[0] < size[0] or not 0 <= hotspot[1] < size[1]:
        raise PictureError(f"{path}: hot spot {hotspot} lies outside the picture")
    return size, hotspot, colours, rows


def pack_rows(rows, bits, pixel):
    """Bottom-up rows of `bits`-per-pixel values, each padded to 4 bytes."""
    out = bytearray()
    for row in reversed(rows):
        value = 0
        count = 0
        line = bytearray()
        for character in row:
            value = (value << bits) | pixel(character)
            count += bits
            if count == 8:
                line.append(value)
                value = count = 0
        if count:
            line.append(value << (8 - count))
        while len(line) % 4:
            line.append(0)
        out += line
    return bytes(out)


def bitmap_header(width, height, bits, colours, image_size):
    # The height counts the colour image and the transparency mask together.
    return struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, bits, 0, image_size, 0, 0, colours, 0)


def make_icon(source):
    (width, height), _, colours, rows = parse(source)
    if len(colours) > 16:
        raise PictureError(f"{source}: {len(colours)} colours, an icon of 16 colours has room for 16")
    names = list(colours)
    for row in rows:
        for character in row:
            if character != "." and character not in colours:
                raise PictureError(f"{source}: character {character!r} has no colour")
    palette = b"".join(struct.pack("<BBBB", c & 0xFF, (c >> 8) & 0xFF, c >> 16, 0)
                       for c in (colours[n] for n in names))
    palette += b"\0" * (64 - len(palette))
    colour_bits = pack_rows(rows, 4, lambda ch: 0 if ch == "." else names.index(ch))
    mask_bits = pack_rows(rows, 1, lambda ch: 1 if ch == "." else 0)
    image = bitmap_header(width, height, 4, 16, len(colour_bits) + len(mask_bits))
    image += palette + colour_bits + mask_bits
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def make_cursor(source):
    (width, height), (hot_x, hot_y), _, rows = parse(source)
    # AND mask / XOR image: transparent 1/0, black 0/0, white 0/1, inverted 1/1.
    planes = {".": (1, 0), "#": (0, 0), "o": (0, 1), "~": (1, 1)}
    for row in rows:
        for character in row:
            if character not in planes:
                raise PictureError(f"{source}: a cursor has only '.', '#', 'o' and '~', not {character!r}")
    xor_bits = pack_rows(rows, 1, lambda ch: planes[ch][1])
    and_bits = pack_rows(rows, 1, lambda ch: planes[ch][0])
    palette = struct.pack("<BBBBBBBB", 0, 0, 0, 0, 255, 255, 255, 0)
    image = bitmap_header(width, height, 1, 2, len(xor_bits) + len(and_bits))
    image += palette + xor_bits + and_bits
    directory = struct.pack("<HHH", 0, 2, 1)
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, hot_x, hot_y, len(image), 6 + 16)
    return directory + entry + image


def main(argv):
    if len(argv) != 4 or argv[1] not in ("icon", "cursor"):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    try:
        data = make_icon(argv[2]) if argv[1] == "icon" else make_cursor(argv[2])
    except (OSError, ValueError, IndexError, PictureError) as error:
        print(f"make-images: {error}", file=sys.stderr)
        return 1
    with open(argv[3], "wb") as output:
        output.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
