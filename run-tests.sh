#!/usr/bin/env bash
# Builds BrumeVale and runs every test: the plain build, a sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer), the threaded tests under
# ThreadSanitizer and a bounded fuzzing pass. Every phase runs, and the
# command fails when any of them failed; the last line sums them up.
set -uo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh || exit 1

jobs=$(nproc)
summary=()
failed=0

# ctest's closing line "N% tests passed, F tests failed out of T" as P/T.
ctest_score() {
  sed -n 's/.*tests passed, \([0-9]*\) tests\{0,1\} failed out of \([0-9]*\).*/\1 \2/p' "$1" | tail -1 |
    awk '{ print $2 - $1 "/" $2 }'
}

# run_phase NAME BUILD_DIR CMAKE_OPTIONS CTEST_ENV CTEST_ARGS [BUILD_TARGET]
run_phase() {
  local name=$1 dir=$2 options=$3 environment=$4 selection=$5 target=${6:-all}
  echo "==== $name: build in $dir"
  local start=$SECONDS
  local log=$dir/ctest.log
  mkdir -p "$dir"
  # shellcheck disable=SC2086
  if ! { cmake -S . -B "$dir" $options >/dev/null && cmake --build "$dir" -j"$jobs" --target "$target"; }; then
    summary+=("$name build failed")
    failed=1
    return
  fi
  echo "==== $name: tests"
  # shellcheck disable=SC2086
  (cd "$dir" && env $environment ctest --output-on-failure -j"$jobs" $selection) 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  local score
  score=$(ctest_score "$log")
  summary+=("$name ${score:-0/0} ($((SECONDS - start)) s)")
  [ "$status" -eq 0 ] || failed=1
}

# The main build is the one build-and-run.sh makes, so neither rebuilds the other.
run_phase plain build "-DCMAKE_BUILD_TYPE=RelWithDebInfo" "" ""
# The benchmarks are compiled once, in the plain build; timing them under a
# sanitizer says nothing.
run_phase asan build-asan "-DCMAKE_BUILD_TYPE=Debug -DBV_SANITIZE=ON -DBV_BENCH=OFF" "ASAN_OPTIONS=detect_leaks=1" ""
# Threaded code (bands, audio, text jobs) again under ThreadSanitizer; only
# what those tests run is built.
run_phase tsan build-tsan "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBV_TSAN=ON" "TSAN_OPTIONS=halt_on_error=1" "-L threads" \
  threaded_tests

echo "==== fuzz"
fuzz_start=$SECONDS
fuzz_log=$(mktemp)
./tools/run-fuzzers.sh "${FUZZ_SECONDS:-8}" 2>&1 | tee "$fuzz_log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed=1
fuzz_score=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed: fuzz$/\1 \2/p' "$fuzz_log" | awk '{ print $1 "/" $1 + $2 }')
rm -f "$fuzz_log"
summary+=("fuzz ${fuzz_score:-failed} ($((SECONDS - fuzz_start)) s)")

line=$(IFS=,; echo "${summary[*]}")
echo "==== summary: ${line//,/, }"
exit "$failed"
