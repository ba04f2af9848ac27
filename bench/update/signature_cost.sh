#!/usr/bin/env bash
# What a mirror without the publisher's key can make an updater spend before its signature
# document is refused: each hostile document is served by varne-release serve as the list's
# ".sig", and varne-release check with a public key fetches and verifies it as the updater does.
# Prints, per document, the bytes served, the CPU seconds and the peak resident memory over a check
# of the same list without a key (the bound: 1 s and 64 MiB over the bytes received).
#
# SIGNED_PART_LINES sets how many signature lines follow the 40 MiB signed part (423,666 fill the
# document); a smaller count gives a cost per line when the whole would take hours.
set -euo pipefail
source "$(dirname "$0")/one_file_site.sh"
key=$("$bin/varne-release" keygen "$work/publisher.key")
one_file_site --sign "$work/publisher.key"
serve_site
url="http://127.0.0.1:$port/filelist"
mib=$((1 << 20))
# 64 bytes that decode as a signature of the right size and verify under no key.
junk="signature $(head -c 64 /dev/zero | tr '\0' 'J' | base64 -w0)"

costs() {  # costs <label> [--public-key <key>]: "<cpu seconds> <peak KiB>" of one check
  /usr/bin/time -f '%U %S %M' -o "$work/time" "$bin/varne-release" check "$url" "${@:2}" \
    >/dev/null 2>"$work/err" || true
  tail -n 1 "$work/time" | awk '{print $1 + $2, $3}'
}

read -r _ base_kib < <(costs base)

measure() {  # measure <label>: checks the document now in the site's filelist.sig
  local bytes cpu kib
  bytes=$(stat -c %s "$work/site/filelist.sig")
  read -r cpu kib < <(costs "$1" --public-key "$key")
  awk -v label="$1" -v bytes="$bytes" -v cpu="$cpu" -v kib="$kib" -v base="$base_kib" \
    -v said="$(head -c 80 "$work/err")" 'BEGIN {
      printf "%-36s %6.1f MiB served  %8.2f s CPU  %7.1f MiB over the bytes  (%s)\n",
        label, bytes / 1048576, cpu, (kib - base) / 1024 - bytes / 1048576, said }'
}

{ yes "$junk" || true; } | head -c $((80 * mib - 100)) | head -n -1 >"$work/site/filelist.sig"
measure "junk signature lines"

lines=${SIGNED_PART_LINES:-423666}
{
  printf 'varne-release-signature 1\nserial 1\nexpires 2099-01-01T00:00:00Z\nlist 1 %064d\n' 0
  # As many file lines as leave room for 423,666 signature lines within the size limit.
  { yes "file $(printf '%064d' 0)" || true; } | head -n $(((80 * mib - 423666 * 99) / 70 - 10))
  { yes "$junk" || true; } | head -n "$lines"
} >"$work/site/filelist.sig"
measure "40 MiB signed part, $lines signatures"

head -c $((80 * mib)) /dev/zero | tr '\0' '\n' >"$work/site/filelist.sig"
measure "line feeds"
