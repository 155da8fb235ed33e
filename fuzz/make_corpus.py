#!/usr/bin/env python3
"""Regenerates the seed corpora in fuzz/corpus/ from crops of real photographs
(the shared grey-scale images) and the encoder program.
Usage: fuzz/make_corpus.py SHARED_IMAGES_DIR ZALCOD_PROGRAM"""
import os, struct, subprocess, sys, tempfile

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
# border) followed by a photo crop; mode 1 runs the forward transform first,
# and 0x40 labels by rate and distortion.
for i, (n, px) in enumerate(crops.items()):
    for rplanes, levels, mode in ((2, 3, 1), (3, 4, 1), (5, 3, 2), (2, 3, 0x81), (2, 3, 0x41), (3, 4, 0x41)):
        quant = (0x40 + i * 16) if mode != 0x81 else 0x3F800000  # 1.0f
        head = bytes([rplanes, levels, 0x05, mode]) + struct.pack(">I", quant) + bytes([4])
        save("roundtrip", "%s_r%d_l%d_m%d" % (n, rplanes, levels, mode), head + px[:1024])
