#!/usr/bin/env bash
# Every test, the fast checks first: the format check, the unit tests, the integration tests, the
# unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer and once more under
# ThreadSanitizer, the Windows programs and their tests under Wine, and each fuzz target for
# FUZZ_SECONDS (default 60) seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each stage says its name; the first that fails ends the run and is named again at the end.
stage() {
  current=$1
  echo "== $1"
}
trap 'echo "scripts/test.sh: the stage \"$current\" failed" >&2' ERR
current="dependencies"
scripts/deps.sh

stage "format"
scripts/format_check.sh

stage "build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo

stage "unit tests"
ctest --test-dir build -L unit -j "$(nproc)" --output-on-failure --timeout 600

stage "integration tests"
ctest --test-dir build -L integration -j "$(nproc)" --output-on-failure --timeout 900
scripts/test_ratio.sh

stage "unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DVARNE_SANITIZE=ON -DVARNE_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan -L unit -j "$(nproc)" --output-on-failure --timeout 600

stage "unit tests under ThreadSanitizer (the engine's threads, the client's abort, the servers)"
scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNE_SANITIZE=thread -DVARNE_BENCH=OFF
TSAN_OPTIONS="second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp" \
  ctest --test-dir build-tsan -L unit -j "$(nproc)" --output-on-failure --timeout 600

stage "the Windows programs, built with MinGW-w64 and tested under Wine"
scripts/test_windows.sh

stage "fuzz targets"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNE_FUZZ=ON
scripts/fuzz.sh build-fuzz "${FUZZ_SECONDS:-60}"
