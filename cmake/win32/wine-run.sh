#!/usr/bin/env bash
# wine-run.sh <program.exe> [arguments...]: CTest's emulator for the Windows build. Runs the
# program under Wine with its output in a file, then prints it: programs that Wine starts on the
# side (the desktop, services) outlive the test and would otherwise hold CTest's pipe open.
set -u
output=$(mktemp)
wine "$@" >"$output" 2>&1 </dev/null
status=$?
cat "$output"
rm -f "$output"
exit $status
