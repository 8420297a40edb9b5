#!/usr/bin/env bash
# Text model speed: trains on a ~10 MB corpus of real text at orders 3 and 6
# and generates 1 MB from each model, in C++ (bench/text_bench.cpp) and in the
# plain Python reference (bench/text_reference.py), in the same invocation.
# Prints each side's figures, the ratios and the peak memory of each side.
#
#   bench/run-text-bench.sh [--no-build] [CORPUS]
#
# Without CORPUS, one is made from the text files on the machine (Vim's help,
# the common licences, package copyright files), cut at 10 MB. Targets:
# training >= 20x the reference at both orders and >= 50 MB/s at order 3,
# generation >= 5 MB/s, model memory within 3x of its states' and counts'
# bytes. Times are processor times. Informational: exits 0 unless a run fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build=1
if [[ "${1:-}" == "--no-build" ]]; then build=0; shift; fi
if (( build )); then
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBV_TESTS=OFF >/dev/null
  cmake --build build-release -j2 --target text_bench >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus=${1:-$work/corpus.txt}
if [[ -z "${1:-}" ]]; then
  { cat /usr/share/vim/vim*/doc/*.txt /usr/share/common-licenses/* /usr/share/doc/*/copyright 2>/dev/null || true; } |
    head -c 10000000 >"$corpus"
  while (( $(stat -c %s "$corpus") < 10000000 )); do cat "$corpus" "$corpus" | head -c 10000000 >"$work/more"; mv "$work/more" "$corpus"; done
fi

build-release/bin/text_bench "$corpus" 3 6 >"$work/ours.txt"
python3 bench/text_reference.py "$corpus" 3 6 >"$work/reference.txt"

python3 - "$work/ours.txt" "$work/reference.txt" <<'PY'
import sys

def parse(path):
    rows = {}
    for line in open(path):
        kind, *fields = line.split()
        values = dict(f.split("=") for f in fields)
        rows[(kind, values.get("order"))] = values
    return rows

ours, ref = parse(sys.argv[1]), parse(sys.argv[2])
print(f"corpus: {ours[('train', '3')]['bytes']} bytes")
print(f"{'':18} {'C++ MB/s':>10} {'Python MB/s':>12} {'ratio':>8}   target")
for order in ("3", "6"):
    for kind in ("train", "generate"):
        o, r = float(ours[(kind, order)]["mbps"]), float(ref[(kind, order)]["mbps"])
        target = {"train": ">= 20x" + (", >= 50 MB/s" if order == "3" else ""), "generate": ">= 5 MB/s"}[kind]
        print(f"{kind + ' order ' + order:18} {o:10.2f} {r:12.2f} {o / r:7.1f}x   {target}")
for order in ("3", "6"):
    t = ours[("train", order)]
    if (t["states"], t["transitions"]) != (ref[("train", order)]["states"], ref[("train", order)]["transitions"]):
        print(f"order {order}: the two models differ!")
    model, payload = int(t["model_bytes"]), int(t["payload_bytes"])
    print(f"model order {order}: {t['states']} states, {t['transitions']} transitions, {model / 1e6:.1f} MB held "
          f"for {payload / 1e6:.1f} MB of states and counts ({model / payload:.2f}x, target <= 3x)")
print(f"peak memory: C++ {int(ours[('peak', None)]['rss_kb']) / 1024:.0f} MiB, "
      f"Python {int(ref[('peak', None)]['rss_kb']) / 1024:.0f} MiB")
PY
