#!/usr/bin/env python3
"""The read-seek-rewrite loop of editors, databases and bonnie++'s rewrite
phase: writes a file of MIB MiB (default 16) in DIR, then reads 2000 8 KiB
blocks spread over it, seeking back and rewriting each one. Prints
microseconds per block for the loop, and apart from it the close that
ends it (a FUSE close writes back what the kernel kept; a local file
system's writes it later).

With -r, also times a one-byte read of DIR/.veskdebug (a veskfs mount's
own file, read past the kernel's cache): one round trip to the daemon.

usage: bench/rewrite_loop.py [-m MIB] [-r] DIR [DIR...]
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
    t1 = time.time()
    os.close(fd)
    t2 = time.time()
    os.unlink(p)
    return (t1 - t) / n * 1e6, (t2 - t1) * 1e3


def round_trip(d, n=2000):
    p = os.path.join(d, ".veskdebug")
    if not os.path.exists(p):
        return None
    fd = os.open(p, os.O_RDONLY)
    t = time.time()
    for _ in range(n):
        os.pread(fd, 1, 0)
    us = (time.time() - t) / n * 1e6
    os.close(fd)
    return us


if __name__ == "__main__":
    args = sys.argv[1:]
    mib = 16
    rt = False
    while args and args[0] in ("-m", "-r"):
        if args[0] == "-m" and len(args) >= 2:
            mib = int(args[1])
            args = args[2:]
        elif args[0] == "-r":
            rt = True
            args = args[1:]
        else:
            break
    if not args:
        sys.exit(__doc__)
    for d in args:
        us, close_ms = loop(d, mib)
        line = "%s %.1f us/block, close %.1f ms" % (d, us, close_ms)
        if rt:
            r = round_trip(d)
            if r is not None:
                line += ", round trip %.1f us" % r
        print(line)
