#!/usr/bin/env python3
"""Compares the stills two builds of still_sample wrote for the same picture.

Usage: compare_stills.py WIDTHxHEIGHT BASE_A BASE_B [same-libraries]

Each BASE has .rgb (the picture, top-down RGB), .png, .jpg (quality 90) and
-q40.jpg. Both are decoded by Pillow, a reader of their own: the PNGs must
be the picture exactly, each JPEG within a mean difference of the picture,
and the two builds' JPEGs within JPEG_TOLERANCE of each other. With
"same-libraries" (both built with the same libjpeg-turbo, libpng and zlib)
the files must also be equal byte for byte.
"""
import sys

import numpy as np
from PIL import Image

# Mean absolute difference, per channel value, of a decoded JPEG from the
# picture (quality 90: about 1.6, quality 40: about 3.9; the picture upside
# down or in BGR order is 30 and more away), and between two builds' decodes
# when their libraries differ (equal libraries must give equal bytes).
PICTURE_TOLERANCE = {".jpg": 2.5, "-q40.jpg": 5.0}
JPEG_TOLERANCE = 1.0


def decode(path, shape):
    with Image.open(path) as image:
        pixels = np.asarray(image.convert("RGB"), dtype=np.int16)
    if pixels.shape != shape:
        raise SystemExit(f"FAIL  {path}: {pixels.shape}, expected {shape}")
    return pixels


def main():
    width, height = (int(n) for n in sys.argv[1].split("x"))
    a, b = sys.argv[2], sys.argv[3]
    same_libraries = len(sys.argv) > 4 and sys.argv[4] == "same-libraries"
    shape = (height, width, 3)
    with open(a + ".rgb", "rb") as f:
        picture = np.frombuffer(f.read(), dtype=np.uint8)
    with open(b + ".rgb", "rb") as f:
        if f.read() != picture.tobytes():
            raise SystemExit("FAIL  the two programs drew different pictures")
    picture = picture.reshape(shape).astype(np.int16)
    failures = 0

    def check(what, ok):
        nonlocal failures
        print(("ok    " if ok else "FAIL  ") + what)
        failures += 0 if ok else 1

    for suffix in (".png", ".jpg", "-q40.jpg"):
        decoded = [decode(base + suffix, shape) for base in (a, b)]
        for base, pixels in zip((a, b), decoded):
            error = float(np.abs(pixels - picture).mean())
            if suffix == ".png":
                check(f"{base}{suffix} is the picture exactly", error == 0)
            else:
                check(f"{base}{suffix} within {PICTURE_TOLERANCE[suffix]} of the "
                      f"picture (mean difference {error:.3f})",
                      error <= PICTURE_TOLERANCE[suffix])
        with open(a + suffix, "rb") as f:
            bytes_a = f.read()
        with open(b + suffix, "rb") as f:
            bytes_b = f.read()
        if same_libraries:
            check(f"{suffix} equal byte for byte ({len(bytes_a)} and "
                  f"{len(bytes_b)} bytes)", bytes_a == bytes_b)
        elif suffix != ".png":
            between = float(np.abs(decoded[0] - decoded[1]).mean())
            check(f"{suffix} decodes within {JPEG_TOLERANCE} of each other "
                  f"(mean difference {between:.3f})", between <= JPEG_TOLERANCE)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
