#!/usr/bin/env bash
# Compares the BrumeScript interpreter with Lua 5.4 on the benchmark pairs in
# bench/scripts (NAME.bs and NAME.lua, same algorithm, identical output).
#
# Builds the brumevale target in release mode into build-release (unless
# --no-build), runs every pair, checks that both sides print the same text,
# and prints median times, peak memory, their ratios and the targets.
#
# Usage: bench/run-interpreter-bench.sh [--runs N] [--no-build] [NAME...]
#   --runs N     runs per side and benchmark (default: $BENCH_RUNS or 5)
#   --no-build   use the existing build-release/bin/brumevale as it is
#   NAME...      only these benchmarks (default: all of bench/scripts)
# Environment: LUA (default /usr/bin/lua5.4), BENCH_RUNS, BENCH_BUILD_DIR
# (default build-release in the repository root).
#
# Exit status 0 unless a run fails or the outputs of a pair differ; missing a
# target is reported but never fails the command. Not a test: never run in CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

runs=${BENCH_RUNS:-5}
build=1
names=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --runs=*) runs=${1#--runs=}; shift ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) names+=("$1"); shift ;;
  esac
done

lua=${LUA:-/usr/bin/lua5.4}
if ! command -v "$lua" >/dev/null 2>&1; then
  echo "Lua 5.4 not found at $lua; install it (apt-get install -y lua5.4) or set LUA" >&2
  exit 2
fi
python=/usr/bin/python3
[ -x "$python" ] || python=python3

build_dir=${BENCH_BUILD_DIR:-$root/build-release}
if [ "$build" = 1 ]; then
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBV_TESTS=OFF >/dev/null
  cmake --build "$build_dir" --target brumevale -j"$(nproc)" >/dev/null
fi
exe=$build_dir/bin/brumevale
if [ ! -x "$exe" ]; then
  echo "no executable at $exe (run without --no-build)" >&2
  exit 2
fi

exec "$python" "$root/bench/interpreter_bench.py" --brumevale "$exe" --lua "$lua" \
  --scripts "$root/bench/scripts" --runs "$runs" ${names[@]+"${names[@]}"}
