#!/usr/bin/env bash
# Writing an install against the least such work costs, each measured in the same run on the same
# files from the same local nginx (build-release/ from scripts/bench.sh):
#  1. a fresh install of 2,000 files (1 GiB) into an empty folder, against its floor: the larger of
#     one curl fetching all 2,000 packages over kept-alive connections then a sync of what it
#     wrote, and an MD5 of all the bytes (target at most 1.5);
#  2. a fresh install of one 1 GiB file, against the larger of curl -o of its package then a sync
#     of it, and md5sum of it (target at most 1.25), with the engine's peak resident memory
#     (target below 64 MiB);
#  3. the check of the 2,000 files once current, against md5sum -c (target at most 0.6).
# Each figure is the best of three runs; the installs alternate with their floor, so that the
# disk's drift in sync times falls on both alike.
set -euo pipefail
bin=${BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build-release/bin}
work=$(mktemp -d /tmp/varne-install-bench.XXXXXX)
source "$(dirname "$0")/bench_lib.sh"
trap 'stop_nginx "$work/nginx"; rm -rf "$work"' EXIT
port=$((20000 + RANDOM % 20000))
files=${FILES:-2000}

seconds() {  # the wall time of a command, in seconds; its output goes nowhere
  local start end
  start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N)
  echo "$start $end" | awk '{print $2 - $1}'
}
ratio() { echo "$1 $2" | awk '{printf "%.2f", $1 / $2}'; }
larger() { echo "$1 $2" | awk '{print ($1 > $2) ? $1 : $2}'; }
best() { sort -g | head -n 1; }

# A package's address as the updater asks for it: each byte of the name as "%XX", and each
# character of that percent-encoded again.
package_url() {
  local encoded
  encoded=$(python3 -c 'import sys; print("".join("%25%{:02X}%{:02X}".format(*map(ord, "{:02X}".format(b))) for b in sys.argv[1].encode()))' "$1")
  echo "http://127.0.0.1:$port/filelist?file=$encoded&orgsize=$2"
}

engine_install() ( rm -rf "$work/install" && mkdir "$work/install" && cd "$work/install" && "$bin/update_driver" "http://127.0.0.1:$port/filelist" )
curl_fetch() ( rm -rf "$work/curl" && mkdir "$work/curl" && cd "$work/curl" && curl -sf -K "$work/curl.conf" && sync -f . )

cd "$work"
echo "-- fresh install of $files files, 1 GiB"
mkdir -p "$work/image"
size=$((1073741824 / files))
for i in $(seq 1 "$files"); do head -c "$size" /dev/urandom >"$work/image/file$i.bin"; done
"$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
start_nginx "$work/nginx" "access_log off;" "include $work/site/nginx-site.conf;"
for i in $(seq 1 "$files"); do
  printf 'url = "%s"\noutput = "p%d"\n' "$(package_url "file$i.bin" "$size")" "$i"
done >"$work/curl.conf"
for _ in 1 2 3; do
  seconds engine_install >>"$work/engine.times"
  seconds curl_fetch >>"$work/curl.times"
done
(cd "$work/image" && seconds md5sum file*.bin) >>"$work/md5.times"
(cd "$work/image" && seconds md5sum file*.bin) >>"$work/md5.times"
ours=$(best <"$work/engine.times")
fetch=$(best <"$work/curl.times")
digest=$(best <"$work/md5.times")
floor=$(larger "$fetch" "$digest")
diff -rq "$work/image" "$work/install" >/dev/null && same=identical || same=DIFFERENT
echo "engine ${ours}s; floor ${floor}s (curl -K and sync ${fetch}s, md5sum ${digest}s): ratio $(ratio "$ours" "$floor") (target at most 1.5); installed files $same"

echo "-- check of the $files files now current"
(cd "$work/install" && md5sum file*.bin >"$work/sums")
: >"$work/check.times" >"$work/md5c.times"
for _ in 1 2 3; do
  (cd "$work/install" && seconds "$bin/update_driver" "http://127.0.0.1:$port/filelist") >>"$work/check.times"
  (cd "$work/install" && seconds md5sum -c --quiet "$work/sums") >>"$work/md5c.times"
done
ours=$(best <"$work/check.times")
reference=$(best <"$work/md5c.times")
echo "engine ${ours}s, md5sum -c ${reference}s: ratio $(ratio "$ours" "$reference") (target at most 0.6)"
stop_nginx "$work/nginx"
rm -rf "$work/image" "$work/install" "$work/site" "$work/curl" "$work"/*.times

echo "-- fresh install of one 1 GiB file"
mkdir -p "$work/image"
head -c 1073741824 /dev/urandom >"$work/image/big.bin"
"$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
start_nginx "$work/nginx" "access_log off;" "include $work/site/nginx-site.conf;"
printf 'url = "%s"\noutput = "big.pkg"\n' "$(package_url big.bin 1073741824)" >"$work/curl.conf"
for _ in 1 2 3; do
  seconds engine_install >>"$work/engine.times"
  seconds curl_fetch >>"$work/curl.times"
done
(cd "$work/image" && seconds md5sum big.bin) >>"$work/md5.times"
(cd "$work/image" && seconds md5sum big.bin) >>"$work/md5.times"
ours=$(best <"$work/engine.times")
fetch=$(best <"$work/curl.times")
digest=$(best <"$work/md5.times")
floor=$(larger "$fetch" "$digest")
rm -rf "$work/install" && mkdir "$work/install"
rss=$(cd "$work/install" && /usr/bin/time -f %M "$bin/update_driver" "http://127.0.0.1:$port/filelist" 2>&1 >/dev/null | tail -n 1)
cmp -s "$work/image/big.bin" "$work/install/big.bin" && same=identical || same=DIFFERENT
echo "engine ${ours}s; floor ${floor}s (curl -o and sync ${fetch}s, md5sum ${digest}s): ratio $(ratio "$ours" "$floor") (target at most 1.25); installed file $same"
echo "engine peak resident memory: $((rss / 1024)) MiB (target below 64 MiB)"
