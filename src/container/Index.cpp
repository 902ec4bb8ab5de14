/*
 * The container index: writers' logs on the way out, the merged map of
 * the whole file on the way in. The formats are described in Format.h.
 */
#include "container/Index.h"

#include "Util.h"
#include "ThreadPool.h"
#include "container/Format.h"
#include "container/Layout.h"
#include "mlog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

using namespace vesk_fmt;

namespace {

const int kErr = MLOG_ERR | VESK_FAC_INDEX;
const int kWarn = MLOG_WARN | VESK_FAC_INDEX;
const int kDbg = MLOG_DBG2 | VESK_FAC_INDEX;

// Records kept in memory per writer before they are appended to its log:
// 1 MiB of index records by default.
const size_t kDefaultBufferRecords = (1 << 20) / sizeof(HostEntry);

// At most this many threads read index logs at once.
const size_t kMaxReaders = 8;

void encode_record(unsigned char *p, const HostEntry &e) {
    bool trunc = e.isTruncation();
    put_u64(p + 0, (uint64_t)e.logical_offset);
    put_u64(p + 8, (uint64_t)e.length);
    put_u64(p + 16, trunc ? 0 : (uint64_t)e.physical_offset);
    put_f64(p + 24, e.begin_timestamp);
    put_f64(p + 32, e.end_timestamp);
    put_u32(p + 40, (uint32_t)e.id);
    put_u32(p + 44, trunc ? kKindTrunc : kKindWrite);
}

void encode_index_header(unsigned char *h, pid_t pid) {
    memset(h, 0, kIndexHeaderSize);
    memcpy(h, kIndexMagic, 8);
    put_u32(h + 8, kVersion);
    put_u32(h + 12, kIndexHeaderSize);
    put_u32(h + 16, kIndexRecordSize);
    put_u32(h + 20, (uint32_t)pid);
    put_f64(h + 24, Util::getTime());
}

// 0 for a sound header, -EIO otherwise (logged).
int check_index_header(const unsigned char *h, const std::string &path) {
    const char *why = nullptr;
    if (memcmp(h, kIndexMagic, 8) != 0) why = "bad magic number";
    else if (get_u32(h + 8) != kVersion) why = "unknown format version";
    else if (get_u32(h + 12) != kIndexHeaderSize || get_u32(h + 16) != kIndexRecordSize)
        why = "unexpected header or record size";
    if (!why) return 0;
    if (mlog_filter(kErr)) mlog(kErr, "index log %s: %s", path.c_str(), why);
    return -EIO;
}

std::string data_log_of(const std::string &container, const std::string &index_rel) {
    std::string rel = index_rel;
    size_t slash = rel.rfind('/');
    size_t at = slash == std::string::npos ? 0 : slash + 1;
    if (rel.compare(at, 6, "index.") == 0) rel.replace(at, 6, "data.");
    return container + "/" + rel;
}

struct ReadJob {
    const std::string *container;
    const std::vector<IndexLogInfo> *logs;
    std::vector<std::vector<HostEntry>> *records;
    std::vector<int> *results;
    std::atomic<size_t> next;
};

int read_one(const std::string &container, const IndexLogInfo &log,
             std::vector<HostEntry> &out) {
    struct stat st;
    std::string data = data_log_of(container, log.rel);
    off_t data_size = 0;
    if (Util::Lstat(data.c_str(), &st) == 0) data_size = st.st_size;
    else if (errno != ENOENT) return -errno;
    return index_read_log(container + "/" + log.rel, data_size, out);
}

void *read_logs_thread(void *arg) {
    ReadJob *job = static_cast<ReadJob *>(arg);
    for (;;) {
        size_t i = job->next.fetch_add(1);
        if (i >= job->logs->size()) break;
        (*job->results)[i] = read_one(*job->container, (*job->logs)[i], (*job->records)[i]);
    }
    return nullptr;
}

// Order in which records apply: begin time, then log, then position.
struct Ref {
    double ts;
    uint32_t src;
    uint32_t seq;
};

IndexPiece piece_of(const HostEntry &h, uint32_t chunk) {
    return IndexPiece{h.logical_offset, h.physical_offset, (uint64_t)h.length, chunk, h.id};
}

IndexPiece piece_of(const ContainerEntry &e) {
    return IndexPiece{e.logical_offset, e.physical_offset, (uint64_t)e.length,
                      (uint32_t)e.original_chunk, e.id};
}

// First piece at or after `x`.
size_t first_at(const std::vector<IndexPiece> &v, off_t x) {
    return (size_t)(std::lower_bound(v.begin(), v.end(), x,
                                     [](const IndexPiece &p, off_t o) { return p.logical < o; }) -
                    v.begin());
}

// First piece after `x`.
size_t first_after(const std::vector<IndexPiece> &v, off_t x) {
    return (size_t)(std::upper_bound(v.begin(), v.end(), x,
                                     [](off_t o, const IndexPiece &p) { return o < p.logical; }) -
                    v.begin());
}

// Drops the front of `p` so that it starts at `at` (inside it).
void cut_front(IndexPiece &p, off_t at) {
    off_t cut = at - p.logical;
    p.logical = at;
    p.physical += cut;
    p.length -= (uint64_t)cut;
}

}  // namespace

/* --- free functions ------------------------------------------------------ */

int index_list_logs(const std::string &container, std::vector<IndexLogInfo> &out) {
    DIR *d = opendir(container.c_str());
    if (!d) return -errno;
    std::vector<std::string> hostdirs;
    while (struct dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "hostdir.", 8) == 0) hostdirs.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string &h : hostdirs) {
        std::string hd = container + "/" + h;
        DIR *hdir = opendir(hd.c_str());
        if (!hdir) {
            if (errno == ENOENT) continue;  // dropped meanwhile
            return -errno;
        }
        while (struct dirent *e = readdir(hdir)) {
            if (strncmp(e->d_name, "index.", 6) != 0) continue;
            char *end = nullptr;
            long pid = strtol(e->d_name + 6, &end, 10);
            if (!end || *end != '\0' || pid <= 0) continue;
            IndexLogInfo info;
            info.rel = h + "/" + e->d_name;
            info.pid = (pid_t)pid;
            struct stat st;
            std::string full = container + "/" + info.rel;
            if (Util::Lstat(full.c_str(), &st) != 0) continue;
            info.size = st.st_size;
            out.push_back(info);
        }
        closedir(hdir);
    }
    std::sort(out.begin(), out.end(),
              [](const IndexLogInfo &a, const IndexLogInfo &b) { return a.rel < b.rel; });
    return 0;
}

int index_read_log(const std::string &path, off_t data_size, std::vector<HostEntry> &out) {
    int fd = Util::Open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return errno == ENOENT ? 0 : -errno;
    struct stat st;
    if (Util::Fstat(fd, &st) < 0) {
        int r = -errno;
        Util::Close(fd);
        return r;
    }
    unsigned char h[kIndexHeaderSize];
    size_t have = st.st_size < (off_t)kIndexHeaderSize ? (size_t)st.st_size : kIndexHeaderSize;
    if (have > 0 && Util::ReadAll(fd, h, have, 0) != (ssize_t)have) {
        int r = -errno;
        Util::Close(fd);
        return r ? r : -EIO;
    }
    if (have < kIndexHeaderSize) {
        // A writer died while making the log. What is there must still
        // look like the start of a header.
        Util::Close(fd);
        size_t m = have < 8 ? have : 8;
        if (memcmp(h, kIndexMagic, m) != 0) {
            if (mlog_filter(kErr)) mlog(kErr, "index log %s: bad magic number", path.c_str());
            return -EIO;
        }
        return 0;
    }
    int r = check_index_header(h, path);
    if (r != 0) {
        Util::Close(fd);
        return r;
    }
    uint64_t body = (uint64_t)st.st_size - kIndexHeaderSize;
    size_t n = (size_t)(body / kIndexRecordSize);
    if (body % kIndexRecordSize != 0 && mlog_filter(kWarn))
        mlog(kWarn, "index log %s: torn last record ignored", path.c_str());
    // Read in slices through one small buffer: the log may hold millions
    // of records, and a buffer of its whole size would be zeroed and
    // faulted in only to be decoded once.
    const size_t kSlice = 21845;  // records, about 1 MiB
    std::unique_ptr<unsigned char[]> buf(new unsigned char[std::min(n, kSlice) * kIndexRecordSize + 1]);
    out.reserve(out.size() + n);
    for (size_t first = 0; first < n; first += kSlice) {
        size_t m = std::min(kSlice, n - first);
        size_t bytes = m * kIndexRecordSize;
        off_t at = (off_t)kIndexHeaderSize + (off_t)(first * kIndexRecordSize);
        if (Util::ReadAll(fd, buf.get(), bytes, at) != (ssize_t)bytes) {
            r = errno ? -errno : -EIO;
            Util::Close(fd);
            return r;
        }
        for (size_t j = 0; j < m; j++) {
            size_t i = first + j;
            const unsigned char *p = buf.get() + j * kIndexRecordSize;
            uint64_t lo = get_u64(p), len = get_u64(p + 8), po = get_u64(p + 16);
            double b = get_f64(p + 24), e = get_f64(p + 32);
            uint32_t kind = get_u32(p + 44);
            const char *why = nullptr;
            if (kind != kKindWrite && kind != kKindTrunc) why = "unknown record kind";
            else if (lo >= kMaxOffset || len >= kMaxOffset || po >= kMaxOffset)
                why = "offset out of range";
            else if (!std::isfinite(b) || !std::isfinite(e)) why = "bad timestamp";
            else if (kind == kKindTrunc && len != 0) why = "truncation with a length";
            else if (kind == kKindWrite && data_size >= 0 && po + len > (uint64_t)data_size)
                why = "write beyond the end of its data log";
            if (why) {
                Util::Close(fd);
                if (mlog_filter(kErr))
                    mlog(kErr, "index log %s: record %zu: %s", path.c_str(), i, why);
                return -EIO;
            }
            if (kind == kKindWrite && len == 0) continue;
            out.emplace_back((off_t)lo, (size_t)len, (pid_t)get_u32(p + 40));
            HostEntry &he = out.back();
            he.physical_offset = kind == kKindTrunc ? -1 : (off_t)po;
            he.begin_timestamp = b;
            he.end_timestamp = e;
        }
    }
    Util::Close(fd);
    return 0;
}

int index_open_log(const std::string &path, pid_t pid, mode_t mode, off_t *tail) {
    int fd = Util::Open(path.c_str(), O_RDWR | O_CREAT, mode);
    if (fd < 0) return -errno;
    struct stat st;
    if (Util::Fstat(fd, &st) < 0) {
        int r = -errno;
        Util::Close(fd);
        return r;
    }
    if (st.st_size < (off_t)kIndexHeaderSize) {
        unsigned char h[kIndexHeaderSize];
        encode_index_header(h, pid);
        if (Util::Ftruncate(fd, 0) < 0 || Util::WriteAll(fd, h, sizeof h, 0) < 0) {
            int r = -errno;
            Util::Close(fd);
            return r;
        }
        *tail = kIndexHeaderSize;
        return fd;
    }
    unsigned char h[kIndexHeaderSize];
    if (Util::ReadAll(fd, h, sizeof h, 0) != (ssize_t)sizeof h) {
        int r = errno ? -errno : -EIO;
        Util::Close(fd);
        return r;
    }
    int r = check_index_header(h, path);
    if (r != 0) {
        Util::Close(fd);
        return r;
    }
    off_t whole = kIndexHeaderSize +
                  (st.st_size - (off_t)kIndexHeaderSize) / kIndexRecordSize * kIndexRecordSize;
    if (whole != st.st_size) {
        // The last append was torn by a crash; new records go after the
        // last whole one.
        if (mlog_filter(kWarn)) mlog(kWarn, "index log %s: cutting a torn record", path.c_str());
        if (Util::Ftruncate(fd, whole) < 0) {
            r = -errno;
            Util::Close(fd);
            return r;
        }
    }
    *tail = whole;
    return fd;
}

/* --- Index ---------------------------------------------------------------- */

const IndexPieces::value_type &IndexPieces::const_iterator::load() const {
    ContainerEntry &e = cur_.second;
    e.logical_offset = p_->logical;
    e.physical_offset = p_->physical;
    e.length = (size_t)p_->length;
    e.begin_timestamp = 0;
    e.end_timestamp = 0;
    e.id = p_->id;
    e.original_chunk = (pid_t)p_->chunk;
    cur_.first = p_->logical;
    return cur_;
}

Index::Index(std::string path) { init(path); }

Index::Index(std::string path, int descriptor) {
    init(path);
    fd = descriptor;
    // the first records go in without growing the buffer on the write path
    hostIndex.reserve(1024);
}

Index::~Index() {
    closeChunks();
    pthread_mutex_destroy(&fd_mux);
}

void Index::init(std::string path) {
    index_path = path;
    populated = false;
    mypid = getpid();
    chunk_id = 0;
    last_offset = 0;
    total_bytes = 0;
    fd = -1;
    buffering = true;
    buffer_filled = false;
    pthread_mutex_init(&fd_mux, nullptr);
    // Off: one record spans the times of all the writes it joins, so a
    // joined continuation would carry its first write's time and lose to
    // another writer's overwrite made in between. Readers join contiguous
    // pieces again after the merge (compress()).
    compress_contiguous = false;
    file_tail = kIndexHeaderSize;
    buffer_records = kDefaultBufferRecords;
    last_stamp = 0;
    used_flattened = false;
    built_gen = -1;
}

void Index::closeChunks() {
    for (ChunkFile &c : chunk_map) {
        if (c.fd >= 0) Util::Close(c.fd);
        c.fd = -1;
    }
}

void Index::setPath(std::string path) {
    // The container moved: data logs are found under the new name. Open
    // descriptors still name the same files, so they are kept.
    std::string old = index_path;
    index_path = vesk_cont::backend_of(path);
    for (ChunkFile &c : chunk_map) {
        if (c.path.compare(0, old.size(), old) == 0)
            c.path = index_path + c.path.substr(old.size());
    }
}

bool Index::ispopulated() { return populated; }

int Index::addWrite(off_t offset, size_t length, pid_t pid, double begin, double end) {
    off_t &phys = physical_offsets[pid];
    if (compress_contiguous && !hostIndex.empty()) {
        HostEntry &last = hostIndex.back();
        if (!last.isTruncation() && last.id == pid && last.logical_tail() == offset &&
            last.physical_offset + (off_t)last.length == phys) {
            last.length += length;
            last.end_timestamp = end;
            phys += (off_t)length;
            goto added;
        }
    }
    {
        HostEntry e(offset, length, pid);
        e.physical_offset = phys;
        e.begin_timestamp = begin;
        e.end_timestamp = end;
        hostIndex.push_back(e);
        phys += (off_t)length;
    }
added:
    if (offset + (off_t)length > last_offset) last_offset = offset + (off_t)length;
    total_bytes += length;
    synced = false;
    if (hostIndex.size() >= buffer_records || !buffering) {
        buffer_filled = true;
        return flush();
    }
    return 0;
}

int Index::addTruncation(off_t length, pid_t pid, double when) {
    HostEntry e(length, 0, pid);
    e.physical_offset = -1;
    e.begin_timestamp = when;
    e.end_timestamp = when;
    hostIndex.push_back(e);
    last_offset = length;
    synced = false;
    return flush();
}

double Index::memoryFootprintMBs() {
    double bytes = (double)hostIndex.capacity() * sizeof(HostEntry) +
                   (double)global_index.v.capacity() * sizeof(IndexPiece) +
                   (double)chunk_map.size() * sizeof(ChunkFile);
    return bytes / (1024.0 * 1024.0);
}

int Index::flush() {
    if (hostIndex.empty()) return 0;
    if (fd < 0) return -EBADF;
    size_t n = hostIndex.size();
    encoded.resize(n * kIndexRecordSize);
    for (size_t i = 0; i < n; i++) encode_record(encoded.data() + i * kIndexRecordSize, hostIndex[i]);
    if (Util::WriteAll(fd, encoded.data(), encoded.size(), file_tail) < 0) {
        int r = -errno;
        if (mlog_filter(kErr))
            mlog(kErr, "flush %s: %s", index_path.c_str(), strerror(-r));
        return r;
    }
    file_tail += (off_t)encoded.size();
    hostIndex.clear();
    buffer_filled = false;
    return 0;
}

off_t Index::lastOffset() { return last_offset; }

int Index::lock(const char *function) { return Util::MutexLock(&fd_mux, function); }
int Index::unlock(const char *function) { return Util::MutexUnlock(&fd_mux, function); }

int Index::getFd() { return fd; }

int Index::resetFd(int descriptor) {
    fd = descriptor;
    if (fd >= 0) {
        struct stat st;
        if (Util::Fstat(fd, &st) == 0) file_tail = st.st_size;
    }
    return 0;
}

int Index::resetPhysicalOffsets() {
    physical_offsets.clear();
    return 0;
}

void Index::setPhysicalOffset(pid_t pid, off_t tail) { physical_offsets[pid] = tail; }

void Index::setBufferRecords(size_t records) { buffer_records = records ? records : 1; }

size_t Index::totalBytes() { return total_bytes; }

int Index::getChunkFd(pid_t chunk) {
    if (chunk < 0 || (size_t)chunk >= chunk_map.size()) return -EINVAL;
    return chunk_map[chunk].fd;
}

int Index::setChunkFd(pid_t chunk, int descriptor) {
    if (chunk < 0 || (size_t)chunk >= chunk_map.size()) return -EINVAL;
    chunk_map[chunk].fd = descriptor;
    return 0;
}

bool Index::chunkFound(int *dfd, off_t *chunk_off, size_t *length, off_t logical,
                       const IndexPiece &entry, std::string &path, pid_t *chunkpid) {
    ChunkFile &c = chunk_map[entry.chunk];
    lock("chunkFound");
    if (c.fd < 0) c.fd = Util::Open(c.path.c_str(), O_RDONLY, 0);
    *dfd = c.fd < 0 ? -errno : c.fd;
    if (c.fd < 0) c.fd = -1;
    unlock("chunkFound");
    *chunk_off = entry.physical + (logical - entry.logical);
    *length = (size_t)(entry.tail() - logical);
    path = c.path;
    *chunkpid = entry.id;
    return *dfd >= 0;
}

int Index::globalLookup(int *dfd, off_t *chunk_off, size_t *chunk_len, std::string &path,
                        bool *hole, pid_t *chunkpid, off_t logical) {
    *hole = false;
    *dfd = -1;
    *chunk_off = 0;
    *chunk_len = 0;
    *chunkpid = 0;
    if (logical >= last_offset) return 0;
    const std::vector<IndexPiece> &v = global_index.v;
    size_t next = first_after(v, logical);
    if (next > 0 && v[next - 1].tail() > logical) {
        if (!chunkFound(dfd, chunk_off, chunk_len, logical, v[next - 1], path, chunkpid))
            return *dfd;
        if ((off_t)*chunk_len > last_offset - logical) *chunk_len = (size_t)(last_offset - logical);
        return 0;
    }
    *hole = true;
    off_t until = next == v.size() ? last_offset : std::min(v[next].logical, last_offset);
    *chunk_len = (size_t)(until - logical);
    return 0;
}

void Index::splitEntry(ContainerEntry *entry, off_t offset) {
    if (!entry->splittable(offset)) return;
    ContainerEntry back = entry->split(offset);
    std::vector<IndexPiece> &v = global_index.v;
    v.insert(v.begin() + (std::ptrdiff_t)first_at(v, back.logical_offset), piece_of(back));
}

void Index::findSplits(ContainerEntry &entry, std::vector<off_t> &splits) {
    splits.push_back(entry.logical_offset);
    splits.push_back(entry.logical_tail());
}

// Cuts every piece the incoming one overlaps; the newcomer wins. Returns
// where the newcomer goes: p >= 0 to be inserted before piece p, or
// -(p + 1) when piece p was wholly covered and its slot is the newcomer's
// to overwrite (so that an overwrite of one piece moves nothing).
int Index::handleOverlap(ContainerEntry &incoming) {
    std::vector<IndexPiece> &v = global_index.v;
    off_t s = incoming.logical_offset, t = incoming.logical_tail();
    size_t i = first_at(v, s);
    if (i > 0 && v[i - 1].tail() > s) {
        IndexPiece &p = v[i - 1];
        if (p.tail() > t) {
            // the newcomer lies inside p: p's back stays behind it
            IndexPiece back = p;
            cut_front(back, t);
            p.length = (uint64_t)(s - p.logical);
            v.insert(v.begin() + (std::ptrdiff_t)i, back);
            return (int)i;
        }
        p.length = (uint64_t)(s - p.logical);
    }
    size_t j = i;
    while (j < v.size() && v[j].logical < t) {
        if (v[j].tail() > t) {
            cut_front(v[j], t);
            break;
        }
        j++;
    }
    if (j == i) return (int)i;
    v.erase(v.begin() + (std::ptrdiff_t)i + 1, v.begin() + (std::ptrdiff_t)j);
    return -(int)i - 1;
}

void Index::insertGlobalEntryHint(ContainerEntry *entry, size_t hint) {
    std::vector<IndexPiece> &v = global_index.v;
    v.insert(v.begin() + (std::ptrdiff_t)hint, piece_of(*entry));
}

int Index::insertGlobalEntry(ContainerEntry *entry) {
    if (entry->length == 0) return 0;
    std::vector<IndexPiece> &v = global_index.v;
    if (v.empty() || v.back().tail() <= entry->logical_offset) {
        v.push_back(piece_of(*entry));  // the common case: past every piece
        return 0;
    }
    int at = handleOverlap(*entry);
    if (at < 0) v[(size_t)(-at - 1)] = piece_of(*entry);
    else insertGlobalEntryHint(entry, (size_t)at);
    return 0;
}

int Index::insertGlobal(ContainerEntry *entry) {
    int r = insertGlobalEntry(entry);
    if (entry->logical_tail() > last_offset) last_offset = entry->logical_tail();
    return r;
}

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

int Index::truncate(off_t offset) {
    std::vector<IndexPiece> &v = global_index.v;
    size_t i = first_at(v, offset);
    if (i > 0 && v[i - 1].tail() > offset) v[i - 1].length = (uint64_t)(offset - v[i - 1].logical);
    v.erase(v.begin() + (std::ptrdiff_t)i, v.end());
    last_offset = offset;
    return 0;
}

void Index::truncateHostIndex(off_t offset) {
    std::vector<HostEntry> kept;
    for (HostEntry &e : hostIndex) {
        if (e.isTruncation()) continue;
        if (e.logical_offset >= offset) continue;
        if (e.logical_tail() > offset) e.length = (size_t)(offset - e.logical_offset);
        kept.push_back(e);
    }
    hostIndex.swap(kept);
    if (last_offset > offset) last_offset = offset;
}

int Index::rewriteIndex(int descriptor) {
    unsigned char h[kIndexHeaderSize];
    encode_index_header(h, mypid);
    if (Util::Ftruncate(descriptor, 0) < 0 || Util::WriteAll(descriptor, h, sizeof h, 0) < 0)
        return -errno;
    fd = descriptor;
    file_tail = kIndexHeaderSize;
    return flush();
}

void Index::compress() {
    std::vector<IndexPiece> &v = global_index.v;
    if (v.empty()) return;
    size_t out = 0;
    for (size_t i = 1; i < v.size(); i++) {
        IndexPiece &a = v[out];
        const IndexPiece &b = v[i];
        if (a.tail() == b.logical && a.chunk == b.chunk && a.id == b.id &&
            a.physical + (off_t)a.length == b.physical) {
            a.length += b.length;
        } else {
            v[++out] = b;
        }
    }
    v.resize(out + 1);
}

std::vector<off_t> Index::chunkEnds() const {
    std::vector<off_t> ends(chunk_map.size(), 0);
    for (const IndexPiece &p : global_index.v) {
        size_t c = (size_t)p.chunk;
        if (c < ends.size() && p.tail() > ends[c]) ends[c] = p.tail();
    }
    return ends;
}

/* --- flattened index ------------------------------------------------------ */

int Index::global_to_stream(void **buffer, size_t *length) {
    size_t ns = source_logs.size(), ne = global_index.size();
    size_t size = kGlobalHeaderSize + ns * kGlobalSourceSize + ne * kGlobalEntrySize;
    unsigned char *b = static_cast<unsigned char *>(calloc(1, size));
    if (!b) return -ENOMEM;
    memcpy(b, kGlobalMagic, 8);
    put_u32(b + 8, kVersion);
    put_u32(b + 12, kGlobalHeaderSize);
    put_u32(b + 16, kGlobalEntrySize);
    put_u32(b + 20, kGlobalSourceSize);
    put_u64(b + 24, ne);
    put_u32(b + 32, (uint32_t)ns);
    put_u64(b + 40, (uint64_t)last_offset);
    put_f64(b + 48, Util::getTime());
    unsigned char *p = b + kGlobalHeaderSize;
    for (const IndexLogInfo &s : source_logs) {
        put_u64(p, (uint64_t)s.size);
        size_t n = std::min(s.rel.size(), (size_t)kGlobalNameMax - 1);
        memcpy(p + 8, s.rel.data(), n);
        p += kGlobalSourceSize;
    }
    for (const IndexPiece &e : global_index.v) {
        put_u64(p, (uint64_t)e.logical);
        put_u64(p + 8, e.length);
        put_u64(p + 16, (uint64_t)e.physical);
        put_u32(p + 24, e.chunk);
        p += kGlobalEntrySize;
    }
    *buffer = b;
    *length = size;
    return 0;
}

int Index::global_to_file(int descriptor) {
    void *buf = nullptr;
    size_t len = 0;
    int r = global_to_stream(&buf, &len);
    if (r != 0) return r;
    if (Util::WriteAll(descriptor, buf, len, 0) < 0) r = -errno;
    free(buf);
    return r;
}

// Why the header of a flattened index of `size` bytes is unusable, or
// null; *ne and *ns: its entry and source counts.
static const char *check_global_header(const unsigned char *b, uint64_t size, uint64_t *ne,
                                       uint64_t *ns) {
    if (size < kGlobalHeaderSize || memcmp(b, kGlobalMagic, 8) != 0) return "bad magic number";
    if (get_u32(b + 8) != kVersion) return "unknown format version";
    if (get_u32(b + 12) != kGlobalHeaderSize || get_u32(b + 16) != kGlobalEntrySize ||
        get_u32(b + 20) != kGlobalSourceSize)
        return "unexpected record sizes";
    *ne = get_u64(b + 24);
    *ns = get_u32(b + 32);
    if (*ne > size || *ns > size ||
        kGlobalHeaderSize + *ns * kGlobalSourceSize + *ne * kGlobalEntrySize != size)
        return "size does not match its counts";
    if (get_u64(b + 40) >= kMaxEnd) return "end of file out of range";
    return nullptr;
}

void Index::takeSources(const unsigned char *p, uint64_t ns) {
    closeChunks();
    chunk_map.clear();
    source_logs.clear();
    for (uint64_t i = 0; i < ns; i++, p += kGlobalSourceSize) {
        IndexLogInfo s;
        s.size = (off_t)get_u64(p);
        const char *name = reinterpret_cast<const char *>(p + 8);
        s.rel.assign(name, strnlen(name, kGlobalNameMax));
        s.pid = 0;
        size_t dot = s.rel.rfind("index.");
        if (dot != std::string::npos) s.pid = (pid_t)atoi(s.rel.c_str() + dot + 6);
        source_logs.push_back(s);
        chunk_map.push_back(ChunkFile{data_log_of(index_path, s.rel), -1});
    }
}

// Appends `count` entries (numbered from `first`) to the pieces, checking
// that they are in order and inside the file's end; false (logged) when
// one is not. *prev_end: the end of the last piece so far.
bool Index::takeEntries(const unsigned char *p, uint64_t count, uint64_t first, off_t *prev_end) {
    uint64_t ns = source_logs.size();
    for (uint64_t i = 0; i < count; i++, p += kGlobalEntrySize) {
        uint64_t lo = get_u64(p), len = get_u64(p + 8), po = get_u64(p + 16);
        uint32_t src = get_u32(p + 24);
        if (lo >= kMaxOffset || len >= kMaxOffset || po >= kMaxOffset || src >= ns ||
            (off_t)lo < *prev_end || len == 0 || (off_t)(lo + len) > last_offset) {
            if (mlog_filter(kErr))
                mlog(kErr, "flattened index of %s: entry %llu out of order or range",
                     index_path.c_str(), (unsigned long long)(first + i));
            global_index.v.clear();
            return false;
        }
        global_index.v.push_back(IndexPiece{(off_t)lo, (off_t)po, len, src, source_logs[src].pid});
        *prev_end = (off_t)(lo + len);
        total_bytes += (size_t)len;
    }
    return true;
}

int Index::global_from_stream(void *addr) {
    const std::string &data = *static_cast<const std::string *>(addr);
    const unsigned char *b = reinterpret_cast<const unsigned char *>(data.data());
    uint64_t ne = 0, ns = 0;
    const char *why = check_global_header(b, data.size(), &ne, &ns);
    if (why) {
        if (mlog_filter(kErr)) mlog(kErr, "flattened index of %s: %s", index_path.c_str(), why);
        return -EIO;
    }
    takeSources(b + kGlobalHeaderSize, ns);
    global_index.v.clear();
    global_index.v.reserve((size_t)ne);
    last_offset = (off_t)get_u64(b + 40);
    total_bytes = 0;
    off_t prev_end = 0;
    if (!takeEntries(b + kGlobalHeaderSize + ns * kGlobalSourceSize, ne, 0, &prev_end)) return -EIO;
    populated = true;
    return 0;
}

int Index::debug_from_stream(void *stream) {
    FILE *out = static_cast<FILE *>(stream);
    fprintf(out, "# %zu pieces, %zu data logs, end of file %lld\n", global_index.size(),
            chunk_map.size(), (long long)last_offset);
    for (const IndexPiece &e : global_index.v) {
        fprintf(out, "%lld %llu %d %s %lld\n", (long long)e.logical, (unsigned long long)e.length,
                (int)e.id, chunk_map[e.chunk].path.c_str(), (long long)e.physical);
    }
    return 0;
}

// 0 when the flattened index was current and is loaded; 1 when there is
// none or it is stale; never fails the read (the logs are the truth).
int Index::loadFlattened(const std::vector<IndexLogInfo> &logs) {
    // Read piecewise: the header and sources first, so that a stale file
    // costs no more than them, then the entries in slices straight into
    // the pieces, never the whole file in one buffer.
    std::string file = index_path + "/" + vesk_cont::kGlobalIndexName;
    int gfd = Util::Open(file.c_str(), O_RDONLY, 0);
    if (gfd < 0) return 1;
    struct stat st;
    unsigned char h[kGlobalHeaderSize];
    uint64_t ne = 0, ns = 0;
    const char *why = nullptr;
    if (Util::Fstat(gfd, &st) < 0 || Util::ReadAll(gfd, h, sizeof h, 0) != (ssize_t)sizeof h)
        why = "unreadable";
    else why = check_global_header(h, (uint64_t)st.st_size, &ne, &ns);
    if (why || ns != logs.size()) {
        if (why && mlog_filter(kErr))
            mlog(kErr, "flattened index of %s: %s", index_path.c_str(), why);
        Util::Close(gfd);
        return 1;
    }
    Index probe(index_path);
    std::vector<unsigned char> buf(ns * kGlobalSourceSize);
    if (!buf.empty() && Util::ReadAll(gfd, buf.data(), buf.size(), kGlobalHeaderSize) !=
                            (ssize_t)buf.size()) {
        Util::Close(gfd);
        return 1;
    }
    probe.takeSources(buf.data(), ns);
    for (size_t i = 0; i < logs.size(); i++) {
        if (probe.source_logs[i].rel != logs[i].rel || probe.source_logs[i].size != logs[i].size) {
            Util::Close(gfd);
            return 1;
        }
    }
    probe.last_offset = (off_t)get_u64(h + 40);
    probe.total_bytes = 0;
    probe.global_index.v.reserve((size_t)ne);
    const uint64_t kSlice = 32768;  // entries, 1 MiB
    buf.resize((size_t)(std::min(ne, kSlice) * kGlobalEntrySize));
    off_t at = (off_t)(kGlobalHeaderSize + ns * kGlobalSourceSize);
    off_t prev_end = 0;
    for (uint64_t first = 0; first < ne; first += kSlice) {
        uint64_t m = std::min(kSlice, ne - first);
        size_t bytes = (size_t)(m * kGlobalEntrySize);
        if (Util::ReadAll(gfd, buf.data(), bytes, at) != (ssize_t)bytes ||
            !probe.takeEntries(buf.data(), m, first, &prev_end)) {
            Util::Close(gfd);
            return 1;
        }
        at += (off_t)bytes;
    }
    Util::Close(gfd);
    closeChunks();
    global_index.v.swap(probe.global_index.v);
    chunk_map.swap(probe.chunk_map);
    source_logs = logs;
    last_offset = probe.last_offset;
    total_bytes = probe.total_bytes;
    return 0;
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

int Index::readIndex(std::string path) {
    index_path = path;
    closeChunks();
    chunk_map.clear();
    global_index.v.clear();
    source_logs.clear();
    last_offset = 0;
    total_bytes = 0;
    used_flattened = false;
    populated = false;

    std::vector<IndexLogInfo> logs;
    int r = index_list_logs(path, logs);
    if (r != 0) return cleanupReadIndex(-1, nullptr, 0, r, "list", path.c_str());
    if (loadFlattened(logs) == 0) {
        used_flattened = true;
        populated = true;
        if (mlog_filter(kDbg)) mlog(kDbg, "%s: flattened index used", path.c_str());
        return 0;
    }

    std::vector<std::vector<HostEntry>> records(logs.size());
    std::vector<int> results(logs.size(), 0);
    if (logs.size() > 1) {
        ReadJob job;
        job.container = &path;
        job.logs = &logs;
        job.records = &records;
        job.results = &results;
        job.next = 0;
        size_t threads = std::min(logs.size(), kMaxReaders);
        ThreadPool pool(threads, read_logs_thread, &job);
        if (pool.threadError() != 0) {
            // Could not start the readers; read the rest here.
            read_logs_thread(&job);
        }
    } else if (logs.size() == 1) {
        results[0] = read_one(path, logs[0], records[0]);
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
    finishRead(logs, total);
    return 0;
}

void Index::finishRead(const std::vector<IndexLogInfo> &logs, size_t records) {
    std::vector<IndexPiece> &v = global_index.v;
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
    std::vector<IndexPiece> &v = global_index.v;
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
    v.reserve(total);
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

void Index::startBuffering() { buffering = true; }
void Index::stopBuffering() {
    buffering = false;
    flush();
}
bool Index::isBuffering() { return buffering; }
