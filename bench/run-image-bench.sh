#!/usr/bin/env bash
# Times image compositing and filters as a game's script drives them
# (bench/image/blit_bench.bs through the real executable) beside plain C++
# references measured in the same run by image_bench (same build, same
# flags): memcpy of a frame and a one-thread per-pixel blend loop. Prints the
# times, their ratios against the targets, and the peak memory of each side.
#
# Usage: bench/run-image-bench.sh [--no-build]
#   --no-build   use the binaries already in the build folder
# Environment: BENCH_BUILD_DIR (default build-release in the repository root).
#
# Exit status 0 unless a run fails; a missed target is reported, never fatal.
# Not a test: never run in CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BENCH_BUILD_DIR:-$root/build-release}

build=1
case "${1:-}" in
  --no-build) build=0 ;;
  -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "unknown option: $1" >&2; exit 2 ;;
esac

if [ "$build" = 1 ]; then
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build_dir" -j2 --target brumevale image_bench >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build_dir/bin/image_bench" --write-pictures "$work"

/usr/bin/time -f '%M' -o "$work/cpp.mem" "$build_dir/bin/image_bench" > "$work/cpp.txt"
(cd "$work" && /usr/bin/time -f '%M' -o "$work/script.mem" "$build_dir/bin/brumevale" "$root/bench/image/blit_bench.bs") \
  > "$work/script.txt"

echo "== microseconds per call (best of 5 batches)"
cat "$work/cpp.txt" "$work/script.txt"
echo "== ratios and targets"
python3 - "$work/cpp.txt" "$work/script.txt" <<'PY'
import sys
t = {}
for name in sys.argv[1:]:
    for line in open(name):
        key, value = line.split()
        t[key] = float(value)
def ratio(label, a, b, target=None):
    r = t[a] / t[b]
    verdict = '' if target is None else ('  (target <= %g: %s)' % (target, 'met' if r <= target else 'MISSED'))
    print('%-44s %6.2f%s' % (label, r, verdict))
ratio('(a) opaque blit / memcpy', 'script_blit_opaque', 'reference_memcpy', 3)
ratio('(b) blended blit / one-thread blend loop', 'script_blit_blend', 'reference_blend_one_thread', 0.5)
ratio('(c) scaled+rotated blit / library on 1 thread', 'script_blit_scaled_rotated', 'cpp_blit_scaled_rotated_one_thread')
ratio('(d) bilinear x2 / library on 1 thread', 'script_bilinear_x2', 'cpp_bilinear_x2_one_thread')
ratio('    bilinearSolid / library on 1 thread', 'script_bilinear_solid', 'cpp_bilinear_solid_one_thread')
sprite = t['script_sprite_16x16']
print('%-44s %6.2f us  (target <= 2 us: %s)' % ('16x16 sprite blit from script', sprite, 'met' if sprite <= 2 else 'MISSED'))
PY
echo "== peak memory"
echo "C++ side:    $(cat "$work/cpp.mem") KiB"
echo "script side: $(cat "$work/script.mem") KiB"
