# Sourced by the benchmarks that fetch a hostile document from a site of one file served by
# varne-release serve: sets bin, work (removed at exit) and port; one_file_site <build options...>
# builds the site in $work/site without block data; serve_site starts serving it and waits until
# it answers.
bin=${BIN:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/build/bin}
work=$(mktemp -d /tmp/varne-bench.XXXXXX)
server=
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
port=$((20000 + RANDOM % 20000))

one_file_site() {
  mkdir "$work/image"
  echo x >"$work/image/a"
  "$bin/varne-release" build "$work/image" "$work/site" --listen "127.0.0.1:$port" --no-blocks \
    "$@" >/dev/null
}

serve_site() {
  "$bin/varne-release" serve "$work/site" >/dev/null 2>&1 &
  server=$!
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
  done
}
