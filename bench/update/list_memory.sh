#!/usr/bin/env bash
# The peak memory of fetching and parsing a 256 MiB list of the shortest lines a list may hold
# ("1::<n>:1:x": each name once, since a list naming one file twice is refused), served by
# varne-release serve; the bound is twice the document plus 64 MiB. Prints
# the entries, a digest of every parsed field (equal across builds that parse alike) and the peak.
set -euo pipefail
source "$(dirname "$0")/one_file_site.sh"
one_file_site
# Whole lines only, at most 256 MiB.
{ seq 1 20000000 | awk '{print "1::" $1 ":1:x"}' || true; } | head -c $((256 << 20)) | sed '$d' \
  >"$work/site/filelist"
serve_site
/usr/bin/time -v "$bin/list_driver" "http://127.0.0.1:$port/filelist" 2>"$work/time" |
  sed 's/^/list_driver: /'
awk -F': ' '/Maximum resident/ {printf "peak resident memory: %.0f MiB (bound: %d MiB)\n", $2 / 1024, 2 * 256 + 64}' \
  "$work/time"
