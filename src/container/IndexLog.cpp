/*
 * Index logs on disk: finding them in a container, reading one back with
 * every record checked (through a buffer each thread keeps), measuring
 * one, and opening one for appending.
 */
#include "container/Index.h"

#include "Util.h"
#include "container/Format.h"
#include "container/Layout.h"
#include "container/IndexPrivate.h"
#include "container/IndexRecord.h"
#include "util/Crc32c.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk_fmt;
using namespace vesk_index;

int index_list_logs(const std::string &container, std::vector<IndexLogInfo> &out) {
    std::vector<std::string> names;
    if (Util::ListDir(container.c_str(), &names) != 0) return -errno;
    std::vector<std::string> hostdirs;
    for (const std::string &n : names)
        if (n.compare(0, 8, "hostdir.") == 0) hostdirs.push_back(n);
    for (const std::string &h : hostdirs) {
        std::string hd = container + "/" + h;
        names.clear();
        if (Util::ListDir(hd.c_str(), &names) != 0) {
            if (errno == ENOENT) continue;  // dropped meanwhile
            return -errno;
        }
        for (const std::string &n : names) {
            if (n.compare(0, 6, "index.") != 0) continue;
            char *end = nullptr;
            long pid = strtol(n.c_str() + 6, &end, 10);
            if (!end || *end != '\0' || !vesk_cont::pid_in_range(pid)) continue;
            IndexLogInfo info;
            info.rel = h + "/" + n;
            info.pid = (pid_t)pid;
            struct stat st;
            std::string full = container + "/" + info.rel;
            if (Util::Lstat(full.c_str(), &st) != 0) continue;
            info.size = st.st_size;
            out.push_back(info);
        }
    }
    std::sort(out.begin(), out.end(),
              [](const IndexLogInfo &a, const IndexLogInfo &b) { return a.rel < b.rel; });
    return 0;
}

int index_read_log(const std::string &path, off_t data_size, std::vector<HostEntry> &out) {
    return index_read_log(path, data_size, out, nullptr);
}

namespace {

// What a damaged record described, as far as it can be told. A record
// whose checksum holds (or one of a version 1 log, which has none) is as
// written, and one whose checksum fails is mended when one changed byte
// explains it; either describes its own range when its fields are sound
// but for its data (a write beyond the end of its data log). Anything
// else: all its writer may have written.
DamagedRange range_of_damaged(const unsigned char *p, uint32_t version) {
    IndexRecord rec;
    bool known = version == kOldVersion ? (rec = decode_record_v1(p), true)
                 : record_crc_ok(p)     ? (rec = decode_record(p), true)
                                        : mend_record(p, &rec);
    if (known && !check_record(rec, -1) && rec.kind == kKindWrite)
        return DamagedRange{(off_t)rec.logical, (off_t)(rec.logical + rec.length)};
    return DamagedRange{0, -1};
}

}  // namespace

namespace vesk_index {

unsigned char *slice_buffer() {
    thread_local std::unique_ptr<unsigned char[]> buf;
    if (!buf) buf.reset(new unsigned char[kReadSliceBytes]);
    return buf.get();
}

int log_size(const std::string &path, bool cached, off_t *size) {
    struct stat st;
    *size = 0;
    if (!cached) {
        if (Util::Lstat(path.c_str(), &st) == 0) *size = st.st_size;
        else if (errno != ENOENT) return -errno;
        return 0;
    }
    // Nothing is read through it: neither its directory's links nor a
    // blocking descriptor matter (the logs are opened as members when read).
    int fd = Util::OpenFile(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) return errno == ENOENT ? 0 : -errno;
    int r = Util::Fstat(fd, &st) == 0 ? 0 : -errno;
    if (r == 0) *size = st.st_size;
    Util::Close(fd);
    return r;
}

}  // namespace vesk_index

int index_read_log(const std::string &path, off_t data_size, std::vector<HostEntry> &out,
                   std::vector<DamagedRange> *damaged) {
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
            if (!damaged) return -EIO;
            // Not a header being made: whatever the log held is lost, and
            // what is lost is all its writer may have written.
            damaged->push_back(DamagedRange{0, -1});
        }
        return 0;
    }
    uint32_t version = 0;
    int r = check_index_header(h, path, &version);
    if (r != 0 && damaged) {
        // The records carry checksums of their own: a damaged header
        // loses none of them, and each is read as of the current format.
        version = kVersion;
        r = 0;
    }
    if (r != 0) {
        Util::Close(fd);
        return r;
    }
    const size_t rsize = record_size_of(version);
    uint64_t body = (uint64_t)st.st_size - kIndexHeaderSize;
    size_t n = (size_t)(body / rsize);
    if (body % rsize != 0 && mlog_filter(kWarn))
        mlog(kWarn, "index log %s: torn last record ignored", path.c_str());
    const size_t kSlice = kReadSliceBytes / rsize;  // records
    unsigned char *buf = slice_buffer();
    out.reserve(out.size() + n);
    for (size_t first = 0; first < n; first += kSlice) {
        size_t m = std::min(kSlice, n - first);
        size_t bytes = m * rsize;
        off_t at = (off_t)kIndexHeaderSize + (off_t)(first * rsize);
        if (Util::ReadAll(fd, buf, bytes, at) != (ssize_t)bytes) {
            r = errno ? -errno : -EIO;
            Util::Close(fd);
            return r;
        }
        for (size_t j = 0; j < m; j++) {
            size_t i = first + j;
            const unsigned char *p = buf + j * rsize;
            const char *why = nullptr;
            IndexRecord rec;
            if (version == kOldVersion) {
                rec = decode_record_v1(p);
            } else if (!record_crc_ok(p)) {
                why = "checksum mismatch";
            } else {
                rec = decode_record(p);
            }
            if (!why) why = check_record(rec, data_size);
            if (why && damaged) {
                if (mlog_filter(kErr))
                    mlog(kErr, "index log %s: record %zu: %s", path.c_str(), i, why);
                damaged->push_back(range_of_damaged(p, version));
                continue;
            }
            if (why) {
                Util::Close(fd);
                if (mlog_filter(kErr))
                    mlog(kErr, "index log %s: record %zu: %s", path.c_str(), i, why);
                return -EIO;
            }
            if (rec.kind == kKindWrite && rec.length == 0) continue;
            out.push_back(entry_of(rec));
        }
    }
    Util::Close(fd);
    return 0;
}

bool index_data_crc(int fd, uint64_t off, uint64_t len, uint32_t *crc) {
    static const size_t kChunk = 1 << 20;
    std::unique_ptr<char[]> buf(new char[std::min<uint64_t>(kChunk, len) + 1]);
    uint32_t c = 0;
    while (len > 0) {
        size_t n = len < kChunk ? (size_t)len : kChunk;
        if (Util::ReadAll(fd, buf.get(), n, (off_t)off) != (ssize_t)n) return false;
        c = vesk_crc32c(c, buf.get(), n);
        off += n;
        len -= n;
    }
    *crc = c;
    return true;
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
        encode_index_header(h, pid, Util::getTime());
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
    uint32_t version = 0;
    int r = check_index_header(h, path, &version);
    if (r == 0 && version != kVersion) {
        // Records of another size cannot follow; an older log is read only
        // (a writer of that pid gets here only through pid reuse).
        if (mlog_filter(kErr))
            mlog(kErr, "index log %s: format version %u is read only", path.c_str(),
                 (unsigned)version);
        r = -EROFS;
    }
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
