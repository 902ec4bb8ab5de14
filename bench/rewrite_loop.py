#!/usr/bin/env python3
"""The read-seek-rewrite loop of editors, databases and bonnie++'s rewrite
phase: writes a file of MIB MiB (default 16) in DIR, then reads 2000 8 KiB
blocks spread over it, seeking back and rewriting each one. Prints
microseconds per block.

usage: bench/rewrite_loop.py [-m MIB] DIR [DIR...]
"""
import os
import sys
import time


def loop(d, mib, n=2000, block=8192):
    p = os.path.join(d, "rewrite_loop.tmp")
    fd = os.open(p, os.O_CREAT | os.O_RDWR | os.O_TRUNC, 0o644)
    chunk = os.urandom(1 << 20)
    for _ in range(mib):
        os.write(fd, chunk)
    os.close(fd)
    fd = os.open(p, os.O_RDWR)
    step = max(1, (mib << 20) // block // n)
    t = time.time()
    for i in range(n):
        off = i * step * block
        b = os.pread(fd, block, off)
        os.pwrite(fd, b, off)
    os.close(fd)
    us = (time.time() - t) / n * 1e6
    os.unlink(p)
    return us


if __name__ == "__main__":
    args = sys.argv[1:]
    mib = 16
    if len(args) >= 2 and args[0] == "-m":
        mib = int(args[1])
        args = args[2:]
    if not args:
        sys.exit(__doc__)
    for d in args:
        print("%s %.1f us/block" % (d, loop(d, mib)))
