/*
 * The read side of the index: every index log of a container merged into
 * the map, the logs read several at a time.
 */
#include "container/Index.h"

#include "ThreadPool.h"
#include "Util.h"
#include "container/IndexPrivate.h"
#include "container/Format.h"
#include "container/Layout.h"
#include "config/Config.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

using namespace vesk_index;

namespace {

// A writer whose size record says it stored bytes but whose index log is
// gone has lost them: reading on would serve holes (or older writes)
// where it wrote. What it may have written, [0, its end), is damage.
void check_writers_have_logs(const std::string &dir, const std::vector<IndexLogInfo> &logs,
                             std::vector<DamagedRange> &damaged) {
    std::vector<vesk_cont::WriterMeta> metas;
    vesk_cont::TruncMeta t;
    if (vesk_cont::list_meta(dir, metas, t) != 0) return;  // no records: nothing claimed
    for (const vesk_cont::WriterMeta &m : metas) {
        if (m.bytes == 0) continue;
        std::string rel = "hostdir." + m.host + "/index." + std::to_string(m.pid);
        bool found = false;
        for (const IndexLogInfo &l : logs) found = found || l.rel == rel;
        if (found) continue;
        if (mlog_filter(kErr))
            mlog(kErr, "%s: index log %s missing, its size record says %llu bytes were written",
                 dir.c_str(), rel.c_str(), (unsigned long long)m.bytes);
        damaged.push_back(DamagedRange{0, m.eof > 0 ? m.eof : -1});
    }
}

// The end of what the writer of `rel` may have written, as its size
// record tells; 0 when none does.
off_t claimed_end(const std::string &dir, const std::string &rel) {
    std::vector<vesk_cont::WriterMeta> metas;
    vesk_cont::TruncMeta t;
    vesk_cont::list_meta(dir, metas, t);
    off_t end = 0;
    for (const vesk_cont::WriterMeta &m : metas)
        if (rel == "hostdir." + m.host + "/index." + std::to_string(m.pid))
            end = std::max(end, m.eof);
    return end;
}

// At most this many threads read index logs at once.
const size_t kMaxReaders = 8;
// Fewer logs than this, holding less than kThreadedBytes together, are
// read by the merging thread alone: starting readers costs more than
// reading them (a checkpoint of a few ranks is read back at every open).
const size_t kThreadedLogs = 8;
const uint64_t kThreadedBytes = 4u << 20;

struct ReadJob {
    const std::string *container;
    const std::vector<IndexLogInfo> *logs;
    std::vector<std::vector<HostEntry>> *records;
    std::vector<std::vector<DamagedRange>> *damaged;
    std::vector<int> *results;
    bool verify;
    bool cached;
    std::atomic<size_t> next;
};

// With `verify = 1`: the bytes of every write read from `index` (records
// from `first` on) are checked against the checksum its record keeps; a
// write whose bytes fail is damage, taken out of `out`. Logs of the
// previous format keep no data checksums and are taken as they are.
int verify_data(const std::string &index, const std::string &data, std::vector<HostEntry> &out,
                size_t first, std::vector<DamagedRange> &damaged) {
    unsigned char h[vesk_fmt::kIndexHeaderSize];
    int ifd = Util::Open(index.c_str(), O_RDONLY, 0);
    if (ifd < 0) return errno == ENOENT ? 0 : -errno;
    bool current = Util::ReadAll(ifd, h, sizeof h, 0) == (ssize_t)sizeof h &&
                   vesk_fmt::get_u32(h + 8) == vesk_fmt::kVersion;
    Util::Close(ifd);
    if (!current || out.size() == first) return 0;
    int dfd = Util::Open(data.c_str(), O_RDONLY, 0);
    if (dfd < 0) return errno == ENOENT ? 0 : -errno;
    size_t keep = first;
    for (size_t i = first; i < out.size(); i++) {
        const HostEntry &e = out[i];
        uint32_t crc = 0;
        if (!e.isTruncation() && e.length > 0 &&
            (!index_data_crc(dfd, (uint64_t)e.physical_offset, e.length, &crc) ||
             crc != e.data_crc)) {
            if (mlog_filter(kErr))
                mlog(kErr, "index log %s: record %zu: [%lld, %lld): data checksum mismatch",
                     index.c_str(), i - first, (long long)e.logical_offset,
                     (long long)e.logical_tail());
            damaged.push_back(DamagedRange{e.logical_offset, e.logical_tail()});
            continue;
        }
        out[keep++] = e;
    }
    out.resize(keep);
    Util::Close(dfd);
    return 0;
}

// Reads one index log and checks that its writes lie inside their data
// log. A writer appends its bytes before their record, so the data log is
// measured after the index log is read: every record read then has its
// bytes, however fast the writer appends meanwhile. A record beyond the
// end may still come from a log emptied and refilled between the two
// readings (a truncation to 0): one more reading tells that from damage.
// Damaged records, and writes whose bytes are not in the data log, go to
// `damaged`; everything else is served. `cached`: as for log_size.
int read_one(const std::string &container, const IndexLogInfo &log, std::vector<HostEntry> &out,
             std::vector<DamagedRange> &damaged, bool verify, bool cached) {
    std::string data = data_log_of(container, log.rel);
    std::string index = container + "/" + log.rel;
    const size_t first = out.size();
    for (int attempt = 0;; attempt++) {
        damaged.clear();
        int r = index_read_log(index, -1, out, &damaged);
        if (r != 0) return r;
        off_t data_size = 0;
        r = log_size(data, cached, &data_size);
        if (r != 0) return r;
        auto beyond = [&](const HostEntry &e) {
            return !e.isTruncation() && e.physical_offset + (off_t)e.length > data_size;
        };
        size_t bad = 0;
        for (size_t i = first; i < out.size(); i++) bad += beyond(out[i]) ? 1 : 0;
        if (bad == 0) return verify ? verify_data(index, data, out, first, damaged) : 0;
        if (attempt == 0) {
            out.resize(first);
            continue;
        }
        size_t keep = first;
        if (mlog_filter(kErr)) {
            size_t i = first;
            while (!beyond(out[i])) i++;
            mlog(kErr, "index log %s: record %zu: write beyond the end of its data log (%zu such)",
                 index.c_str(), i - first, bad);
        }
        for (size_t i = first; i < out.size(); i++) {
            if (beyond(out[i]))
                damaged.push_back(DamagedRange{out[i].logical_offset, out[i].logical_tail()});
            else
                out[keep++] = out[i];
        }
        out.resize(keep);
        return 0;
    }
}

void *read_logs_thread(void *arg) {
    ReadJob *job = static_cast<ReadJob *>(arg);
    for (;;) {
        size_t i = job->next.fetch_add(1);
        if (i >= job->logs->size()) break;
        (*job->results)[i] = read_one(*job->container, (*job->logs)[i], (*job->records)[i],
                                      (*job->damaged)[i], job->verify, job->cached);
    }
    return nullptr;
}

// Order in which records apply: begin time, then log, then position.
struct Ref {
    double ts;
    uint32_t src;
    uint32_t seq;
};

}  // namespace

void Index::merge(Index *other) {
    if (!other) return;
    pid_t base = (pid_t)chunk_map.size();
    for (const ChunkFile &c : other->chunk_map) chunk_map.push_back(ChunkFile{c.path, -1});
    for (auto &kv : other->global_index) {
        ContainerEntry e = kv.second;
        e.original_chunk += base;
        insertGlobal(&e);
    }
    if (other->last_offset > last_offset) last_offset = other->last_offset;
}

int Index::cleanupReadIndex(int descriptor, void *maddr, off_t length, int ret,
                            const char *last_func, const char *indexfile) {
    (void)maddr;
    (void)length;
    if (descriptor >= 0) Util::Close(descriptor);
    if (ret < 0 && mlog_filter(kErr))
        mlog(kErr, "%s of %s: %s", last_func, indexfile, strerror(-ret));
    return ret;
}

int Index::mapIndex(const std::string &file, std::vector<HostEntry> &records) {
    return index_read_log(file, -1, records);
}

// Widens damage of unknown range to what its writer may have written and
// keeps the ranges sorted and apart; the file reaches at least to their
// end, so that its size still counts the lost bytes.
void Index::takeDamage(const std::string &dir, const std::vector<IndexLogInfo> &logs,
                       const std::vector<std::vector<HostEntry>> &records,
                       std::vector<std::vector<DamagedRange>> &per_log,
                       std::vector<DamagedRange> &lost) {
    for (size_t s = 0; s < per_log.size(); s++) {
        for (DamagedRange d : per_log[s]) {
            if (d.end < 0) {
                off_t end = claimed_end(dir, logs[s].rel);
                for (const HostEntry &h : records[s]) end = std::max(end, h.logical_tail());
                d = DamagedRange{0, end};
            } else if (d.end <= d.begin) {
                continue;  // a damaged write of no bytes loses none
            }
            lost.push_back(d);
        }
    }
    for (DamagedRange &d : lost) {
        // nothing at all is known of what was lost: all of the file is
        if (d.end < 0) d.end = std::max(last_offset, (off_t)1);
        if (d.end <= d.begin) d.end = d.begin + 1;
    }
    std::sort(lost.begin(), lost.end(),
              [](const DamagedRange &a, const DamagedRange &b) { return a.begin < b.begin; });
    damaged.clear();
    for (const DamagedRange &d : lost) {
        if (!damaged.empty() && d.begin <= damaged.back().end)
            damaged.back().end = std::max(damaged.back().end, d.end);
        else
            damaged.push_back(d);
    }
    if (!damaged.empty() && damaged.back().end > last_offset) last_offset = damaged.back().end;
}

void Index::startEmpty() {
    closeChunks();
    chunk_map.clear();
    global_index.clear();
    source_logs.clear();
    last_offset = 0;
    total_bytes = 0;
    used_flattened = false;
    damaged.clear();
    populated = true;
}

int Index::readIndex(std::string path) {
    index_path = path;
    startEmpty();
    populated = false;  // until the logs are read

    std::vector<IndexLogInfo> logs;
    int r = index_list_logs(path, logs);
    if (r != 0) return cleanupReadIndex(-1, nullptr, 0, r, "list", path.c_str());
    // A flattened index keeps no checksums of the writes' bytes: readers
    // that check them merge the logs.
    const bool verify = vesk::config()->verify;
    const bool cached = !logs.empty() && Util::AttributesMayBeCached(path.c_str());
    if (!verify && loadFlattened(logs, cached) == 0) {
        used_flattened = true;
        populated = true;
        if (mlog_filter(kDbg)) mlog(kDbg, "%s: flattened index used", path.c_str());
        return 0;
    }

    std::vector<DamagedRange> lost;
    check_writers_have_logs(path, logs, lost);
    std::vector<std::vector<HostEntry>> records(logs.size());
    std::vector<std::vector<DamagedRange>> per_log(logs.size());
    std::vector<int> results(logs.size(), 0);
    uint64_t log_bytes = 0;
    for (const IndexLogInfo &log : logs) log_bytes += (uint64_t)log.size;
    if (logs.size() > 1 && (logs.size() >= kThreadedLogs || log_bytes >= kThreadedBytes)) {
        ReadJob job;
        job.container = &path;
        job.logs = &logs;
        job.records = &records;
        job.damaged = &per_log;
        job.verify = verify;
        job.cached = cached;
        job.results = &results;
        job.next = 0;
        size_t threads = std::min(logs.size(), kMaxReaders);
        ThreadPool pool(threads, read_logs_thread, &job);
        if (pool.threadError() != 0) {
            // Could not start the readers; read the rest here.
            read_logs_thread(&job);
        }
    } else {
        for (size_t i = 0; i < logs.size(); i++)
            results[i] = read_one(path, logs[i], records[i], per_log[i], verify, cached);
    }
    for (size_t i = 0; i < logs.size(); i++) {
        if (results[i] != 0) return cleanupReadIndex(-1, nullptr, 0, results[i], "read",
                                                     (path + "/" + logs[i].rel).c_str());
    }

    size_t total = 0;
    for (auto &v : records) total += v.size();
    for (size_t s = 0; s < logs.size(); s++)
        chunk_map.push_back(ChunkFile{data_log_of(path, logs[s].rel), -1});
    if (buildWithoutOverlaps(records)) {
        takeDamage(path, logs, records, per_log, lost);
        finishRead(logs, total);
        return 0;
    }
    std::vector<Ref> order;
    order.reserve(total);
    for (size_t s = 0; s < records.size(); s++) {
        for (size_t i = 0; i < records[s].size(); i++)
            order.push_back(Ref{records[s][i].begin_timestamp, (uint32_t)s, (uint32_t)i});
    }
    std::sort(order.begin(), order.end(), [](const Ref &a, const Ref &b) {
        if (a.ts != b.ts) return a.ts < b.ts;
        if (a.src != b.src) return a.src < b.src;
        return a.seq < b.seq;
    });
    for (const Ref &ref : order) {
        const HostEntry &h = records[ref.src][ref.seq];
        if (h.isTruncation()) {
            truncate(h.logical_offset);
            continue;
        }
        ContainerEntry e;
        static_cast<HostEntry &>(e) = h;
        e.original_chunk = (pid_t)ref.src;
        insertGlobal(&e);
    }
    takeDamage(path, logs, records, per_log, lost);
    finishRead(logs, total);
    return 0;
}

void Index::finishRead(const std::vector<IndexLogInfo> &logs, size_t records) {
    std::vector<IndexPiece> &v = global_index.edit();
    if (v.capacity() > v.size() + v.size() / 8) v.shrink_to_fit();
    total_bytes = 0;
    for (const IndexPiece &p : v) total_bytes += (size_t)p.length;
    source_logs = logs;
    populated = true;
    if (mlog_filter(kDbg))
        mlog(kDbg, "%s: merged %zu logs, %zu records into %zu pieces", index_path.c_str(),
             logs.size(), records, v.size());
}

// When no record is a truncation and no two writes overlap, the order in
// which they apply does not matter: sorting by logical offset is the
// merge. Checkpoints are written that way. False, with nothing built, when
// the records need the ordered merge.
bool Index::buildWithoutOverlaps(const std::vector<std::vector<HostEntry>> &records) {
    std::vector<IndexPiece> &v = global_index.edit();
    size_t total = 0;
    bool runs_sorted = true;  // each log in logical order, as a writer of a checkpoint writes
    for (const auto &r : records) {
        total += r.size();
        for (size_t i = 0; i < r.size(); i++) {
            if (r[i].isTruncation()) return false;
            if (i > 0 && r[i - 1].logical_offset > r[i].logical_offset) runs_sorted = false;
        }
    }
    v.clear();
    reserve_warm(v, total);
    if (runs_sorted) {
        // k-way merge of the logs: a heap of the next record of each
        std::vector<std::pair<off_t, uint32_t>> heap;  // (offset, log), smallest on top
        std::vector<size_t> at(records.size(), 0);
        auto later = [](const std::pair<off_t, uint32_t> &a, const std::pair<off_t, uint32_t> &b) {
            return a.first > b.first;
        };
        for (size_t s = 0; s < records.size(); s++)
            if (!records[s].empty()) heap.emplace_back(records[s][0].logical_offset, (uint32_t)s);
        std::make_heap(heap.begin(), heap.end(), later);
        while (!heap.empty()) {
            std::pop_heap(heap.begin(), heap.end(), later);
            uint32_t s = heap.back().second;
            const HostEntry &h = records[s][at[s]];
            if (!v.empty() && v.back().tail() > h.logical_offset) {
                v.clear();
                return false;
            }
            v.push_back(piece_of(h, s));
            if (++at[s] < records[s].size()) {
                heap.back().first = records[s][at[s]].logical_offset;
                std::push_heap(heap.begin(), heap.end(), later);
            } else {
                heap.pop_back();
            }
        }
    } else {
        for (size_t s = 0; s < records.size(); s++)
            for (const HostEntry &h : records[s]) v.push_back(piece_of(h, (uint32_t)s));
        std::sort(v.begin(), v.end(),
                  [](const IndexPiece &a, const IndexPiece &b) { return a.logical < b.logical; });
        for (size_t i = 1; i < v.size(); i++) {
            if (v[i - 1].tail() > v[i].logical) {
                v.clear();
                return false;
            }
        }
    }
    if (!v.empty() && v.back().tail() > last_offset) last_offset = v.back().tail();
    return true;
}
