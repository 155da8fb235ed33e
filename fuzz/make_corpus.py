#!/usr/bin/env python3
"""Regenerates the seed corpora in fuzz/corpus/ from crops of real photographs
(the shared grey-scale images) and the encoder program.
Usage: fuzz/make_corpus.py SHARED_IMAGES_DIR ZALCOD_PROGRAM"""
import os, struct, subprocess, sys, tempfile, zlib

images, zalcod = sys.argv[1], sys.argv[2]
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def read_pgm(path):
    data = open(path, "rb").read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[pos + 1:pos + 1 + w * h]


def crop(img, x, y, w, h):
    iw, _, px = img
    return b"".join(px[r * iw + x:r * iw + x + w] for r in range(y, y + h))


def pgm(w, h, px, header=None):
    return (header or b"P5\n%d %d\n255\n" % (w, h)) + px


def bmp(w, h, px, top_down=False):
    pad = (4 - w % 4) % 4
    rows = [px[r * w:(r + 1) * w] + b"\0" * pad for r in range(h)]
    body = b"".join(rows if top_down else rows[::-1])
    head = b"BM" + struct.pack("<IHHI", 1078 + len(body), 0, 0, 1078)
    info = struct.pack("<IiiHHIIiiII", 40, w, -h if top_down else h, 1, 8, 0, len(body), 3780, 3780, 0, 0)
    palette = b"".join(bytes((i, i, i, 0)) for i in range(256))
    return head + info + palette + body


# Adam7's passes: first column and row, then the steps between them.
ADAM7 = [(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]


def png(w, h, rows, depth=8, ctype=0, plte=b"", trns=b"", interlace=False):
    """rows: h lists of samples (channels side by side), packed at `depth` bits."""
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[ctype]

    def pack(samples):
        if depth >= 8:
            return b"".join(s.to_bytes(depth // 8, "big") for s in samples)
        bits = "".join(format(s, "0%db" % depth) for s in samples)
        bits += "0" * (-len(bits) % 8)
        return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))

    def pixels(row, xs):
        return [s for x in xs for s in row[x * channels:(x + 1) * channels]]

    passes = ADAM7 if interlace else [(0, 0, 1, 1)]
    data = b"".join(b"\0" + pack(pixels(rows[y], range(x0, w, dx)))
                    for x0, y0, dx, dy in passes if x0 < w for y in range(y0, h, dy))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    head = chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, depth, ctype, 0, 0, int(interlace)))
    extra = (chunk(b"PLTE", plte) if plte else b"") + (chunk(b"tRNS", trns) if trns else b"")
    return b"\x89PNG\r\n\x1a\n" + head + extra + chunk(b"IDAT", zlib.compress(data, 9)) + chunk(b"IEND", b"")


def save(kind, name, data):
    os.makedirs(os.path.join(root, kind), exist_ok=True)
    with open(os.path.join(root, kind, name), "wb") as f:
        f.write(data)


photos = {n: read_pgm(os.path.join(images, f)) for n, f in
          [("camera", "camera_512x512.pgm"), ("coins", "coins_384x256.pgm"), ("moon", "moon_512x512.pgm"),
           ("brick", "brick_512x512.pgm")]}
crops = {"camera": crop(photos["camera"], 200, 100, 32, 32), "coins": crop(photos["coins"], 100, 80, 32, 32),
         "moon": crop(photos["moon"], 240, 240, 32, 32), "brick": crop(photos["brick"], 0, 0, 32, 32)}

# PGM: real crops, small sizes and the header variants the reader accepts.
for n, px in crops.items():
    save("pgm", n + "_32x32", pgm(32, 32, px))
px = crops["camera"]
save("pgm", "own_header", pgm(16, 16, px[:256], b"P5\n#Imagen recuperada de ZAL\n16 16\n255\n"))
save("pgm", "one_line", pgm(7, 5, px[:35], b"P5 7 5 255 "))
save("pgm", "comments", pgm(3, 2, px[:6], b"P5 # a\n# b\n3 #c\n2\n255\n"))
save("pgm", "short", pgm(8, 8, px[:20]))
save("pgm", "ascii", b"P2\n2 2\n255\n1 2 3 4\n")

# BMP: the same crops, widths with every pad, top-down rows.
for n, px in crops.items():
    save("bmp", n + "_32x32", bmp(32, 32, px))
for w in (5, 6, 7):
    save("bmp", "width%d" % w, bmp(w, 3, crops["moon"][:w * 3]))
save("bmp", "top_down", bmp(4, 4, crops["coins"][:16], top_down=True))

# RAW: a length byte, the dimension file's text, then the samples.
for n, px in crops.items():
    text = b"ancho: 32\nalto: 32\n"
    save("raw", n + "_32x32", bytes([len(text)]) + text + px)
text = b"ancho:7\nalto: 3 trailing\n"
save("raw", "odd", bytes([len(text)]) + text + crops["brick"][:21])

# PNG: the crops in every depth and kind read, interlaced, and the kinds
# refused (colour, which the luma read takes, 16-bit, transparency).
grey = lambda px, w, h, shift=0: [[b >> shift for b in px[r * w:(r + 1) * w]] for r in range(h)]
for n, px in crops.items():
    save("png", n + "_32x32", png(32, 32, grey(px, 32, 32)))
px = crops["camera"]
for depth in (1, 2, 4):
    save("png", "depth%d" % depth, png(13, 7, grey(px, 13, 7, 8 - depth), depth))
save("png", "interlaced", png(19, 11, grey(px, 19, 11), interlace=True))
save("png", "interlaced_depth2", png(9, 9, grey(px, 9, 9, 6), 2, interlace=True))
grey_palette = b"".join(bytes((v, v, v)) for v in range(0, 256, 16))
save("png", "palette_grey", png(16, 8, grey(px, 16, 8, 4), 4, 3, grey_palette))
save("png", "palette_colour", png(16, 8, grey(px, 16, 8, 4), 4, 3, grey_palette[:-3] + b"\xff\0\0"))
colour = [sum(([a, b, c] for a, b, c in zip(*(crops[k][r * 16:(r + 1) * 16] for k in ("camera", "moon", "coins")))), [])
          for r in range(16)]
save("png", "rgb", png(16, 16, colour, ctype=2))
save("png", "rgb_interlaced", png(16, 16, colour, ctype=2, interlace=True))
save("png", "depth16", png(8, 8, [[v * 257 for v in row] for row in grey(px, 8, 8)], 16))
save("png", "alpha", png(8, 8, [[v for b in row for v in (b, 255)] for row in grey(px, 8, 8)], ctype=4))
save("png", "trns", png(8, 8, grey(px, 8, 8), trns=b"\0\x10"))

# Decoder: the encoder's files for photo crops at several parameters.
with tempfile.TemporaryDirectory() as tmp:
    for n, size in (("camera", 64), ("coins", 32), ("moon", 64), ("brick", 32)):
        src = os.path.join(tmp, n + ".pgm")
        open(src, "wb").write(pgm(size, size, crop(photos[n], 64, 64, size, size)))
        for q, r, l in (("0.9", 2, 3), ("4", 3, 3), ("0.3", 5, 4), ("12", 2, 4)):
            out = os.path.join(tmp, "o.zal")
            res = subprocess.run([zalcod, "-i", src, "-o", out, "-q", q, "-r", str(r), "-l", str(l)],
                                 capture_output=True)
            if res.returncode == 0 and os.path.getsize(out) <= 4096:
                save("decoder", "%s%d_q%s_r%d_l%d" % (n, size, q, r, l), open(out, "rb").read())

# Round trip: parameter bytes (rplanes, levels, sides, mode, quant word,
# border) followed by a photo crop; mode 1 runs the forward transform first.
for i, (n, px) in enumerate(crops.items()):
    for rplanes, levels, mode in ((2, 3, 1), (3, 4, 1), (5, 3, 2), (2, 3, 0x81)):
        quant = (0x40 + i * 16) if mode != 0x81 else 0x3F800000  # 1.0f
        head = bytes([rplanes, levels, 0x05, mode]) + struct.pack(">I", quant) + bytes([4])
        save("roundtrip", "%s_r%d_l%d_m%d" % (n, rplanes, levels, mode), head + px[:1024])
