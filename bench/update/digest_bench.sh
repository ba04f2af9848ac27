#!/usr/bin/env bash
# The update check's digest-ahead workers against md5sum -c of the same files, in one run
# (build-release/ from scripts/bench.sh), with the files in the page cache for both:
#  1. an install of 2,000 files totalling 1 GiB (the workers use every core);
#  2. one 1 GiB file (one stream: one core);
# and the driver's peak resident memory in both.
set -euo pipefail
bin=${BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build-release/bin}
work=$(mktemp -d /tmp/varne-digest-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

best_of_three() {  # prints the fastest of three runs' wall and processor seconds, and peak KiB
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null
    cat "$work/time"
  done | awk 'NR == 1 || $1 < w {w = $1; c = $2 + $3} $4 > m {m = $4} END {print w, c, m}'
}

compare() {  # compare <title> <target ratio>: the driver and md5sum -c on $work/files
  local ours reference
  (cd "$work/files" && md5sum -- * >"$work/sums")
  ours=$(cd "$work/files" && best_of_three "$bin/digest_driver" "$work/sums")
  reference=$(cd "$work/files" && best_of_three md5sum -c --quiet "$work/sums")
  echo "-- $1 on $(nproc) cores (load average $(cut -d' ' -f1 /proc/loadavg))"
  echo "$ours $reference $2" | awk '{
    printf "digest-ahead %.2fs (%.2fs of processor time), md5sum -c %.2fs (%.2fs): ratio %.2f (target at most %s)\n", $1, $2, $4, $5, $1 / $4, $7
    printf "digest-ahead peak resident memory: %d MiB (target below 64 MiB)\n", $3 / 1024 }'
}

mkdir -p "$work/files"
for i in $(seq 1 2000); do
  head -c 536870 /dev/urandom >"$work/files/file$i.bin"
done
compare "check of 2,000 files, 1 GiB" 0.6
rm -rf "$work/files"

mkdir -p "$work/files"
head -c 1073741824 /dev/urandom >"$work/files/big.bin"
compare "check of one 1 GiB file" 1.05
