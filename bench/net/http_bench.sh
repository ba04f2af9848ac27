#!/usr/bin/env bash
# Downloads a 1 GiB file from a local nginx with the updater's HTTP client (varne-fetch, which hands
# the body to a sink as it arrives) and with curl, in the same run, and prints the ratio of their
# throughputs (target: at least 0.8). Takes the best of three runs each. Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
source bench/update/bench_lib.sh
fetch=${VARNE_FETCH:-build-release/bin/varne-fetch}
[ -x "$fetch" ] || { echo "build $fetch first (scripts/bench.sh does)"; exit 1; }

dir=$(mktemp -d /tmp/varne-http-bench.XXXXXX)
cleanup() {
  [ -f "$dir/nginx.pid" ] && nginx -q -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" -s stop || true
  sleep 0.2
  rm -rf "$dir"
}
trap cleanup EXIT

mkdir -p "$dir/www"
head -c 1073741824 /dev/urandom >"$dir/www/big"

# A port nobody uses: try a few at random until nginx starts on one.
port=
for _ in $(seq 20); do
  candidate=$((20000 + RANDOM % 40000))
  if start_nginx "$dir" "access_log off;" "default_type application/octet-stream;" \
    "server { listen 127.0.0.1:$candidate; root $dir/www; }" 2>/dev/null; then
    port=$candidate
    break
  fi
done
[ -n "$port" ] || { echo "nginx did not start"; exit 1; }
url="http://127.0.0.1:$port/big"
size=$(stat -c %s "$dir/www/big")

# Seconds taken by a command, with nanosecond resolution.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { print b - a }'
}

best() {
  local best_time=
  for _ in 1 2 3; do
    t=$(seconds "$@")
    if [ -z "$best_time" ] || awk -v t="$t" -v b="$best_time" 'BEGIN { exit !(t < b) }'; then
      best_time=$t
    fi
  done
  echo "$best_time"
}

# The file goes through the page cache once before anything is measured.
curl -s -o /dev/null "$url"
# The client's port cannot be given in a URL; nginx is reached as a proxy would be, which sends
# the same GET with the whole URL as its target.
ours=$(best "$fetch" "$url" --proxy "127.0.0.1:$port" -o /dev/null)
theirs=$(best curl -s -o /dev/null "$url")
awk -v size="$size" -v ours="$ours" -v theirs="$theirs" 'BEGIN {
  printf "HttpClient: %.0f MiB/s   curl: %.0f MiB/s   ratio HttpClient/curl: %.2f\n",
    size / ours / 1048576, size / theirs / 1048576, theirs / ours
}'
