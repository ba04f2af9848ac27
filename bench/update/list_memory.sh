#!/usr/bin/env bash
# The peak memory of fetching and parsing a 256 MiB list of the shortest lines a list may hold
# ("1::a:1:x"), served by varne-release serve; the bound is twice the document plus 64 MiB. Prints
# the entries, a digest of every parsed field (equal across builds that parse alike) and the peak.
set -euo pipefail
bin=${BIN:-$(cd "$(dirname "$0")/../.." && pwd)/build/bin}
work=$(mktemp -d /tmp/varne-list-memory.XXXXXX)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
port=$((20000 + RANDOM % 20000))
mkdir "$work/image"
echo x >"$work/image/a"
"$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" --no-blocks \
  >/dev/null
# Whole lines only, at most 256 MiB.
{ yes '1::a:1:x' || true; } | head -n $(((256 << 20) / 9)) >"$work/site/filelist"
"$bin/varne-release" serve "$work/site" >/dev/null 2>&1 &
server=$!
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done
/usr/bin/time -v "$bin/list_driver" "http://127.0.0.1:$port/filelist" 2>"$work/time" |
  sed 's/^/list_driver: /'
awk -F': ' '/Maximum resident/ {printf "peak resident memory: %.0f MiB (bound: %d MiB)\n", $2 / 1024, 2 * 256 + 64}' \
  "$work/time"
