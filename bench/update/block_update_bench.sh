#!/usr/bin/env bash
# The update of a changed file against zsync and casync on the same files, from the same nginx, in
# one run (build-release/ from scripts/bench.sh); every byte nginx sends is counted from its log.
#  1. change A (5 % of a 1 GiB file rewritten in scattered 64 KiB pieces) and change B (800
#     insertions and deletions of 1-8 KiB): bytes sent, wall time, the updater's peak resident
#     memory and its requests for more than one range;
#  2. the A update killed halfway and run again, against one uncut run;
#  3. a 5 GiB file with 16 scattered 64 KiB changes;
#  4. 20 A updates through a caching proxy (nginx, proxy_cache with slice 1m): what the origin
#     sends for all of them against the first alone.
# Each goal prints PASS or MISS; the exit status is 0 either way. --quick: 256 MiB files, a 1 GiB
# large file and 5 runs through the proxy.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/bench_lib.sh"
bin=${BIN:-$here/../../build-release/bin}

size=$((1 << 30)) large=$((5 << 30)) proxy_runs=20
if [ "${1:-}" = --quick ]; then size=$((256 << 20)) large=$((1 << 30)) proxy_runs=5; fi
work=$(mktemp -d "${BENCH_DIR:-/tmp}/varne-block-update-bench.XXXXXX")
trap 'stop_nginx "$work/proxy"; stop_nginx "$work/origin"; rm -rf "$work"' EXIT
# Three ports in a row that no socket uses, below the system's range for outgoing connections (a
# test beside this one may hold any port there): other benchmarks may run beside this one. The
# origin keeps them to the end, as every release of the run is built at the same site path.
while :; do
  port=$((20000 + RANDOM % 12000)) static_port=$((port + 1)) proxy_port=$((port + 2))
  ss -tanH | awk '{print $4}' | grep -qE ":($port|$static_port|$proxy_port)\$" || break
done
name=game.pak
log=$work/origin/access.log
list_url=http://127.0.0.1:$port/filelist

data() { python3 "$here/block_update_data.py" "$@"; }
md5() { md5sum "$1" | cut -d' ' -f1; }

# The origin: the release site's server block (nginx opens each file per request, so a site rebuilt
# in place is served without a restart) and, on the next port, the zsync and casync files of
# $work/www; one log of every request with what was sent for it, headers included.
start_origin() {
  start_nginx "$work/origin" 'log_format bench "$status\t$bytes_sent\t$http_range\t$request";' \
    "access_log $log bench;" "include $work/site/nginx-site.conf;" \
    "server { listen 127.0.0.1:$static_port; root $work/www; }"
}

mark() { if [ -f "$log" ]; then wc -l <"$log"; else echo 0; fi; }
sent_since() {  # sent_since <mark>: bytes the origin sent for the requests logged after the mark
  tail -n +$(($1 + 1)) "$log" | awk -F'\t' '{s += $2} END {print s + 0}'
}
multi_range_since() {  # the requests after the mark that asked for more than one range
  tail -n +$(($1 + 1)) "$log" | awk -F'\t' 'index($3, ",") {n++} END {print n + 0}'
}

fresh_install() {  # an install folder holding the old file
  rm -rf "$work/install" && mkdir "$work/install"
  cp --reflink=auto "$work/old.bin" "$work/install/$name"
  settle
}

# A player's installed files are older than the 2 s in which the updater does not trust a file's
# digest taken ahead (it might still be being written) and digests it again when its turn comes:
# a file written just before the run would pay that second pass, which no player's does.
settle() { sleep 2.1; }

# One update of the install folder; sets sent (every byte the origin sent for it), seconds,
# rss_kib, multi and failed (1 when the updater said it failed, else 0).
updater_run() {  # updater_run <list-url>
  local before
  before=$(mark) failed=0
  (cd "$work/install" && /usr/bin/time -v -o "$work/time" "$bin/update_driver" "$1" >/dev/null) ||
    failed=1
  sleep 0.2  # nginx logs a request once its last byte has gone
  sent=$(sent_since "$before") multi=$(multi_range_since "$before")
  read -r seconds rss_kib < <(time_figures)
}
installed() { md5 "$work/install/$name"; }

time_figures() {  # the wall seconds and peak resident KiB from /usr/bin/time -v's report
  awk -F': ' '/Maximum resident set size/ {m = $2}
    /Elapsed \(wall clock\)/ {n = split($2, t, ":"); for (i = 1; i <= n; i++) s = s * 60 + t[i]}
    END {print s, m}' "$work/time"
}

reference_run() {  # reference_run <command...>: sets sent, seconds and multi for one run of it
  local before
  before=$(mark)
  /usr/bin/time -v -o "$work/time" "$@" >/dev/null 2>&1 || echo "$1 failed"
  sleep 0.2
  sent=$(sent_since "$before") multi=$(multi_range_since "$before")
  read -r seconds _ < <(time_figures)
}

right() { [ "$1" = "$new_md5" ] && echo 1 || echo 0; }  # whether an md5 is the new file's
verdict() { [ "$1" = "$new_md5" ] && echo "md5 right" || echo "md5 WRONG"; }
percent() { awk -v b="$1" -v s="$size" 'BEGIN {printf "%.2f %% of the file", 100 * b / s}'; }
mib() { awk -v b="$1" 'BEGIN {printf "%.1f MiB", b / 1048576}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }

# Builds the release of $work/image/$name with its zsync and casync files and starts the origin.
publish() {
  local zsyncmake casync
  rm -rf "$work/site" "$work/www" && mkdir "$work/www"
  ln "$work/image/$name" "$work/www/$name"
  # Side by side: each reads the same file, which stays in the page cache.
  zsyncmake -u "$name" -o "$work/www/$name.zsync" "$work/www/$name" >/dev/null &
  zsyncmake=$!
  casync make --store="$work/www/store.castr" "$work/www/$name.caibx" "$work/image/$name" \
    >/dev/null &
  casync=$!
  "$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
  new_md5=$(md5 "$work/image/$name")
  wait "$zsyncmake" && wait "$casync"
  [ -f "$work/origin/nginx.pid" ] || start_origin
}

# The three tools on one change: prints their figures and the goals, and keeps the updater's bytes
# in updater_bytes.
compare() {  # compare <label> <bytes goal text> <bytes goal condition over u, z and s>
  local label=$1 static=http://127.0.0.1:$static_port u ut um uf zt
  fresh_install
  updater_run "$list_url"
  result=$(installed) u=$sent ut=$seconds um=$multi uf=$failed
  echo "$label updater: $(mib "$u") ($(percent "$u")) in ${ut}s, peak resident memory" \
    "$((rss_kib / 1024)) MiB, $um multi-range requests, $(verdict "$result")"
  reference_run zsync -q -i "$work/old.bin" -o "$work/out" "$static/$name.zsync"
  updater_bytes=$u zsync_bytes=$sent zt=$seconds
  reference_line "$label zsync"
  reference_run casync extract --store="$static/store.castr" --seed="$work/old.bin" \
    "$static/$name.caibx" "$work/out"
  reference_line "$label casync"
  echo "$label updater/zsync: bytes $(ratio "$u" "$zsync_bytes"), time $(ratio "$ut" "$zt")"
  # A run that failed saved nothing: its bytes and time meet no goal.
  goal "$label $2" "!f && ($3)" u="$u" z="$zsync_bytes" s="$size" f="$uf"
  goal "$label time at most 1.0 x zsync" "!f && u <= z" u="$ut" z="$zt" f="$uf"
  goal "$label updater peak resident memory below 64 MiB" "$rss_kib < 65536"
  goal "$label no request for more than one range" "$um == 0"
  goal "$label updater's file has the new md5" "$(right "$result")"
}
reference_line() {  # the figures of the last reference run, whose result is $work/out
  echo "$1: $(mib "$sent") ($(percent "$sent")) in ${seconds}s, $multi multi-range requests," \
    "$(verdict "$(md5 "$work/out")")"
  rm -f "$work/out"
}

# Kills an update with kill -9 once the origin has sent about half of <bytes>: what the live
# connections have been sent (ss) or, when they have closed, what the log shows.
cut_run() {  # cut_run <bytes>
  local before pid now logged cut=
  before=$(mark)
  (cd "$work/install" && exec "$bin/update_driver" "$list_url" >/dev/null 2>&1) &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    now=$(live_sent) logged=$(sent_since "$before")
    if [ "$now" -ge $(($1 / 2)) ] || [ "$logged" -ge $(($1 / 2)) ]; then
      kill -9 "$pid"
      cut=yes
      break
    fi
    sleep 0.02
  done
  wait "$pid" 2>/dev/null || true
  [ -n "$cut" ] || echo "the run ended before half of its bytes had come: nothing was cut"
  sleep 0.5  # nginx logs the cut request once it finds the connection closed
}
live_sent() {
  ss -tinH state established "( sport = :$port )" | grep -o 'bytes_acked:[0-9]*' |
    awk -F: '{s += $2} END {print s + 0}'
}

# The origin with a caching nginx in front of it that fetches and keeps 1 MiB slices.
start_proxy() {
  start_nginx "$work/proxy" "access_log off;" \
    "proxy_cache_path $work/proxy/cache levels=1:2 keys_zone=slices:10m max_size=$((2 * size))" \
    "  inactive=1d use_temp_path=off;" \
    "server { listen 127.0.0.1:$proxy_port; location / { slice 1m; proxy_cache slices;" \
    '  proxy_cache_key $uri$is_args$args$slice_range; proxy_set_header Range $slice_range;' \
    '  proxy_cache_valid 200 206 1d; proxy_http_version 1.1; proxy_set_header Connection "";' \
    "  proxy_pass http://127.0.0.1:$port; } }"
}

echo "-- $(nproc) cores (load average $(cut -d' ' -f1 /proc/loadavg)); file of $(mib "$size")"
nginx -V 2>&1 | grep -q -- --with-http_slice_module ||
  echo "this nginx has no slice module: the part through the proxy will fail"
data base "$work/old.bin" "$size" 1
mkdir -p "$work/image"

pieces=$(((size / 20 + (32 << 10)) >> 16))
echo "-- change A: $pieces pieces of 64 KiB rewritten at scattered offsets"
cp --reflink=auto "$work/old.bin" "$work/image/$name"
data scatter "$work/image/$name" "$pieces" 2
publish
compare A "bytes at most max(1.02 x zsync, 5.3 % of the file)" "u <= 1.02 * z || u <= 0.053 * s"
uncut=$updater_bytes

echo "-- change A killed with kill -9 about halfway, then run again"
fresh_install
before=$(mark)
cut_run "$uncut"
cut=$(sent_since "$before")
updater_run "$list_url"
result=$(installed)
echo "cut run $(mib "$cut"), second run $(mib "$sent"): $(mib $((cut + sent))) in all against" \
  "$(mib "$uncut") uncut, ratio $(ratio $((cut + sent)) "$uncut"), $(verdict "$result")"
goal "cut and resumed: both runs at most 1.15 x one uncut run" \
  "!$failed && $((cut + sent)) <= 1.15 * $uncut"
goal "cut and resumed: the file has the new md5" "$(right "$result")"

echo "-- $proxy_runs updates of change A one after another through a caching proxy (slice 1m)"
start_proxy
before=$(mark)
# The updater checks each file's md5 before it puts it in place: a run that ends well is right.
failures=0
for run in $(seq 1 "$proxy_runs"); do
  fresh_install
  updater_run "http://127.0.0.1:$proxy_port/filelist"
  failures=$((failures + failed))
  if [ "$run" -eq 1 ]; then first=$(sent_since "$before"); fi
done
all=$(sent_since "$before")
stop_nginx "$work/proxy"
rm -rf "$work/proxy"
echo "origin sent $(mib "$all") for all $proxy_runs, $(mib "$first") for the first: ratio" \
  "$(ratio "$all" "$first"); $failures failed runs"
goal "through the proxy: what the origin sent for all runs at most 1.05 x the first's" \
  "!$failures && $all <= 1.05 * $first"

echo "-- change B: 800 insertions and deletions of 1-8 KiB"
rm -f "$work/image/$name"
data shift "$work/old.bin" "$work/image/$name" 800 3
publish
compare B "bytes at most 0.75 x zsync" "u <= 0.75 * z"

rm -rf "$work/image" "$work/site" "$work/www" "$work/install" "$work/old.bin"
echo "-- a file of $(mib "$large") with 16 scattered 64 KiB changes"
# Old and new are made from the same stream, one after the other, so that the disk holds at most
# the new file, its package and the old file at once.
mkdir -p "$work/image"
data base "$work/image/$name" "$large" 4
data scatter "$work/image/$name" 16 5
new_md5=$(md5 "$work/image/$name")
"$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
rm -rf "$work/image"
mkdir "$work/install"
data base "$work/install/$name" "$large" 4
settle
size=$large
updater_run "$list_url"
result=$(installed)
echo "updater: $(mib "$sent") ($(percent "$sent")) in ${seconds}s, peak resident memory" \
  "$((rss_kib / 1024)) MiB, $(verdict "$result")"
goal "large file: at most 16 MiB sent" "!$failed && $sent <= 16 * 1048576"
goal "large file: the file has the new md5" "$(right "$result")"
echo "-- $passed goals met, $missed missed"
