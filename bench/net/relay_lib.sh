# Shell shared by the benchmarks that run through link_relay.py; sourced, not run.
# shellcheck shell=bash

relay_script=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/link_relay.py
relay_pid=

# start_relay <target-port> <rtt-ms> <mbit> <folder>: starts a relay on a free port of 127.0.0.1
# in front of the target and sets relay_port and relay_pid. Fails when it has not said its port
# within 20 s (a loaded machine starts Python slowly).
start_relay() {
  local file=$4/relay.port
  mkdir -p "$4"
  : >"$file"
  python3 "$relay_script" --port 0 --target "$1" --rtt-ms "$2" --mbit "$3" >"$file" &
  relay_pid=$!
  for _ in $(seq 200); do
    relay_port=$(head -n 1 "$file")
    [ -n "$relay_port" ] && return 0
    kill -0 "$relay_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the relay did not start" >&2
  stop_relay
  return 1
}

# stop_relay: stops the relay that start_relay started, if it runs, and waits for it to end.
stop_relay() {
  [ -n "$relay_pid" ] || return 0
  kill "$relay_pid" 2>/dev/null || true
  wait "$relay_pid" 2>/dev/null || true
  relay_pid=
}

# relay_cpu_seconds: the processor time the running relay has used so far.
relay_cpu_seconds() {
  awk -v tick="$(getconf CLK_TCK)" '{print ($14 + $15) / tick}' "/proc/$relay_pid/stat"
}

# free_port <count>: the first of <count> ports in a row that no socket uses, below the system's
# range for outgoing connections, so that a benchmark beside this one keeps its own.
free_port() {
  local port pattern
  while :; do
    port=$((20000 + RANDOM % 12000))
    pattern=$(seq -s '|' "$port" $((port + $1 - 1)))
    ss -tanH | awk '{print $4}' | grep -qE ":($pattern)\$" || break
  done
  echo "$port"
}
