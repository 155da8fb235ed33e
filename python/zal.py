"""ZAL, the wavelet codec of 8-bit grey images, from Python.

    import zal
    data = zal.encode(image)            # the bytes ZALcod writes
    back = zal.decode(data)             # the pixels ZALdecod saves
    print(zal.psnr(image, back))

An image is a 2-D numpy uint8 array (any row stride; other strides are
copied first), any other object with the buffer protocol, a 2-D shape and
1-byte items, or a tuple (bytes, width, height) of rows without padding.
decode returns a numpy array when numpy can be imported, else such a tuple.

Failures of the library raise ZalError(status, text), with the status
numbers the programs print; arguments Python can judge itself raise
TypeError or ValueError. Calls may run at once on any threads: the library
keeps no state between calls.

The module needs only the standard library and libzal.so.1, taken from the
module's own folder first, then from the system's library path.
"""

import ctypes
import os

try:
    import numpy
except ImportError:
    numpy = None

__all__ = ["ZalError", "encode", "encoded_size", "encode_to_rate", "decode",
           "read_header", "psnr", "version", "DEFAULT_QUANT"]

DEFAULT_QUANT = 0.895660

_u8p = ctypes.POINTER(ctypes.c_uint8)


class _Params(ctypes.Structure):
    _fields_ = [("levels", ctypes.c_int), ("rplanes", ctypes.c_int), ("quant", ctypes.c_float),
                ("flags", ctypes.c_uint), ("reserved", ctypes.c_int * 6)]


class _Info(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("levels", ctypes.c_int),
                ("rplanes", ctypes.c_int), ("quant", ctypes.c_float), ("flags", ctypes.c_uint),
                ("reserved", ctypes.c_int * 6)]


_TrialFn = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_float, ctypes.c_int,
                            ctypes.c_double)


def _load():
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "libzal.so.1")
    for name in ([here] if os.path.exists(here) else []) + ["libzal.so.1"]:
        try:
            lib = ctypes.CDLL(name)
            break
        except OSError as e:
            error = e
    else:
        raise ImportError("zal: libzal.so.1 is neither beside %s nor on the library path (%s)"
                          % (__file__, error))
    I, P, S, C = ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p
    image = [P, I, I, S]
    for name, res, args in [
            ("zal_version", ctypes.c_uint, []),
            ("zal_strerror", C, [I]),
            ("zal_default_params", None, [ctypes.POINTER(_Params)]),
            ("zal_read_header", I, [P, S, ctypes.POINTER(_Info)]),
            ("zal_encode", I, image + [ctypes.POINTER(_Params), ctypes.POINTER(_u8p),
                                       ctypes.POINTER(S)]),
            ("zal_encoded_size", I, image + [ctypes.POINTER(_Params), ctypes.POINTER(S)]),
            ("zal_encode_to_rate", I, image + [ctypes.c_double, ctypes.c_float,
                                               ctypes.POINTER(_Params), I, _TrialFn, P,
                                               ctypes.POINTER(_u8p), ctypes.POINTER(S)]),
            ("zal_decode", I, [P, S, ctypes.POINTER(_Info), ctypes.POINTER(_u8p)]),
            ("zal_psnr", ctypes.c_double, [P, P, I, I, S]),
            ("zal_free", None, [P])]:
        f = getattr(lib, name)
        f.restype, f.argtypes = res, args
    if lib.zal_version() // 1000000 != 1:
        raise ImportError("zal: %s is not of ABI version 1" % lib._name)
    return lib


_lib = _load()


class ZalError(Exception):
    """A status of the library: .status (the number), .text (its text).

    .data holds the stream that encode_to_rate leaves when it fails with
    403 or a coder error after the first trial (as Bppquest leaves a file),
    or the incomplete image of a stream that decode finds cut, else None."""

    def __init__(self, status, text=None, data=None):
        self.status = status
        self.text = text if text is not None else _lib.zal_strerror(status).decode()
        self.data = data
        super().__init__(status, self.text)

    def __str__(self):
        return "%s (status %d)" % (self.text, self.status)


def version():
    """The library's version as a number: major * 1000000 + minor * 1000 + patch."""
    return _lib.zal_version()


def _image(image):
    """(owner, address or bytes, width, height, stride) of an image."""
    if isinstance(image, tuple):
        data, width, height = image
        data = bytes(data)
        if width <= 0 or height <= 0 or len(data) < width * height:
            raise ValueError("zal: %d bytes for a %dx%d image" % (len(data), width, height))
        return data, data, width, height, width
    face = getattr(image, "__array_interface__", None)
    if face is not None and face.get("typestr") == "|u1" and len(face["shape"]) == 2:
        height, width = face["shape"]
        strides = face.get("strides") or (width, 1)
        if strides[1] == 1 and strides[0] >= width and width > 0 and height > 0:
            return image, face["data"][0], width, height, strides[0]
    try:
        view = memoryview(image)
    except TypeError:
        raise TypeError("zal: an image is a 2-D uint8 array or (bytes, width, height)") from None
    if view.ndim != 2 or view.itemsize != 1:
        raise TypeError("zal: an image has two dimensions of 1-byte samples, not %r of %d bytes"
                        % (view.shape, view.itemsize))
    height, width = view.shape
    data = view.tobytes()
    return data, data, width, height, width


def _rows(image):
    """The image of _image without padding between rows."""
    owner, pixels, w, h, stride = image
    if stride == w:
        return image
    raw = ctypes.string_at(pixels, stride * (h - 1) + w)
    data = b"".join(raw[y * stride:y * stride + w] for y in range(h))
    return data, data, w, h, w


# zal_params.flags (the programs' --pad, --checksum and --rdo) and zal_info.flags.
PAD, CHECKSUM, RDO = 0x1, 0x2, 0x4
INFO_TRUNCATED, INFO_PADDED, INFO_CHECKSUM = 0x1, 0x2, 0x4


def _params(quant, rplanes, levels, flags=0):
    p = _Params()
    _lib.zal_default_params(ctypes.byref(p))
    p.quant, p.rplanes, p.levels, p.flags = quant, rplanes, levels, flags
    return p


def _check(status, data=None):
    if status != 0:
        raise ZalError(status, data=data)


def _take(out, size):
    """The bytes of a buffer the library returned, which is then freed."""
    try:
        return ctypes.string_at(out, size.value) if out else None
    finally:
        _lib.zal_free(out)


def encode(image, quant=DEFAULT_QUANT, rplanes=2, levels=6, flags=0):
    """The stream ZALcod writes for the image with these parameters, as bytes;
    flags: PAD, CHECKSUM and RDO, or'ed."""
    owner, pixels, w, h, stride = _image(image)
    out, size = _u8p(), ctypes.c_size_t()
    status = _lib.zal_encode(pixels, w, h, stride, ctypes.byref(_params(quant, rplanes, levels, flags)),
                             ctypes.byref(out), ctypes.byref(size))
    data = _take(out, size)
    _check(status)
    return data


def encoded_size(image, quant=DEFAULT_QUANT, rplanes=2, levels=6, flags=0):
    """len(encode(...)) without building the stream."""
    owner, pixels, w, h, stride = _image(image)
    size = ctypes.c_size_t()
    _check(_lib.zal_encoded_size(pixels, w, h, stride,
                                 ctypes.byref(_params(quant, rplanes, levels, flags)), ctypes.byref(size)))
    return size.value


def encode_to_rate(image, bpp, start_quant=0.0, rplanes=2, levels=6, keep_rplanes=False,
                   on_trial=None, flags=0):
    """Bppquest's search: returns (stream, quant, rplanes) for a target rate.

    start_quant <= 0 starts where Bppquest does. on_trial(quant, rplanes,
    bpp), if given, is called once per trial; a true result cancels the
    search (ZalError 404), and so does an exception, which is raised again."""
    owner, pixels, w, h, stride = _image(image)
    p = _params(DEFAULT_QUANT, rplanes, levels, flags)
    raised = []

    def trial(user, quant, rplanes, rate):
        try:
            return 1 if on_trial(quant, rplanes, rate) else 0
        except BaseException as e:
            raised.append(e)
            return 1

    callback = _TrialFn(trial) if on_trial is not None else _TrialFn()
    out, size = _u8p(), ctypes.c_size_t()
    status = _lib.zal_encode_to_rate(pixels, w, h, stride, bpp, start_quant, ctypes.byref(p),
                                     1 if keep_rplanes else 0, callback, None,
                                     ctypes.byref(out), ctypes.byref(size))
    data = _take(out, size)
    if raised:
        raise raised[0]
    _check(status, data)
    return data, p.quant, p.rplanes


def read_header(data):
    """The stream's header: a dict of width, height, levels, rplanes, quant and flags."""
    data = bytes(data)
    info = _Info()
    _check(_lib.zal_read_header(data, len(data), ctypes.byref(info)))
    return {k: getattr(info, k) for k in ("width", "height", "levels", "rplanes", "quant", "flags")}




def decode(data, partial=False):
    """The pixels ZALdecod saves for the stream.

    A stream that ends early (a cut file) raises ZalError 213 whose .data
    holds the incomplete image, unless partial=True, which returns it."""
    data = bytes(data)
    info, out = _Info(), _u8p()
    status = _lib.zal_decode(data, len(data), ctypes.byref(info), ctypes.byref(out))
    try:
        _check(status)
        w, h = info.width, info.height
        if numpy is None:
            pixels = ctypes.string_at(out, w * h), w, h
        else:
            pixels = numpy.empty((h, w), numpy.uint8)
            ctypes.memmove(pixels.ctypes.data, out, w * h)
    finally:
        _lib.zal_free(out)
    if info.flags & INFO_TRUNCATED and not partial:
        raise ZalError(213, "The compressed file ends early; the image is incomplete", pixels)
    return pixels


def psnr(a, b):
    """The PSNR of b against a in dB, as ZALdecod --compare computes it."""
    a, b = _image(a), _image(b)
    if a[2:4] != b[2:4]:
        raise ValueError("zal: images of %dx%d and %dx%d" % (a[2:4] + b[2:4]))
    if a[4] != b[4]:  # the library takes one stride for both
        a, b = _rows(a), _rows(b)
    value = _lib.zal_psnr(a[1], b[1], a[2], a[3], a[4])
    if value != value:
        raise ZalError(401)
    return value
