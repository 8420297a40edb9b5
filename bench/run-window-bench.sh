#!/usr/bin/env bash
# Runs window_bench under a private Xvfb: Daziz.renderImage + Daziz.forceUpdate
# of a 960 x 544 frame against a plain memcpy of it in the same run, with the
# ratios and the peak memory. Real time includes the X server's share of each
# upload, so it depends on how busy the machine is; cpu time is the process's own.
# Usage: bench/run-window-bench.sh [build-folder]
set -euo pipefail
build=${1:-build}
bench=$build/bin/window_bench
[ -x "$bench" ] || { echo "build $bench first (cmake --build $build --target window_bench)"; exit 1; }

# Xvfb picks a free display number itself and writes it to fd 3.
number=$(mktemp)
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$number" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 200); do
  grep -q . "$number" && break
  kill -0 $xvfb 2>/dev/null || break
  sleep 0.05
done
display=:$(head -n1 "$number")
rm -f "$number"
[ "$display" != ":" ] || { echo "Xvfb did not start"; kill $xvfb 2>/dev/null; exit 1; }
trap 'kill $xvfb; wait $xvfb 2>/dev/null || true' EXIT

out=$(mktemp)
DISPLAY=$display /usr/bin/time -f "peak memory %M KiB" \
  "$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true >"$out" 2>&1
cat "$out"
python3 - "$out" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
def median(name):
    m = re.search(name + r"_median\s+([\d.]+) ms\s+([\d.]+) ms", text)
    return float(m.group(1)), float(m.group(2))
(frame, frame_cpu), (copy, copy_cpu) = median("BM_RenderImageForceUpdate"), median("BM_FrameMemcpy")
compose, compose_cpu = median("BM_ComposeFrame")
print(f"renderImage + forceUpdate {frame:.3f} ms real, {frame_cpu:.3f} ms cpu (target <= 3 ms); "
      f"composition alone {compose:.3f} ms real, {compose_cpu:.3f} ms cpu")
print(f"memcpy of the frame {copy:.3f} ms real, {copy_cpu:.3f} ms cpu; ratio {frame / copy:.1f} real, "
      f"{frame_cpu / copy_cpu:.1f} cpu")
PY
rm -f "$out"
