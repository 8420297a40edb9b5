#!/usr/bin/env bash
# Runs window_bench under a private Xvfb: Daziz.renderImage + Daziz.forceUpdate
# of a 960 x 544 frame against a plain memcpy of it in the same run, with the
# ratio and the peak memory. Usage: bench/run-window-bench.sh [build-folder]
set -euo pipefail
build=${1:-build}
bench=$build/bin/window_bench
[ -x "$bench" ] || { echo "build $bench first (cmake --build $build --target window_bench)"; exit 1; }

display=""
for n in $(seq 170 250); do
  [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
  Xvfb :$n -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do
    if xdpyinfo -display :$n >/dev/null 2>&1; then display=:$n; break; fi
    kill -0 $xvfb 2>/dev/null || break
    sleep 0.05
  done
  [ -n "$display" ] && break
  kill $xvfb 2>/dev/null || true
  wait $xvfb 2>/dev/null || true
done
[ -n "$display" ] || { echo "Xvfb did not start"; exit 1; }
trap 'kill $xvfb; wait $xvfb 2>/dev/null || true' EXIT

out=$(mktemp)
DISPLAY=$display /usr/bin/time -f "peak memory %M KiB" \
  "$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true >"$out" 2>&1
cat "$out"
python3 - "$out" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
def median(name):
    return float(re.search(name + r"_median\s+([\d.]+) ms", text).group(1))
frame, copy = median("BM_RenderImageForceUpdate"), median("BM_FrameMemcpy")
print(f"renderImage + forceUpdate {frame:.3f} ms (target <= 3 ms), memcpy {copy:.3f} ms, ratio {frame / copy:.1f}")
PY
rm -f "$out"
