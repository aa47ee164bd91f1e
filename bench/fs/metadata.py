#!/usr/bin/env python3
"""Timed per-file metadata workloads on one directory: create, stat, unlink.

Prints the elapsed seconds of the timed loop on stdout. The result is checked after the clock
stops; a mismatch prints the reason on stderr and exits 1, so no number is reported for it.
"""
import os
import stat
import sys
import time


def names(count):
    return [f"f{i:06d}" for i in range(count)]


def create(directory, count):
    paths = [os.path.join(directory, n) for n in names(count)]
    flags = os.O_CREAT | os.O_EXCL | os.O_WRONLY
    start = time.perf_counter()
    for path in paths:
        os.close(os.open(path, flags, 0o644))
    elapsed = time.perf_counter() - start
    found = sorted(os.listdir(directory))
    if found != names(count):
        return elapsed, f"expected {count} entries, found {len(found)}"
    return elapsed, None


def stat_all(directory, count):
    paths = [os.path.join(directory, n) for n in names(count)]
    failures = 0
    wrong = 0
    start = time.perf_counter()
    for path in paths:
        try:
            st = os.stat(path)
        except OSError:
            failures += 1
            continue
        if not stat.S_ISREG(st.st_mode) or st.st_size != 0:
            wrong += 1
    elapsed = time.perf_counter() - start
    if failures or wrong:
        return elapsed, f"{failures} stats failed, {wrong} were not empty regular files"
    return elapsed, None


def unlink_all(directory, count):
    paths = [os.path.join(directory, n) for n in names(count)]
    start = time.perf_counter()
    for path in paths:
        os.unlink(path)
    elapsed = time.perf_counter() - start
    left = os.listdir(directory)
    if left:
        return elapsed, f"{len(left)} entries left after unlinking"
    return elapsed, None


WORKLOADS = {"create": create, "stat": stat_all, "unlink": unlink_all}


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in WORKLOADS:
        print(f"usage: {sys.argv[0]} {{{'|'.join(WORKLOADS)}}} DIR COUNT", file=sys.stderr)
        return 2
    try:
        elapsed, problem = WORKLOADS[sys.argv[1]](sys.argv[2], int(sys.argv[3]))
    except OSError as error:
        print(f"{sys.argv[1]}: {error}", file=sys.stderr)
        return 1
    if problem:
        print(f"{sys.argv[1]}: {problem}", file=sys.stderr)
        return 1
    print(f"{elapsed:.6f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
