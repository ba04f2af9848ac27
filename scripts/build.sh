#!/usr/bin/env bash
# build.sh <folder> [cmake options...]: configures (once) and builds one build folder.
set -euo pipefail
folder=$1
shift
cmake -S . -B "$folder" -G Ninja "$@" >/dev/null
cmake --build "$folder" -j "$(nproc)"
