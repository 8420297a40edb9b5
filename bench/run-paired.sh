#!/usr/bin/env bash
# Compares two brumevale executables on benchmark scripts by running them at
# the same moment, one on each of two cores, and swapping the cores every
# round. On a shared or virtual machine whose speed drifts from one minute to
# the next, the drift then falls on both sides alike: sequential runs of one
# executable can differ by 10%, paired runs by about 2%.
#
# Usage: bench/run-paired.sh A B [--rounds N] [NAME...]
#   A, B        the executables to compare (B's time over A's is printed)
#   --rounds N  pairs of runs per benchmark (default 10)
#   NAME...     benchmarks of bench/scripts (default: statemachine behaviours)
# Needs two cores and taskset (util-linux). Not a test: never run in CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
a=${1:?usage: run-paired.sh A B [--rounds N] [NAME...]}
b=${2:?usage: run-paired.sh A B [--rounds N] [NAME...]}
shift 2
rounds=10
names=()
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    *) names+=("$1"); shift ;;
  esac
done
[ ${#names[@]} -gt 0 ] || names=(statemachine behaviours)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# user_seconds CORE EXE SCRIPT OUT: the run's user time in seconds, into OUT.
user_seconds() {
  /usr/bin/time -f "%U" -o "$4" taskset -c "$1" "$2" "$3" >/dev/null
}

printf '%-14s %10s %10s %8s\n' benchmark "A (s)" "B (s)" "B/A"
for name in "${names[@]}"; do
  script=$root/bench/scripts/$name.bs
  total_a=0 total_b=0
  for round in $(seq "$rounds"); do
    core_a=$((round % 2)) core_b=$(((round + 1) % 2))
    user_seconds "$core_a" "$a" "$script" "$scratch/a" &
    user_seconds "$core_b" "$b" "$script" "$scratch/b" &
    wait
    total_a=$(awk -v t="$total_a" '{ print t + $1 }' "$scratch/a")
    total_b=$(awk -v t="$total_b" '{ print t + $1 }' "$scratch/b")
  done
  awk -v n="$name" -v a="$total_a" -v b="$total_b" 'BEGIN { printf "%-14s %10.2f %10.2f %8.3f\n", n, a, b, b / a }'
done
