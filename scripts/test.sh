#!/usr/bin/env bash
# Every test: the format check, the unit and integration tests, the Windows programs and their
# tests under Wine, the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer and
# once more under ThreadSanitizer, and each fuzz target for FUZZ_SECONDS (default 60) seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

echo "== format"
scripts/format_check.sh

echo "== build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

# The plain tests first: a failure there is the most common one, and is reported soonest.
echo "== unit and integration tests"
ctest --test-dir build -j "$(nproc)" --output-on-failure --timeout 900
scripts/test_ratio.sh

echo "== the Windows programs, built with MinGW-w64 and tested under Wine"
scripts/test_windows.sh

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVARNE_SANITIZE=ON -DVARNE_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -L unit -j "$(nproc)" --output-on-failure --timeout 600

echo "== unit tests under ThreadSanitizer (the engine's threads, the client's abort, the servers)"
scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNE_SANITIZE=thread -DVARNE_BENCH=OFF
TSAN_OPTIONS=second_deadlock_stack=1 \
  ctest --test-dir build-tsan -L unit -j "$(nproc)" --output-on-failure --timeout 600

echo "== fuzz targets"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNE_FUZZ=ON
scripts/fuzz.sh build-fuzz "${FUZZ_SECONDS:-60}"

