#!/usr/bin/env bash
# Prints how large the tests are against the code, in non-blank lines. Tests: *_test.cc, tests/,
# src/*/testing/ and fuzz/; code: every other .cc/.h under src/ and tools/.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { xargs -r grep -v -c -E '^\s*$' | awk -F: '{s += $NF} END {print s + 0}'; }
tests=$(git ls-files -- src tools tests fuzz | grep -E '\.(cc|h|py|sh)$' |
  grep -E '(_test\.cc$|^tests/|/testing/|^fuzz/)' | count)
code=$(git ls-files -- src tools | grep -E '\.(cc|h)$' | grep -v -E '(_test\.cc$|/testing/)' | count)
awk -v t="$tests" -v c="$code" 'BEGIN {printf "test lines %d, code lines %d, ratio %.3f\n", t, c, t / c}'
