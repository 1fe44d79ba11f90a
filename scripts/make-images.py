#!/usr/bin/env python3
"""Builds the stub's icon (.ico: 32x32 in 16 colours, plus 48x48 and 64x64 for high
DPI) and hand cursor (.cur, 32x32, monochrome) from the readable pictures in
resources/ (icon.txt, hand.txt).

The larger icon images are the picture enlarged by Scale2x (64) and Scale3x taken at
every other pixel (48): edges stay sharp and diagonals are smoothed, where plain
pixel doubling would give staircases. They are stored as PNG images of the same 16
colours, which every system that scales by DPI reads, to keep the stub small.

Picture format: '#' comments; "size W H"; optional "hotspot X Y" (cursors);
"colour C RRGGBB" lines give each character its colour (icons: at most 16); the
character '.' is transparent; "picture" starts H rows of W characters. A cursor's
characters are '.' transparent, '#' black, 'o' white, '~' inverted screen.

Usage: make-images.py icon SOURCE OUTPUT.ico | cursor SOURCE OUTPUT.cur
"""
import struct
import sys
import zlib


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


def scale2x(rows):
    """Scale2x (EPX): each pixel becomes 2x2, its corners taken from the neighbours
    where two of them agree, so that diagonal edges stay diagonal."""
    h, w = len(rows), len(rows[0])
    at = lambda x, y: rows[min(max(y, 0), h - 1)][min(max(x, 0), w - 1)]
    out = []
    for y in range(h):
        top, bottom = [], []
        for x in range(w):
            p, a, b, c, d = at(x, y), at(x, y - 1), at(x + 1, y), at(x - 1, y), at(x, y + 1)
            if c == a and c != d and a != b:
                e0 = a
            else:
                e0 = p
            e1 = b if a == b and a != c and b != d else p
            e2 = c if d == c and d != b and c != a else p
            e3 = d if b == d and b != a and d != c else p
            top += [e0, e1]
            bottom += [e2, e3]
        out += ["".join(top), "".join(bottom)]
    return out


def scale3x(rows):
    """Scale3x: each pixel becomes 3x3 by the same kind of neighbour rules."""
    h, w = len(rows), len(rows[0])
    at = lambda x, y: rows[min(max(y, 0), h - 1)][min(max(x, 0), w - 1)]
    out = []
    for y in range(h):
        lines = [[], [], []]
        for x in range(w):
            a, b, c = at(x - 1, y - 1), at(x, y - 1), at(x + 1, y - 1)
            d, e, f = at(x - 1, y), at(x, y), at(x + 1, y)
            g, hh, i = at(x - 1, y + 1), at(x, y + 1), at(x + 1, y + 1)
            if b != hh and d != f:
                cells = [d if d == b else e,
                         b if (d == b and e != c) or (b == f and e != a) else e,
                         f if b == f else e,
                         d if (d == b and e != g) or (d == hh and e != a) else e,
                         e,
                         f if (b == f and e != i) or (hh == f and e != c) else e,
                         d if d == hh else e,
                         hh if (d == hh and e != i) or (hh == f and e != g) else e,
                         f if hh == f else e]
            else:
                cells = [e] * 9
            for row in range(3):
                lines[row] += cells[3 * row:3 * row + 3]
        out += ["".join(line) for line in lines]
    return out


def png_image(rows, names, colours):
    """A PNG of 8-bit palette indices; index 0 is the transparent one."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    width, height = len(rows[0]), len(rows)
    palette = b"\0\0\0" + b"".join(struct.pack(">I", colours[n])[1:] for n in names)
    # A byte per pixel, though 4 bits would hold it: the repeats of a drawn picture fall
    # on byte boundaries then, where deflate finds them, and the image comes out smaller.
    lines = [bytes(0 if ch == "." else names.index(ch) + 1 for ch in row) for row in rows]
    # Rows unfiltered (0) or as the difference from the row above (2), the same for
    # every row: whichever compresses smaller, as the stub carries every byte.
    def filtered(kind):
        out, above = b"", bytes(len(lines[0]))
        for line in lines:
            out += bytes([kind]) + (line if kind == 0 else bytes((a - b) & 0xFF for a, b in zip(line, above)))
            above = line
        return out

    def deflate(data, strategy):
        packer = zlib.compressobj(9, zlib.DEFLATED, 15, 9, strategy)
        return packer.compress(data) + packer.flush()

    data = min((deflate(filtered(kind), strategy) for kind in (0, 2)
                for strategy in (zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED)), key=len)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0))
            + chunk(b"PLTE", palette) + chunk(b"tRNS", b"\0") + chunk(b"IDAT", data)
            + chunk(b"IEND", b""))


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
    if len(names) > 15:
        raise PictureError(f"{source}: the larger images need one of the 16 colours for transparency")
    images = [(width, height, 16, png_image(rows, names, colours))]
    for big in (scale2x(rows), scale3x(rows)[::2]):
        big = [row[::2] for row in big] if len(big[0]) > 2 * width else big
        images.append((len(big[0]), len(big), 16, png_image(big, names, colours)))
    images.sort(key=lambda i: i[0])
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for w, h, count, data in images:
        entries += struct.pack("<BBBBHHII", w % 256, h % 256, count, 0, 1, 4, len(data), offset)
        offset += len(data)
    return directory + entries + b"".join(data for _, _, _, data in images)


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
