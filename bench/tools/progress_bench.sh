#!/usr/bin/env bash
# What the progress line costs: vpk pack of a 1 GiB file and varne-release check of a 2,000-file
# signed release (every file fetched and checked), each run on a pseudo-terminal with the line
# drawn and with --quiet, alternately, three times each; the fastest run of each counts. Prints
# the ratio line/quiet per command (target: at most 1.02).
set -euo pipefail
cd "$(dirname "$0")/../.."
. bench/small_files.sh
bin=${BIN:-build-release/bin}
for program in vpk varne-release; do
  [ -x "$bin/$program" ] || { echo "progress_bench: $bin/$program not built" >&2; exit 1; }
done
bin=$(cd "$bin" && pwd)
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/progress_bench.XXXXXX")
server=""
trap '[ -n "$server" ] && kill "$server"; rm -rf "$work"' EXIT

echo "-- preparing $work"
mkdir -p "$work/big" "$work/image"
head -c $((1 << 30)) /dev/urandom >"$work/big/big.bin"
make_small_files "$work/image"
"$bin/varne-release" keygen "$work/key" >"$work/public"
"$bin/varne-release" build "$work/image" "$work/site" --sign "$work/key" --quiet
"$bin/varne-release" serve "$work/site" --listen 127.0.0.1:0 >"$work/serve.out" &
server=$!
for _ in $(seq 50); do grep -q '^list URL' "$work/serve.out" && break; sleep 0.1; done
url=$(sed -n 's/^list URL: //p' "$work/serve.out")

# fastest <name> <prepare> <command>: the fastest of three runs on a pseudo-terminal, with the
# line and with --quiet taking turns, into <name>_line and <name>_quiet.
fastest() {
  local name=$1 prepare=$2 command=$3 line="" quiet="" seconds
  for _ in 1 2 3; do
    for mode in line quiet; do
      eval "$prepare"
      local options=""
      [ "$mode" = quiet ] && options=" --quiet"
      sync
      /usr/bin/time -f '%e' -o "$work/time" script -qec "$command$options" /dev/null >/dev/null
      seconds=$(cat "$work/time")
      if [ "$mode" = line ]; then
        [ -z "$line" ] || awk -v a="$seconds" -v b="$line" 'BEGIN {exit !(a < b)}' && line=$seconds
      else
        [ -z "$quiet" ] || awk -v a="$seconds" -v b="$quiet" 'BEGIN {exit !(a < b)}' && quiet=$seconds
      fi
    done
  done
  printf "   %-6s line %6.2f s  quiet %6.2f s  ratio %.3f (target <= 1.02)\n" "$name" "$line" \
    "$quiet" "$(awk -v l="$line" -v q="$quiet" 'BEGIN {print (q > 0 ? l / q : 0)}')"
}

echo "-- on a pseudo-terminal, fastest of three"
fastest pack 'rm -f "$work/p.vpk"' "'$bin/vpk' pack '$work/big' '$work/p.vpk'"
fastest check ':' "'$bin/varne-release' check $url --public-key $(cat "$work/public")"
