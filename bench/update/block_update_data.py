#!/usr/bin/env python3
"""Deterministic test files for block_update_bench.sh, made at disk speed.

  base <file> <bytes> <seed>           incompressible bytes: an AES-128-CTR keystream from openssl
  scatter <file> <pieces> <seed>       rewrites <pieces> 64 KiB pieces of <file> in place, one at a
                                       random offset in each of <pieces> equal stretches
  shift <old> <new> <edits> <seed>     <new> is <old> with <edits> insertions or deletions of
                                       1-8 KiB, one in each of <edits> equal stretches

The same arguments always give the same bytes, so every run measures the same change.
"""
import os
import random
import subprocess
import sys

PIECE = 64 << 10
SMALLEST_EDIT = 1 << 10
LARGEST_EDIT = 8 << 10


def base(path, size, seed):
    # The keystream of zeros: a sparse input of the right size makes openssl write exactly `size`
    # bytes, and AES with the processor's instructions outruns the disk.
    with open(path, "wb") as out:
        out.truncate(size)
    key = random.Random(seed).randbytes(16).hex()
    subprocess.run(["openssl", "enc", "-aes-128-ctr", "-nosalt", "-K", key, "-iv", "0" * 32,
                    "-in", path, "-out", path + ".tmp"], check=True)
    os.replace(path + ".tmp", path)


def stretches(size, count, room, seed):
    """One random offset in each of `count` equal stretches, leaving `room` bytes before the next."""
    chooser = random.Random(seed)
    stretch = size // count
    if stretch <= room:
        sys.exit(f"{count} changes of {room} bytes do not fit in {size} bytes")
    return chooser, [i * stretch + chooser.randrange(stretch - room) for i in range(count)]


def scatter(path, pieces, seed):
    chooser, offsets = stretches(os.path.getsize(path), pieces, PIECE, seed)
    with open(path, "r+b") as out:
        for offset in offsets:
            out.seek(offset)
            out.write(chooser.randbytes(PIECE))


def shift(old_path, new_path, edits, seed):
    chooser, offsets = stretches(os.path.getsize(old_path), edits, LARGEST_EDIT, seed)
    with open(old_path, "rb", buffering=0) as old, open(new_path, "wb", buffering=0) as new:
        done = 0
        for offset in offsets:
            copy(old, new, offset - done)
            length = chooser.randint(SMALLEST_EDIT, LARGEST_EDIT)
            if chooser.random() < 0.5:
                new.write(chooser.randbytes(length))
                done = offset
            else:
                done = offset + length
            old.seek(done)
        copy(old, new, os.path.getsize(old_path) - done)


def copy(source, target, count):
    while count > 0:
        copied = os.copy_file_range(source.fileno(), target.fileno(), count)
        if copied == 0:
            sys.exit("the old file ended early")
        count -= copied


def main():
    command, *args = sys.argv[1:]
    if command == "base":
        base(args[0], int(args[1]), int(args[2]))
    elif command == "scatter":
        scatter(args[0], int(args[1]), int(args[2]))
    elif command == "shift":
        shift(args[0], args[1], int(args[2]), int(args[3]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
