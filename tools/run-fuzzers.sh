#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
# Every target runs; the last line counts those that passed and failed.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
if ! { CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_FUZZ=ON -DBV_TESTS=OFF >/dev/null &&
  cmake --build build-fuzz -j"$(nproc)" --target fuzzers; }; then
  echo "0 passed, 1 failed: fuzz"
  exit 1
fi
shopt -s nullglob
fuzzers=(build-fuzz/bin/fuzz_*)

# fuzz_one TARGET: runs it on its corpus; on failure shows the end of its log.
fuzz_one() {
  local f=$1 name
  name=$(basename "$f")
  mkdir -p "build-fuzz/corpus/$name"
  echo "fuzzing $name for ${seconds}s"
  if "$f" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
    "build-fuzz/corpus/$name" 2>"build-fuzz/$name.log"; then
    return 0
  fi
  tail -50 "build-fuzz/$name.log"
  return 1
}

# One target per core at a time: each fuzzer is single-threaded.
passed=0
failed=0
running=0
cores=$(nproc)
# Counts the next target to finish.
reap_one() {
  if wait -n; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  running=$((running - 1))
}
for f in "${fuzzers[@]}"; do
  [ "$running" -lt "$cores" ] || reap_one
  fuzz_one "$f" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do reap_one; done
echo "$passed passed, $failed failed: fuzz"
[ "$failed" -eq 0 ]
