#!/usr/bin/env bash
# Builds an optimised tree and runs every benchmark; each prints its ratio against its reference.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
for bench in bench/*/*_bench.sh build-release/bin/*_bench; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench"
done
