#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_FUZZ=ON -DBV_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)"
shopt -s nullglob
fuzzers=(build-fuzz/bin/fuzz_*)
for f in "${fuzzers[@]}"; do
  name=$(basename "$f")
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  echo "fuzzing $name for ${seconds}s"
  "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$corpus" 2>build-fuzz/$name.log \
    || { tail -50 build-fuzz/$name.log; exit 1; }
done
echo "${#fuzzers[@]} passed, 0 failed: fuzz"
