#!/usr/bin/env python3
"""The read-seek-rewrite loop of editors, databases and bonnie++'s rewrite
phase: writes a 16 MiB file in DIR, then reads each 8 KiB block, seeks
back and rewrites it (2000 blocks). Prints microseconds per block.

usage: bench/rewrite_loop.py DIR [DIR...]
"""
import os
import sys
import time


def loop(d, n=2000, block=8192):
    p = os.path.join(d, "rewrite_loop.tmp")
    fd = os.open(p, os.O_CREAT | os.O_RDWR | os.O_TRUNC, 0o644)
    os.write(fd, os.urandom(16 << 20))
    os.close(fd)
    fd = os.open(p, os.O_RDWR)
    t = time.time()
    for i in range(n):
        off = i * block
        b = os.pread(fd, block, off)
        os.pwrite(fd, b, off)
    os.close(fd)
    us = (time.time() - t) / n * 1e6
    os.unlink(p)
    return us


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    for d in sys.argv[1:]:
        print("%s %.1f us/block" % (d, loop(d)))
