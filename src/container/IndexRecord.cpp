#include "container/IndexRecord.h"

#include "container/Format.h"
#include "mlog.h"
#include "util/Crc32c.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <unordered_map>

namespace vesk_fmt {

void encode_record(unsigned char *p, const IndexRecord &r) {
    put_u64(p + 0, r.logical);
    put_u64(p + 8, r.length);
    put_u64(p + 16, r.physical);
    put_f64(p + 24, r.begin);
    put_f64(p + 32, r.end);
    put_u32(p + 40, r.pid);
    put_u32(p + 44, r.kind);
    put_u32(p + 48, r.data_crc);
    memset(p + 52, 0, 8);
    put_u32(p + kIndexCrcAt, vesk_crc32c(0, p, kIndexCrcAt));
}

bool record_crc_ok(const unsigned char *p) {
    return get_u32(p + kIndexCrcAt) == vesk_crc32c(0, p, kIndexCrcAt);
}

namespace {

// One changed byte: where, and the bits it changed.
struct ByteChange {
    uint8_t at = 0;
    uint8_t bits = 0;
    uint8_t ways = 0;  // how many single-byte changes give this syndrome
};

// The syndrome of a record is the CRC-32C of its first kIndexCrcAt bytes
// xor the checksum it stores: 0 for a sound record. The CRC is affine in
// its input, so changing one byte moves the syndrome by a value that
// depends only on the byte's place and the bits changed, not on the rest
// of the record: a table of those values, made once, finds the one byte
// change that explains a syndrome by a lookup rather than by trying all
// 16 320 of them (which a log of many damaged records, a tail of zeros
// after a crash, would pay for each record at every open).
const std::unordered_map<uint32_t, ByteChange> &byte_changes() {
    static const std::unordered_map<uint32_t, ByteChange> table = [] {
        std::unordered_map<uint32_t, ByteChange> t;
        t.reserve(kIndexRecordSize * 255 * 2);
        auto add = [&t](uint32_t syndrome, size_t at, unsigned bits) {
            ByteChange &c = t[syndrome];
            if (c.ways++ == 0) {
                c.at = (uint8_t)at;
                c.bits = (uint8_t)bits;
            }
        };
        unsigned char z[kIndexCrcAt] = {0};
        const uint32_t zero = vesk_crc32c(0, z, kIndexCrcAt);
        for (size_t at = 0; at < kIndexCrcAt; at++) {
            for (unsigned bits = 1; bits < 256; bits++) {
                z[at] = (unsigned char)bits;
                add(vesk_crc32c(0, z, kIndexCrcAt) ^ zero, at, bits);
            }
            z[at] = 0;
        }
        // a changed byte of the stored checksum moves it alone
        for (size_t k = 0; k < 4; k++)
            for (unsigned bits = 1; bits < 256; bits++)
                add((uint32_t)bits << (8 * k), kIndexCrcAt + k, bits);
        return t;
    }();
    return table;
}

}  // namespace

bool mend_record(const unsigned char *p, IndexRecord *out) {
    // One byte changed is the likely damage; a CRC-32C tells one such
    // change from every other in a record this short, so a single
    // candidate that fits is the record as it was written.
    const uint32_t syndrome = vesk_crc32c(0, p, kIndexCrcAt) ^ get_u32(p + kIndexCrcAt);
    if (syndrome == 0) return false;  // sound: no one change keeps it so
    const auto &table = byte_changes();
    auto it = table.find(syndrome);
    if (it == table.end() || it->second.ways != 1) return false;
    unsigned char q[kIndexRecordSize];
    memcpy(q, p, kIndexRecordSize);
    q[it->second.at] ^= it->second.bits;
    if (!record_crc_ok(q)) return false;  // cannot be, but never guess
    *out = decode_record(q);
    return true;
}

uint32_t record_size_of(uint32_t version) {
    if (version == kVersion) return kIndexRecordSize;
    if (version == kOldVersion) return kIndexRecordSizeV1;
    return 0;
}

IndexRecord decode_record(const unsigned char *p) {
    IndexRecord r = decode_record_v1(p);
    r.data_crc = get_u32(p + 48);
    return r;
}

IndexRecord decode_record_v1(const unsigned char *p) {
    IndexRecord r;
    r.logical = get_u64(p);
    r.length = get_u64(p + 8);
    r.physical = get_u64(p + 16);
    r.begin = get_f64(p + 24);
    r.end = get_f64(p + 32);
    r.pid = get_u32(p + 40);
    r.kind = get_u32(p + 44);
    return r;
}

IndexRecord record_of(const HostEntry &e) {
    bool trunc = e.isTruncation();
    IndexRecord r;
    r.logical = (uint64_t)e.logical_offset;
    r.length = (uint64_t)e.length;
    r.physical = trunc ? 0 : (uint64_t)e.physical_offset;
    r.begin = e.begin_timestamp;
    r.end = e.end_timestamp;
    r.pid = (uint32_t)e.id;
    r.kind = trunc ? kKindTrunc : kKindWrite;
    r.data_crc = trunc ? 0 : e.data_crc;
    return r;
}

const char *check_record(const IndexRecord &r, off_t data_size) {
    if (r.kind != kKindWrite && r.kind != kKindTrunc) return "unknown record kind";
    if (r.logical >= kMaxOffset || r.length >= kMaxOffset || r.physical >= kMaxOffset)
        return "offset out of range";
    if (!std::isfinite(r.begin) || !std::isfinite(r.end)) return "bad timestamp";
    if (r.kind == kKindTrunc && r.length != 0) return "truncation with a length";
    if (r.kind == kKindWrite && data_size >= 0 && r.physical + r.length > (uint64_t)data_size)
        return "write beyond the end of its data log";
    return nullptr;
}

HostEntry entry_of(const IndexRecord &r) {
    HostEntry he((off_t)r.logical, (size_t)r.length, (pid_t)r.pid);
    he.physical_offset = r.kind == kKindTrunc ? -1 : (off_t)r.physical;
    he.begin_timestamp = r.begin;
    he.end_timestamp = r.end;
    he.data_crc = r.data_crc;
    return he;
}

void encode_index_header(unsigned char *h, pid_t pid, double created) {
    memset(h, 0, kIndexHeaderSize);
    memcpy(h, kIndexMagic, 8);
    put_u32(h + 8, kVersion);
    put_u32(h + 12, kIndexHeaderSize);
    put_u32(h + 16, kIndexRecordSize);
    put_u32(h + 20, (uint32_t)pid);
    put_f64(h + 24, created);
    put_u32(h + kIndexCrcAt, vesk_crc32c(0, h, kIndexCrcAt));
}

const char *header_problem(const unsigned char *h, uint32_t *version) {
    if (memcmp(h, kIndexMagic, 8) != 0) return "bad magic number";
    uint32_t v = get_u32(h + 8);
    uint32_t rs = record_size_of(v);
    if (rs == 0) return "unknown format version";
    if (get_u32(h + 12) != kIndexHeaderSize || get_u32(h + 16) != rs)
        return "unexpected header or record size";
    if (v == kVersion && get_u32(h + kIndexCrcAt) != vesk_crc32c(0, h, kIndexCrcAt))
        return "header checksum mismatch";
    if (version) *version = v;
    return nullptr;
}

int check_index_header(const unsigned char *h, const std::string &path, uint32_t *version) {
    const char *why = header_problem(h, version);
    if (!why) return 0;
    const int kErr = MLOG_ERR | VESK_FAC_INDEX;
    if (mlog_filter(kErr)) mlog(kErr, "index log %s: %s", path.c_str(), why);
    return -EIO;
}

}  // namespace vesk_fmt
