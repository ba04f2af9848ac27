#!/usr/bin/env bash
# The updater at a player's distance from the server: every run goes through link_relay.py (a link
# of a given round trip and bandwidth) in front of one nginx, against references on the same files
# through the same link, one run each (build-release/ from scripts/bench.sh):
#  1. a fresh install of 2,000 files, 256 MiB, into an empty folder, against aria2c -j16 -x1 and curl
#     --parallel --parallel-max 16 fetching the same packages, and against the link's floor (the
#     packages' bytes over the bandwidth): seconds and connections opened;
#  2. a check of that install once current: seconds, requests, and the round trips it costs beyond
#     the same check over loopback (the local digests);
#  3. on the first link, a fresh install held to a cap by the player's DownloadRateLimit (the
#     packages' bytes over 75 s): the rate the server sent at over the minute from 5 s to 65 s;
#  4. block updates of a 1 GiB file against zsync: change A (5 % rewritten in scattered 64 KiB
#     pieces), change B (800 insertions and deletions of 1-8 KiB) and a dense change (one such edit
#     in every 128 KiB): seconds and bytes sent, headers included.
# Links: 50 ms / 100 Mbit/s and 150 ms / 20 Mbit/s, or the one given by --rtt MS and --mbit B.
# --quick: 200 files of 32 MiB, a 256 MiB file; --files-only: parts 1 to 3 alone; --blocks-only:
# part 4 alone. Each goal prints PASS or MISS; the exit status is 0
# whatever happens. Figures taken while the machine compiles are noisy.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/bench_lib.sh"
source "$here/../net/relay_lib.sh"
bin=${BIN:-$here/../../build-release/bin}

files=2000 total=$((256 << 20)) size=$((1 << 30)) rtt='' mbit='' blocks=yes many=yes
while [ $# -gt 0 ]; do
  case $1 in
    --quick) files=200 total=$((32 << 20)) size=$((256 << 20)) ;;
    --rtt) rtt=$2 && shift ;;
    --mbit) mbit=$2 && shift ;;
    --files-only) blocks=no ;;
    --blocks-only) many=no ;;
    *) echo "usage: $0 [--quick] [--rtt MS] [--mbit B] [--files-only | --blocks-only]" >&2 && exit 0 ;;
  esac
  shift
done
links=("50 100" "150 20")
[ -z "$rtt$mbit" ] || links=("${rtt:-50} ${mbit:-100}")
limit=${RUN_LIMIT:-1800}  # seconds any one run may take before it counts as failed

work=$(mktemp -d "${BENCH_DIR:-/tmp}/varne-distance-bench.XXXXXX")
finish() {
  local status=$?
  stop_relay
  stop_nginx "$work/origin"
  rm -rf "$work"
  [ "$status" -eq 0 ] || echo "-- the benchmark stopped early (status $status)"
  exit 0
}
trap finish EXIT
trap 'exit 1' INT TERM

port=$(free_port 2)  # the release site, then the zsync files
static_port=$((port + 1))
log=$work/origin/access.log
list_url=http://127.0.0.1:$port/filelist
name=game.pak

# --- tools and helpers

# The references come from Debian's packages, installed here when missing; a reference that is
# still missing only loses its figures.
install_references() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  command -v aria2c >/dev/null && return 0
  echo "-- installing aria2"
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq aria2 >/dev/null 2>&1 ||
    { "${sudo[@]}" apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      "${sudo[@]}" apt-get install -y -qq aria2 >/dev/null; } ||
    echo "aria2 could not be installed: its figures are missing"
}

data() { python3 "$here/block_update_data.py" "$@"; }
md5() { md5sum "$1" | cut -d' ' -f1; }
mib() { awk -v b="$1" 'BEGIN {printf "%.1f MiB", b / 1048576}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
floor_seconds() { awk -v b="$1" -v m="$mbit" 'BEGIN {printf "%.3f", b * 8 / (m * 1e6)}'; }


# One nginx: the release site's server block (nginx opens each file per request, so a site rebuilt
# in place is served without a restart) and, on the next port, the zsync files of $work/www; one
# log line per request with its connection, so that connections opened can be counted.
start_origin() {
  [ -f "$work/origin/nginx.pid" ] && return 0
  start_nginx "$work/origin" 'log_format distance "$connection\t$bytes_sent\t$request\t$msec";' \
    "access_log $log distance;" "keepalive_requests 100000;" \
    "include $work/site/nginx-site.conf;" \
    "server { listen 127.0.0.1:$static_port; root $work/www; }"
}

# timed <command...>: runs it (bounded by $limit) and sets seconds, failed (1 when it failed) and,
# from the origin's log, sent, requests and connections: what the run cost the server.
timed() {
  local before start end
  before=$(wc -l <"$log" 2>/dev/null || echo 0) failed=0
  start=$(date +%s.%N)
  timeout "$limit" "$@" >"$work/run.out" 2>&1 || failed=1
  end=$(date +%s.%N)
  seconds=$(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.3f", e - s}')
  sleep 0.3  # nginx logs a request once its last byte has gone
  read -r sent requests connections < <(tail -n +$((before + 1)) "$log" | awk -F'\t' \
    '{s += $2; n++; if (!($1 in c)) {c[$1]; k++}} END {print s + 0, n + 0, k + 0}')
}
outcome() { [ "$failed" = 0 ] && echo "$1" || echo "FAILED: $(tail -n 1 "$work/run.out")"; }

# relay_to <port>: a relay of the current link in front of that port of the origin, started afresh
# for each run so that no run inherits another's queue.
relay_to() {
  stop_relay
  start_relay "$1" "$rtt" "$mbit" "$work/relay"
}
run_updater() {  # run_updater <list-url>: one timed run of the engine in the install folder
  timed env -C "$work/install" "$bin/update_driver" "$1"
}

# --- a fresh install and a check of many files

make_image() {  # $files files of $total bytes together, in 20 folders, of sizes from 1/4 to 7/4 of the mean
  local i
  mkdir -p "$work/image"
  awk -v n="$files" -v t="$total" 'BEGIN {srand(7)
    for (i = 1; i <= n; i++) {w[i] = 0.25 + 1.5 * rand(); s += w[i]}
    for (i = 1; i < n; i++) {b = int(t * w[i] / s); print b; left += b}
    print t - left}' >"$work/sizes"
  i=0
  while read -r bytes; do
    i=$((i + 1))
    mkdir -p "$work/image/folder$((i % 20))"
    head -c "$bytes" /dev/urandom >"$work/image/folder$((i % 20))/file$i.bin"
  done <"$work/sizes"
  (cd "$work/image" && find . -type f -exec md5sum {} + >"$work/image.md5")
}

# The package URLs the updater asks for, from the site's packages folder: a package's folders,
# joined, are its path encoded twice, and its name is the file's size.
package_urls() {
  (cd "$work/site/packages" && find . -name '*.vpk' -printf '%h %f\n') |
    awk -v list="http://127.0.0.1:$relay_port/filelist" '{
      path = substr($1, 3); gsub("/", "", path); size = $2; sub(/\.vpk$/, "", size)
      print list "?file=" path "&orgsize=" size}'
}

install_right() {  # whether the install folder holds the image's files
  (cd "$work/install" && md5sum -c --quiet "$work/image.md5" >/dev/null 2>&1) && echo "files right" ||
    echo "files WRONG"
}
downloads_right() {  # whether a reference's folder holds every package, whole
  local count bytes
  read -r count bytes < <(find "$1" -type f -printf '%s\n' | awk '{n++; s += $1} END {print n + 0, s + 0}')
  [ "$count" = "$files" ] && [ "$bytes" = "$package_bytes" ] && echo "packages right" ||
    echo "packages WRONG ($count, $(mib "$bytes"))"
}
line() {  # line <label> <verdict>: the figures of the last run
  printf '%-8s %8.3f s, %4d connections, %5d requests, %s\n' "$1" "$seconds" "$connections" \
    "$requests" "$2"
}

run_aria2c() {
  command -v aria2c >/dev/null || { aria=; echo "aria2c  missing"; return 0; }
  rm -rf "$work/aria2c" && mkdir "$work/aria2c"
  relay_to "$port"
  package_urls | awk '{print; print "  out=" NR ".vpk"}' >"$work/aria2c.list"
  timed aria2c -q -j16 -x1 --file-allocation=none -d "$work/aria2c" -i "$work/aria2c.list"
  aria=$seconds
  line aria2c "$(outcome "$(downloads_right "$work/aria2c")")"
  [ "$failed" = 0 ] || aria=
  rm -rf "$work/aria2c"
}

run_curl() {
  rm -rf "$work/curl" && mkdir "$work/curl"
  relay_to "$port"
  package_urls | awk -v d="$work/curl" '{print "url = \"" $0 "\""; print "output = \"" d "/" NR ".vpk\""}' \
    >"$work/curl.config"
  # --parallel-immediate: a connection each at once, rather than first one to try multiplexing.
  timed curl -sS --fail --parallel --parallel-immediate --parallel-max 16 -K "$work/curl.config"
  line curl "$(outcome "$(downloads_right "$work/curl")")"
  rm -rf "$work/curl"
}

fresh_install() {
  local ours
  echo "-- fresh install of $files files, $(mib "$total") (packages $(mib "$package_bytes"))"
  relay_to "$port"
  rm -rf "$work/install" && mkdir "$work/install"
  run_updater "http://127.0.0.1:$relay_port/filelist"
  ours=$seconds ours_failed=$failed
  line updater "$(outcome "$(install_right)")"
  run_aria2c
  run_curl
  floor=$(floor_seconds "$package_bytes")
  echo "floor    ${floor} s (the packages' bytes over the bandwidth)"
  echo "updater/aria2c ${aria:+$(ratio "$ours" "$aria")}, updater/floor $(ratio "$ours" "$floor")"
  goal "fresh install at most 1.1 x aria2c" "!f && a != \"\" && u <= 1.1 * a" \
    u="$ours" a="$aria" f="$ours_failed"
  goal "fresh install at most 1.2 x the floor" "!f && u <= 1.2 * l" u="$ours" l="$floor" \
    f="$ours_failed"
}

# The install is current: the check costs the local digests plus its round trips. The first
# loopback run is not counted: whatever the first check after an install does once, neither pays.
current_check() {
  local here_seconds round_trips
  echo "-- check of the $files files, current"
  sleep 2.1  # files written in the last 2 s would have their digests taken again, a player's not
  run_updater "$list_url"
  run_updater "$list_url"
  here_seconds=$seconds
  relay_to "$port"
  run_updater "http://127.0.0.1:$relay_port/filelist"
  round_trips=$(awk -v r="$seconds" -v l="$here_seconds" -v t="$rtt" 'BEGIN {printf "%.1f", (r - l) * 1000 / t}')
  echo "updater  ${seconds} s through the link, ${here_seconds} s over loopback, $requests requests," \
    "$connections connections: $round_trips round trips, $(outcome "$(install_right)")"
  goal "check at most 3 round trips plus the local digests" "!f && n <= 3" n="$round_trips" \
    f="$failed"
}

# The cap holds across all connections: over a minute the server sends at the cap, give or take
# 5 %. A minute from 5 s on leaves out the list and the first connections.
capped_install() {
  local cap=$((package_bytes / 75)) begun rate
  echo "-- fresh install held to $cap bytes/s by DownloadRateLimit"
  relay_to "$port"
  rm -rf "$work/install" && mkdir "$work/install"
  printf 'DownloadRateLimit=%d\r\n' "$cap" >"$work/install/RV7.conf"
  begun=$(date +%s.%N)
  run_updater "http://127.0.0.1:$relay_port/filelist"
  rate=$(awk -F'\t' -v b="$begun" '$4 >= b + 5 && $4 < b + 65 {s += $2} END {printf "%.0f", s / 60}' "$log")
  echo "updater  ${seconds} s, $rate bytes/s from 5 s to 65 s: $(ratio "$rate" "$cap") of the cap," \
    "$(outcome "$(install_right)")"
  goal "rate cap held within 5 % over a minute" "!f && r >= 0.95 * c && r <= 1.05 * c" r="$rate" \
    c="$cap" f="$failed"
}

many_files() {
  make_image
  "$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
  package_bytes=$(find "$work/site/packages" -name '*.vpk' -printf '%s\n' | awk '{s += $1} END {print s}')
  start_origin
  for link in "${links[@]}"; do
    read -r rtt mbit <<<"$link"
    echo "== $rtt ms round trip, $mbit Mbit/s each way"
    fresh_install
    current_check
    [ "$link" != "${links[0]}" ] || capped_install
  done
  rm -rf "$work/image" "$work/install" "$work/site/packages"
}

# --- block updates of one large file

# Builds the release of $work/image/$name and its zsync file.
publish() {
  rm -rf "$work/site" "$work/www" && mkdir -p "$work/www"
  ln "$work/image/$name" "$work/www/$name"
  zsyncmake -u "$name" -o "$work/www/$name.zsync" "$work/www/$name" >/dev/null &
  local zsyncmake=$!
  "$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
  wait "$zsyncmake"
  new_md5=$(md5 "$work/image/$name")
}
verdict() { [ "$(md5 "$1")" = "$new_md5" ] && echo "md5 right" || echo "md5 WRONG"; }

block_line() {  # block_line <label> <verdict>
  printf '%-8s %8.3f s, %s sent (%.2f %% of the file), %4d connections, %5d requests, %s\n' \
    "$1" "$seconds" "$(mib "$sent")" "$(awk -v b="$sent" -v s="$size" 'BEGIN {print 100 * b / s}')" \
    "$connections" "$requests" "$2"
}

compare() {  # compare <label> <bytes factor>: the updater against zsync on the published change
  local label=$1 ours_bytes ours_seconds ours_failed
  rm -rf "$work/install" && mkdir "$work/install"
  cp --reflink=auto "$work/old.bin" "$work/install/$name"
  sleep 2.1  # a player's old file is older than the 2 s in which its digest is taken again
  relay_to "$port"
  run_updater "http://127.0.0.1:$relay_port/filelist"
  ours_bytes=$sent ours_seconds=$seconds ours_failed=$failed
  block_line updater "$(outcome "$(verdict "$work/install/$name")")"
  relay_to "$static_port"
  rm -f "$work/out"
  timed zsync -q -i "$work/old.bin" -o "$work/out" "http://127.0.0.1:$relay_port/$name.zsync"
  block_line zsync "$(outcome "$(verdict "$work/out")")"
  rm -f "$work/out" "$work/out.part"
  echo "$label updater/zsync: time $(ratio "$ours_seconds" "$seconds"), bytes $(ratio "$ours_bytes" "$sent")"
  goal "$label time at most 0.8 x zsync" "!f && u <= 0.8 * z" u="$ours_seconds" z="$seconds" \
    f="$ours_failed"
  goal "$label bytes at most $2 x zsync" "!f && u <= $2 * z" u="$ours_bytes" z="$sent" \
    f="$ours_failed"
}

change() {  # change <label> <bytes factor> <description>: publishes image/$name, runs each link
  echo "-- change $1: $3"
  publish
  start_origin
  for link in "${links[@]}"; do
    read -r rtt mbit <<<"$link"
    echo "== $rtt ms round trip, $mbit Mbit/s each way"
    compare "$1" "$2"
  done
}

block_updates() {
  local pieces=$(((size / 20 + (32 << 10)) >> 16)) dense=$((size >> 17))
  mkdir -p "$work/image"
  data base "$work/old.bin" "$size" 1
  cp --reflink=auto "$work/old.bin" "$work/image/$name"
  data scatter "$work/image/$name" "$pieces" 2
  change A 1.02 "$pieces pieces of 64 KiB of a $(mib "$size") file rewritten at scattered offsets"
  rm -f "$work/image/$name"
  data shift "$work/old.bin" "$work/image/$name" 800 3
  change B 0.75 "800 insertions and deletions of 1-8 KiB"
  rm -f "$work/image/$name"
  data shift "$work/old.bin" "$work/image/$name" "$dense" 6
  change dense 0.75 "$dense insertions and deletions of 1-8 KiB, one in every 128 KiB"
}

echo "-- $(nproc) cores (load average $(cut -d' ' -f1 /proc/loadavg)); figures taken while the" \
  "machine is busy are noisy"
install_references
[ "$many" = no ] || many_files
[ "$blocks" = no ] || block_updates
echo "-- $passed goals met, $missed missed"
