#!/usr/bin/env bash
# window_e2e.sh <linux-build> <windows-build>: the Windows updater's window under Wine. The Linux
# test program win32_window_test starts a private Xvfb without a window manager and a Wine prefix
# of its own, runs the Windows updater and the Windows sample game from <windows-build>/bin there,
# and checks screenshots pixel by pixel as the GTK window's tests do. The screenshots stay in
# <linux-build>/test-artifacts/window-win32/.
set -euo pipefail
linux=$(realpath "$1")
windows=$(realpath "$2")
echo "== the updater's window under Wine"
cmake --build "$linux" --target win32_window_test >/dev/null
VARNE_WINDOWS_BIN="$windows/bin" "$linux/bin/win32_window_test"
echo "screenshots: $linux/test-artifacts/window-win32/"
