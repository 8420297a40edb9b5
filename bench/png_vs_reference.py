#!/usr/bin/python3
"""Compares our PNG decoding throughput with PIL's on the same files.

    /usr/bin/python3 bench/png_vs_reference.py [path/to/png_bench]

Run it with Debian's Python (it needs python3-pil). png_bench defaults to
build/bin/png_bench. The files are a spread of PngSuite images plus one
1024x1024 synthetic picture twice: as written by our writer (stored deflate
blocks) and as re-saved by PIL with real compression.

Throughput is RGBA8 output bytes per second, in MB/s (10^6), for both sides:
ours decodes to RGBA8; PIL is timed opening, decoding and converting to RGBA
(the same result), and also decoding alone (its native mode) for reference.
The ratio is ours / PIL-to-RGBA.
"""
import io
import json
import os
import subprocess
import sys
import tempfile
import time

from PIL import Image

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUITE = os.path.join(ROOT, "..", "shared", "testdata", "pngsuite")
SUITE_FILES = ["basn0g08", "basn0g16", "basn2c08", "basn2c16", "basn3p08", "basn4a08", "basn4a16", "basn6a08",
               "basn6a16", "basi6a08", "basi2c16", "f04n2c08", "z00n2c08", "z09n2c08", "ps2n2c16", "tbwn0g16"]


def ours(bench, files):
    out = subprocess.run([bench, "--benchmark_format=json", "--benchmark_min_time=0.3"] + files,
                         check=True, capture_output=True, text=True).stdout
    return {b["name"].split("/", 1)[1]: b["bytes_per_second"] / 1e6 for b in json.loads(out)["benchmarks"]}


def pil_rate(data, to_rgba, seconds=0.3):
    def once():
        im = Image.open(io.BytesIO(data))
        im.load()
        if to_rgba and im.mode != "RGBA":
            im = im.convert("RGBA")
        return im.size

    width, height = once()
    runs, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        once()
        runs += 1
    elapsed = time.perf_counter() - start
    return runs * width * height * 4 / elapsed / 1e6


def main():
    bench = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "bin", "png_bench")
    with tempfile.TemporaryDirectory() as tmp:
        stored = os.path.join(tmp, "synthetic1024-stored.png")
        deflated = os.path.join(tmp, "synthetic1024-deflate.png")
        subprocess.run([bench, "--write-synthetic", stored], check=True)
        Image.open(stored).save(deflated, compress_level=6)
        files = [os.path.join(SUITE, name + ".png") for name in SUITE_FILES] + [stored, deflated]

        our_rates = ours(bench, files)
        print(f"{'file':28} {'bytes':>9} {'ours MB/s':>10} {'PIL MB/s':>10} {'ratio':>6}   {'PIL decode-only MB/s':>20}")
        total_ours = total_pil = 0.0
        for path in files:
            name = os.path.basename(path)
            with open(path, "rb") as f:
                data = f.read()
            mine = our_rates[name]
            theirs = pil_rate(data, to_rgba=True)
            native = pil_rate(data, to_rgba=False)
            total_ours += 1 / mine
            total_pil += 1 / theirs
            print(f"{name:28} {len(data):9} {mine:10.1f} {theirs:10.1f} {mine / theirs:6.2f}   {native:20.1f}")
        # Harmonic means: the rate of decoding one output byte of each file in turn.
        n = len(files)
        print(f"{'harmonic mean':28} {'':9} {n / total_ours:10.1f} {n / total_pil:10.1f} "
              f"{total_pil / total_ours:6.2f}")
        print("(the PngSuite images are 32x32 or so: there PIL's figures are mostly per-call overhead;"
              " the 1024x1024 rows compare the decoders themselves)")


if __name__ == "__main__":
    main()
