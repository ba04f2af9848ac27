#!/usr/bin/env bash
# How long a normal request waits while 2,000 other clients hold connections open, half of them
# sending nothing and half dripping their request one byte every 5 s: varne-release serve and
# nginx (with the site's own configuration) in the same run, under the same crowd. Prints the
# median, the 95th percentile and the worst of the probes' times for each (target for serve:
# within 50 ms). Not part of the tests.
set -euo pipefail
cd "$(dirname "$0")/../.."
release=${VARNE_RELEASE:-build-release/bin/varne-release}
[ -x "$release" ] || { echo "build $release first (scripts/bench.sh does)"; exit 1; }
# Every held connection costs each side a descriptor: the soft limit goes up to the hard one.
ulimit -n "$(ulimit -Hn)"
[ "$(ulimit -n)" = unlimited ] || [ "$(ulimit -n)" -ge 4500 ] || { echo "too few descriptors"; exit 1; }

dir=$(mktemp -d /tmp/varne-slow-bench.XXXXXX)
serve_pid=
cleanup() {
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
  [ -f "$dir/nginx.pid" ] && nginx -q -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf" -s stop || true
  sleep 0.2
  rm -rf "$dir"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
nginx_port=$(free_port)
serve_port=$(free_port)
mkdir -p "$dir/image" "$dir/site"
head -c 4096 /dev/urandom >"$dir/image/game.dat"
"$release" build "$dir/image" "$dir/site" --listen "127.0.0.1:$nginx_port" >/dev/null

# The site's server block, in an nginx of the benchmark's own with room for the crowd.
{
  echo "user root; worker_processes 1; worker_rlimit_nofile 8192; pid $dir/nginx.pid;"
  echo "error_log $dir/error.log; events { worker_connections 8192; }"
  echo "http { access_log off; include $dir/site/nginx-site.conf;"
  for temporary in client_body proxy fastcgi uwsgi scgi; do
    echo "  ${temporary}_temp_path $dir/$temporary;"
  done
  echo "}"
} >"$dir/nginx.conf"
nginx -q -p "$dir" -e "$dir/error.log" -c "$dir/nginx.conf"
"$release" serve "$dir/site" --listen "127.0.0.1:$serve_port" >/dev/null &
serve_pid=$!
sleep 0.5

python3 - "$serve_port" "$nginx_port" "${VARNE_BENCH_SECONDS:-20}" <<'PY'
import socket, statistics, sys, time

CROWD = 2000
REQUEST = b"GET /filelist HTTP/1.0\r\n\r\n"
DRIP = b"GET /filelist HTTP/1.1\r\nX-Slow: " + b"a" * 64

def connect(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.setblocking(False)
    return s

def probe(port):
    start = time.perf_counter()
    reply = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            s.sendall(REQUEST)
            while chunk := s.recv(65536):
                reply += chunk
    except OSError as error:  # reset, refused or timed out
        reply = repr(error).encode()
    if reply.split(b" ", 2)[1:2] != [b"200"]:
        print("refused:", reply[:60], file=sys.stderr)
        return None
    return (time.perf_counter() - start) * 1000

def measure(port):
    idle = [connect(port) for _ in range(CROWD // 2)]
    dripping = [[connect(port), 0] for _ in range(CROWD // 2)]
    times, failed, next_drip = [], 0, 0.0
    end = time.monotonic() + float(sys.argv[3])
    while time.monotonic() < end:
        if time.monotonic() >= next_drip:
            next_drip = time.monotonic() + 5
            for entry in dripping:
                try:
                    entry[0].send(DRIP[entry[1] % len(DRIP):][:1])
                    entry[1] += 1
                except OSError:  # cut off by the server: another takes its place
                    entry[0].close()
                    entry[:] = [connect(port), 0]
            # Idle ones that the server closed come back too, so the crowd stays whole.
            for i, s in enumerate(idle):
                try:
                    if s.recv(1) == b"":
                        raise OSError
                except BlockingIOError:
                    pass
                except OSError:
                    s.close()
                    idle[i] = connect(port)
        t = probe(port)
        if t is None:
            failed += 1
        else:
            times.append(t)
        time.sleep(0.2)
    for s in idle + [e[0] for e in dripping]:
        s.close()
    return times, failed

for name, port in (("serve", int(sys.argv[1])), ("nginx", int(sys.argv[2]))):
    times, failed = measure(port)
    answered = (f"median {statistics.median(times):.1f} ms, "
                f"95th percentile {sorted(times)[int(len(times) * 0.95)]:.1f} ms, "
                f"worst {max(times):.1f} ms" if times else "none answered")
    print(f"{name}: {len(times) + failed} probes under {CROWD} slow or idle connections: "
          f"{answered}, failed {failed}")
    sys.stdout.flush()
    time.sleep(1)
PY
