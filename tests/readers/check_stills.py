#!/usr/bin/python3
"""Stills written by `vkcam snap`, read back by Pillow as an independent
reader: BMP and PNG show the same picture exactly, the JPEG within JPEG's
tolerance, and a region whose rows are not a multiple of four bytes long
still gives a standard BMP."""
import os
import subprocess
import sys
import tempfile

from PIL import Image, ImageChops, ImageStat


def snap(vkcam, base, *options):
    env = dict(os.environ, VKCAM_REGISTRY=base + ".registry", VKCAM_SIM_THROTTLE="0")
    subprocess.run([vkcam, "snap", "--out", base, "--formats", "all", "--settle", "5",
                    *options], check=True, env=env, stdout=subprocess.DEVNULL)


def check(base, width, height):
    bmp = Image.open(base + ".bmp")
    png = Image.open(base + ".png")
    jpg = Image.open(base + ".jpg")
    assert bmp.format == "BMP" and png.format == "PNG" and jpg.format == "JPEG"
    for picture in (bmp, png, jpg):
        assert picture.size == (width, height), (base, picture.size)
    assert bmp.convert("RGB").tobytes() == png.convert("RGB").tobytes(), base
    # The camera's noise is finer than JPEG keeps (chroma is subsampled):
    # compare the pictures, not the noise.
    small = (width // 4, height // 4)
    difference = ImageStat.Stat(ImageChops.difference(
        png.convert("RGB").resize(small), jpg.convert("RGB").resize(small)))
    assert max(difference.mean) < 4.0, (base, difference.mean)
    assert os.path.getsize(base + ".raw") == width * height
    stride = (width * 3 + 3) // 4 * 4
    assert os.path.getsize(base + ".bmp") == 54 + stride * height


def main(vkcam):
    with tempfile.TemporaryDirectory() as directory:
        base = os.path.join(directory, "vga")
        snap(vkcam, base, "--resolution", "2")
        check(base, 640, 480)
        base = os.path.join(directory, "region")
        snap(vkcam, base, "--resolution", "3", "--roi", "100,100,322,200")
        check(base, 322, 200)
    print("stills read back by Pillow: ok")


if __name__ == "__main__":
    main(sys.argv[1])
