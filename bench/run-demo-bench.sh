#!/usr/bin/env bash
# Runs the demo's own frames on the autopilot under a private Xvfb: the median
# and 95th-percentile frame time of 300 frames, and the memory growth over a
# long run (10,000 frames by default; LONG_FRAMES=N to change).
# Usage: bench/run-demo-bench.sh [--no-build]
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${1:-}" = "--no-build" ] || {
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBV_TESTS=OFF >/dev/null
  cmake --build build-release -j"$(nproc)" --target brumevale resources >/dev/null
}
script=$(mktemp --suffix=.bs)
trap 'rm -f "$script"' EXIT
{
  echo "GAME_DIR = '$PWD/Resources/'"
  echo "FRAMES = 300"
  echo "LONG_FRAMES = ${LONG_FRAMES:-10000}"
  cat bench/demo_bench.bs
} >"$script"
xvfb-run -a -s "-screen 0 960x544x24" build-release/bin/brumevale "$script"
