// The container's index-log reader, and the merge of what it reads.
//
// Input: four bytes, little-endian: bits 0-23 the data log's size; bit 31
// set: no size check; bit 30 clear: the header's and records' checksums
// are set right before the log is written, so that the checks behind them
// are reached; bits 24-27 an end of file in thousands of bytes, claimed by
// a size record of the log's writer (bit 28) and by one of a writer
// whose index log is missing (bit 29). Then the bytes of one index log (of
// either format version).  The log is
// written to a file and read by both readers: the strict one
// (index_read_log) and the one that serves what survives (index_read_log
// with a damage list). The log is then put in a container of its own and
// merged with Index::readIndex, which serves what survives.
//
// Checked against the documented format, decoded here independently: the
// strict reader accepts exactly the logs whose header and records are
// sound, returns only -EIO otherwise, and hands back every record as
// written (empty writes dropped).  The other reader never fails; it
// returns exactly the sound records (all the strict reader returns, and
// no damage, when that one accepts) and, for each damaged record, what it
// describes: its own range when its fields are sound but for the data log
// (or when one changed byte explains a failed checksum, found here by
// trying every byte), all its writer may have written otherwise.  The
// merged index is compared byte for byte with a plain model (later begin
// time wins, a truncation cuts, damaged ranges, widened by what size
// records claim, read -EIO and nothing else does) whenever the records stay within a small range; its lookups
// and its flattened form must agree with it too.
#include "fuzz/fuzz_common.h"
#include "container/Format.h"
#include "container/Index.h"
#include "container/IndexRecord.h"
#include "container/Layout.h"

#include "util/Crc32c.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzz_index_log {

using namespace vesk_fmt;

void put_file(const std::string &path, const std::string &bytes) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == (ssize_t)bytes.size());
    close(fd);
}

struct Rec {
    uint64_t lo, len, po;
    double begin, end;
    uint32_t pid, kind;
};

// Whether the reader must accept `log`, and the records it must return;
// *data_end: how far into the data log its writes reach, empty ones too.
bool model_read(const std::string &log, int64_t data_size, std::vector<Rec> &recs,
                uint64_t *data_end) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(log.data());
    recs.clear();
    *data_end = 0;
    if (log.size() < kIndexHeaderSize)
        return memcmp(b, kIndexMagic, std::min<size_t>(log.size(), 8)) == 0;
    uint32_t v = get_u32(b + 8);
    size_t rs = v == kVersion ? 64 : v == kOldVersion ? 48 : 0;
    if (memcmp(b, kIndexMagic, 8) != 0 || rs == 0 || get_u32(b + 12) != kIndexHeaderSize ||
        get_u32(b + 16) != rs)
        return false;
    if (v == kVersion && get_u32(b + 60) != vesk_crc32c(0, b, 60)) return false;
    size_t n = (log.size() - kIndexHeaderSize) / rs;
    for (size_t i = 0; i < n; i++) {
        const unsigned char *p = b + kIndexHeaderSize + i * rs;
        if (v == kVersion && get_u32(p + 60) != vesk_crc32c(0, p, 60)) return false;
        Rec r{get_u64(p), get_u64(p + 8), get_u64(p + 16), get_f64(p + 24),
              get_f64(p + 32), get_u32(p + 40), get_u32(p + 44)};
        if (r.kind > kKindTrunc) return false;
        if (r.lo >= kMaxOffset || r.len >= kMaxOffset || r.po >= kMaxOffset) return false;
        if (!std::isfinite(r.begin) || !std::isfinite(r.end)) return false;
        if (r.kind == kKindTrunc && r.len != 0) return false;
        if (r.kind == kKindWrite && data_size >= 0 && r.po + r.len > (uint64_t)data_size)
            return false;
        if (r.kind == kKindWrite) *data_end = std::max(*data_end, r.po + r.len);
        if (r.kind == kKindWrite && r.len == 0) continue;
        recs.push_back(r);
    }
    return true;
}

Rec decode(const unsigned char *p) {
    return Rec{get_u64(p),      get_u64(p + 8),  get_u64(p + 16), get_f64(p + 24),
               get_f64(p + 32), get_u32(p + 40), get_u32(p + 44)};
}

// Whether a decoded record's fields are ones this system writes;
// `data_size` < 0 skips the data log's end.
bool fields_sound(const Rec &r, int64_t data_size) {
    if (r.kind > kKindTrunc) return false;
    if (r.lo >= kMaxOffset || r.len >= kMaxOffset || r.po >= kMaxOffset) return false;
    if (!std::isfinite(r.begin) || !std::isfinite(r.end)) return false;
    if (r.kind == kKindTrunc && r.len != 0) return false;
    return !(r.kind == kKindWrite && data_size >= 0 && r.po + r.len > (uint64_t)data_size);
}

bool crc_right(const unsigned char *p) { return get_u32(p + 60) == vesk_crc32c(0, p, 60); }

// The one record that a single changed byte turns `p` into with its
// checksum right; false when none or several do.
bool undo_one_byte(const unsigned char *p, Rec *out) {
    unsigned char q[64];
    memcpy(q, p, 64);
    int fits = 0;
    for (size_t at = 0; at < 64; at++) {
        for (unsigned v = 0; v < 256; v++) {
            if (v == p[at]) continue;
            q[at] = (unsigned char)v;
            if (crc_right(q)) {
                if (++fits > 1) return false;
                *out = decode(q);
            }
        }
        q[at] = p[at];
    }
    return fits == 1;
}

// What the reader serving what survives must return.
struct Survivors {
    std::vector<Rec> recs;              // sound records, empty writes left out
    std::vector<DamagedRange> damaged;  // one per damaged record, in log order
    std::vector<bool> range_known;      // whether the model tried to tell its range
    uint64_t data_end = 0;              // reach of the sound writes into the data log
};

// Damaged records beyond this many are only checked for their shape: the
// search for one changed byte is costly.
constexpr size_t kUndoLimit = 16;

void model_survivors(const std::string &log, int64_t data_size, Survivors &m) {
    const unsigned char *b = reinterpret_cast<const unsigned char *>(log.data());
    if (log.size() < kIndexHeaderSize) {
        // the start of a header being made, or else a damaged log
        if (memcmp(b, kIndexMagic, std::min<size_t>(log.size(), 8)) != 0) {
            m.damaged.push_back(DamagedRange{0, -1});
            m.range_known.push_back(true);
        }
        return;
    }
    uint32_t v = get_u32(b + 8);
    size_t rs = v == kVersion ? 64 : v == kOldVersion ? 48 : 0;
    bool header = memcmp(b, kIndexMagic, 8) == 0 && rs != 0 &&
                  get_u32(b + 12) == kIndexHeaderSize && get_u32(b + 16) == rs &&
                  (v != kVersion || crc_right(b));
    if (!header) {
        // each record carries its own checksum: read as of the current format
        v = kVersion;
        rs = 64;
    }
    size_t undone = 0;
    for (size_t i = 0; i < (log.size() - kIndexHeaderSize) / rs; i++) {
        const unsigned char *p = b + kIndexHeaderSize + i * rs;
        bool as_written = v == kOldVersion || crc_right(p);
        Rec r{};
        if (as_written) r = decode(p);
        if (as_written && fields_sound(r, data_size)) {
            if (r.kind == kKindWrite) m.data_end = std::max(m.data_end, r.po + r.len);
            if (r.kind == kKindTrunc || r.len > 0) m.recs.push_back(r);
            continue;
        }
        bool tried = as_written || undone++ < kUndoLimit;
        bool known = as_written || (tried && undo_one_byte(p, &r));
        if (known && fields_sound(r, -1) && r.kind == kKindWrite)
            m.damaged.push_back(DamagedRange{(off_t)r.lo, (off_t)(r.lo + r.len)});
        else
            m.damaged.push_back(DamagedRange{0, -1});
        m.range_known.push_back(tried);
    }
}

bool same(const HostEntry &h, const Rec &r) {
    bool trunc = r.kind == kKindTrunc;
    return h.logical_offset == (off_t)r.lo && h.length == (size_t)r.len &&
           h.physical_offset == (trunc ? -1 : (off_t)r.po) && h.isTruncation() == trunc &&
           memcmp(&h.begin_timestamp, &r.begin, sizeof(double)) == 0 &&
           memcmp(&h.end_timestamp, &r.end, sizeof(double)) == 0 && h.id == (pid_t)r.pid;
}

// Logical bytes the byte model covers; records reaching further are still
// merged and checked for shape, but not byte for byte.
constexpr uint64_t kModelSpan = 1 << 14;

// Size records the input asks for (see the top of the file).
struct SizeRecords {
    bool own = false;      // one of the log's writer, claiming an end of `end`
    bool missing = false;  // one of a writer whose log is missing, who stored bytes
    off_t end = 0;
};

// The end of file the merge of `recs` reaches before any damage counts:
// applied in begin-time order, a truncation sets it, a write extends it.
off_t model_eof(const std::vector<Rec> &recs) {
    std::vector<size_t> order(recs.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return recs[a].begin < recs[b].begin; });
    uint64_t eof = 0;
    for (size_t i : order)
        eof = recs[i].kind == kKindTrunc ? recs[i].lo : std::max(eof, recs[i].lo + recs[i].len);
    return (off_t)eof;
}

// The ranges the merge must find lost: each damaged record's; one of
// unknown range widened to all its writer may have written (the reach of
// its sound records and of its size record, at least one byte); one of no
// bytes dropped; a missing log whose size record says it stored bytes
// loses [0, the end it claims), or the whole file when it claims none;
// sorted, and joined where they meet.
std::vector<DamagedRange> model_lost(const Survivors &m, const SizeRecords &sr) {
    off_t reach = sr.own ? std::max<off_t>(sr.end, 1) : 1;
    for (const Rec &x : m.recs) reach = std::max(reach, (off_t)(x.lo + x.len));
    std::vector<DamagedRange> lost;
    if (sr.missing)
        lost.push_back(DamagedRange{0, sr.end > 0 ? sr.end : std::max<off_t>(model_eof(m.recs), 1)});
    for (DamagedRange d : m.damaged) {
        if (d.end < 0) d = DamagedRange{0, reach};
        if (d.end > d.begin) lost.push_back(d);
    }
    std::sort(lost.begin(), lost.end(),
              [](const DamagedRange &a, const DamagedRange &b) { return a.begin < b.begin; });
    std::vector<DamagedRange> joined;
    for (const DamagedRange &d : lost) {
        if (!joined.empty() && d.begin <= joined.back().end)
            joined.back().end = std::max(joined.back().end, d.end);
        else
            joined.push_back(d);
    }
    return joined;
}

bool inside(const std::vector<DamagedRange> &lost, uint64_t at) {
    for (const DamagedRange &d : lost)
        if ((off_t)at >= d.begin && (off_t)at < d.end) return true;
    return false;
}

void check_merge(const std::string &dir, const Survivors &m, const SizeRecords &sr) {
    const std::vector<Rec> &recs = m.recs;
    Index idx(dir);
    int r = idx.readIndex(dir);
    FUZZ_CHECK(r == 0);
    FUZZ_CHECK(idx.chunks().size() == 1);

    // Damage: exactly the model's ranges, and the file reaches past them.
    const std::vector<DamagedRange> lost = model_lost(m, sr);
    const std::vector<DamagedRange> &got_lost = idx.damage();
    FUZZ_CHECK(got_lost.size() == lost.size());
    for (size_t i = 0; i < lost.size(); i++)
        FUZZ_CHECK(got_lost[i].begin == lost[i].begin && got_lost[i].end == lost[i].end);
    const off_t lost_end = lost.empty() ? 0 : lost.back().end;
    FUZZ_CHECK(idx.lastOffset() >= lost_end);

    // Shape: ordered, non-overlapping, non-empty pieces from chunk 0.
    off_t prev_end = 0;
    for (auto &kv : idx.entries()) {
        const ContainerEntry &e = kv.second;
        FUZZ_CHECK(kv.first == e.logical_offset);
        FUZZ_CHECK(e.length > 0);
        FUZZ_CHECK(e.logical_offset >= prev_end);
        FUZZ_CHECK(e.original_chunk == 0);
        FUZZ_CHECK(e.logical_tail() <= idx.lastOffset());
        prev_end = e.logical_tail();
    }

    if (lost.empty()) {
        // The merged index in flattened form reads back as itself (a
        // damaged file is never flattened).
        void *buf = nullptr;
        size_t len = 0;
        FUZZ_CHECK(idx.global_to_stream(&buf, &len) == 0);
        std::string flat(static_cast<char *>(buf), len);
        free(buf);
        Index back(dir);
        // Each of a record's offset and length is kept below the format's
        // limit, but not their sum: the flattened reader takes any end of
        // file a merge can build.
        FUZZ_CHECK(back.global_from_stream(&flat) == 0);
        FUZZ_CHECK(back.lastOffset() == idx.lastOffset());
        FUZZ_CHECK(back.entries().size() == idx.entries().size());
        for (auto a = idx.entries().begin(), b = back.entries().begin();
             a != idx.entries().end(); ++a, ++b) {
            FUZZ_CHECK(a->first == b->first && a->second.length == b->second.length &&
                       a->second.physical_offset == b->second.physical_offset);
        }
    }

    uint64_t span = std::max<uint64_t>(1, (uint64_t)lost_end);
    for (const Rec &x : recs) span = std::max(span, x.lo + x.len);
    if (span > kModelSpan) return;

    // Byte model: apply in begin-time order, ties in log order.
    std::vector<size_t> order(recs.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return recs[a].begin < recs[b].begin; });
    std::vector<int64_t> phys(span, -1);
    uint64_t eof = 0;
    for (size_t i : order) {
        const Rec &x = recs[i];
        if (x.kind == kKindTrunc) {
            std::fill(phys.begin() + (long)x.lo, phys.end(), -1);
            eof = x.lo;
        } else {
            for (uint64_t k = 0; k < x.len; k++) phys[x.lo + k] = (int64_t)(x.po + k);
            eof = std::max(eof, x.lo + x.len);
        }
    }
    eof = std::max(eof, (uint64_t)lost_end);
    FUZZ_CHECK(idx.lastOffset() == (off_t)eof);
    std::vector<int64_t> got(span, -1);
    for (auto &kv : idx.entries()) {
        const ContainerEntry &e = kv.second;
        for (size_t k = 0; k < e.length; k++)
            got[(size_t)e.logical_offset + k] = e.physical_offset + (off_t)k;
    }
    // Pieces under damage are never served; elsewhere the pieces are the
    // model's.
    for (uint64_t k = 0; k < span; k++)
        if (!inside(lost, k)) FUZZ_CHECK(got[k] == phys[k]);

    // Lookups: a few offsets, each a piece start, a piece end, a damaged
    // range's edge, or beyond.
    std::vector<off_t> probes{0, (off_t)eof, (off_t)eof + 1};
    for (const DamagedRange &d : lost) {
        probes.push_back(d.begin);
        probes.push_back(d.end - 1);
        probes.push_back(d.end);
    }
    for (const Rec &x : recs) {
        probes.push_back((off_t)x.lo);
        if (x.len) probes.push_back((off_t)(x.lo + x.len - 1));
    }
    if (probes.size() > 60) probes.resize(60);
    for (off_t at : probes) {
        if (at < 0) continue;
        int fd = -1;
        off_t chunk_off = 0;
        size_t chunk_len = 0;
        bool hole = false;
        pid_t pid = 0;
        int lr = idx.globalLookup(&fd, &chunk_off, &chunk_len, &hole, &pid, at);
        if ((uint64_t)at >= eof) {
            FUZZ_CHECK(lr == 0 && chunk_len == 0);
            continue;
        }
        if (inside(lost, (uint64_t)at)) {
            FUZZ_CHECK(lr == -EIO);
            continue;
        }
        FUZZ_CHECK(lr == 0);
        FUZZ_CHECK(chunk_len > 0 && (uint64_t)at + chunk_len <= eof);
        for (size_t k = 0; k < chunk_len; k++) FUZZ_CHECK(!inside(lost, (uint64_t)at + k));
        if (phys[(size_t)at] < 0) {
            FUZZ_CHECK(hole);
            for (size_t k = 0; k < chunk_len; k++) FUZZ_CHECK(phys[(size_t)at + k] < 0);
        } else {
            FUZZ_CHECK(!hole && fd >= 0 && chunk_off == phys[(size_t)at]);
            for (size_t k = 0; k < chunk_len; k++)
                FUZZ_CHECK(phys[(size_t)at + k] == chunk_off + (off_t)k);
        }
    }
}

void run(const uint8_t *data, size_t size) {
    vesk_fuzz::Reader in(data, size);
    uint32_t sel = in.u32();
    int64_t data_size = (sel & 0x80000000u) ? -1 : (int64_t)(sel & 0xffffff);
    std::string log = in.rest();

    // Checksums made right, unless the input asks to keep its own.
    const bool v2 = log.size() >= kIndexHeaderSize &&
                    get_u32(reinterpret_cast<const unsigned char *>(log.data()) + 8) == kVersion;
    if (!(sel & 0x40000000u) && v2) {
        unsigned char *b = reinterpret_cast<unsigned char *>(&log[0]);
        put_u32(b + 60, vesk_crc32c(0, b, 60));
        for (size_t at = kIndexHeaderSize; at + kIndexRecordSize <= log.size(); at += kIndexRecordSize)
            put_u32(b + at + 60, vesk_crc32c(0, b + at, 60));
    }

    // The record codec every reader and writer shares loses nothing: each
    // whole sound record (its checksum right, its spare bytes zero)
    // decodes and encodes back to its own bytes.
    for (size_t at = kIndexHeaderSize; v2 && at + kIndexRecordSize <= log.size();
         at += kIndexRecordSize) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(log.data()) + at;
        static const unsigned char zero[8] = {0};
        if (!record_crc_ok(p) || memcmp(p + 52, zero, 8) != 0) continue;
        unsigned char again[kIndexRecordSize];
        encode_record(again, decode_record(p));
        FUZZ_CHECK(memcmp(again, p, kIndexRecordSize) == 0);
    }

    const std::string dir = std::string(vesk_fuzz::scratch_dir()) + "/c";
    const std::string hd = dir + "/hostdir.fuzz";
    mkdir(dir.c_str(), 0700);
    mkdir(hd.c_str(), 0700);
    const std::string ipath = hd + "/index.1", dpath = hd + "/data.1";
    put_file(ipath, log);

    // The strict reader. Records the caller had already: kept as they are.
    std::vector<HostEntry> out(2, HostEntry(7, 9, 3));
    int r = index_read_log(ipath, (off_t)data_size, out);
    std::vector<Rec> want;
    uint64_t data_end = 0;
    bool ok = model_read(log, data_size, want, &data_end);
    FUZZ_CHECK(r == 0 || r == -EIO);
    FUZZ_CHECK((r == 0) == ok);
    for (size_t i = 0; i < 2; i++)
        FUZZ_CHECK(out[i].logical_offset == 7 && out[i].length == 9 && out[i].id == 3);
    if (r == 0) {
        FUZZ_CHECK(out.size() == 2 + want.size());
        for (size_t i = 0; i < want.size(); i++) {
            FUZZ_CHECK(same(out[2 + i], want[i]));
            // and a record read back is stored again as it was
            IndexRecord again = record_of(out[2 + i]);
            FUZZ_CHECK(again.logical == want[i].lo && again.length == want[i].len &&
                       again.kind == want[i].kind && again.pid == want[i].pid &&
                       (want[i].kind == kKindTrunc ? again.physical == 0
                                                   : again.physical == want[i].po));
        }
        for (size_t i = 2; i < out.size(); i++) {
            const HostEntry &h = out[i];
            if (h.isTruncation()) continue;
            FUZZ_CHECK(h.length > 0 && h.physical_offset >= 0);
            if (data_size >= 0)
                FUZZ_CHECK((uint64_t)h.physical_offset + h.length <= (uint64_t)data_size);
        }
    }

    // The reader serving what survives never fails on a log it can read,
    // and keeps what the caller had.
    std::vector<HostEntry> kept(1, HostEntry(7, 9, 3));
    std::vector<DamagedRange> damaged(1, DamagedRange{5, 6});
    FUZZ_CHECK(index_read_log(ipath, (off_t)data_size, kept, &damaged) == 0);
    FUZZ_CHECK(kept[0].logical_offset == 7 && kept[0].length == 9 && kept[0].id == 3);
    FUZZ_CHECK(damaged[0].begin == 5 && damaged[0].end == 6);
    Survivors m;
    model_survivors(log, data_size, m);
    FUZZ_CHECK(kept.size() == 1 + m.recs.size());
    for (size_t i = 0; i < m.recs.size(); i++) FUZZ_CHECK(same(kept[1 + i], m.recs[i]));
    FUZZ_CHECK(damaged.size() == 1 + m.damaged.size());
    for (size_t i = 0; i < m.damaged.size(); i++) {
        const DamagedRange &d = damaged[1 + i];
        if (m.range_known[i]) {
            FUZZ_CHECK(d.begin == m.damaged[i].begin && d.end == m.damaged[i].end);
        } else {
            FUZZ_CHECK((d.begin == 0 && d.end == -1) ||
                       (d.begin >= 0 && d.end >= d.begin && (uint64_t)d.end < 2 * kMaxOffset));
            m.damaged[i] = d;  // what the merge must then take as lost
        }
    }
    if (r == 0) {
        // where the strict reader accepts, both agree and nothing is lost
        FUZZ_CHECK(damaged.size() == 1 && kept.size() + 1 == out.size());
        for (size_t i = 0; i < want.size(); i++) FUZZ_CHECK(same(kept[1 + i], want[i]));
    }

    // A missing log holds nothing, for either reader.
    std::vector<HostEntry> none;
    std::vector<DamagedRange> no_damage;
    FUZZ_CHECK(index_read_log(hd + "/index.2", -1, none) == 0 && none.empty());
    FUZZ_CHECK(index_read_log(hd + "/index.2", -1, none, &no_damage) == 0 && none.empty() &&
               no_damage.empty());

    // The merge serves what survives, measuring the data log's real size.
    uint64_t ds = data_size >= 0 ? (uint64_t)data_size : m.data_end;
    if (ds > ((uint64_t)1 << 40)) return;  // no data log that large, even sparse
    int fd = open(dpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(ftruncate(fd, (off_t)ds) == 0);
    close(fd);
    // Size records, when the input asks: the merge reads them for what a
    // writer may have written.
    SizeRecords sr;
    sr.own = (sel & 0x10000000u) != 0;
    sr.missing = (sel & 0x20000000u) != 0;
    sr.end = (off_t)((sel >> 24) & 0xf) * 1000;
    std::error_code ec;
    std::filesystem::remove_all(dir + "/" + vesk_cont::kMetaDir, ec);
    for (pid_t pid : {1, 2}) {
        if (!(pid == 1 ? sr.own : sr.missing)) continue;
        vesk_cont::WriterMeta w;
        w.eof = sr.end;
        w.bytes = 1;
        w.isize = (off_t)log.size();
        w.pid = pid;
        w.host = "fuzz";
        FUZZ_CHECK(vesk_cont::write_writer_meta(dir, w) == 0);
    }
    check_merge(dir, m, sr);
    unlink(dpath.c_str());
}

}  // namespace fuzz_index_log

inline void vesk_fuzz_index_log(const uint8_t *data, size_t size) {
    fuzz_index_log::run(data, size);
}

VESK_FUZZ_ENTRY(vesk_fuzz_index_log)
