#!/usr/bin/python3
"""Runs every benchmark of the README's "Performance" section and prints its
tables. Started by bench/run, which builds and installs what it needs.

    run.py --build BUILD_DIR --data DATA_DIR --out OUT_DIR [--repeat N]
           [--report-only | --bands-only | --perf-only]

Timings on a shared machine are noisy: each figure is the median of several
runs, and what is compared is a ratio measured in the same run. Nothing is
printed as a figure before the checks have passed: the engine, the command
and the tests' literal transcription agree bit for bit on the reference
shots, the result does not depend on the number of threads, and the numpy
peer computes the same median.
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time

import numpy as np
import OpenImageIO as oiio

HERE = os.path.dirname(os.path.abspath(__file__))
# What a render may take above --max-memory: the program and its libraries.
OVERHEAD = 160 << 20


class Failure(Exception):
    pass


def log(text):
    print(text, flush=True)


def load():
    return "%.1f" % os.getloadavg()[0]


def run(cmd, env=None):
    """Runs a command; returns its standard output, or fails with its errors."""
    child = subprocess.run(cmd, capture_output=True, env=env, text=True)
    if child.returncode != 0:
        raise Failure("%s failed (%d):\n%s%s" % (" ".join(cmd), child.returncode, child.stdout, child.stderr))
    return child.stdout


def run_measured(cmd, env=None):
    """Runs a command; returns (wall seconds, its peak resident bytes, its
    standard output)."""
    begin = time.monotonic()
    with open(os.devnull, "w") as null:
        child = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=null, env=env, text=True)
        out = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    seconds = time.monotonic() - begin
    if child.returncode != 0:
        raise Failure("%s failed (%d):\n%s" % (" ".join(cmd), child.returncode, out))
    return seconds, usage.ru_maxrss * 1024, out


UNITS = {"bytes": 1, "KiB": 1 << 10, "MiB": 1 << 20, "GiB": 1 << 30, "TiB": 1 << 40}


def bytes_of(text):
    number, unit = text.split()
    return float(number) * UNITS[unit]


def parse_stats(out):
    stats = {}
    for name in ("reading", "gathering", "placement", "compositing", "releasing", "writing", "total"):
        m = re.search(r"^\s+%s\s+([0-9.]+) s" % name, out, re.M)
        if m:
            stats[name] = float(m.group(1))
    m = re.search(r"decoding ([0-9.]+) s summed", out)
    stats["decoding"] = float(m.group(1))
    m = re.search(r"turning (\d+) frames?: ([0-9.]+) s", out)
    stats["turns"], stats["turning"] = int(m.group(1)), float(m.group(2))
    m = re.search(r"peak resident memory ([0-9.]+ \w+): ([0-9.]+) x \(frames x 2 \+ canvas = ([0-9.]+ \w+)\)", out)
    stats["peak"], stats["peak_ratio"], stats["peak_bound"] = bytes_of(m.group(1)), float(m.group(2)), bytes_of(m.group(3))
    m = re.search(r"frames\s+(\d+) of (\d+) x (\d+), ([^,]+), ([0-9.]+ \w+); canvas (\d+) x (\d+), (\w+), ([0-9.]+ \w+)", out)
    stats["frames"], stats["frame_format"], stats["frame_bytes"] = int(m.group(1)), m.group(4), bytes_of(m.group(5))
    stats["canvas"], stats["canvas_format"] = "%s x %s" % (m.group(6), m.group(7)), m.group(8)
    stats["canvas_bytes"] = bytes_of(m.group(9))
    m = re.search(r"each file decoded (once|up to \d+ times); ([0-9.]+ \w+) read, ([0-9.]+) x the files", out)
    stats["decoded"], stats["read_ratio"] = m.group(1), float(m.group(3))
    m = re.search(r"asked for (\d+) frames and waited for (\d+) of them, ([0-9.]+) s", out)
    stats["requests"], stats["waits"], stats["wait_seconds"] = int(m.group(1)), int(m.group(2)), float(m.group(3))
    m = re.search(r"^\s+bands\s+(\d+) of", out, re.M)
    stats["bands"] = int(m.group(1)) if m else 1
    return stats


def median_of(runs, key):
    return statistics.median(r[key] for r in runs)


def same_pixels(a, b):
    """Whether two image files hold the same pixels, bit for bit."""
    pa = oiio.ImageInput.open(a).read_image(oiio.FLOAT)
    pb = oiio.ImageInput.open(b).read_image(oiio.FLOAT)
    return pa.shape == pb.shape and np.array_equal(pa.view(np.uint32), pb.view(np.uint32))


class Bench:
    def __init__(self, args):
        self.build, self.data, self.out, self.repeat = args.build, args.data, args.out, args.repeat
        self.tessellon = os.path.join(self.build, "bin", "tessellon")
        self.stitch_bench_path = os.path.join(self.build, "bin", "stitch_bench")
        os.makedirs(self.out, exist_ok=True)
        self.loads = [load()]

    def shot(self, name):
        return os.path.join(self.data, name)

    def stitch(self, shot, method, output, start=None, end=None, threads=None, extra=()):
        cmd = [self.tessellon]
        if threads:
            cmd += ["--threads", str(threads)]
        cmd += ["stitch", "--frames", os.path.join(self.shot(shot), "frame.%04d.exr"),
                "--track", os.path.join(self.shot(shot), "track.csv"), "--method", method,
                "--output", output, "--stats", "--quiet"]
        if start is not None:
            cmd += ["--start", str(start), "--end", str(end)]
        cmd += list(extra)
        seconds, peak, out = run_measured(cmd)
        stats = parse_stats(out)
        stats["wall"], stats["peak_process"], stats["load"] = seconds, peak, load()
        return stats

    def stitches(self, shot, method, count, start=None, end=None):
        """`count` timed runs after one untimed run, as `cat` reads its files
        once first: the frames are in the page cache for every timed run,
        whatever an earlier measurement pushed out of it."""
        output = os.path.join(self.out, "%s-%s.exr" % (shot, method))
        self.stitch(shot, method, output, start, end)
        return [self.stitch(shot, method, output, start, end) for _ in range(count)]

    def stitch_bench(self, shot, end, expect, benchmarks, name):
        """The engine against its bounds; checks against the literal
        transcription first (any difference fails the run)."""
        json_path = os.path.join(self.out, name + ".json")
        cmd = [self.stitch_bench_path, "--shot", self.shot(shot)]
        if end is not None:
            cmd += ["--end", str(end)]
        for method, path in expect.items():
            cmd += ["--expect-" + method, path]
        cmd += ["--benchmark_filter=" + benchmarks, "--benchmark_repetitions=%d" % self.repeat,
                "--benchmark_report_aggregates_only=true", "--benchmark_out=" + json_path,
                "--benchmark_out_format=json"]
        out = run(cmd)
        for line in out.splitlines():
            if line.startswith("check") or line.startswith("shot"):
                log("  " + line)
        results = {}
        for b in json.load(open(json_path))["benchmarks"]:
            # The median of the repetitions; a single run has no aggregates.
            if b.get("aggregate_name") == "median" or (self.repeat == 1 and b.get("run_type") == "iteration"):
                name = b["run_name"].split("/real_time")[0]
                results[name] = b["real_time"]   # milliseconds
                if "cpu_s" in b:
                    results[name + ":cpu"] = b["cpu_s"] * 1000.0
        return results


def same_file(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        return fa.read() == fb.read()


def bands_figure(b, count):
    """The HD pan in one pass and held to half of the one-pass peak
    (--max-memory), rendered band after band: the same file, bit for bit,
    and the peak within the budget."""
    one = os.path.join(b.out, "hd-pan-one-pass.exr")
    held = os.path.join(b.out, "hd-pan-in-bands.exr")
    one_runs = [b.stitch("hd-pan-120", "median", one, 0, 59, extra=["--one-pass"]) for _ in range(count)]
    budget = int(median_of(one_runs, "peak_process") / 2)
    band_runs = [b.stitch("hd-pan-120", "median", held, 0, 59, extra=["--max-memory", str(budget)])
                 for _ in range(count)]
    if not same_file(one, held):
        raise Failure("the HD pan rendered in bands differs from the one-pass render")
    worst = max(r["peak_process"] for r in band_runs)
    if worst > budget:
        raise Failure("the HD pan in bands peaked at %.2f GiB, above its budget of %.2f GiB" % (worst / 2**30, budget / 2**30))
    log("  HD pan in %d bands within --max-memory %d: the one-pass file bit for bit, peak %.2f of %.2f GiB" %
        (band_runs[0]["bands"], budget, worst / 2**30, budget / 2**30))
    return {"one": one_runs, "banded": band_runs, "budget": budget}


def bands_rows(bands, w):
    one, banded = bands["one"], bands["banded"]
    ratio = median_of(banded, "wall") / median_of(one, "wall")
    w("| HD pan held to half of its one-pass peak (`--max-memory %d`, %d bands) / one pass: time | %.2f x (%.2f s / %.2f s) | within 1.3 x |"
      % (bands["budget"], banded[0]["bands"], ratio, median_of(banded, "wall"), median_of(one, "wall")))
    w("| the same: peak resident memory against the budget | %.2f GiB of %.2f GiB (one pass %.2f GiB); the same file bit for bit | within the budget |"
      % (max(r["peak_process"] for r in banded) / 2**30, bands["budget"] / 2**30,
         median_of(one, "peak_process") / 2**30))
    w("| the same: bytes read against the files' size | %.2f x (one pass %.2f x) | |"
      % (median_of(banded, "read_ratio"), median_of(one, "read_ratio")))


def long_shot_figure(b):
    """Ten seconds of 4K (240 frames half PIZ, about 33 GiB in one pass) kept
    within --max-memory 8G, against 60 frames of the same shot in one pass:
    time per frame and the peak against the budget plus the fixed overhead."""
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_shots.py"), b.data, "4k-pan-240"], check=True)
    one = b.stitch("4k-pan-240", "median", os.path.join(b.out, "4k-pan-60.exr"), 0, 59, extra=["--one-pass"])
    budget = 8 << 30
    held = b.stitch("4k-pan-240", "median", os.path.join(b.out, "4k-pan-240.exr"), 0, 239,
                    extra=["--max-memory", "8G"])
    if held["peak_process"] > budget + OVERHEAD:
        raise Failure("the 240-frame 4K pan peaked at %.2f GiB, above --max-memory 8G and the %d MiB overhead"
                      % (held["peak_process"] / 2**30, OVERHEAD >> 20))
    log("  4K pan of 240 frames in %d bands within --max-memory 8G: %.1f s, peak %.2f GiB; 60 frames in one pass %.1f s"
        % (held["bands"], held["wall"], held["peak_process"] / 2**30, one["wall"]))
    return {"one": one, "held": held, "budget": budget}


def long_shot_rows(long_shot, w):
    one, held = long_shot["one"], long_shot["held"]
    per_one, per_held = one["wall"] / one["frames"], held["wall"] / held["frames"]
    w("| 4K half PIZ pan, 240 frames within `--max-memory 8G` (%d bands) / 60 frames in one pass: time per frame | %.2f x (%.0f ms / %.0f ms) | within 1.3 x |"
      % (held["bands"], per_held / per_one, 1000 * per_held, 1000 * per_one))
    w("| the same: peak resident memory against the budget | %.2f GiB of 8 GiB + %d MiB (one pass of 60 frames %.2f GiB) | within the budget and the overhead |"
      % (held["peak_process"] / 2**30, OVERHEAD >> 20, one["peak_process"] / 2**30))


def farm_figure(b, one_pass):
    """The HD pan in 8 bands on the local one-node Slurm cluster, merged by a
    job that waits for the band tasks: the one-pass file, pixel for pixel."""
    root = os.path.dirname(HERE)
    local = os.path.join(root, "scripts", "slurm-local")
    was_running = subprocess.run(["bash", local, "status"], capture_output=True).returncode == 0
    if not was_running:
        run(["bash", local, "start"])
    try:
        env = dict(os.environ)
        for line in run(["bash", local, "env"]).splitlines():
            m = re.match(r"export (\w+)=(.*)$", line)
            if m:
                env[m.group(1)] = subprocess.run(["bash", "-c", "printf %s " + m.group(2)], capture_output=True,
                                                 text=True, check=True).stdout
        shot = b.shot("hd-pan-120")
        output = os.path.join(b.out, "hd-pan-farm.exr")
        folder = os.path.join(b.out, "hd-pan-farm.bands")
        for path in (output,):
            if os.path.exists(path):
                os.remove(path)
        begin = time.monotonic()
        run(["bash", os.path.join(root, "scripts", "slurm-stitch"), "--wait", "--tessellon", b.tessellon,
             "--dir", folder, "--", "--frames", os.path.join(shot, "frame.%04d.exr"),
             "--track", os.path.join(shot, "track.csv"), "--start", "0", "--end", "59", "--method", "median",
             "-o", output, "--bands", "8"], env=env)
        seconds = time.monotonic() - begin
    finally:
        if not was_running:
            run(["bash", local, "stop"])
    if not same_pixels(output, one_pass):
        raise Failure("the HD pan rendered in 8 bands on the local Slurm cluster differs from the one-pass render")
    log("  HD pan in 8 Slurm band tasks and a merge job: %.1f s, the one-pass pixels bit for bit" % seconds)
    return {"seconds": seconds}


def farm_rows(farm, w):
    w("| HD pan as 8 band tasks and a merge job on the local one-node Slurm cluster (`scripts/slurm-stitch --wait`) | the one-pass pixels bit for bit, %.1f s from submission to merged file | identical |"
      % farm["seconds"])


def frame_files(shot_dir, start, end):
    return [os.path.join(shot_dir, "frame.%04d.exr" % i) for i in range(start, end + 1)]


def exr_bench(b, args):
    return json.loads(run([os.path.join(b.build, "bin", "exr_bench")] + args))


def cat_seconds(files, count):
    """`cat` of the files to /dev/null, the page cache warmed by one read
    first: the medians of `count` runs."""
    with open(os.devnull, "w") as null:
        subprocess.run(["cat"] + files, stdout=null, check=True)
        seconds = []
        for _ in range(count):
            begin = time.monotonic()
            subprocess.run(["cat"] + files, stdout=null, check=True)
            seconds.append(time.monotonic() - begin)
    return statistics.median(seconds)


def same_as_dump(exr, dump):
    """Whether a raw dump of exr_bench (channels interleaved in the file's
    order, which OpenEXR keeps sorted by name) holds the file's pixels as the
    image library decodes them, bit for bit."""
    image = oiio.ImageInput.open(exr)
    spec = image.spec()
    pixels = image.read_image(spec.format)
    order = sorted(range(spec.nchannels), key=lambda c: spec.channelnames[c])
    expect = np.ascontiguousarray(pixels[:, :, order]).tobytes()
    with open(dump, "rb") as f:
        return f.read() == expect


def in_turn(b, shot, end, bound, count):
    """`count` rounds of the bound (a function giving its figures) and one
    `tessellon stitch --method median` of the shot (frames 0 to `end`, or
    all), one after the other, after one untimed round: both sides of a
    ratio see the machine's memory and page cache in the same state."""
    output = os.path.join(b.out, "%s-median-in-turn.exr" % shot)
    start = None if end is None else 0
    bound()
    b.stitch(shot, "median", output, start, end)
    ours, theirs = [], []
    for _ in range(count):
        theirs.append(bound())
        ours.append(b.stitch(shot, "median", output, start, end))
    return ours, theirs


def perf_figure(b, hd_runs, roll_runs, k4_runs, hd_canvas, place):
    """tessellon's reading and writing against `cat` and OpenEXR's own
    library on the same files, in the same run as the stitches given (the HD
    pan's 60 frames, the HD roll, the 4K pan). Checks first: OpenEXR's decode
    of the 4K pan's first frame is the image library's, bit for bit, and the
    canvas tessellon wrote (hd_canvas, by the HD pan's runs), written again by OpenEXR, reads back the same."""
    rewritten = os.path.join(b.out, "hd-pan-median-openexr.exr")
    dump = os.path.join(b.out, "4k-pan-frame0.raw")
    k4_files = frame_files(b.shot("4k-pan"), 0, 59)
    exr_bench(b, ["read", "--dump", dump] + k4_files)
    if not same_as_dump(k4_files[0], dump):
        raise Failure("OpenEXR's own decoding of %s differs from the image library's" % k4_files[0])
    os.remove(dump)
    log("  OpenEXR's own decoding of the 4K pan: the image library's pixels bit for bit, fresh buffers the reused one's")
    write = exr_bench(b, ["write", "--repeat", str(b.repeat), hd_canvas, rewritten])
    ours, theirs = (oiio.ImageInput.open(path).spec() for path in (hd_canvas, rewritten))
    if (ours.get_string_attribute("compression") != theirs.get_string_attribute("compression") or
            ours.format != theirs.format or not same_pixels(hd_canvas, rewritten)):
        raise Failure("the HD canvas written again by OpenEXR differs from tessellon's")
    log("  the HD canvas written again by OpenEXR: the same pixels, channel types and compression (%s) bit for bit"
        % ours.get_string_attribute("compression"))
    hd_files = frame_files(b.shot("hd-pan-120"), 0, 59)
    hd_read, cats = in_turn(b, "hd-pan-120", 59, lambda: cat_seconds(hd_files, 1), b.repeat)
    cat = statistics.median(cats)
    hd_decode = exr_bench(b, ["read", "--repeat", str(b.repeat), "--buffers", "reused"] + hd_files)
    k4_read, decodes = in_turn(b, "4k-pan", None, lambda: exr_bench(b, ["read"] + k4_files), b.repeat)
    decode = {"threads": decodes[0]["threads"]}
    for kind in ("reused", "fresh"):
        decode[kind] = [d[kind][0] for d in decodes]
    log("  in turn with tessellon: cat of the HD pan's 60 files %.2f s, OpenEXR's 4K decoding %.2f s (fresh %.2f s); "
        "HD write %.3f s (load %s)" % (cat, statistics.median(decode["reused"]), statistics.median(decode["fresh"]),
                                      statistics.median(write["write"]), load()))
    return {"cat": cat, "hd_decode": hd_decode, "decode": decode, "write": write, "hd": hd_runs, "roll": roll_runs, "k4": k4_runs,
            "hd_read": hd_read, "k4_read": k4_read, "place": place}


def perf_rows(perf, w):
    hd, roll, k4 = perf["hd"], perf["roll"], perf["k4"]
    # Reading is held against its bound on the runs taken in turn with it.
    reading = median_of(perf.get("hd_read", hd), "reading")
    writing = median_of(hd, "writing")
    k4_reading = median_of(perf.get("k4_read", k4), "reading")
    threads = perf["decode"]["threads"]
    w("| reading the HD pan's 60 uncompressed float frames / `cat` of the same files to /dev/null (page cache warm; run in turn) | %.2f x (%.2f s / %.2f s) | within 2 x |"
      % (reading / perf["cat"], reading, perf["cat"]))
    if "hd_decode" in perf:
        own = statistics.median(perf["hd_decode"]["reused"])
        w("| the same reading / OpenEXR's own decoding of the same files on %d threads into one reused buffer | %.2f x (%.2f s / %.2f s) | |"
          % (perf["hd_decode"]["threads"], reading / own, reading, own))
    for kind, label in (("reused", "into one reused buffer"), ("fresh", "into fresh buffers, huge pages advised as frames get")):
        own = statistics.median(perf["decode"][kind])
        w("| reading the 4K half PIZ pan / OpenEXR's own decoding on %d threads %s (run in turn) | %.2f x (%.2f s / %.2f s) | within 1.2 x |"
          % (threads, label, k4_reading / own, k4_reading, own))
    own = statistics.median(perf["write"]["write"])
    w("| writing the HD canvas / OpenEXR's own write of the same pixels on %d threads (same channels, types, compression) | %.2f x (%.3f s / %.3f s) | within 1.5 x |"
      % (perf["write"]["threads"], writing / own, writing, own))
    placement, phases_reading = median_of(hd, "placement"), median_of(hd, "reading")
    w("| placement / reading on the HD pan | %.2f x (%.3f s / %.2f s) | at most 1 x |"
      % (placement / phases_reading, placement, phases_reading))
    # The stitch places unturned frames as it combines them, so its own
    # placement figure is nearly nothing; the engine's PlaceLayers places
    # every layer whole, turned or not, and is what turning is held against.
    pan, rolled = perf["place"]["pan"], perf["place"]["roll"]
    w("| HD roll's placement, turning included / the HD pan's, every layer placed whole (`stitch_bench` Place) | %.2f x (%.0f ms / %.0f ms) | within 2 x |"
      % (rolled / pan, rolled, pan))
    turning, turns = median_of(roll, "turning"), roll[0]["turns"]
    w("| the HD roll's turning in `tessellon stitch` | %.2f s in %d turns of band rows (%.1f ms each) | |"
      % (turning, turns, 1000 * turning / turns))


def perf_only(args):
    b = Bench(args)
    log("machine: %d cores; load average %s at the start" % (os.cpu_count(), load()))
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_shots.py"), args.data, "hd-pan-120", "hd-roll", "4k-pan"],
                   check=True)
    log("\n== tessellon stitch --stats (median of %d runs)" % b.repeat)
    hd = b.stitches("hd-pan-120", "median", b.repeat, 0, 59)
    roll = b.stitches("hd-roll", "median", min(3, b.repeat))
    k4 = b.stitches("4k-pan", "median", b.repeat)
    log("\n== cat and OpenEXR's own library on the same files")
    log("\n== the engine's placement, turned and not (checked against the literal transcription first)")
    place = {"pan": b.stitch_bench("hd-pan-120", 59, {"median": os.path.join(b.out, "hd-pan-120-median.exr")},
                                   "Place", "hd-pan-place")["Place"],
             "roll": b.stitch_bench("hd-roll", None, {"median": os.path.join(b.out, "hd-roll-median.exr")},
                                    "Place", "hd-roll-place")["Place"]}
    perf = perf_figure(b, hd, roll, k4, os.path.join(b.out, "hd-pan-120-median.exr"), place)
    rows = ["| figure | measured | target |", "|---|---|---|"]
    perf_rows(perf, rows.append)
    text = ("Load average %s at the start and %s at the end; tessellon's figures are medians of %d runs "
            "of `tessellon stitch --stats`, OpenEXR's and cat's of %d.\n\n" % (b.loads[0], load(), b.repeat, b.repeat)
            + "\n".join(rows))
    with open(os.path.join(args.out, "results-perf.md"), "w") as f:
        f.write(text + "\n")
    log("\n" + text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--report-only", action="store_true",
                        help="print the tables again from the last run's measurements")
    parser.add_argument("--bands-only", action="store_true",
                        help="measure only the renders in bands: the HD pan against one pass, on the local "
                             "Slurm cluster, and the 240-frame 4K pan within 8 GiB")
    parser.add_argument("--no-long-shot", action="store_true",
                        help="leave out the 240-frame 4K pan (5.6 GB of frames, several minutes)")
    parser.add_argument("--perf-only", action="store_true",
                        help="measure only reading and writing against cat and OpenEXR's own library, "
                             "placement and turning")
    args = parser.parse_args()
    if args.perf_only:
        perf_only(args)
        return
    if args.bands_only:
        b = Bench(args)
        log("machine: %d cores; load average %s at the start" % (os.cpu_count(), load()))
        subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_shots.py"), args.data, "hd-pan-120"], check=True)
        bands = bands_figure(b, min(3, args.repeat))
        farm = farm_figure(b, os.path.join(b.out, "hd-pan-one-pass.exr"))
        long_shot = None if args.no_long_shot else long_shot_figure(b)
        rows = ["| figure | measured | target |", "|---|---|---|"]
        bands_rows(bands, rows.append)
        farm_rows(farm, rows.append)
        if long_shot:
            long_shot_rows(long_shot, rows.append)
        text = "Load average %s at the end.\n\n" % load() + "\n".join(rows)
        with open(os.path.join(args.out, "results-bands.md"), "w") as f:
            f.write(text + "\n")
        log("\n" + text)
        return
    measured = os.path.join(args.out, "measurements.json")
    if args.report_only:
        report(json.load(open(measured)), args.out)
        return
    b = Bench(args)
    started = time.monotonic()
    log("machine: %d cores, %.1f GiB; load average %s at the start" %
        (os.cpu_count(), os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") / 2**30, load()))

    log("\n== reference shots")
    subprocess.run(["/usr/bin/python3", os.path.join(HERE, "make_shots.py"), args.data], check=True)

    # -- checks, before any figure ------------------------------------
    log("\n== checks")
    hd = {"shot": "hd-pan-120", "start": 0, "end": 59}
    median_out = os.path.join(b.out, "hd-pan-median.exr")
    unique_out = os.path.join(b.out, "hd-pan-unique.exr")
    b.stitch("hd-pan-120", "median", median_out, 0, 59)
    b.stitch("hd-pan-120", "unique", unique_out, 0, 59)
    one_thread = os.path.join(b.out, "hd-pan-median-1-thread.exr")
    b.stitch("hd-pan-120", "median", one_thread, 0, 59, threads=1)
    if not same_pixels(median_out, one_thread):
        raise Failure("the median with one thread differs from the median with every core")
    log("  tessellon --threads 1 and with every core: the same median, bit for bit")
    bound = b.stitch_bench("hd-pan-120", 59, {"median": median_out, "unique": unique_out},
                           "ReadCovered|CopyCanvas|CompositeMedian|CompositeUnique|Place|CopyFresh|CopyTouched", "hd-pan")
    roll_median = os.path.join(b.out, "hd-roll-median.exr")
    roll_unique = os.path.join(b.out, "hd-roll-unique.exr")
    b.stitch("hd-roll", "median", roll_median)
    b.stitch("hd-roll", "unique", roll_unique)
    roll = b.stitch_bench("hd-roll", None, {"median": roll_median, "unique": roll_unique}, "Place|CopyFresh/4k", "hd-roll")

    # -- phases ---------------------------------------------------------
    log("\n== phases (tessellon stitch --stats, median of %d runs)" % b.repeat)
    median_runs = b.stitches("hd-pan-120", "median", b.repeat, 0, 59)
    unique_runs = b.stitches("hd-pan-120", "unique", b.repeat, 0, 59)
    roll_runs = b.stitches("hd-roll", "median", min(3, b.repeat))

    # -- peers ------------------------------------------------------------
    log("\n== peers")
    peer_env = dict(os.environ)
    peer_env.pop("OPENBLAS_CORETYPE", None)
    peer_env.pop("OPENBLAS_L2_SIZE", None)
    peer = os.path.join(HERE, "peers", "numpy_median.py")
    numpy_args = [b.shot("hd-pan-120"), os.path.join(b.shot("hd-pan-120"), "track.csv"), "0", "59"]
    peers = {}
    for name, extra in (("numpy", []), ("numpy-banded", ["--band-rows", "32", "--exr-core"])):
        output = os.path.join(b.out, name + ".exr")
        seconds, peak, _ = run_measured(["/usr/bin/python3", peer] + extra + numpy_args + [output], env=peer_env)
        if not same_pixels(output, median_out):
            raise Failure("the %s peer's median differs from tessellon's" % name)
        peers[name] = {"wall": seconds, "peak": peak, "load": load()}
        log("  %s: %.1f s, peak %.2f GiB, the same median as tessellon bit for bit (load %s)" %
            (name, seconds, peak / 2**30, load()))
    layers = sorted(os.path.join(b.shot("im-layers"), f) for f in os.listdir(b.shot("im-layers")) if f.endswith(".exr"))
    im_out = os.path.join(b.out, "imagemagick.exr")
    # Debian's policy caps ImageMagick at 256 MiB of pixel cache; this run's
    # own policy lets it hold the layers in memory as it would on a desktop.
    policy = os.path.join(b.out, "imagemagick-policy")
    os.makedirs(policy, exist_ok=True)
    with open(os.path.join(policy, "policy.xml"), "w") as f:
        f.write("<policymap>\n" + "".join('  <policy domain="resource" name="%s" value="%s"/>\n' % kv for kv in (
            ("memory", "16GiB"), ("map", "16GiB"), ("area", "8GP"), ("width", "1MP"), ("height", "1MP"),
            ("disk", "32GiB"))) + "</policymap>\n")
    im_env = dict(os.environ, MAGICK_CONFIGURE_PATH=policy)
    seconds, peak, _ = run_measured(["/usr/bin/convert"] + layers + ["-evaluate-sequence", "median", im_out], env=im_env)
    peers["imagemagick"] = {"wall": seconds, "peak": peak, "load": load()}
    log("  ImageMagick -evaluate-sequence median: %.1f s, peak %.2f GiB (load %s)" % (seconds, peak / 2**30, load()))

    # -- scaling ------------------------------------------------------------
    count = min(3, b.repeat)
    log("\n== scaling (median of %d runs each)" % count)
    frames_scaling = []
    for n in (30, 60, 120):
        runs = b.stitches("hd-pan-120", "median", count, 0, n - 1)
        frames_scaling.append((n, runs))
    pan_scaling = [(1, median_runs)]
    for widths, shot in ((2, "hd-pan-x2"), (4, "hd-pan-x4")):
        pan_scaling.append((widths, b.stitches(shot, "median", count)))
    k4 = b.stitches("4k-pan", "median", count)

    log("\n== cat and OpenEXR's own library on the same files")
    perf = perf_figure(b, median_runs, roll_runs, k4, median_out, {"pan": bound["Place"], "roll": roll["Place"]})

    log("\n== bands (median of %d runs each)" % count)
    bands = bands_figure(b, count)
    farm = farm_figure(b, os.path.join(b.out, "hd-pan-one-pass.exr"))
    long_shot = None if args.no_long_shot else long_shot_figure(b)
    b.loads.append(load())

    data = {"perf": perf, "bands": bands, "farm": farm, "long_shot": long_shot, "bound": bound, "roll": roll,
            "median_runs": median_runs, "unique_runs": unique_runs,
            "roll_runs": roll_runs, "peers": peers, "frames_scaling": frames_scaling, "pan_scaling": pan_scaling,
            "k4": k4, "loads": b.loads, "repeat": b.repeat, "count": count, "cores": os.cpu_count(),
            "seconds": time.monotonic() - started}
    with open(measured, "w") as f:
        json.dump(data, f, indent=1)
    report(data, args.out)


def report(data, out):
    bound, roll, peers = data["bound"], data["roll"], data["peers"]
    median_runs, unique_runs, roll_runs = data["median_runs"], data["unique_runs"], data["roll_runs"]
    frames_scaling, pan_scaling, k4, count = data["frames_scaling"], data["pan_scaling"], data["k4"], data["count"]
    report = []
    w = report.append
    m = {k: median_of(median_runs, k) for k in ("wall", "reading", "decoding", "gathering", "placement",
                                                 "compositing", "releasing", "writing", "total", "peak_ratio")}
    u = {k: median_of(unique_runs, k) for k in ("wall", "compositing", "placement")}
    r = {k: median_of(roll_runs, k) for k in ("wall", "placement", "turning", "compositing")}
    first = median_runs[0]
    w("Measured on this machine: %d cores, load average %s at the start and %s at the end of the run "
      "(other work was running)." % (data["cores"], data["loads"][0], data["loads"][-1]))
    w("")
    w("| figure | measured | target |")
    w("|---|---|---|")
    w("| median compositing / read-only pass over the covered layer pixels | %.2f x (%.0f ms / %.0f ms; CPU time %.2f x) | within 3 x |"
      % (bound["CompositeMedian"] / bound["ReadCovered"], bound["CompositeMedian"], bound["ReadCovered"],
         bound["CompositeMedian:cpu"] / bound["ReadCovered:cpu"]))
    w("| unique compositing / copying the canvas's bytes | %.2f x (%.1f ms / %.1f ms; CPU time %.2f x) | within 3 x |"
      % (bound["CompositeUnique"] / bound["CopyCanvas"], bound["CompositeUnique"], bound["CopyCanvas"],
         bound["CompositeUnique:cpu"] / bound["CopyCanvas:cpu"]))
    w("| placement / single-thread copy of the frames into fresh memory (4 KiB pages) | %.2f x (%.0f ms / %.0f ms) | within 2 x |"
      % (bound["Place"] / bound["CopyFresh/4k"], bound["Place"], bound["CopyFresh/4k"]))
    w("| placement with a roll of up to 2 degrees / the same copy | %.2f x (%.0f ms / %.0f ms) | |"
      % (roll["Place"] / roll["CopyFresh/4k"], roll["Place"], roll["CopyFresh/4k"]))
    w("| copy into fresh memory: 4 KiB pages / huge pages / memory already touched | %.0f / %.0f / %.0f ms | |"
      % (bound["CopyFresh/4k"], bound["CopyFresh/2m"], bound["CopyTouched"]))
    for name, label in (("numpy", "numpy median peer (one dense stack)"),
                        ("numpy-banded", "numpy median peer (32-row bands, faster EXR reader)"),
                        ("imagemagick", "ImageMagick -evaluate-sequence median")):
        w("| `tessellon stitch --method median` faster than the %s | %.1f x (%.1f s / %.2f s) | at least 20 x |"
          % (label, peers[name]["wall"] / m["wall"], peers[name]["wall"], m["wall"]))
    w("| peak resident memory / (frames' pixel bytes x 2 + canvas bytes) | %.2f (%.2f GiB) | at most 1.2 |"
      % (m["peak_ratio"], median_of(median_runs, "peak") / 2**30))
    w("| pixel formats kept | HD: frames %s, canvas %s; 4K: frames %s, canvas %s | as the files |"
      % (first["frame_format"], first["canvas_format"], k4[0]["frame_format"], k4[0]["canvas_format"]))
    w("| files decoded per render | each %s; bytes read %.2f x the files' size; the tool waited for %d of its %d requests | once each |"
      % (first["decoded"], first["read_ratio"], first["waits"], first["requests"]))
    if "perf" in data:
        perf_rows(data["perf"], w)
    if "bands" in data:
        bands_rows(data["bands"], w)
    if data.get("farm"):
        farm_rows(data["farm"], w)
    if data.get("long_shot"):
        long_shot_rows(data["long_shot"], w)
    w("")
    w("Phases of `tessellon stitch --stats` on the HD pan (60 frames 1920 x 1080 float, canvas %s), "
      "median of %d runs, seconds:" % (first["canvas"], data["repeat"]))
    w("")
    w("| reading (decoding summed over threads) | gathering | placement | compositing | releasing | writing | total | peak memory |")
    w("|---|---|---|---|---|---|---|---|")
    w("| %.2f (%.2f) | %.2f | %.2f | median %.2f, unique %.2f | %.2f | %.2f | %.2f | %.2f GiB |"
      % (m["reading"], m["decoding"], m["gathering"], m["placement"], m["compositing"], u["compositing"],
         m["releasing"], m["writing"], m["total"], median_of(median_runs, "peak") / 2**30))
    w("| HD roll: | | %.2f, of it turning %.2f | median %.2f | | | %.2f | |"
      % (r["placement"], r["turning"], r["compositing"], r["wall"]))
    w("")
    w("Scaling, `tessellon stitch --method median`, median of %d runs:" % count)
    w("")
    w("| shot | frames | canvas | time | time per frame | peak memory | per frame | / (frames x 2 + canvas) |")
    w("|---|---|---|---|---|---|---|---|")
    rows = [("HD pan, %d frames" % n, runs) for n, runs in frames_scaling]
    rows += [("HD pan of %d frame width%s" % (widths, "s" if widths > 1 else ""), runs) for widths, runs in pan_scaling]
    rows += [("4K pan, half PIZ", k4)]
    for label, runs in rows:
        frames = runs[0]["frames"]
        wall = median_of(runs, "wall")
        peak = median_of(runs, "peak")
        w("| %s | %d | %s | %.2f s | %.0f ms | %.2f GiB | %.1f MiB | %.2f |"
          % (label, frames, runs[0]["canvas"], wall, 1000 * wall / frames, peak / 2**30, peak / frames / 2**20,
             median_of(runs, "peak_ratio")))
    w("")
    w("The whole run took %.0f s." % data["seconds"])
    text = "\n".join(report)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(text + "\n")
    log("\n== results (also in %s)\n" % os.path.join(out, "results.md"))
    log(text)


if __name__ == "__main__":
    try:
        main()
    except Failure as e:
        print("bench: " + str(e), file=sys.stderr)
        sys.exit(1)
