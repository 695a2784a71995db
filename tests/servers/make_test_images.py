#!/usr/bin/python3
"""Writes the decoder test pictures into the directory given as argv[1].

Every picture is deterministic. The "pattern" pictures hold 16 x 16 px blocks
of 27 colours (each channel 0, 128 or 255) laid out so that no two
neighbouring blocks match: tests/support/TestImages.cpp computes the same
pixel for any (x, y), so a test can tell a crop from a scaled picture. The
JPEG versions are quality 100 without chroma subsampling and with blocks on
the 8 px DCT grid, so they decode to within a few levels of the pattern.

Run with Debian's /usr/bin/python3 (it has PIL).
"""
import io
import os
import random
import struct
import sys
import zlib

from PIL import Image, ImageDraw

LEVELS = (0, 128, 255)
BLOCK = 16


def pattern_colour(bx, by):
    i = (bx * 5 + by * 11) % 27
    return LEVELS[i % 3], LEVELS[(i // 3) % 3], LEVELS[i // 9]


def pattern(width, height):
    bw = (width + BLOCK - 1) // BLOCK
    bh = (height + BLOCK - 1) // BLOCK
    small = Image.new("RGB", (bw, bh))
    small.putdata([pattern_colour(bx, by) for by in range(bh) for bx in range(bw)])
    return small.resize((bw * BLOCK, bh * BLOCK), Image.NEAREST).crop((0, 0, width, height))


def photo(width, height, seed):
    """Camera-like content: gradients, shapes, texture and noise."""
    rnd = random.Random(seed)
    img = Image.merge("RGB", (
        Image.linear_gradient("L").resize((width, height)),
        Image.linear_gradient("L").rotate(90).resize((width, height)),
        Image.radial_gradient("L").resize((width, height)),
    ))
    draw = ImageDraw.Draw(img)
    for _ in range(40):
        x0, y0 = rnd.randrange(width), rnd.randrange(height)
        x1, y1 = x0 + rnd.randrange(10, width // 3), y0 + rnd.randrange(10, height // 3)
        fill = tuple(rnd.randrange(256) for _ in range(3))
        if rnd.random() < 0.5:
            draw.ellipse((x0, y0, x1, y1), fill=fill)
        else:
            draw.rectangle((x0, y0, x1, y1), fill=fill)
    for y in range(0, height, 7):  # fine texture: thin lines
        draw.line((0, y, width, y + height // 5), fill=(rnd.randrange(256), 90, 160))
    noise = Image.frombytes("RGB", (width, height), rnd.randbytes(width * height * 3))
    return Image.blend(img, noise, 0.15)


def save(img, directory, name, **options):
    img.save(os.path.join(directory, name), **options)


def jpeg_bytes(img, **options):
    out = io.BytesIO()
    img.save(out, "JPEG", **options)
    return out.getvalue()


def write(directory, name, data):
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def write_full_decode(directory, name):
    """NAME.bgr: the picture's full decode as blue-green-red bytes, by the
    libjpeg-turbo that PIL links (Debian's, the Linux product's): JPEG
    decodes of both products must equal it to the bit."""
    with Image.open(os.path.join(directory, name)) as img:
        r, g, b = img.convert("RGB").split()
        write(directory, name + ".bgr", Image.merge("RGB", (b, g, r)).tobytes())


# Sizes cameras send today (odd ones too), as 4:2:0 photos. The largest get
# a reference of every SAMPLE_STEP-th row only, to keep the data small.
CAMERA_SIZES = ((1920, 1080), (2560, 1440), (3840, 2160), (1277, 719), (4000, 3000), (7680, 4320))
SAMPLED_FROM = 4000 * 3000
SAMPLE_STEP = 64


def camera_photos(directory):
    for width, height in CAMERA_SIZES:
        # Drawn small and scaled up: a photo's smooth areas and edges, made fast.
        img = photo(width // 4, height // 4, width).resize((width, height), Image.BICUBIC)
        noise = Image.frombytes("RGB", (width, height), random.Random(height).randbytes(width * height * 3))
        name = "photo_%dx%d.jpg" % (width, height)
        save(Image.blend(img, noise, 0.05), directory, name, quality=85, subsampling=2)
        if width * height < SAMPLED_FROM:
            write_full_decode(directory, name)
            continue
        # NAME.rows.bgr: rows 0, SAMPLE_STEP, 2 * SAMPLE_STEP, ... of the full decode.
        with Image.open(os.path.join(directory, name)) as decoded:
            r, g, b = decoded.convert("RGB").split()
            bgr = Image.merge("RGB", (b, g, r)).tobytes()
        row = width * 3
        write(directory, name + ".rows.bgr",
              b"".join(bgr[y * row:(y + 1) * row] for y in range(0, height, SAMPLE_STEP)))


def patch_sof_size(data, width, height):
    """Rewrites the frame header's size (any SOFn marker)."""
    i = 2
    while i + 4 <= len(data):
        assert data[i] == 0xFF
        marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            return data[:i + 5] + struct.pack(">HH", height, width) + data[i + 9:]
        i += 2 + length
    raise ValueError("no frame header")


def scan_start(data):
    """Offset of the first byte of entropy-coded data."""
    i = 2
    while True:
        marker, length = data[i + 1], struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker == 0xDA:
            return i + 2 + length
        i += 2 + length


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def png(width, height, rows_of_pixels, interlaced=False, claimed=None):
    """A plain 8-bit RGB PNG, optionally Adam7-interlaced (PIL cannot write that)."""
    raw = bytearray()
    if interlaced:
        passes = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
        for x0, y0, dx, dy in passes:
            xs = range(x0, width, dx)
            if not xs:
                continue
            for y in range(y0, height, dy):
                raw.append(0)
                for x in xs:
                    raw.extend(rows_of_pixels[y][x])
    else:
        for y in range(height):
            raw.append(0)
            for p in rows_of_pixels[y]:
                raw.extend(p)
    cw, ch = claimed or (width, height)
    ihdr = struct.pack(">IIBBBBB", cw, ch, 8, 2, 0, 0, 1 if interlaced else 0)
    return (b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", zlib.compress(bytes(raw), 9)) +
            png_chunk(b"IEND", b""))


def main():
    directory = sys.argv[1]
    os.makedirs(directory, exist_ok=True)

    for width, height in ((800, 600), (640, 480), (320, 240)):
        img = pattern(width, height)
        stem = "pattern_%dx%d" % (width, height)
        save(img, directory, stem + ".jpg", quality=100, subsampling=0)
        save(img, directory, stem + ".png")
        save(img, directory, stem + ".bmp")

    small = pattern(320, 240)
    save(small.convert("P", palette=Image.ADAPTIVE, colors=27), directory, "pattern_320x240.gif")
    save(small, directory, "pattern_320x240.tif", compression="raw")
    save(small.convert("RGBA"), directory, "pattern_320x240_rgba.png")
    save(small.convert("P", palette=Image.ADAPTIVE, colors=27), directory, "pattern_320x240_palette.png")
    save(small.getchannel("R"), directory, "pattern_320x240_gray.jpg", quality=100)
    save(small.convert("CMYK"), directory, "pattern_320x240_cmyk.jpg", quality=100)
    save(small, directory, "pattern_320x240_progressive.jpg", quality=100, subsampling=0, progressive=True)
    rows = [[small.getpixel((x, y)) for x in range(320)] for y in range(240)]
    write(directory, "pattern_320x240_interlaced.png", png(320, 240, rows, interlaced=True))

    # Odd sizes: crops that end inside an MCU and a 4:2:0 picture.
    save(pattern(333, 251), directory, "pattern_333x251.jpg", quality=100, subsampling=0)

    for name, colour in (("red", (255, 0, 0)), ("green", (0, 255, 0)), ("blue", (0, 0, 255)),
                         ("white", (255, 255, 255)), ("black", (0, 0, 0))):
        img = Image.new("RGB", (48, 32), colour)
        save(img, directory, name + ".png")
        save(img, directory, name + ".bmp")
        save(img, directory, name + ".jpg", quality=100, subsampling=0)

    photo_img = photo(800, 600, 7)
    save(photo_img, directory, "photo_800x600.jpg", quality=85, subsampling=2)
    save(photo_img, directory, "photo_800x600_progressive.jpg", quality=85, subsampling=2, progressive=True)
    save(photo_img, directory, "photo_800x600_422.jpg", quality=85, subsampling=1)
    for name in ("photo_800x600.jpg", "photo_800x600_422.jpg", "photo_800x600_progressive.jpg",
                 "pattern_333x251.jpg", "pattern_320x240_gray.jpg"):
        write_full_decode(directory, name)

    camera_photos(directory)

    write(directory, "text.html",
          b"<!DOCTYPE html>\n<html><head><title>Camera</title></head>\n"
          b"<body><p>This is a text page, not a picture.</p></body></html>\n")
    write(directory, "empty.jpg", b"")

    whole = jpeg_bytes(pattern(640, 480), quality=100, subsampling=0)
    start = scan_start(whole)
    # Cut in the middle of the scan: the first rows exist, the rest do not.
    write(directory, "truncated.jpg", whole[:start + (len(whole) - start) * 2 // 5])
    # Cut inside the headers: no frame can be read at all.
    write(directory, "truncated_header.jpg", whole[:start // 2])
    # A Huffman table whose code counts overflow: fatal in every decoder.
    bad = bytearray(whole)
    i = bad.find(b"\xff\xc4")
    for k in range(i + 5, i + 5 + 16):
        bad[k] = 0xFF
    write(directory, "corrupt.jpg", bytes(bad))
    # Garbage inside the entropy-coded data (no 0xFF, so no false markers):
    # decoders warn and go on.
    # Junk between two header segments: decoders warn and go on.
    dht = whole.find(b"\xff\xc4")
    write(directory, "damaged.jpg", whole[:dht] + bytes(range(1, 41)) + whole[dht:])

    # Headers claiming 30000 x 30000 px over the data of a small picture.
    tiny = pattern(64, 64)
    write(directory, "huge.jpg", patch_sof_size(jpeg_bytes(tiny, quality=90), 30000, 30000))
    write(directory, "huge_progressive.jpg",
          patch_sof_size(jpeg_bytes(tiny, quality=90, progressive=True), 30000, 30000))
    tiny_rows = [[tiny.getpixel((x, y)) for x in range(64)] for y in range(64)]
    write(directory, "huge.png", png(64, 64, tiny_rows, claimed=(30000, 30000)))
    bmp = io.BytesIO()
    tiny.save(bmp, "BMP")
    bmp = bmp.getvalue()
    write(directory, "huge.bmp", bmp[:18] + struct.pack("<ii", 30000, 30000) + bmp[26:])

    truncated_pictures(directory, whole)
    bomb_pictures(directory)


def jpeg_segments(data):
    """(start, end) of each marker segment after SOI, a scan's entropy-coded data included."""
    i, out = 2, []
    while i < len(data):
        marker = data[i + 1]
        if marker == 0xD9:
            return out + [(i, i + 2)]
        end = i + 2 + struct.unpack(">H", data[i + 2:i + 4])[0]
        while marker == 0xDA and not (data[end] == 0xFF and data[end + 1] != 0 and not 0xD0 <= data[end + 1] <= 0xD7):
            end += 1
        out.append((i, end))
        i = end
    return out


def lzw(indices, minimum):
    """GIF's LZW code stream of `indices` (clear first, end code last), in sub-blocks."""
    clear, codes, size, held, nbits, out = 1 << minimum, {}, minimum + 1, 0, 0, bytearray()

    def emit(code):
        nonlocal held, nbits
        held |= code << nbits
        nbits += size
        while nbits >= 8:
            out.append(held & 255)
            held >>= 8
            nbits -= 8
    emit(clear)
    run = b""
    for i in indices:
        longer = run + bytes([i])
        if len(longer) == 1 or longer in codes:
            run = longer
            continue
        emit(codes[run] if len(run) > 1 else run[0])
        codes[longer] = clear + 2 + len(codes)
        if len(codes) + clear + 1 == 1 << size and size < 12:
            size += 1
        if len(codes) + clear + 2 == 4096:
            emit(clear)
            codes, size = {}, minimum + 1
        run = bytes([i])
    emit(codes[run] if len(run) > 1 else run[0])
    emit(clear + 1)
    out += bytes([held]) if nbits else b""
    return b"".join(bytes([len(out[k:k + 255])]) + out[k:k + 255] for k in range(0, len(out), 255)) + b"\0"


def gif_frame(left, top, width, height, data):
    return b"\x2c" + struct.pack("<HHHHB", left, top, width, height, 0) + b"\x02" + data


def gif(width, height, *frames):
    palette = bytes([255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255])
    return b"GIF89a" + struct.pack("<HHBBB", width, height, 0xF1, 0, 0) + palette + b"".join(frames) + b"\x3b"


def bmp_rle8(img):
    """A bottom-up RLE8 BMP of a palette picture: runs, end of line, end of bitmap."""
    width, height = img.size
    body = bytearray()
    for y in reversed(range(height)):
        row = [img.getpixel((x, y)) for x in range(width)]
        x = 0
        while x < width:
            n = 1
            while x + n < width and n < 255 and row[x + n] == row[x]:
                n += 1
            body += bytes([n, row[x]])
            x += n
        body += b"\0\0"
    body += b"\0\1"
    palette = img.getpalette()[:768]
    colours = b"".join(bytes([palette[3 * i + 2], palette[3 * i + 1], palette[3 * i], 0]) for i in range(256))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 1, len(body), 2835, 2835, 256, 0)
    offset = 14 + len(info) + len(colours)
    return b"BM" + struct.pack("<IHHI", offset + len(body), 0, 0, offset) + info + colours + bytes(body)


def truncated_pictures(directory, whole):
    """Data that ends inside the rows a 320 x 240 region needs, with each format's end marker where it has one."""
    start = scan_start(whole)
    write(directory, "truncated_eoi.jpg", whole[:start + (len(whole) - start) * 2 // 5] + b"\xff\xd9")
    progressive = jpeg_bytes(pattern(640, 480), quality=100, subsampling=0, progressive=True)
    write(directory, "truncated_eoi_progressive.jpg", progressive[:len(progressive) // 2] + b"\xff\xd9")
    # An AC scan cut short in the middle of a progressive picture: the next
    # scan's marker ends the damage, every row is there (coarser).
    scans = [s for s in jpeg_segments(progressive) if progressive[s[0] + 1] == 0xDA and progressive[s[0] + 7] != 0]
    first, end = max(scans[:-1], key=lambda s: s[1] - s[0])
    data = first + 2 + struct.unpack(">H", progressive[first + 2:first + 4])[0]
    write(directory, "damaged_scan.jpg", progressive[:(data + end) // 2] + progressive[end:])
    small = pattern(320, 240)
    rows = [[small.getpixel((x, y)) for x in range(320)] for y in range(240)]
    plain = png(320, 240, rows)
    idat = plain.find(b"IDAT")
    short = zlib.compressobj(9)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    data = short.compress(raw[:len(raw) // 2]) + short.flush(zlib.Z_SYNC_FLUSH)
    write(directory, "truncated_iend.png", plain[:idat - 4] + png_chunk(b"IDAT", data) + png_chunk(b"IEND", b""))

    bmp = open(os.path.join(directory, "pattern_320x240.bmp"), "rb").read()
    write(directory, "truncated_half.bmp", bmp[:len(bmp) // 2])
    offset, row_bytes = struct.unpack("<I", bmp[10:14])[0], 320 * 3
    top_down = bmp[:22] + struct.pack("<i", -240) + bmp[26:offset] + b"".join(
        bmp[offset + r * row_bytes:offset + (r + 1) * row_bytes] for r in reversed(range(240)))
    write(directory, "truncated_topdown.bmp", top_down[:offset + 120 * row_bytes])
    rle = bmp_rle8(small.convert("P", palette=Image.ADAPTIVE, colors=27))
    write(directory, "truncated_rle.bmp", rle[:len(rle) // 2])

    blocks = [(x // 16 + y // 16) % 4 for y in range(240) for x in range(320)]
    write(directory, "complete.gif", gif(320, 240, gif_frame(0, 0, 320, 240, lzw(blocks, 2))))
    # The code stream ends (end code, trailer) after 100 of the 240 rows.
    write(directory, "truncated_short.gif", gif(320, 240, gif_frame(0, 0, 320, 240, lzw(blocks[:320 * 100], 2))))
    # Not truncated: a first frame smaller than the screen leaves background.
    write(directory, "small_frame.gif", gif(320, 240, gif_frame(0, 0, 100, 100, lzw([1] * 10000, 2))))


def bomb_pictures(directory):
    """Small files that claim far more memory or work than a camera picture needs."""
    # A flat progressive picture with one short AC scan repeated 1000 times:
    # each repeat costs a pass over all 262144 blocks.
    flat = jpeg_bytes(Image.new("L", (4096, 4096), 128), quality=90, progressive=True)
    segments = jpeg_segments(flat)
    k = next(j for j, (s, _) in enumerate(segments) if flat[s + 1] == 0xDA and flat[s + 7] != 0)
    repeat = flat[segments[k - 1][0]:segments[k][1]]  # the scan and its Huffman table
    write(directory, "bomb_scans.jpg", flat[:segments[k][1]] + repeat * 1000 + flat[segments[k][1]:])
    # 20000 x 20000 interlaced: the first six passes cover every even row.
    size, raw = 20000, zlib.compressobj(9)
    passes = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))
    data = b"".join(raw.compress(b"\0" * ((1 + (len(range(x, size, dx)) + 7) // 8) * len(range(y, size, dy))))
                    for x, y, dx, dy in passes) + raw.flush()
    ihdr = struct.pack(">IIBBBBB", size, size, 1, 0, 0, 0, 1)
    write(directory, "bomb_interlaced.png",
          b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) + png_chunk(b"IDAT", data) + png_chunk(b"IEND", b""))
    # 8200 x 8200 px (over 256 MiB at 4 bytes a pixel) in a 1 x 1 GIF screen.
    frame = io.BytesIO()
    Image.new("P", (8200, 8200), 0).save(frame, "GIF")
    frame = bytearray(frame.getvalue())
    frame[6:10] = struct.pack("<HH", 1, 1)
    write(directory, "bomb_frame.gif", bytes(frame))
    # The big frame second, after a small one.
    write(directory, "bomb_frames.gif", gif(64, 64, gif_frame(0, 0, 64, 64, lzw([0] * 4096, 2)),
                                            gif_frame(0, 0, 8200, 8200, lzw([0] * 64, 2))))
    tiff = io.BytesIO()
    Image.new("1", (8200, 8200), 1).save(tiff, "TIFF", compression="tiff_adobe_deflate")
    write(directory, "bomb_deflate.tif", tiff.getvalue())
    # An icon whose directory says 16 x 16 but whose bitmap says 8200 x 8200.
    header = struct.pack("<IiiHHIIiiII", 40, 8200, 16400, 1, 32, 0, 0, 0, 0, 0, 0)
    write(directory, "bomb_icon.ico",
          struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", 16, 16, 0, 0, 1, 32, len(header), 22) + header)


if __name__ == "__main__":
    main()
