#!/usr/bin/env bash
# The update engine against its references, in one run (build-release/ from scripts/bench.sh):
#  1. checking an install of 2,000 files (1 GiB) that is already current, against md5sum -c; then
#     installing those files into an empty folder from a signed release, against the same release
#     unsigned (the cost of checking signatures and SHA-256 digests), and checking them once current
#     signed against unsigned (a signed check digests each file with SHA-256 instead of MD5);
#  2. downloading and installing one 1 GiB file from a local nginx, against curl -o of the same
#     package and against curl -o followed by md5sum and sync of the file (the least a checked,
#     durable install costs), with the engine's peak resident memory.
set -euo pipefail
bin=${BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build-release/bin}
work=$(mktemp -d /tmp/varne-update-bench.XXXXXX)
source "$(dirname "$0")/bench_lib.sh"
trap 'stop_nginx "$work/nginx"; rm -rf "$work"' EXIT

port=$((20000 + RANDOM % 20000))

echo "-- check of 2,000 current files, 1 GiB"
mkdir -p "$work/image" "$work/install"
for i in $(seq 1 2000); do
  head -c 536870 /dev/urandom >"$work/image/file$i.bin"
done
"$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
cp -r "$work/image/." "$work/install/"
(cd "$work/install" && md5sum file*.bin >"$work/sums")
start_nginx "$work/nginx" "access_log off;" "include $work/site/nginx-site.conf;"
ours=$(cd "$work/install" && best_of_three "$bin/update_driver" "http://127.0.0.1:$port/filelist")
reference=$(cd "$work/install" && best_of_three md5sum -c --quiet "$work/sums")
echo "engine ${ours}s, md5sum -c ${reference}s: ratio $(echo "$ours $reference" | awk '{printf "%.2f", $1 / $2}') (target at most 1.1)"

echo "-- install of the same 2,000 files into an empty folder, signed against unsigned"
public_key=$("$bin/varne-release" keygen "$work/publisher.key")
"$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" \
  --sign "$work/publisher.key" >/dev/null
install_time() {  # one update of an emptied install folder, the emptying not timed
  rm -rf "$work/install" && mkdir "$work/install"
  local start end
  start=$(date +%s.%N); (cd "$work/install" && "$bin/update_driver" "$@" >/dev/null); end=$(date +%s.%N)
  echo "$start $end" | awk '{print $2 - $1}'
}
# Alternated, so that the disk's own drift in sync times falls on both alike; best of five each.
for _ in 1 2 3 4 5; do
  install_time "http://127.0.0.1:$port/filelist" >>"$work/unsigned.times"
  install_time "http://127.0.0.1:$port/filelist" "$public_key" >>"$work/signed.times"
done
unsigned=$(sort -g "$work/unsigned.times" | head -n 1)
signed=$(sort -g "$work/signed.times" | head -n 1)
echo "signed ${signed}s, unsigned ${unsigned}s: ratio $(echo "$signed $unsigned" | awk '{printf "%.2f", $1 / $2}') (target at most 1.15)"
echo "-- check of the same 2,000 files now current, signed (SHA-256) against unsigned (MD5)"
signed=$(cd "$work/install" && best_of_three "$bin/update_driver" "http://127.0.0.1:$port/filelist" "$public_key")
unsigned=$(cd "$work/install" && best_of_three "$bin/update_driver" "http://127.0.0.1:$port/filelist")
echo "signed ${signed}s, unsigned ${unsigned}s: ratio $(echo "$signed $unsigned" | awk '{printf "%.2f", $1 / $2}') (target at most 1.15)"
stop_nginx "$work/nginx"
rm -rf "$work/image" "$work/install" "$work/site"

echo "-- download and install of one 1 GiB file"
mkdir -p "$work/image" "$work/install"
head -c 1073741824 /dev/urandom >"$work/image/big.bin"
"$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
start_nginx "$work/nginx" "access_log off;" "include $work/site/nginx-site.conf;"
package_url="http://127.0.0.1:$port/filelist?file=%25%36%32%25%36%39%25%36%37%25%32%45%25%36%32%25%36%39%25%36%45&orgsize=1073741824"
fresh_install() { rm -f "$work/install/big.bin"; (cd "$work/install" && "$bin/update_driver" "http://127.0.0.1:$port/filelist"); }
ours=$(best_of_three fresh_install)
reference=$(best_of_three curl -s -o "$work/curl.out" "$package_url")
# What any download that is checked and made durable costs at the least: the transfer, one MD5 of
# the bytes and a sync of the file.
checked_download() { curl -s -o "$work/curl.out" "$package_url" && md5sum "$work/curl.out" && sync "$work/curl.out"; }
floor=$(best_of_three checked_download)
rm -f "$work/install/big.bin"
rss=$(cd "$work/install" && /usr/bin/time -f %M "$bin/update_driver" "http://127.0.0.1:$port/filelist" 2>&1 >/dev/null | tail -n 1)
cmp -s "$work/image/big.bin" "$work/install/big.bin" && same=identical || same=DIFFERENT
echo "engine ${ours}s, curl -o ${reference}s: ratio $(echo "$ours $reference" | awk '{printf "%.2f", $1 / $2}') (target at most 1.5); installed file $same"
echo "engine against curl -o, md5sum and sync of the file (${floor}s): ratio $(echo "$ours $floor" | awk '{printf "%.2f", $1 / $2}')"
echo "engine peak resident memory: $((rss / 1024)) MiB (target below 64 MiB)"
