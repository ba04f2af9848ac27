#!/usr/bin/env bash
# varne-release build with block data against the same build with --no-blocks, in one run, on one
# 1 GiB image (three files of 256, 192 and 64 MiB and 2,000 files of 256 KiB). Each
# build starts from an empty site and the image in the page cache; the fastest of three counts.
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

fastest() {  # fastest <options>: the fastest wall time of three builds into an empty site
  for _ in 1 2 3; do
    rm -rf "$work/site"
    /usr/bin/time -f "%e" -o "$work/time" "$bin/varne-release" build "$work/image" "$work/site" \
      "$@" >/dev/null
    cat "$work/time"
  done | sort -n | head -1
}

with=$(fastest)
without=$(fastest --no-blocks)
rm -rf "$work/site"
"$bin/varne-release" build "$work/image" "$work/site" >/dev/null
image_bytes=$(du -sb "$work/image" | cut -f1)
block_bytes=$(($(stat -c %s "$work/site/filelist.blocks") + $(stat -c %s "$work/site/filelist.fine")))
echo "-- $(nproc) cores (load average $(cut -d' ' -f1 /proc/loadavg))"
awk -v w="$with" -v n="$without" -v b="$block_bytes" -v i="$image_bytes" 'BEGIN {
  printf "build with block data %.2fs, --no-blocks %.2fs: ratio %.2f (target at most 1.20)\n", w, n, w / n
  printf "block files %d bytes: %.3f%% of the image\n", b, 100 * b / i }'
