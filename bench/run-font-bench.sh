#!/usr/bin/env bash
# Builds font_bench in release mode (unless --no-build) and compares the text
# renderer's glyph shapes and speed with the reference rasteriser of
# python3-freetype, on DejaVu Sans and a URW Type 1 font from Debian packages.
# Not a test: never run in CI.
#
# Usage: bench/run-font-bench.sh [--no-build]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BENCH_BUILD_DIR:-$root/build-release}
if [ "${1:-}" = --no-build ]; then
  shift
else
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBV_TESTS=OFF >/dev/null
  cmake --build "$build_dir" --target font_bench -j2 >/dev/null
fi
exec /usr/bin/python3 "$root/bench/font_quality.py" --bench "$build_dir/bin/font_bench" \
  --ttf /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf \
  --type1 /usr/share/fonts/type1/urw-base35/NimbusSans-Regular.t1 "$@"
