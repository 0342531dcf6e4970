#!/usr/bin/env python3
"""Saves a snapshot once automatic exposure has settled.

    python3 settled_snapshot.py [--out snap] [--formats png,jpg] [--resolution 2048x1536]

Automatic exposure needs a few frames to find the exposure for the scene.
This lets --settle frames pass, then waits until the exposure and gain
stayed the same for --steady frames in a row (at most --patience frames in
all), and captures the still files.
"""

import argparse
import sys

import vkcam


def size(text: str):
    width, height = (int(v) for v in text.lower().split("x"))
    return width, height


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="snap", help="base name of the files")
    parser.add_argument("--formats", default="png,jpg,bmp,raw")
    parser.add_argument("--quality", type=int, default=90)
    parser.add_argument("--resolution", type=size, default=(2048, 1536))
    parser.add_argument("--settle", type=int, default=10)
    parser.add_argument("--steady", type=int, default=5)
    parser.add_argument("--patience", type=int, default=300)
    args = parser.parse_args()
    try:
        with vkcam.Camera(resolution=args.resolution) as cam:
            cam.ae = True
            previous, steady, seen = None, 0, 0
            for frame in cam.frames(count=args.patience):
                seen += 1
                state = (cam.exposure, cam.analog_gain)
                steady = steady + 1 if state == previous else 0
                previous = state
                if seen > args.settle and steady >= args.steady:
                    break
            settled = seen > args.settle and steady >= args.steady
            paths = cam.save(args.out, formats=args.formats.split(","), quality=args.quality)
            print(f"{'settled' if settled else 'NOT settled'} after {seen} frames at "
                  f"exposure {previous[0]} rows ({cam.exposure_us / 1000:.2f} ms), "
                  f"gain {previous[1]}, mean brightness {frame.image.mean():.1f}")
            for path in paths:
                print(path)
            return 0 if settled else 2
    except vkcam.Error as error:
        print(f"settled_snapshot: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
