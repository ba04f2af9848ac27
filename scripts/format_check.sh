#!/usr/bin/env bash
# Fails, naming the files, when a tracked C++ file differs from what clang-format makes of it
# (.clang-format: Google style, 100 columns).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! report=$(git ls-files -z -- '*.cc' '*.h' | xargs -0 clang-format --dry-run --Werror 2>&1); then
  echo "not formatted (run clang-format -i on them):" >&2
  grep -o '^[^: ]*:[0-9]*:[0-9]*: error' <<<"$report" | cut -d: -f1 | sort -u | sed 's/^/  /' >&2
  exit 1
fi
echo "clang-format: every C++ file formatted"
