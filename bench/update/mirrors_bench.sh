#!/usr/bin/env bash
# The updater with several copies of its site: three stock nginx, each behind a relay of its own
# (link_relay.py: a round trip and a bandwidth per copy, as copies on different networks have),
# serving the same site; every run a fresh install of the same files into an empty folder
# (build-release/ from scripts/bench.sh). Runs, one each:
#  one     the first copy alone: the reference;
#  three   the three copies, healthy: seconds and each copy's share of the package bytes;
#  bad     the three, the first held (SIGSTOP) and the second dead (nothing listens) from the start;
#  two     the second and third copies alone, healthy;
#  stall   the three, the first held 3 s into the run for good: seconds, and the package bytes the
#          copies sent beyond one run's, for each transfer the held copy left unfinished.
# Goals: bad at most 1.2 x one; stall at most two + 3 s (what its transfers wait for a byte and
# the connection to another copy, together); at most one package (under 1 MiB) or one range of a
# block update fetched twice per request the held copy left; each copy 33 +- 10 % of three's bytes.
# --rtt MS and --mbit B set each copy's link (50 ms, 20 Mbit/s). Each goal prints PASS or MISS; the
# exit status is 0 whatever happens. Figures taken while the machine compiles are noisy.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/bench_lib.sh"
source "$here/../net/relay_lib.sh"
bin=${BIN:-$here/../../build-release/bin}

rtt=50 mbit=20 files=300 small_total=$((32 << 20)) large=4 large_size=$((4 << 20))
while [ $# -gt 0 ]; do
  case $1 in
    --rtt) rtt=$2 && shift ;;
    --mbit) mbit=$2 && shift ;;
    *) echo "usage: $0 [--rtt MS] [--mbit B]" >&2 && exit 0 ;;
  esac
  shift
done

work=$(mktemp -d "${BENCH_DIR:-/tmp}/varne-mirrors-bench.XXXXXX")
relays=() relay_ports=()
finish() {
  local status=$? copy
  for pid in "${relays[@]}"; do kill "$pid" 2>/dev/null || true; done
  for copy in 0 1 2; do
    [ -f "$work/copy$copy/nginx.pid" ] && pkill -CONT -P "$(cat "$work/copy$copy/nginx.pid")" || true
    stop_nginx "$work/copy$copy"
  done
  rm -rf "$work"
  [ "$status" -eq 0 ] || echo "-- the benchmark stopped early (status $status)"
  exit 0
}
trap finish EXIT
trap 'exit 1' INT TERM


# The image: $files files of about $small_total bytes together (each under 1 MiB, so each comes as
# one package) and $large files that come by ranges of their packages.
make_site() {
  local i port
  mkdir -p "$work/image"
  for i in $(seq "$files"); do
    head -c $((small_total / files / 2 + RANDOM * 16 % (small_total / files))) /dev/urandom \
      >"$work/image/small$i.bin"
  done
  for i in $(seq "$large"); do head -c "$large_size" /dev/urandom >"$work/image/large$i.bin"; done
  (cd "$work/image" && find . -type f -exec md5sum {} + >"$work/image.md5")
  port=$(free_port 4)
  "$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" >/dev/null
  package_bytes=$(find "$work/site/packages" -name '*.vpk' -printf '%s\n' | awk '{s += $1} END {print s}')
  dead_port=$((port + 3))
  for copy in 0 1 2; do
    sed "s/listen 127.0.0.1:$port;/listen 127.0.0.1:$((port + copy));/" "$work/site/nginx-site.conf" \
      >"$work/copy$copy.conf"
    start_nginx "$work/copy$copy" 'log_format copies "$bytes_sent\t$request_uri";' \
      "access_log $work/copy$copy/access.log copies;" "keepalive_requests 100000;" \
      "include $work/copy$copy.conf;"
    start_relay $((port + copy)) "$rtt" "$mbit" "$work/relay$copy"
    relays+=("$relay_pid") relay_ports+=("$relay_port")
    relay_pid=  # each relay lives for the whole benchmark
  done
}

url() { echo "http://127.0.0.1:$1/filelist"; }
hold() { pkill "-$1" -P "$(cat "$work/copy$2/nginx.pid")"; }
logged() { cat "$work/copy$1/access.log" 2>/dev/null | wc -l; }

# run <urls...>: a fresh install from the first URL with the others as copies; sets seconds and
# sent (the package bytes each copy logged, "a b c"), and says whether the files are right.
run() {
  local first=$1 mirrors=() start end before=() copy
  shift
  for u in "$@"; do mirrors+=("--mirror=$u"); done
  for copy in 0 1 2; do before[copy]=$(logged "$copy"); done
  rm -rf "$work/install" && mkdir "$work/install"
  start=$(date +%s.%N)
  (cd "$work/install" && timeout 600 "$bin/update_driver" "${mirrors[@]}" "$first") \
    >"$work/run.out" 2>&1 || echo "  FAILED: $(tail -n 1 "$work/run.out")"
  end=$(date +%s.%N)
  seconds=$(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.2f", e - s}')
  [ -n "${held:-}" ] && hold CONT "$held" && held= && sleep 1
  sleep 0.5  # nginx logs a request once its last byte has gone
  sent=
  for copy in 0 1 2; do
    sent+="$(tail -n +$((before[copy] + 1)) "$work/copy$copy/access.log" 2>/dev/null |
      awk -F'\t' '$2 ~ /[?]file=/ {s += $1} END {print s + 0}') "
  done
  (cd "$work/install" && md5sum -c --quiet "$work/image.md5" >/dev/null 2>&1) && right="files right" ||
    right="files WRONG"
}
line() { printf '%-6s %7.2f s, package bytes per copy: %s(%s)\n' "$1" "$seconds" "$sent" "$right"; }

make_site
echo "-- $files small files and $large of $((large_size >> 20)) MiB, $((package_bytes >> 20)) MiB" \
  "of packages; each copy ${rtt} ms, ${mbit} Mbit/s"
c0=$(url "${relay_ports[0]}") c1=$(url "${relay_ports[1]}") c2=$(url "${relay_ports[2]}")
dead=$(url "$dead_port")

run "$c2" && line one && one=$seconds
run "$c0" "$c1" "$c2" && line three && three=$seconds three_sent=$sent
hold STOP 0 && held=0
run "$c0" "$dead" "$c2" && line bad && bad=$seconds
run "$c1" "$c2" && line two && two=$seconds two_sent=$sent
# The first copy is held a few seconds into the run, while it sends, and only let go once the run
# has ended: its unfinished requests are logged then, with what it had sent of them.
stalled_from=$(logged 0)
(sleep 3 && hold STOP 0) &
held=0
run "$c0" "$c1" "$c2" && line stall && stall=$seconds stall_sent=$sent
left=$(tail -n +$((stalled_from + 1)) "$work/copy0/access.log" | awk -F'\t' '$2 ~ /[?]file=/' |
  wc -l)

echo "-- goals"
goal "two copies of three held or dead: $bad s <= 1.2 x one copy's $one s" "b <= 1.2 * o" b="$bad" o="$one"
goal "a copy held mid-run: $stall s <= the other two alone, $two s, + 3 s" \
  "s <= t + 3" s="$stall" t="$two"
twice=$(awk -v s="$stall_sent" -v t="$package_bytes" 'BEGIN {split(s, a, " "); print a[1] + a[2] + a[3] - t}')
goal "bytes fetched twice after the hold: $twice over $left requests held, at most 1 MiB each" \
  "w <= (l > 0 ? l : 1) * 1048576" w="$twice" l="$left"
read -r s0 s1 s2 <<<"$three_sent"
shares=$(awk -v a="$s0" -v b="$s1" -v c="$s2" \
  'BEGIN {t = a + b + c; printf "%.1f %.1f %.1f", 100 * a / t, 100 * b / t, 100 * c / t}')
read -r p0 p1 p2 <<<"$shares"
goal "three healthy copies share the bytes: $p0 %, $p1 %, $p2 %, each 33 +- 10 %" \
  "x >= 23.3 && x <= 43.3 && y >= 23.3 && y <= 43.3 && z >= 23.3 && z <= 43.3" \
  x="$p0" y="$p1" z="$p2"
echo "-- $passed goals met, $missed missed"
