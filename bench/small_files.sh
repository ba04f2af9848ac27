# Sourced by the benchmarks that need many small files, so that they all measure the same shape.
# make_small_files <folder>: 2,000 files of 1 B to 16 KiB of random bytes in 20 sub-folders.
make_small_files() {
  local folder file
  for folder in $(seq -w 0 19); do
    mkdir -p "$1/dir$folder"
    for file in $(seq -w 0 99); do
      head -c $((RANDOM % 16384 + 1)) /dev/urandom >"$1/dir$folder/file$file.dat"
    done
  done
}
