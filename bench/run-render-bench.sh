#!/bin/sh
# Builds the 3D view's benchmark in release mode into build-release/ and runs
# it: median frame times of the ray caster (step 4 and 2) and the projection
# renderer at 960 x 544 over 60 camera positions, the speed-up of two worker
# threads over one, and the peak memory. Usage: bench/run-render-bench.sh [rounds]
set -e
cd "$(dirname "$0")/.."
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBV_TESTS=OFF > /dev/null
cmake --build build-release -j2 --target render_bench > /dev/null
/usr/bin/time -f "peak memory: %M KiB" build-release/bin/render_bench "${1:-3}"
