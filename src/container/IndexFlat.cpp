/*
 * The flattened index: the merged map written to one file, and read back
 * while it still matches the logs.
 */
#include "container/Index.h"
#include "util/Crc32c.h"

#include "Util.h"
#include "container/Format.h"
#include "container/IndexPrivate.h"
#include "container/Layout.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <vector>

using namespace vesk_fmt;
using namespace vesk_index;

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
    for (size_t i = 0; i < ne; i++) {
        IndexPiece e = global_index.at(i);
        put_u64(p, (uint64_t)e.logical);
        put_u64(p + 8, e.length);
        put_u64(p + 16, (uint64_t)e.physical);
        put_u32(p + 24, e.chunk);
        p += kGlobalEntrySize;
    }
    put_u32(b + kGlobalBodyCrcAt, vesk_crc32c(0, b + kGlobalHeaderSize, size - kGlobalHeaderSize));
    put_u32(b + kIndexCrcAt, vesk_crc32c(0, b, kIndexCrcAt));
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
    // (An older flattened index is simply not used: the logs are read.)
    if (get_u32(b + 8) != kVersion) return "unknown format version";
    if (get_u32(b + kIndexCrcAt) != vesk_crc32c(0, b, kIndexCrcAt)) return "header checksum mismatch";
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
bool Index::takeEntries(const unsigned char *p, uint64_t count, uint64_t first, uint64_t total,
                        off_t *prev_end) {
    uint64_t ns = source_logs.size();
    for (uint64_t i = 0; i < count; i++, p += kGlobalEntrySize) {
        uint64_t lo = get_u64(p), len = get_u64(p + 8), po = get_u64(p + 16);
        uint32_t src = get_u32(p + 24);
        if (lo >= kMaxOffset || len >= kMaxOffset || po >= kMaxOffset || src >= ns ||
            (off_t)lo < *prev_end || len == 0 || (off_t)(lo + len) > last_offset) {
            if (mlog_filter(kErr))
                mlog(kErr, "flattened index of %s: entry %llu out of order or range",
                     index_path.c_str(), (unsigned long long)(first + i));
            global_index.clear();
            return false;
        }
        global_index.append(IndexPiece{(off_t)lo, (off_t)po, len, src, source_logs[src].pid},
                            (size_t)ns, (size_t)total);
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
    if (vesk_crc32c(0, b + kGlobalHeaderSize, data.size() - kGlobalHeaderSize) !=
        get_u32(b + kGlobalBodyCrcAt)) {
        if (mlog_filter(kErr))
            mlog(kErr, "flattened index of %s: checksum mismatch", index_path.c_str());
        return -EIO;
    }
    takeSources(b + kGlobalHeaderSize, ns);
    global_index.clear();
    last_offset = (off_t)get_u64(b + 40);
    total_bytes = 0;
    off_t prev_end = 0;
    if (!takeEntries(b + kGlobalHeaderSize + ns * kGlobalSourceSize, ne, 0, ne, &prev_end))
        return -EIO;
    populated = true;
    return 0;
}

int Index::debug_from_stream(void *stream) {
    FILE *out = static_cast<FILE *>(stream);
    fprintf(out, "# %zu pieces, %zu data logs, end of file %lld\n", global_index.size(),
            chunk_map.size(), (long long)last_offset);
    for (size_t i = 0; i < global_index.size(); i++) {
        IndexPiece e = global_index.at(i);
        fprintf(out, "%lld %llu %d %s %lld\n", (long long)e.logical, (unsigned long long)e.length,
                (int)e.id, chunk_map[e.chunk].path.c_str(), (long long)e.physical);
    }
    return 0;
}

// 0 when the flattened index was current and is loaded; 1 when there is
// none or it is stale; never fails the read (the logs are the truth).
int Index::loadFlattened(const std::vector<IndexLogInfo> &logs, bool cached) {
    // Read piecewise: the header and sources first, so that a stale file
    // costs no more than them, then the entries in slices straight into
    // the pieces, never the whole file in one buffer (kReadSliceBytes).
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
    uint32_t crc = vesk_crc32c(0, buf.data(), buf.size());
    probe.takeSources(buf.data(), ns);
    // Each log must still be the size recorded; a local file system's
    // listing tells it, elsewhere an open of the log does.
    for (size_t i = 0; i < logs.size(); i++) {
        off_t now = logs[i].size;
        if (probe.source_logs[i].rel != logs[i].rel || probe.source_logs[i].size != logs[i].size ||
            (cached && (vesk_index::log_size(index_path + "/" + logs[i].rel, true, &now) != 0 ||
                        now != logs[i].size))) {
            Util::Close(gfd);
            return 1;
        }
    }
    probe.last_offset = (off_t)get_u64(h + 40);
    probe.total_bytes = 0;
    const uint64_t kSlice = kReadSliceBytes / kGlobalEntrySize;  // entries
    unsigned char *slice = slice_buffer();
    off_t at = (off_t)(kGlobalHeaderSize + ns * kGlobalSourceSize);
    off_t prev_end = 0;
    for (uint64_t first = 0; first < ne; first += kSlice) {
        uint64_t m = std::min(kSlice, ne - first);
        size_t bytes = (size_t)(m * kGlobalEntrySize);
        if (Util::ReadAll(gfd, slice, bytes, at) != (ssize_t)bytes ||
            !probe.takeEntries(slice, m, first, ne, &prev_end)) {
            Util::Close(gfd);
            return 1;
        }
        crc = vesk_crc32c(crc, slice, bytes);
        at += (off_t)bytes;
    }
    Util::Close(gfd);
    if (crc != get_u32(h + kGlobalBodyCrcAt)) {
        // Damaged where the range checks cannot see: the logs are read.
        if (mlog_filter(kErr))
            mlog(kErr, "flattened index of %s: checksum mismatch", index_path.c_str());
        return 1;
    }
    closeChunks();
    std::swap(global_index, probe.global_index);
    chunk_map.swap(probe.chunk_map);
    source_logs = logs;
    last_offset = probe.last_offset;
    total_bytes = probe.total_bytes;
    return 0;
}
