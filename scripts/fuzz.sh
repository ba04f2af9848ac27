#!/usr/bin/env bash
# fuzz.sh <build-folder> <seconds>: runs every fuzz target of the build folder for that long, each
# starting from its seed corpus in fuzz/corpus/<target>/ when there is one. A crash fails the run.
set -euo pipefail
folder=$1
seconds=$2
shopt -s nullglob
for target in "$folder"/bin/fuzz_*; do
  name=$(basename "$target")
  corpus="$folder/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "-- $name for ${seconds}s"
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$folder/" \
    "$corpus" "${seeds[@]}" 2>"$folder/$name.log" || { tail -n 60 "$folder/$name.log"; exit 1; }
  grep -E '^stat::number_of_executed_units' "$folder/$name.log" || true
done
