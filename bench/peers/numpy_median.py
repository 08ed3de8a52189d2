#!/usr/bin/python3
"""The median stitch the plain numpy way, as a peer for the benchmarks.

    numpy_median.py [--band-rows N] [--exr-core] FRAMES_FOLDER TRACK START END OUTPUT.exr

Reads frame.####.exr START..END and a track file of normalised positions
(frame,x,y; origin bottom-left), places each frame at the offset the tool
works out (shifts only: the peer does not turn frames), and takes per
colour channel the element n // 2 of the ascending order of the n opaque
pixels (alpha exactly 1), sorting along the frame axis with NaN for every
pixel that is not opaque; (0, 0, 0, 0) where no frame is opaque.

By default it works the plain way: one dense stack of aligned layers for
the whole canvas, sorted at once. --band-rows N sorts N canvas rows at a
time instead, which keeps the stack in the caches and is several times
faster; --exr-core reads through the library's faster EXR reader.
"""
import argparse
import math
import os

import numpy as np
import OpenImageIO as oiio


def read_track(path):
    rows = [line.split(",") for line in open(path).read().splitlines()[1:] if line.strip()]
    return {int(r[0]): (float(r[1]), float(r[2])) for r in rows}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--band-rows", type=int, default=0)
    parser.add_argument("--exr-core", action="store_true")
    parser.add_argument("folder")
    parser.add_argument("track")
    parser.add_argument("start", type=int)
    parser.add_argument("end", type=int)
    parser.add_argument("output")
    args = parser.parse_args()
    folder, track_path, start, end, output = args.folder, args.track, args.start, args.end, args.output
    if args.exr_core:
        oiio.attribute("openexr:core", 1)
    track = read_track(track_path)
    frames = []
    for t in range(start, end + 1):
        image = oiio.ImageInput.open(os.path.join(folder, "frame.%04d.exr" % t))
        if image is None:
            raise SystemExit("numpy_median: " + oiio.geterror())
        frames.append((t, image.read_image(oiio.FLOAT)))
        image.close()
    h, w = frames[0][1].shape[:2]
    rx, ry = track[start]
    lx = max(0.0, max(rx - track[t][0] for t, _ in frames))
    hx = max(0.0, max(track[t][0] - rx for t, _ in frames))
    ly = max(0.0, max(ry - track[t][1] for t, _ in frames))
    hy = max(0.0, max(track[t][1] - ry for t, _ in frames))
    cw, ch = math.trunc(w * (lx + hx + 1.0)), math.trunc(h * (ly + hy + 1.0))
    ox, oy = w * lx, h * ly
    # Column and row of the canvas where each frame's corner lands; file
    # rows run top-down while the track's y runs up.
    places = []
    for t, pixels in frames:
        dx = math.trunc((track[t][0] - rx) * w)
        dy = math.trunc((track[t][1] - ry) * h)
        x0 = math.trunc(dx + ox)
        y0 = ch - h - math.trunc(dy + oy)
        places.append((x0, y0, pixels))

    result = np.zeros((ch, cw, 4), np.float32)
    n = len(frames)
    band_rows = args.band_rows if args.band_rows > 0 else ch
    for b0 in range(0, ch, band_rows):
        b1 = min(ch, b0 + band_rows)
        stack = np.full((n, b1 - b0, cw, 3), np.nan, np.float32)
        for i, (x0, y0, pixels) in enumerate(places):
            r0, r1 = max(b0, y0), min(b1, y0 + h)
            if r0 >= r1:
                continue
            part = pixels[r0 - y0:r1 - y0]
            colour = np.where((part[:, :, 3] == 1.0)[:, :, None], part[:, :, 0:3], np.float32(np.nan))
            stack[i, r0 - b0:r1 - b0, x0:x0 + w] = colour
        count = np.count_nonzero(~np.isnan(stack[:, :, :, 0]), axis=0)
        ordered = np.sort(stack, axis=0)
        median = np.take_along_axis(ordered, (count // 2)[None, :, :, None].repeat(3, axis=3), axis=0)[0]
        opaque = count > 0
        result[b0:b1, :, 0:3] = np.where(opaque[:, :, None], median, np.float32(0))
        result[b0:b1, :, 3] = opaque.astype(np.float32)

    header = oiio.ImageSpec(cw, ch, 4, "float")
    header.attribute("compression", "zip")
    out = oiio.ImageOutput.create(output)
    if out is None or not out.open(output, header) or not out.write_image(result):
        raise SystemExit("numpy_median: cannot write %s: %s" % (output, oiio.geterror()))
    out.close()


if __name__ == "__main__":
    main()
