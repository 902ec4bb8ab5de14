#include "container/IndexRecord.h"

#include "container/Format.h"
#include "mlog.h"

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
}

IndexRecord decode_record(const unsigned char *p) {
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
}

int check_index_header(const unsigned char *h, const std::string &path) {
    const char *why = nullptr;
    if (memcmp(h, kIndexMagic, 8) != 0) why = "bad magic number";
    else if (get_u32(h + 8) != kVersion) why = "unknown format version";
    else if (get_u32(h + 12) != kIndexHeaderSize || get_u32(h + 16) != kIndexRecordSize)
        why = "unexpected header or record size";
    if (!why) return 0;
    const int kErr = MLOG_ERR | VESK_FAC_INDEX;
    if (mlog_filter(kErr)) mlog(kErr, "index log %s: %s", path.c_str(), why);
    return -EIO;
}

}  // namespace vesk_fmt
