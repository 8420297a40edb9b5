#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Every target runs; the last line counts those that passed and failed.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
if ! { CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_FUZZ=ON -DBV_TESTS=OFF >/dev/null &&
  cmake --build build-fuzz -j"$(nproc)"; }; then
  echo "0 passed, 1 failed: fuzz"
  exit 1
fi
shopt -s nullglob
fuzzers=(build-fuzz/bin/fuzz_*)
passed=0
failed=0
for f in "${fuzzers[@]}"; do
  name=$(basename "$f")
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  echo "fuzzing $name for ${seconds}s"
  if "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 "$corpus" \
    2>"build-fuzz/$name.log"; then
    passed=$((passed + 1))
  else
    tail -50 "build-fuzz/$name.log"
    failed=$((failed + 1))
  fi
done
echo "$passed passed, $failed failed: fuzz"
[ "$failed" -eq 0 ]
