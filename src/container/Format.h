/*
 * On-disk format of a container. This comment is the reference; the same
 * text, with the reasoning, is in docs/container-format.md.
 *
 * A logical file is a directory (the container) at its backend path:
 *
 *   .vesk_container              marker: text "vesk-container <version>\n"
 *                                then "crc32c <crc>\n" (<crc>: CRC-32C of
 *                                the first line, 8 lowercase hex digits;
 *                                markers without that line still read);
 *                                its permission bits, owner and times are
 *                                the logical file's
 *   hostdir.<host>/data.<pid>    data log of one writer: raw bytes, only
 *                                ever appended (no header)
 *   hostdir.<host>/index.<pid>   index log of that writer: header, then
 *                                fixed-size records, only ever appended
 *   openwriters/<pid>.<host>     empty; present while that writer is open
 *   meta/w2.<crc>.<eof>.<bytes>.<isize>.<since>.<pid>.<host>
 *                                size record a writer leaves on close
 *   meta/t2.<crc>.<length>.<time> the latest truncation (<crc>: CRC-32C
 *                                of the rest of the name, 8 hex digits;
 *                                "w."/"t." names without it: version 1)
 *   global.index                 flattened index (optional)
 *
 * All integers are little-endian; timestamps are IEEE doubles (seconds
 * since the epoch) stored little-endian.
 *
 * Index log header (64 bytes):
 *   0  char[8]  magic "VESKIDX\0"
 *   8  u32      format version (2; logs of version 1 are still read)
 *   12 u32      header size (64)
 *   16 u32      record size (64; version 1: 48)
 *   20 u32      writer pid
 *   24 f64      creation time
 *   32 byte[28] zero
 *   60 u32      CRC-32C of bytes 0..59 (version 1: zero, not checked)
 * Index record (64 bytes; version 1: the first 48 only, no checksums):
 *   0  u64 logical offset    (write: where the bytes go; truncation: the
 *                             new length)
 *   8  u64 length            (truncation: 0)
 *   16 u64 physical offset   in the writer's data log
 *   24 f64 begin timestamp
 *   32 f64 end timestamp
 *   40 u32 writer pid
 *   44 u32 kind              0 write, 1 truncation
 *   48 u32 CRC-32C of the write's bytes (truncation: 0)
 *   52 byte[8] zero
 *   60 u32 CRC-32C of bytes 0..59 of the record
 * A log whose size is not header + n * record ends in a torn record (a
 * crash mid-append): the remainder is ignored. A log shorter than the
 * header is a writer that died while creating it and holds nothing.
 *
 * Flattened index "global.index":
 *   header (64 bytes):
 *     0  char[8] magic "VESKGIX\0"
 *     8  u32 version (1)      12 u32 header size (64)
 *     16 u32 entry size (32)  20 u32 source size (256)
 *     24 u64 entry count      32 u32 source count   36 u32 zero
 *     40 u64 logical end of file
 *     48 f64 creation time
 *     56 u32 CRC-32C of everything after the header (sources, entries)
 *     60 u32 CRC-32C of header bytes 0..59
 *   sources (256 bytes each): u64 size of the index log when flattened,
 *     char[248] its path relative to the container, NUL-padded
 *   entries (32 bytes each): u64 logical offset, u64 length,
 *     u64 physical offset, u32 source number, u32 zero
 * It is used only while every index log it lists still has the recorded
 * size and no other index log exists, and both checksums match; otherwise
 * (or when it is of version 1) it is ignored and the logs are merged.
 */
#ifndef VESK_CONTAINER_FORMAT_H
#define VESK_CONTAINER_FORMAT_H

#include <cstdint>
#include <cstring>

namespace vesk_fmt {

// The version written. Containers, index logs and flattened indexes of
// kOldVersion are still read (their records carry no checksums).
const uint32_t kVersion = 2;
const uint32_t kOldVersion = 1;
#define VESK_CONTAINER_VERSION_TEXT "2"

const char kIndexMagic[8] = {'V', 'E', 'S', 'K', 'I', 'D', 'X', '\0'};
const char kGlobalMagic[8] = {'V', 'E', 'S', 'K', 'G', 'I', 'X', '\0'};

const uint32_t kIndexHeaderSize = 64;
const uint32_t kIndexRecordSize = 64;
const uint32_t kIndexRecordSizeV1 = 48;
const uint32_t kIndexCrcAt = 60;  // headers and records: CRC of the bytes before
const uint32_t kGlobalBodyCrcAt = 56;
const uint32_t kGlobalHeaderSize = 64;
const uint32_t kGlobalEntrySize = 32;
const uint32_t kGlobalSourceSize = 256;
const uint32_t kGlobalNameMax = 248;

const uint32_t kKindWrite = 0;
const uint32_t kKindTrunc = 1;

// Offsets and lengths at or beyond this are corrupt: they could not come
// from a file this system wrote (writes and truncations reaching it are
// refused with EFBIG), and would overflow off_t arithmetic.
const uint64_t kMaxOffset = (uint64_t)1 << 60;
// A file's end is an offset plus a length, each below kMaxOffset: the
// flattened index accepts any end below their sum, so that every index a
// merge can build reads back.
const uint64_t kMaxEnd = kMaxOffset * 2;

// Little-endian on disk. On a little-endian host these are plain
// unaligned loads and stores: a merge decodes millions of fields.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
inline void put_u32(unsigned char *p, uint32_t v) { memcpy(p, &v, 4); }
inline void put_u64(unsigned char *p, uint64_t v) { memcpy(p, &v, 8); }
inline uint32_t get_u32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
inline uint64_t get_u64(const unsigned char *p) {
    uint64_t v;
    memcpy(&v, p, 8);
    return v;
}
#else
inline void put_u32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (unsigned char)(v >> (8 * i));
}
inline void put_u64(unsigned char *p, uint64_t v) {
    for (int i = 0; i < 8; i++) p[i] = (unsigned char)(v >> (8 * i));
}
inline uint32_t get_u32(const unsigned char *p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}
inline uint64_t get_u64(const unsigned char *p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}
#endif
inline void put_f64(unsigned char *p, double d) {
    uint64_t v;
    memcpy(&v, &d, 8);
    put_u64(p, v);
}
inline double get_f64(const unsigned char *p) {
    uint64_t v = get_u64(p);
    double d;
    memcpy(&d, &v, 8);
    return d;
}

}  // namespace vesk_fmt

#endif
