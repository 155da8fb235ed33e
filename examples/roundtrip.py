#!/usr/bin/env python3
"""Codes a binary PGM image with ZAL, writes the stream, decodes it again and
prints the quality, as ZALcod then ZALdecod --compare would.

    roundtrip.py image.pgm image.zal [quant]
"""
import sys

import zal


def read_pgm(path):
    """(bytes, width, height) of an 8-bit binary PGM."""
    with open(path, "rb") as f:
        data = f.read()
    fields, at = [], 0
    while len(fields) < 4:  # magic, width, height, maxval; comments skipped
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at)
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    if fields[0] != b"P5" or fields[3] != b"255":
        sys.exit("%s: not an 8-bit binary PGM" % path)
    width, height = int(fields[1]), int(fields[2])
    return data[at + 1:at + 1 + width * height], width, height


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: roundtrip.py in.pgm out.zal [quant]")
    image = read_pgm(sys.argv[1])
    quant = float(sys.argv[3]) if len(sys.argv) > 3 else zal.DEFAULT_QUANT
    try:
        stream = zal.encode(image, quant=quant)
        with open(sys.argv[2], "wb") as f:
            f.write(stream)
        header = zal.read_header(stream)
        back = zal.decode(stream)
    except zal.ZalError as e:
        sys.exit("zal: %s" % e)
    print("%s: %dx%d, %d bytes, %d levels, %d rplanes" % (
        sys.argv[2], header["width"], header["height"], len(stream), header["levels"],
        header["rplanes"]))
    print("PSNR of the compressed image: %.2f" % zal.psnr(image, back))


if __name__ == "__main__":
    main()
