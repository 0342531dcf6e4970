#!/usr/bin/env python3
"""Checks the images PLV210.ds transferred against the SDK's still.

Usage: compare_twain.py WIDTHxHEIGHT SDK.bmp DIR [NAME...]

DIR holds what wine_twain_app.exe stored (by default native.bmp,
memory.ppm and file.bmp; dialog.bmp too when named): the native transfer's
DIB and the file transfer's BMP are read as their headers say (which must
be 24-bit, uncompressed, rows bottom-up as a DIB's are by default), the
memory transfer's rows as TWAIN's RGB (top-down, red, green, blue).

The camera is noiseless and its sensor settings fixed, so every frame is the
same bytes and every transfer must be the same picture exactly. The SDK's
still, taken with the same sensor settings, comes through another pipeline
(its own demosaicing, tone curve and colour step): per channel, the means of
32 x 24 blocks lie within SDK_TOLERANCE of its blocks, while the picture
turned upside down or with red and blue exchanged lies at least WRONG_FACTOR
times as far.
"""
import sys

import numpy as np
from PIL import Image

# Mean absolute difference of the 32 x 24 block means, per channel value
# (0..255), between a transfer and the SDK's still of the same frame
# settings. The camera is noiseless and AE and AWB are off, so the figure is
# the same every run: 9.4 at exposure 350, gain 18 (per channel 8.5, 7.6 and
# 12.0). It is the pipelines' difference: the data source takes a black
# level off every sample before its colour step and the SDK does not, so its
# picture lies 7 to 8 levels below the SDK's nearly uniformly (a straight
# line fitted through the blocks has slope 1.00, 1.00 and 0.97); its
# saturation and demosaicing differ a little too. Upside down the picture
# lies 59 away, with red and blue exchanged 44.
SDK_TOLERANCE = 12.0
WRONG_FACTOR = 2.0
BLOCKS = (24, 32)


def fail(message):
    raise SystemExit(f"FAIL  {message}")


def read_bmp(path, expect_bottom_up=True):
    """A 24-bit BMP's picture, top-down RGB, decoded as its header says."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM" or len(data) < 54:
        fail(f"{path}: not a BMP")
    offset = int.from_bytes(data[10:14], "little")
    size = int.from_bytes(data[14:18], "little")
    width = int.from_bytes(data[18:22], "little", signed=True)
    height = int.from_bytes(data[22:26], "little", signed=True)
    planes = int.from_bytes(data[26:28], "little")
    bits = int.from_bytes(data[28:30], "little")
    compression = int.from_bytes(data[30:34], "little")
    print(f"      {path.split('/')[-1]}: header {size} bytes, {width} x {height}, "
          f"{bits} bits, compression {compression}, pixels at {offset}")
    if size < 40 or planes != 1 or bits != 24 or compression != 0 or width <= 0 or height == 0:
        fail(f"{path}: not an uncompressed 24-bit DIB")
    if expect_bottom_up and height < 0:
        fail(f"{path}: rows top-down, not a DIB's default bottom-up")
    rows = abs(height)
    stride = (width * 3 + 3) & ~3
    if len(data) < offset + stride * rows:
        fail(f"{path}: {len(data)} bytes, too short for its pixels")
    pixels = np.frombuffer(data, dtype=np.uint8, count=stride * rows, offset=offset)
    pixels = pixels.reshape(rows, stride)[:, : width * 3].reshape(rows, width, 3)
    if height > 0:
        pixels = pixels[::-1]
    return np.ascontiguousarray(pixels[:, :, ::-1])


def read_ppm(path):
    """The memory transfer's rows as stored: top-down RGB."""
    with open(path, "rb") as f:
        data = f.read()
    magic, width, height, depth, pixels = data.split(maxsplit=4)
    width, height = int(width), int(height)
    if magic != b"P6" or depth != b"255" or len(pixels) != width * height * 3:
        fail(f"{path}: not the memory transfer's {width} x {height} RGB rows")
    print(f"      {path.split('/')[-1]}: {width} x {height} rows of RGB")
    return np.frombuffer(pixels, dtype=np.uint8).reshape(height, width, 3)


def blocks(picture):
    h, w, _ = picture.shape
    rows, columns = BLOCKS
    p = picture[: h - h % rows, : w - w % columns].astype(np.float64)
    return p.reshape(rows, p.shape[0] // rows, columns, p.shape[1] // columns, 3).mean(axis=(1, 3))


def block_difference(a, b):
    return float(np.abs(blocks(a) - blocks(b)).mean())


def main():
    width, height = (int(n) for n in sys.argv[1].split("x"))
    reference_path, folder = sys.argv[2], sys.argv[3]
    names = sys.argv[4:] or ["native.bmp", "memory.ppm", "file.bmp"]
    with Image.open(reference_path) as image:
        reference = np.asarray(image.convert("RGB"))
    if reference.shape != (height, width, 3):
        fail(f"the SDK's still is {reference.shape}, expected {(height, width, 3)}")
    pictures = {}
    for name in names:
        path = f"{folder}/{name}"
        picture = read_ppm(path) if name.endswith(".ppm") else read_bmp(path)
        if picture.shape != (height, width, 3):
            fail(f"{name}: {picture.shape[1]} x {picture.shape[0]}, expected {width} x {height}")
        pictures[name] = picture
    first = names[0]
    for name in names[1:]:
        differ = np.any(pictures[name] != pictures[first], axis=2)
        if differ.any():
            worst = int(np.abs(pictures[name].astype(int) - pictures[first]).max())
            fail(f"{name}: {int(differ.sum())} pixels differ from {first} (by up to {worst})")
        print(f"ok    {name} is {first}'s picture exactly")
    picture = pictures[first]
    as_is = block_difference(picture, reference)
    upside_down = block_difference(picture[::-1], reference)
    exchanged = block_difference(picture[:, :, ::-1], reference)
    print(f"      against the SDK's still: {as_is:.2f} (upside down {upside_down:.2f}, "
          f"red and blue exchanged {exchanged:.2f}; at most {SDK_TOLERANCE} and "
          f"{WRONG_FACTOR} times nearer than those)")
    if not (as_is <= SDK_TOLERANCE and as_is * WRONG_FACTOR <= upside_down
            and as_is * WRONG_FACTOR <= exchanged):
        fail("the transfers do not show the SDK's picture, upright with its colours right")
    print("ok    the transfers show the SDK's picture, upright, colours right")


if __name__ == "__main__":
    main()
