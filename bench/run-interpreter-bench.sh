#!/usr/bin/env bash
# Compares the BrumeScript interpreter with Lua 5.4 on the benchmark pairs in
# bench/scripts (NAME.bs and NAME.lua, same algorithm, identical output), and
# optionally with the interpreter of an older revision.
#
# Builds the brumevale target in release mode into build-release (unless
# --no-build), runs every pair, checks that both sides print the same text,
# and prints median times, peak memory, their ratios and the targets.
#
# Usage: bench/run-interpreter-bench.sh [--runs N] [--no-build] [--baseline REV] [NAME...]
#   --runs N        runs per side and benchmark (default: $BENCH_RUNS or 5)
#   --no-build      use the existing build-release/bin/brumevale as it is
#   --baseline REV  also run every NAME.bs on brumevale built from git revision
#                   REV (exported with git archive and built in release mode in
#                   its own folder, reused while it holds a build of that
#                   commit), alternating with the other sides; adds the columns
#                   "base (s)" and "vs base" (this build's time over the
#                   baseline's) and the target of no pair being more than 5%
#                   slower. --no-build does not skip a missing baseline build.
#   NAME...         only these benchmarks (default: all of bench/scripts)
# Environment: LUA (default /usr/bin/lua5.4), BENCH_RUNS, BENCH_BUILD_DIR
# (default build-release in the repository root), BENCH_BASELINE_DIR (where
# baselines are built, one folder per commit; default build-baseline in the
# repository root).
#
# Exit status 0 unless a run fails or the outputs of a pair differ; missing a
# target is reported but never fails the command. Not a test: never run in CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

runs=${BENCH_RUNS:-5}
build=1
baseline_rev=
names=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --runs=*) runs=${1#--runs=}; shift ;;
    --no-build) build=0; shift ;;
    --baseline) baseline_rev=${2:?--baseline needs a git revision}; shift 2 ;;
    --baseline=*) baseline_rev=${1#--baseline=}; shift ;;
    -h|--help) sed -n '2,/^set /{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
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

# The machine is shared: never more than two compile jobs.
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2

build_brumevale() { # SOURCE_DIR BUILD_DIR
  cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DBV_TESTS=OFF >/dev/null
  cmake --build "$2" --target brumevale -j"$jobs" >/dev/null
}

build_dir=${BENCH_BUILD_DIR:-$root/build-release}
if [ "$build" = 1 ]; then
  build_brumevale "$root" "$build_dir"
fi
exe=$build_dir/bin/brumevale
if [ ! -x "$exe" ]; then
  echo "no executable at $exe (run without --no-build)" >&2
  exit 2
fi

baseline_args=()
if [ -n "$baseline_rev" ]; then
  if ! commit=$(git -C "$root" rev-parse --verify --quiet "$baseline_rev^{commit}"); then
    echo "--baseline: '$baseline_rev' is not a commit of $root" >&2
    exit 2
  fi
  base_dir=${BENCH_BASELINE_DIR:-$root/build-baseline}/$commit
  base_exe=$base_dir/build/bin/brumevale
  # The stamp is written only after a complete build, so an interrupted one
  # is redone rather than trusted.
  if [ ! -x "$base_exe" ] || [ "$(cat "$base_dir/built-commit" 2>/dev/null)" != "$commit" ]; then
    echo "building the baseline $baseline_rev ($commit) in $base_dir ..." >&2
    rm -rf "$base_dir/src" "$base_dir/built-commit"
    mkdir -p "$base_dir/src"
    git -C "$root" archive "$commit" | tar -x -C "$base_dir/src"
    build_brumevale "$base_dir/src" "$base_dir/build"
    echo "$commit" >"$base_dir/built-commit"
  fi
  baseline_args=(--baseline "$base_exe" --baseline-label "$baseline_rev, ${commit:0:12}")
fi

exec "$python" "$root/bench/interpreter_bench.py" --brumevale "$exe" --lua "$lua" \
  --scripts "$root/bench/scripts" --runs "$runs" ${baseline_args[@]+"${baseline_args[@]}"} \
  ${names[@]+"${names[@]}"}
