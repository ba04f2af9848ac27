#!/usr/bin/env bash
# fuzz.sh <build-folder> <seconds>: runs every fuzz target of the build folder for that long, each
# starting from its seed corpus in fuzz/corpus/<target>/ when there is one, as many at once as
# there are cores (each target is single-threaded). A crash fails the run.
set -euo pipefail
folder=$1
seconds=$2
shopt -s nullglob

fuzz_one() {
  local target=$1 name corpus seeds=()
  name=$(basename "$target")
  corpus="$folder/corpus/$name"
  mkdir -p "$corpus"
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$folder/" \
    "$corpus" "${seeds[@]}" 2>"$folder/$name.log"; then
    echo "-- $name failed" && tail -n 60 "$folder/$name.log"
    return 1
  fi
  echo "-- $name for ${seconds}s: $(grep -E '^stat::number_of_executed_units' "$folder/$name.log")"
}

failed=0
running=0
for target in "$folder"/bin/fuzz_*; do
  fuzz_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$(nproc)" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
