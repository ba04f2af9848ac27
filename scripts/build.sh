#!/usr/bin/env bash
# build.sh <folder> [cmake options...]: configures (once) and builds one build folder.
set -euo pipefail
folder=$1
shift
# Compiler cache: objects are keyed by paths relative to the checkout, so clean clones and work
# trees of the same commit share them.
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi
cmake -S . -B "$folder" -G Ninja "$@" >/dev/null
cmake --build "$folder" -j "$(nproc)"
