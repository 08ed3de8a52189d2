#!/usr/bin/python3
"""Makes the reference shots of the benchmarks (never kept in the repository).

    make_shots.py OUTDIR [SHOT ...]

Each shot is a folder OUTDIR/<shot> holding frame.####.exr and track.csv
(normalised units, origin bottom-left). A folder that already holds a
complete shot made by this version of the script is left alone.

  hd-pan-120  120 frames 1920 x 1080 RGBA float, uncompressed; the camera
              pans right 32 px a frame. Frames 0-59 are the "HD pan".
  hd-pan-x2   60 such frames panning 65 px a frame (two frame widths)
  hd-pan-x4   60 such frames panning 130 px a frame (four frame widths)
  hd-roll     60 HD frames panning 32 px a frame with a roll of up to 2
              degrees, and the angles in the track
  4k-pan      60 frames 3840 x 2160 RGBA half, PIZ; 64 px a frame
  4k-pan-240  240 such frames panning 32 px a frame (two frame widths):
              ten seconds of 4K, more than this machine holds at once
  im-layers   frames 0-59 of hd-pan-120 already placed on transparent
              canvas-sized layers (the ImageMagick peer's input)

Every shot has light sensor noise and an object that shows up in every
seventh frame, each time somewhere else, which the median removes. The
track is exact: the offsets the tool computes from it are the camera's.
"""
import math
import os
import sys

import numpy as np
import OpenImageIO as oiio

VERSION = "1"


def scene(x, y, c):
    """The landscape the camera looks at; smooth enough to resample, busy
    enough that a wrong offset shows. x and y are float arrays, y up."""
    return (0.45
            + 0.20 * np.sin(0.0123 * x + 0.7 * c) * np.cos(0.0171 * y - 0.4 * c)
            + 0.15 * np.sin(0.051 * x + 0.031 * y + c)
            + 0.05 * np.sin(0.31 * x + c) * np.sin(0.27 * y + 0.5 * c)).astype(np.float32)


def exact_x(shift, width):
    """The smallest normalised x whose offset from 0.5, as the tool works it
    out (trunc((x - 0.5) * width)), is `shift` pixels, and which also grows
    the canvas by `shift` pixels."""
    x = 0.5 + shift / width
    while math.trunc((x - 0.5) * width) < shift or math.trunc(width * ((x - 0.5) + 1.0)) < width + shift:
        x = math.nextafter(x, math.inf)
    while True:
        lower = math.nextafter(x, -math.inf)
        if math.trunc((lower - 0.5) * width) == shift and math.trunc(width * ((lower - 0.5) + 1.0)) >= width + shift:
            x = lower
        else:
            return x


def write_exr(path, pixels, fmt, compression):
    """pixels: H x W x 4 float32, top row first (the file's order)."""
    h, w = pixels.shape[:2]
    header = oiio.ImageSpec(w, h, 4, fmt)
    header.attribute("compression", compression)
    out = oiio.ImageOutput.create(path)
    if out is None or not out.open(path, header):
        raise SystemExit("make_shots: cannot write %s: %s" % (path, oiio.geterror()))
    if not out.write_image(pixels):
        raise SystemExit("make_shots: cannot write %s: %s" % (path, out.geterror()))
    out.close()


def add_object(frame, t, w, h):
    """A bright block in every seventh frame, each time at another place."""
    if t % 7:
        return
    bw, bh = w // 10, h // 7
    x0 = (w // 16 + (t // 7) * (w // 9)) % (w - bw)
    y0 = h // 3 + ((t // 7) % 3) * (h // 8)
    frame[y0:y0 + bh, x0:x0 + bw, 0:3] = np.array([1.0, 0.25, 0.1], np.float32)


class Shot:
    def __init__(self, name, frames, width, height, pan, roll=0.0, fmt="float", compression="none"):
        self.name, self.frames, self.width, self.height = name, frames, width, height
        self.pan, self.roll, self.fmt, self.compression = pan, roll, fmt, compression

    def angle(self, t):
        return self.roll * math.sin(2.0 * math.pi * t / 40.0)

    def make(self, folder):
        rng = np.random.default_rng(20240601 + self.frames + self.width + self.pan)
        w, h = self.width, self.height
        ys = np.arange(h, dtype=np.float64)[::-1, None]   # file rows run top-down; the host's y runs up
        strip = None
        if not self.roll:
            xs = np.arange(w + self.pan * (self.frames - 1), dtype=np.float64)[None, :]
            strip = np.stack([scene(xs, ys, c) for c in range(3)], axis=-1)
        keys = []
        for t in range(self.frames):
            frame = np.empty((h, w, 4), np.float32)
            if strip is not None:
                frame[:, :, 0:3] = strip[:, self.pan * t:self.pan * t + w, :]
            else:
                # The camera turned by theta: frame pixel p sees the scene at
                # C + R(theta) (p - c), pixel centres at +0.5.
                theta = math.radians(self.angle(t))
                px = np.arange(w, dtype=np.float64)[None, :] + 0.5 - w / 2
                py = ys + 0.5 - h / 2
                sx = self.pan * t + w / 2 + math.cos(theta) * px - math.sin(theta) * py - 0.5
                sy = h / 2 + math.sin(theta) * px + math.cos(theta) * py - 0.5
                for c in range(3):
                    frame[:, :, c] = scene(sx, sy, c)
            frame[:, :, 0:3] += rng.standard_normal((h, w, 3), dtype=np.float32) * np.float32(0.004)
            frame[:, :, 3] = 1.0
            add_object(frame, t, w, h)
            write_exr(os.path.join(folder, "frame.%04d.exr" % t), frame, self.fmt, self.compression)
            keys.append((t, exact_x(self.pan * t, w), 0.5, self.angle(t)))
        with open(os.path.join(folder, "track.csv"), "w") as f:
            f.write("frame,x,y,angle\n" if self.roll else "frame,x,y\n")
            for t, x, y, a in keys:
                f.write("%d,%r,%r" % (t, x, y) + (",%r\n" % a if self.roll else "\n"))


def make_layers(source, folder, count):
    """Frames 0..count-1 of a pan shot on transparent layers of the canvas's
    size, placed as the tool places them (its track is exact)."""
    keys = [line.split(",") for line in open(os.path.join(source, "track.csv")).read().split("\n")[1:count + 1]]
    frames = [oiio.ImageInput.open(os.path.join(source, "frame.%04d.exr" % t)) for t in range(count)]
    w, h = frames[0].spec().width, frames[0].spec().height
    shifts = [math.trunc((float(k[1]) - float(keys[0][1])) * w) for k in keys]
    canvas = math.trunc(w * ((float(keys[-1][1]) - float(keys[0][1])) + 1.0))
    for t, f in enumerate(frames):
        layer = np.zeros((h, canvas, 4), np.float32)
        layer[:, shifts[t]:shifts[t] + w, :] = f.read_image(oiio.FLOAT)
        f.close()
        write_exr(os.path.join(folder, "layer.%04d.exr" % t), layer, "float", "none")


SHOTS = {
    "hd-pan-120": Shot("hd-pan-120", 120, 1920, 1080, 32),
    "hd-pan-x2": Shot("hd-pan-x2", 60, 1920, 1080, 65),
    "hd-pan-x4": Shot("hd-pan-x4", 60, 1920, 1080, 130),
    "hd-roll": Shot("hd-roll", 60, 1920, 1080, 32, roll=2.0),
    "4k-pan": Shot("4k-pan", 60, 3840, 2160, 64, fmt="half", compression="piz"),
    "4k-pan-240": Shot("4k-pan-240", 240, 3840, 2160, 32, fmt="half", compression="piz"),
}


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    out = sys.argv[1]
    names = sys.argv[2:] or [n for n in SHOTS if n != "4k-pan-240"] + ["im-layers"]
    for name in names:
        folder = os.path.join(out, name)
        stamp = os.path.join(folder, ".complete")
        if os.path.exists(stamp) and open(stamp).read() == VERSION:
            continue
        os.makedirs(folder, exist_ok=True)
        if os.path.exists(stamp):
            os.remove(stamp)
        print("make_shots: making %s" % folder, flush=True)
        if name == "im-layers":
            make_layers(os.path.join(out, "hd-pan-120"), folder, 60)
        elif name in SHOTS:
            SHOTS[name].make(folder)
        else:
            raise SystemExit("make_shots: unknown shot %s" % name)
        with open(stamp, "w") as f:
            f.write(VERSION)


if __name__ == "__main__":
    main()
