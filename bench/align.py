#!/usr/bin/env python3
"""Aligning the 60-frame HD pan against stitching it with the median.

    bash bench/align             # builds, makes the reference shots once, measures
    bash bench/align --repeat 5

`tessellon align` (rigid, then shift) and `tessellon stitch --method median`
(with its track check and without, --no-check) on frames 0-59 of the HD pan (bench/make_shots.py), each the median of
several runs, with the aligned track's error against the exact one. The
target: aligning takes no longer than the median stitch.
"""
import argparse
import csv
import math
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from run import Bench, log, load, run_measured  # noqa: E402


def read_track(path):
    rows = [line for line in open(path) if not line.startswith("#")]
    return {int(r["frame"]): (float(r["x"]), float(r["y"]), float(r.get("angle") or 0.0))
            for r in csv.DictReader(rows)}


def track_error(estimated, exact, width, height):
    """RMS and worst position error in pixels, worst angle error in degrees,
    over the frames both tracks have, positions taken against frame 0's."""
    a, b = read_track(estimated), read_track(exact)
    first = min(a)
    errors, angles = [], []
    for frame in sorted(a):
        if frame not in b:
            continue
        dx = ((a[frame][0] - a[first][0]) - (b[frame][0] - b[first][0])) * width
        dy = ((a[frame][1] - a[first][1]) - (b[frame][1] - b[first][1])) * height
        errors.append(math.hypot(dx, dy))
        angles.append(abs((a[frame][2] - a[first][2]) - (b[frame][2] - b[first][2])))
    return math.sqrt(sum(e * e for e in errors) / len(errors)), max(errors), max(angles), len(errors)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    b = Bench(args)
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_shots.py"), args.data], check=True)
    shot = b.shot("hd-pan-120")
    frames = os.path.join(shot, "frame.%04d.exr")
    log("machine: %d cores; load average %s at the start" % (os.cpu_count(), load()))

    stitch = [b.stitch("hd-pan-120", "median", os.path.join(b.out, "align-bench-median.exr"), 0, 59)["wall"]
              for _ in range(args.repeat)]
    unchecked = [b.stitch("hd-pan-120", "median", os.path.join(b.out, "align-bench-median.exr"), 0, 59,
                          extra=["--no-check"])["wall"] for _ in range(args.repeat)]
    results = {}
    for model in ("rigid", "shift"):
        track = os.path.join(b.out, "hd-pan-aligned-%s.csv" % model)
        cmd = [b.tessellon, "align", "--frames", frames, "--start", "0", "--end", "59", "--model", model,
               "-o", track, "--quiet"]
        runs = [run_measured(cmd) for _ in range(args.repeat)]
        results[model] = (statistics.median(r[0] for r in runs), max(r[1] for r in runs),
                          track_error(track, os.path.join(shot, "track.csv"), 1920, 1080))
    median = statistics.median(stitch)
    log("\n| run (HD pan, frames 0-59, 1920 x 1080 float EXR) | time | peak memory | track error |")
    log("|---|---|---|---|")
    log("| `tessellon stitch --method median` | %.2f s | | |" % median)
    log("| `tessellon stitch --method median --no-check` (the track not checked) | %.2f s | | |"
        % statistics.median(unchecked))
    for model, (seconds, peak, (rms, worst, angle, count)) in results.items():
        log("| `tessellon align --model %s` | %.2f s (%.2f x the stitch) | %.2f GiB | %d frames: %.3f px RMS, "
            "%.3f px worst, %.4f degrees worst |" % (model, seconds, seconds / median, peak / 2**30, count, rms,
                                                    worst, angle))
    log("\nload average %s at the end; target: align no slower than the median stitch" % load())


if __name__ == "__main__":
    main()
