#!/usr/bin/env bash
# varne-release build with block data against the same build with --no-blocks, in one run, on one
# 1 GiB image (three files of 256, 192 and 64 MiB and 2,000 files of 256 KiB). Each
# build starts from an empty site and the image in the page cache.
# Prints both times, their ratio (target at most 1.20) and the block files' share of the image.
set -euo pipefail
bin=${BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build-release/bin}
work=$(mktemp -d "${BENCH_DIR:-/tmp}/varne-blocks-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/image/big"
head -c $((256 << 20)) /dev/urandom >"$work/image/big/a.pak"
head -c $((192 << 20)) /dev/urandom >"$work/image/big/b.pak"
head -c $((64 << 20)) /dev/urandom >"$work/image/big/c.pak"
for folder in $(seq -w 0 19); do
  mkdir -p "$work/image/small$folder"
  for file in $(seq -w 0 99); do
    head -c $((256 << 10)) /dev/urandom >"$work/image/small$folder/f$file.dat"
  done
done
cat "$work"/image/*/* >/dev/null  # into the page cache

build() {  # build <options>: wall and processor seconds of one build into an empty site
  rm -rf "$work/site"
  /usr/bin/time -f "%e %U %S" -o "$work/time" "$bin/varne-release" build "$work/image" \
    "$work/site" "$@" >/dev/null
  awk '{print $1, $2 + $3}' "$work/time"
}

# The two kinds of build take turns, so that a neighbour's load falls on both alike; the fastest
# of five of each counts.
for _ in 1 2 3 4 5; do
  build >>"$work/with"
  build --no-blocks >>"$work/without"
done
read -r with with_cpu < <(sort -n "$work/with" | head -1)
read -r without without_cpu < <(sort -n "$work/without" | head -1)
rm -rf "$work/site"
"$bin/varne-release" build "$work/image" "$work/site" >/dev/null
image_bytes=$(du -sb "$work/image" | cut -f1)
block_bytes=$(($(stat -c %s "$work/site/filelist.blocks") + $(stat -c %s "$work/site/filelist.fine")))
echo "-- $(nproc) cores (load average $(cut -d' ' -f1 /proc/loadavg))"
awk -v w="$with" -v n="$without" -v wc="$with_cpu" -v nc="$without_cpu" -v b="$block_bytes" \
  -v i="$image_bytes" 'BEGIN {
  printf "build with block data %.2fs (%.2fs of processor time), --no-blocks %.2fs (%.2fs)\n", w, wc, n, nc
  printf "ratio %.2f (target at most 1.20)\n", w / n
  printf "block files %d bytes: %.3f%% of the image\n", b, 100 * b / i }'
