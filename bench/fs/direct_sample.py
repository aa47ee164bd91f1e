#!/usr/bin/env python3
"""Reads random 4 KiB blocks of a file with O_DIRECT through a mount and compares each with the
same block of the exported copy, so that a file system answering direct reads with wrong data
cannot post a random-read rate. Exits 1 with the first mismatch on stderr."""
import mmap
import os
import random
import sys

BLOCK = 4096


def main():
    if len(sys.argv) != 4:
        print(f"usage: {sys.argv[0]} MOUNTED_FILE EXPORTED_FILE SAMPLES", file=sys.stderr)
        return 2
    mounted, exported, samples = sys.argv[1], sys.argv[2], int(sys.argv[3])
    size = os.path.getsize(exported)
    if size < BLOCK:
        print(f"{exported} is smaller than one block", file=sys.stderr)
        return 1
    # O_DIRECT wants an aligned buffer; an anonymous map is page-aligned.
    buffer = mmap.mmap(-1, BLOCK)
    direct = os.open(mounted, os.O_RDONLY | os.O_DIRECT)
    try:
        with open(exported, "rb") as reference:
            rng = random.Random(4096)
            for _ in range(samples):
                offset = rng.randrange(size // BLOCK) * BLOCK
                got = os.preadv(direct, [buffer], offset)
                reference.seek(offset)
                want = reference.read(BLOCK)
                if got != len(want) or buffer[:got] != want:
                    print(f"block at offset {offset} differs from the export", file=sys.stderr)
                    return 1
    finally:
        os.close(direct)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except OSError as error:
        print(f"direct read: {error}", file=sys.stderr)
        sys.exit(1)
