#!/usr/bin/env bash
# The check of an unchanged install (100,000 small files and four files of 1 GiB) against its
# references, in one run (build-release/ from scripts/bench.sh), every file in the page cache:
#  1. with "fast_check=1" in the game's settings, against find reading every file's size, times
#     and identity (target at most 1.3), and the file content it read (target 0 bytes);
#  2. without the key, as the check always was, against md5sum -c of the same files (about 0.5 on
#     two cores).
set -euo pipefail
bin=${BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build-release/bin}
work=$(mktemp -d /tmp/varne-check-bench.XXXXXX)
source "$(dirname "$0")/bench_lib.sh"
trap 'stop_nginx "$work/nginx"; rm -rf "$work"' EXIT
install=$work/install

# The game's package, holding its settings; not listed, so that each measurement may swap it.
settings() {  # settings <lines>: the package in the install folder with those settings
  rm -rf "$work/package" && mkdir "$work/package"
  printf '%s\r\n' "$@" | iconv -f UTF-8 -t UTF-16LE >"$work/package/dlgconfig.conf"
  rm -f "$install/RV7.VPK"
  "$bin/vpk" pack "$work/package" "$install/RV7.VPK" --quiet
}

echo "-- making 100,000 files of 1 to 4 KiB in 100 folders, and four files of 1 GiB"
python3 - "$install" <<'PY'
import os, random, sys
random.seed(7)
root = sys.argv[1]
for folder in range(100):
    path = os.path.join(root, "data%03d" % folder)
    os.makedirs(path)
    for i in range(1000):
        with open(os.path.join(path, "f%04d.bin" % i), "wb") as out:
            out.write(random.randbytes(random.randint(1024, 4096)))
PY
head -c 64M /dev/urandom >"$work/block"
for i in 1 2 3 4; do
  for _ in $(seq 16); do cat "$work/block"; done >"$install/large$i.bin"
done
rm "$work/block"
port=$((20000 + RANDOM % 20000))
"$bin/varne-release" build "$install" "$work/site" --listen "127.0.0.1:$port" --no-blocks >/dev/null
(cd "$install" && find . -type f -name '*.bin' -printf '%P\n' | xargs -d '\n' md5sum >"$work/sums")
start_nginx "$work/nginx" "access_log off;" "include $work/site/nginx-site.conf;"
url="http://127.0.0.1:$port/filelist"
check() { (cd "$install" && "$bin/update_driver" "$@" "$url"); }

settings "fast_check=1"
check --verify >/dev/null  # stamps every file, and brings every file into the page cache
find_time=$(best_of_three find "$install" -printf '%s %T@ %C@ %i\n')
fast_time=$(best_of_three check)
io=$(check --io)
stamps_size=$(stat -c %s "$install/RV7.stamps")
package_size=$(stat -c %s "$install/RV7.VPK")
echo "-- check of the unchanged install with fast_check=1 on $(nproc) cores (load average $(cut -d' ' -f1 /proc/loadavg))"
echo "$fast_time $find_time" | awk '{printf "check %.2fs, find %.2fs: ratio %.2f (target at most 1.3)\n", $1, $2, $1 / $2}'
echo "$io" | awk -v stamps="$stamps_size" -v package="$package_size" '/^io/ {
  printf "%s\nfile content read: %d bytes beyond the stamp file (%d) and the package (%d) (target 0)\n",
    $0, $3 - stamps - package, stamps, package }'

settings "serverside_connections=16"
ours=$(best_of_three check)
reference=$(cd "$install" && best_of_three md5sum -c --quiet "$work/sums")
echo "-- the same check without the key"
echo "$ours $reference" | awk '{printf "check %.2fs, md5sum -c %.2fs: ratio %.2f (as before: about 0.5)\n", $1, $2, $1 / $2}'
