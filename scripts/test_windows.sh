#!/usr/bin/env bash
# test_windows.sh: builds the Windows programs and unit tests with MinGW-w64 (build-mingw) and runs
# the tests under Wine, in a Wine prefix of their own that is made once per run and removed after.
# Tests that rely on Linux alone (its tools, its path form) are left out by
# tests/windows/linux_only_tests.txt, one gtest pattern per line with the reason. Then the end-to-end
# tests, run against the Windows programs.
set -euo pipefail
cd "$(dirname "$0")/.."
# A private X server, so that Wine can show windows (the window tests skip without one).
if [ -z "${DISPLAY:-}" ] && [ -z "${VARNE_UNDER_XVFB:-}" ] && command -v xvfb-run >/dev/null; then
  VARNE_UNDER_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
scripts/deps.sh

echo "== build the Windows programs and tests"
scripts/build.sh build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DVARNE_CROSS_CHECK=OFF
prefix=$(mktemp -d /tmp/varne-wine.XXXXXX)
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$prefix"
}
trap cleanup EXIT

echo "== start Wine in a fresh prefix"
# One server for the whole run: the first start of a prefix (wineboot) is the slow part.
wineserver -p
wineboot --init >/dev/null 2>&1

echo "== unit tests under Wine"
filter=$(awk '!/^#/ && NF { print $1 }' tests/windows/linux_only_tests.txt | paste -sd: -)
GTEST_FILTER="-${filter}" ctest --test-dir build-mingw -L unit -j "$(nproc)" --output-on-failure \
  --timeout 600

echo "== the end-to-end tests against the Windows programs under Wine"
# The Linux test programs run the Windows build's programs where VARNE_WINDOWS_BIN names them; the
# servers and the tools around them stay Linux's. The window test makes a Wine prefix of its own.
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
export VARNE_WINDOWS_BIN=$PWD/build-mingw/bin
build/bin/updater_e2e_test
build/bin/update_e2e_test --gtest_filter='ReleaseToolTest.*'
build/bin/vpk_test
build/bin/win32_window_test
echo "the window's screenshots: build/test-artifacts/window-win32/"
