#!/usr/bin/env bash
# Checks that link_relay.py is the link it claims to be, with curl's own timings through it in front
# of a stock nginx, at 50 ms / 100 Mbit/s and at 150 ms / 20 Mbit/s:
#  - a new connection's first byte after two round trips (the handshake, then the request);
#  - a kept connection's second request's first byte after one round trip;
#  - 64 MiB in size / bandwidth plus two round trips;
#  - 16 transfers of 2 MiB side by side sharing the bandwidth: all done in 32 MiB / bandwidth plus
#    two round trips (the quickest and the slowest transfer's times are printed beside it).
# Each figure prints PASS within 15 % of its expectation, else MISS; the exit status is 0 either way.
# The relay's processor time is printed too: it must stay well below the wall time to be no
# bottleneck. Figures taken while the machine is busy are noisy.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../update/bench_lib.sh"
source "$here/relay_lib.sh"
work=$(mktemp -d "${BENCH_DIR:-/tmp}/varne-relay-check.XXXXXX")
trap 'stop_relay; stop_nginx "$work/nginx"; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

large=$((64 << 20)) part=$((2 << 20)) parts=16
passed=0 missed=0

serve() {
  mkdir -p "$work/www"
  head -c 1024 /dev/urandom >"$work/www/small"
  head -c "$large" /dev/urandom >"$work/www/large"
  head -c "$part" /dev/urandom >"$work/www/part"
  port=$(free_port 1)
  start_nginx "$work/nginx" "access_log off;" "keepalive_requests 10000;" \
    "server { listen 127.0.0.1:$port; root $work/www; }"
}

check() {  # check <label> <seconds measured> <seconds expected>
  if awk -v m="$2" -v e="$3" 'BEGIN {exit !(m >= 0.85 * e && m <= 1.15 * e)}'; then
    verdict=PASS passed=$((passed + 1))
  else
    verdict=MISS missed=$((missed + 1))
  fi
  printf '%-46s %8.3f s, expected %8.3f s: %s\n' "$1" "$2" "$3" "$verdict"
}
seconds() { awk -v b="$1" -v m="$mbit" -v r="$rtt" 'BEGIN {print b * 8 / (m * 1e6) + 2 * r / 1000}'; }
now() { date +%s.%N; }
since() { awk -v s="$1" -v e="$(now)" 'BEGIN {print e - s}'; }

first_bytes() {  # a new connection's first byte, then a kept connection's
  local url=http://127.0.0.1:$relay_port/small figures
  figures=$(curl -s -o /dev/null -o /dev/null -w '%{time_starttransfer} %{num_connects}\n' "$url" "$url")
  [ "$(echo "$figures" | awk '{n += $2} END {print n}')" = 1 ] ||
    echo "curl did not keep the connection: the second figure is another new one"
  check "new connection, first byte" "$(echo "$figures" | sed -n 1p | cut -d' ' -f1)" \
    "$(awk -v r="$rtt" 'BEGIN {print 2 * r / 1000}')"
  check "kept connection, second request's first byte" \
    "$(echo "$figures" | sed -n 2p | cut -d' ' -f1)" "$(awk -v r="$rtt" 'BEGIN {print r / 1000}')"
}

large_transfer() {
  local total
  total=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:$relay_port/large")
  check "$((large >> 20)) MiB on one connection" "$total" "$(seconds "$large")"
}

parallel_transfers() {
  local args=() start wall
  for _ in $(seq "$parts"); do args+=(-o /dev/null "http://127.0.0.1:$relay_port/part"); done
  start=$(now)
  # --parallel-immediate: a connection each at once, rather than first one to try multiplexing.
  curl -s --no-progress-meter --parallel --parallel-immediate --parallel-max "$parts" \
    -w '%{time_total} %{num_connects}\n' "${args[@]}" >"$work/parallel"
  wall=$(since "$start")
  check "$parts x $((part >> 20)) MiB side by side, all" "$wall" "$(seconds $((parts * part)))"
  awk '{c += $2; if (NR == 1 || $1 < lo) lo = $1; if ($1 > hi) hi = $1}
    END {printf "  %d connections; each transfer took %.2f to %.2f s\n", c, lo, hi}' "$work/parallel"
}

link() {  # link <rtt-ms> <mbit>
  rtt=$1 mbit=$2
  echo "-- $rtt ms round trip, $mbit Mbit/s each way"
  start_relay "$port" "$rtt" "$mbit" "$work"
  local start
  start=$(now)
  first_bytes
  large_transfer
  parallel_transfers
  echo "  relay processor time $(relay_cpu_seconds) s over $(since "$start") s"
  stop_relay
}

echo "-- $(nproc) cores, load average $(cut -d' ' -f1 /proc/loadavg)"
serve
link 50 100
link 150 20
echo "-- $passed figures within 15 %, $missed not"
