#!/usr/bin/env python3
"""Glyph shapes and speed of the engine's text renderer next to a reference
rasteriser (python3-freetype, hinting off), measured in the same run.

For each font and size, every glyph of the sample text is rasterised by both.
A glyph's box is the box of its solid pixels, those at least half covered:
coverage 127 or more, which is how both rasterisers write one half (255 / 2,
truncated; for the engine, 8 of its 16 samples). The engine's coverage comes in
sixteenths, so its "half" stands for a true coverage anywhere near 50%; cutting
at 128 would drop every row of a stroke edge that lies a little past a quarter
pixel. The boxes must agree within one pixel on every side.

The masks are the coverage bitmaps, each placed by its own bitmap box (left and
top from the pen, which both rasterisers measure from the same origin), and
their IoU is the sum of the smaller coverage over the sum of the larger. The
IoU of the solid pixels alone is printed too: there, a two-pixel stroke whose
edges sit near half pixels flips whole rows, since sixteen samples cannot tell
50% from 54%. Glyphs that only one side draws are counted apart (the engine
draws Type 1 glyphs made of lines only).

Usage: font_quality.py --bench build/bin/font_bench --ttf FONT --type1 FONT
"""
import argparse
import json
import os
import subprocess
import time

import freetype

SAMPLE = ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
          "!\"#$%&'()*+,-./:;<=>?@[\\]^_{|}~")
LINE = "Score 1250  Lives 3  Level 7: Misty Vale"
SIZES = (12, 24, 48)
SOLID = 255 // 2  # half covered
peak_kib = 0


def run(command):
    """Runs the engine's program; returns its output and records its peak memory."""
    global peak_kib
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    output = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise SystemExit(f"{command[0]} failed with status {child.returncode}")
    peak_kib = max(peak_kib, usage.ru_maxrss)
    return output


def engine_glyphs(bench, font, size, text):
    out = run([bench, "--glyphs", font, str(size), text]).splitlines()
    glyphs, i = [], 0
    while i < len(out):
        _, cp, left, top, width, height, _ = out[i].split()
        left, top, width, height = int(left), int(top), int(width), int(height)
        rows = [bytes.fromhex(out[i + 1 + r]) for r in range(height)]
        glyphs.append((chr(int(cp)), left, top, rows))
        i += 1 + height
    return glyphs


def reference_glyph(face, ch):
    face.load_char(ch, freetype.FT_LOAD_NO_HINTING | freetype.FT_LOAD_RENDER | freetype.FT_LOAD_NO_BITMAP)
    slot = face.glyph
    bm = slot.bitmap
    rows = [bytes(bm.buffer[r * bm.pitch: r * bm.pitch + bm.width]) for r in range(bm.rows)]
    return slot.bitmap_left, slot.bitmap_top, rows


def coverage_mask(left, top, rows):
    """Covered pixels as {(x, y): coverage} with y counted down from the baseline."""
    return {(left + c, r - top): v for r, row in enumerate(rows) for c, v in enumerate(row) if v}


def solid(mask):
    return {p for p, v in mask.items() if v >= SOLID}


def box(mask):
    xs = [x for x, _ in mask]
    ys = [y for _, y in mask]
    return min(xs), min(ys), max(xs), max(ys)


def overlap(a, b):
    return len(a & b) / len(a | b)


def coverage_iou(a, b):
    keys = a.keys() | b.keys()
    return sum(min(a.get(k, 0), b.get(k, 0)) for k in keys) / sum(max(a.get(k, 0), b.get(k, 0)) for k in keys)


def summary(pairs):
    pairs = sorted(pairs) or [(0, "-")]
    return sum(i for i, _ in pairs) / len(pairs), pairs[0]


def compare(bench, font, size):
    face = freetype.Face(font)
    face.set_char_size(int(size * 64), 0, 72, 72)
    stats = {"glyphs": 0, "both": 0, "engine_only": 0, "reference_only": 0, "box_off": [], "ious": [], "solid": []}
    for ch, left, top, rows in engine_glyphs(bench, font, size, SAMPLE):
        stats["glyphs"] += 1
        our_coverage = coverage_mask(left, top, rows)
        their_coverage = coverage_mask(*reference_glyph(face, ch))
        ours = solid(our_coverage)
        theirs = solid(their_coverage)
        if not ours or not theirs:
            if ours:
                stats["engine_only"] += 1
            elif theirs:
                stats["reference_only"] += 1
            continue
        stats["both"] += 1
        off = max(abs(p - q) for p, q in zip(box(ours), box(theirs)))
        if off > 1:
            stats["box_off"].append((ch, off))
        stats["ious"].append((coverage_iou(our_coverage, their_coverage), ch))
        stats["solid"].append((overlap(ours, theirs), ch))
    return stats


def reference_cold_time(font, runs=300):
    """CPU time per line: the machine is shared, so wall time says little."""
    face = freetype.Face(font)
    start = time.process_time()
    for _ in range(runs):
        face.set_char_size(24 * 64, 0, 72, 72)
        for ch in LINE:
            face.load_char(ch, freetype.FT_LOAD_NO_HINTING | freetype.FT_LOAD_RENDER | freetype.FT_LOAD_NO_BITMAP)
    return (time.process_time() - start) / runs * 1e6


def engine_times(bench, font):
    out = run([bench, font, "--benchmark_format=json", "--benchmark_repetitions=5",
               "--benchmark_report_aggregates_only=true"])
    times = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            times[b["run_name"]] = b["cpu_time"]
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bench", required=True)
    parser.add_argument("--ttf", required=True)
    parser.add_argument("--type1", required=True)
    args = parser.parse_args()
    ok = True
    print("glyph shapes against the reference (boxes of solid pixels; IoU of the coverage masks, each placed by its box)")
    for font in (args.ttf, args.type1):
        for size in SIZES:
            s = compare(args.bench, font, size)
            mean, worst = summary(s["ious"])
            print(f"  {font.rsplit('/', 1)[-1]:28} {size:2d} px: {s['both']:3d} glyphs compared "
                  f"(engine only {s['engine_only']}, reference only {s['reference_only']}), "
                  f"boxes off by >1 px: {len(s['box_off'])} {s['box_off'][:5]}, "
                  f"IoU mean {mean:.3f} worst {worst[0]:.3f} ({worst[1]!r})")
            m, w = summary(s["solid"])
            print(f"      IoU of the solid pixels alone: mean {m:.3f} worst {w[0]:.3f} ({w[1]!r})")
            if s["box_off"]:
                ok = False
            if size >= 24 and (mean < 0.9 or worst[0] < 0.8):
                ok = False
    print("speed, 40-character line at 24 px (CPU time; engine: median of 5 runs, reference: mean of 300 cold renders)")
    for font in (args.ttf, args.type1):
        times = engine_times(args.bench, font)
        warm = times["render_warm_24px_40chars"]
        cold = times["render_cold_24px_40chars"]
        ref = reference_cold_time(font)
        print(f"  {font.rsplit('/', 1)[-1]:28} warm {warm:8.1f} us (target <= 200 us)   cold {cold:8.1f} us   "
              f"reference cold {ref:8.1f} us   cold ratio {cold / ref:.2f} (target <= 3)")
        if font == args.ttf and (warm > 200 or cold > 3 * ref):
            ok = False
    print(f"peak memory of the engine's runs: {peak_kib / 1024:.1f} MiB")
    print("all targets met" if ok else "some target missed")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
