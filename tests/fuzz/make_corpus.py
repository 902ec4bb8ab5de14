#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into tests/fuzz/corpus/<target>/.

Each seed is a small input laid out the way its target reads it (see the
comment at the top of each fuzz_<target>.cpp); the binary formats follow
src/container/Format.h. Run it again after changing a target's input
layout, and commit what it writes.
"""
import os
import shutil
import struct
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
seeds = {}


def seed(target, name, data):
    if isinstance(data, str):
        data = data.encode("latin-1")
    seeds.setdefault(target, {})[name] = data


# --- msgsink: selector, optional format, 6 bytes of sender, datagram -----
SENDER = bytes([127, 0, 0, 1]) + struct.pack("<H", 5140)


def dgram(fmt, text):
    if fmt is None:
        head = b"\x80"
    else:
        f = fmt.encode()
        head = bytes([len(f)]) + f
    return head + SENDER + (text.encode("latin-1") if isinstance(text, str) else text)


seed("msgsink", "six_fields", dgram(None, "1 h t f l m"))
seed("msgsink", "runs_of_spaces", dgram(None, "1   host  tag   FAC  INFO  a  message  \n"))
seed("msgsink", "short_host", dgram("H", "1 alpha.beta t f l m"))
seed("msgsink", "dot_host_then_h", dgram("Hh", "1 .beta t f l m"))
seed("msgsink", "no_conversion", dgram("dXm", "1 h t f l m"))
seed("msgsink", "empty_format", dgram("", "1 h t f l m"))
seed("msgsink", "five_fields", dgram(None, "1 h t f l "))
seed("msgsink", "invalid_but_six", dgram(None, "x h t f l m"))
seed("msgsink", "crlf_tab_ff", dgram(None, "1 h t f l a\tb\xff\r\n"))
seed("msgsink", "nul_inside", dgram(None, b"1 h t f l m\x00 more"))
seed("msgsink", "source", dgram("s m", "1 h t f l m"))

# --- bufdig: mode byte; bit 0 makes a ring (lead, size, trail, pieces) --
def ring(mode, lead, size, trail, pieces, tweak_at=0, tweak=0, older=None):
    out = bytes([mode, lead]) + struct.pack("<I", size - 1) + bytes([trail, tweak_at, tweak])
    if mode & 8:
        out += bytes([older[0] - 1, older[1]])
    out += b"L" * lead
    for p in pieces:
        out += bytes([len(p)]) + p
    return out


seed("bufdig", "raw_zeros", b"\x00" * 200)
seed("bufdig", "raw_text", b"\x00" + b"no ring in here\n" * 8)
seed("bufdig", "one_piece", ring(1, 8, 128, 4, [b"first line\n", b"second line\n"]))
seed("bufdig", "wrapped", ring(1, 3, 40, 0, [b"line %02d of the log\n" % i for i in range(12)]))
seed("bufdig", "overlong", ring(1, 0, 16, 8, [b"x" * 60 + b"\n", b"ok\n"]))
seed("bufdig", "no_line_feed", ring(1, 5, 24, 2, [b"abcdefghij" * 5]))
seed("bufdig", "bad_pos_resealed", ring(7, 0, 64, 0, [b"a\n", b"b\n"], 24, 0x40))
seed("bufdig", "bad_size_resealed", ring(7, 2, 64, 0, [b"a\n"], 17, 0x10))
seed("bufdig", "older_ring_first", ring(9, 3, 48, 0, [b"new\n", b"newer\n"], older=(30, 5)))
seed("bufdig", "older_ring_tweaked", ring(15, 0, 48, 0, [b"new\n"], 40, 0x7f, older=(30, 2)))
seed("bufdig", "stale_check", ring(3, 0, 64, 0, [b"a\n"], 16, 0x01))

# --- index_log: data size selector, then the log -------------------------
def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
    return c ^ 0xFFFFFFFF


def idx_header(pid=4242, version=2):
    rs = 64 if version == 2 else 48
    h = b"VESKIDX\x00" + struct.pack("<IIII", version, 64, rs, pid) + struct.pack("<d", 1.7e9)
    h += b"\x00" * 28
    return h + struct.pack("<I", crc32c(h) if version == 2 else 0)


def rec(lo, ln, po, t, kind=0, pid=4242, version=2, data_crc=0):
    r = struct.pack("<QQQddII", lo, ln, po, t, t + 0.001, pid, kind)
    if version == 1:
        return r
    r += struct.pack("<I", data_crc) + b"\x00" * 8
    return r + struct.pack("<I", crc32c(r))


def idx_seed(data_size, body):
    return struct.pack("<I", data_size) + body


NO_CHECK = 0x80000000
KEEP_SUMS = 0x40000000
seed("index_log", "empty", idx_seed(0, b""))
seed("index_log", "header_only", idx_seed(0, idx_header()))
seed("index_log", "partial_header", idx_seed(0, idx_header()[:20]))
seed("index_log", "sequential", idx_seed(300, idx_header() + b"".join(
    rec(i * 100, 100, i * 100, 10.0 + i) for i in range(3))))
seed("index_log", "overlaps", idx_seed(1000, idx_header() + rec(0, 500, 0, 5.0) +
                                       rec(100, 50, 500, 6.0) + rec(400, 300, 550, 4.0)))
seed("index_log", "truncations", idx_seed(NO_CHECK, idx_header() + rec(0, 200, 0, 1.0) +
                                          rec(50, 0, 0, 2.0, kind=1) + rec(300, 10, 200, 3.0) +
                                          rec(400, 0, 0, 4.0, kind=1)))
seed("index_log", "torn_last", idx_seed(100, idx_header() + rec(0, 100, 0, 1.0) + b"\x01" * 20))
seed("index_log", "beyond_data", idx_seed(50, idx_header() + rec(0, 100, 0, 1.0)))
seed("index_log", "bad_kind", idx_seed(100, idx_header() + rec(0, 10, 0, 1.0, kind=9)))
seed("index_log", "nan_time", idx_seed(100, idx_header() + rec(0, 10, 0, float("nan"))))
seed("index_log", "record_sum_wrong", idx_seed(KEEP_SUMS | 300, idx_header() +
                                               rec(0, 100, 0, 1.0)[:-1] + b"\x55"))
seed("index_log", "header_sum_wrong", idx_seed(KEEP_SUMS | 300, idx_header()[:-1] + b"\x55" +
                                               rec(0, 100, 0, 1.0)))
# damage the reader that serves what survives must describe: a record one
# byte off its checksum (mended: its own range), a short log of wrong bytes
def one_byte_off(r, at):
    return r[:at] + bytes([r[at] ^ 0x10]) + r[at + 1:]


seed("index_log", "record_one_byte_off", idx_seed(KEEP_SUMS | 300, idx_header() +
                                                  rec(0, 100, 0, 1.0) +
                                                  one_byte_off(rec(100, 100, 100, 2.0), 9) +
                                                  rec(200, 100, 200, 3.0)))
# size records: of the log's writer (bit 28) and of a writer whose log is
# missing (bit 29), claiming an end of bits 24-27 thousand bytes
OWN_SIZE, MISSING_SIZE = 0x10000000, 0x20000000
seed("index_log", "size_records", idx_seed(KEEP_SUMS | OWN_SIZE | MISSING_SIZE | (5 << 24) | 300,
                                           idx_header() + rec(0, 100, 0, 1.0) +
                                           one_byte_off(rec(100, 100, 100, 2.0), 60) +
                                           b"\0" * 64))
seed("index_log", "missing_writer_no_end", idx_seed(MISSING_SIZE | 300, idx_header() +
                                                    rec(0, 300, 0, 1.0)))
seed("index_log", "short_wrong_magic", idx_seed(0, b"VESKJDX\0" + b"\0" * 12))
seed("index_log", "version1", idx_seed(300, idx_header(version=1) + b"".join(
    rec(i * 100, 100, i * 100, 10.0 + i, version=1) for i in range(3))))

# --- flat_index: a selector byte (odd: keep the checksums as given), then a
# flattened index as bytes
def flat(entries, sources, eof, keep_sums=False):
    body = b""
    for size, rel in sources:
        body += struct.pack("<Q", size) + rel.encode()[:248].ljust(248, b"\x00")
    for lo, ln, po, src in entries:
        body += struct.pack("<QQQII", lo, ln, po, src, 0)
    h = b"VESKGIX\x00" + struct.pack("<IIIIQII", 2, 64, 32, 256, len(entries), len(sources), 0)
    h += struct.pack("<QdI", eof, 1.7e9, crc32c(body))
    h += struct.pack("<I", crc32c(h))
    return bytes([1 if keep_sums else 0]) + h + body


SRC = [(64 + 64 * 3, "hostdir.a/index.17"), (64 + 64, "hostdir.b/index.23")]
seed("flat_index", "empty", flat([], [], 0))
seed("flat_index", "two_logs", flat([(0, 100, 0, 0), (100, 50, 0, 1), (400, 10, 100, 0)], SRC, 500))
seed("flat_index", "overlapping", flat([(0, 100, 0, 0), (50, 100, 0, 1)], SRC, 500))
seed("flat_index", "past_eof", flat([(0, 100, 0, 0)], SRC, 50))
seed("flat_index", "long_name", flat([(0, 1, 0, 0)], [(112, "h/" + "x" * 260)], 1))
seed("flat_index", "sums_kept", flat([(0, 100, 0, 0)], SRC, 500, keep_sums=True))
# two writers' stripes (kept as one period), and the same with the pattern
# broken in its third period
STRIPES = [(k * 160 + 100 * w, 100 - 40 * w, k * (100 - 40 * w), w) for k in range(4) for w in (0, 1)]
seed("flat_index", "stripes", flat(STRIPES, SRC, 640))
seed("flat_index", "stripes_broken", flat(STRIPES[:5] + [(420, 60, 999, 1)] + STRIPES[6:], SRC, 640))

# --- config: the text of a configuration file ----------------------------
seed("config", "two_mounts", """\
# globals
log_level = info,CONT=dbg2
log_buffer = 4096
trace = 1

[mount /vesk/ckpt]
backends = /scratch/a /scratch/b
layout = container

[mount /vesk/flat/]
backends = /scratch//c/./d
layout = flat
#/vesk/ckpt/run1/file.0
#/vesk/ckpt/../ckpt/x
#/vesk/ckpt/..
#/vesk/ckptx/y
#/vesk/./flat//deep/er/../name
#/elsewhere
""")
seed("config", "root_mount", "[mount /]\nbackends = /b1 /b2 /b3\n[mount /a/b]\nbackends = /c\n"
     "#/a\n#/a/b\n#/a/b/c/..\n#/a/b/..\n#/x/" + "n" * 300 + "\n")
seed("config", "errors", """\
[mount relative]
[mount /x]
backends =
layout = sideways
nonsense
log_buffer = 99999999999
[mount /x
""")
seed("config", "twice", "[mount /a]\nbackends = /b /b\n[mount /a/]\nbackends = /c\n")
seed("config", "dotdot", "debug = yes\n[mount /a/../b]\nbackends = /../x /y/.. # comment\n")
seed("config", "crlf", "log_file = /tmp/v.log\r\n[mount /m]\r\nbackends = /b\r\n")

# --- meta: marker length, marker, then names one per line -----------------
def meta(marker, names):
    m = marker.encode()
    return bytes([len(m)]) + m + "\n".join(names).encode()


seed("meta", "sound", meta("vesk-container 1\n",
                           ["w.100.100.160.1700000000000000.17.hosta",
                            "t.50.1700000000000001", "t.60.1700000000000000",
                            "17.hosta", "23.host.with.dots"]))
seed("meta", "odd_names", meta("vesk-container 2\n",
                               ["w.1.2.3.4.0.h", "w.x", "t.", "0.h", "-5.h", "w.1.2.3.4.5.",
                                "t.1152921504606846976.1"]))
seed("meta", "marker_trailing", meta("vesk-container 1\nextra", ["5.h"]))
seed("meta", "no_marker", meta("", []))


def summed(kind, rest):
    return "%s2.%08x.%s" % (kind, crc32c(rest.encode()), rest)


def marker(version):
    line = "vesk-container %d\n" % version
    return line + "crc32c %08x\n" % crc32c(line.encode())


seed("meta", "checksummed", meta(marker(2),
                                 [summed("w", "100.100.192.1700000000000000.17.hosta"),
                                  summed("t", "50.1700000000000001"),
                                  "w2.00000000.5.5.128.1.9.hostb", "t2.zzzzzzzz.1.2"]))


def main():
    for target, files in seeds.items():
        d = os.path.join(ROOT, target)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        for name, data in files.items():
            with open(os.path.join(d, name), "wb") as f:
                f.write(data)
    print("%d seeds in %d corpora" % (sum(len(v) for v in seeds.values()), len(seeds)),
          file=sys.stderr)


if __name__ == "__main__":
    main()
