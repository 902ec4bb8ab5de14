#include "container/IndexRecord.h"

#include "container/Format.h"
#include "mlog.h"
#include "util/Crc32c.h"

#include <cerrno>
#include <cmath>
#include <cstring>

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

bool mend_record(const unsigned char *p, IndexRecord *out) {
    // One byte changed is the likely damage; a CRC-32C tells one such
    // change from every other in a record this short, so a single
    // candidate that fits is the record as it was written.
    unsigned char q[kIndexRecordSize];
    memcpy(q, p, kIndexRecordSize);
    int found = 0;
    for (size_t at = 0; at < kIndexRecordSize && found < 2; at++) {
        const unsigned char was = q[at];
        for (unsigned v = 0; v < 256; v++) {
            if (v == was) continue;
            q[at] = (unsigned char)v;
            if (record_crc_ok(q) && found++ == 0) *out = decode_record(q);
        }
        q[at] = was;
    }
    return found == 1;
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
