/*
 * The container scrub: every record and every stored byte against its
 * checksum, and the repairs that keep what is sound.
 */
#include "container/Scrub.h"

#include "Util.h"
#include "container/Format.h"
#include "container/Index.h"
#include "container/IndexRecord.h"
#include "container/Layout.h"
#include "mlog.h"
#include "util/Crc32c.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk_fmt;

namespace {

const int kInfo = MLOG_INFO | VESK_FAC_CONTAINER;

struct Ctx {
    std::string dir;
    bool repair;
    std::vector<VeskScrubProblem> &out;
    VeskScrubStats &stats;
    VeskScrubProblem &add(const std::string &part, int64_t b, int64_t e, const std::string &what) {
        VeskScrubProblem p;
        p.file = dir;
        p.part = part;
        p.begin = b;
        p.end = e;
        p.what = what;
        out.push_back(p);
        return out.back();
    }
};


// Writes `keep` (header + sound records) over the log at `path` through a
// temporary file and a rename, and appends `dropped` to the side file.
int rewrite_log(const std::string &path, const std::string &side, const std::string &keep,
                const std::string &dropped) {
    if (!dropped.empty()) {
        int s = Util::Open(side.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (s < 0) return -errno;
        struct stat st;
        int r = Util::Fstat(s, &st) < 0 ? -errno : 0;
        if (r == 0 && Util::WriteAll(s, dropped.data(), dropped.size(), st.st_size) < 0) r = -errno;
        if (r == 0 && Util::Fsync(s) < 0) r = -errno;
        Util::Close(s);
        if (r != 0) return r;
    }
    struct stat st;
    if (Util::Lstat(path.c_str(), &st) < 0) return -errno;
    std::string tmp = path + ".scrub." + std::to_string(getpid());
    int fd = Util::Open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 07777);
    if (fd < 0) return -errno;
    int r = Util::WriteAll(fd, keep.data(), keep.size(), 0) < 0 ? -errno : 0;
    if (r == 0 && Util::Fsync(fd) < 0) r = -errno;
    Util::Close(fd);
    if (r == 0 && Util::Rename(tmp.c_str(), path.c_str()) < 0) r = -errno;
    if (r != 0) {
        Util::Unlink(tmp.c_str());
        return r;
    }
    return Util::FsyncParent(path.c_str()) < 0 ? -errno : 0;
}

void scrub_log(Ctx &c, const IndexLogInfo &log) {
    c.stats.logs++;
    const std::string path = c.dir + "/" + log.rel;
    const std::string hd = Util::dirName(path);
    const std::string data = hd + "/data." + std::to_string(log.pid);
    const std::string side = hd + "/dropped." + std::to_string(log.pid);
    std::string bytes;
    int r = vesk_cont::read_whole(path, bytes);
    if (r != 0) {
        c.add(log.rel, -1, -1, std::string("unreadable: ") + strerror(-r));
        return;
    }
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes.data());
    if (bytes.size() < kIndexHeaderSize) {
        size_t m = bytes.size() < 8 ? bytes.size() : 8;
        if (memcmp(b, kIndexMagic, m) == 0) return;  // a writer that died making it
        // Not the start of a header: readers lose all its writer may have
        // written. The repair sets the bytes aside and leaves an empty log.
        VeskScrubProblem &pr = c.add(log.rel, -1, -1, "header: bad magic number (log cut short)");
        if (c.repair) {
            unsigned char h[kIndexHeaderSize];
            encode_index_header(h, log.pid, Util::getTime());
            r = rewrite_log(path, side, std::string(reinterpret_cast<const char *>(h), sizeof h),
                            bytes);
            if (r == 0) pr.repaired = true;
            else c.add(log.rel, -1, -1, std::string("repair failed: ") + strerror(-r));
        }
        return;
    }
    uint32_t version = 0;
    const char *why = header_problem(b, &version);
    std::string keep(bytes.data(), kIndexHeaderSize), dropped;
    bool changed = false;
    if (why) {
        // The records carry checksums of their own and are read as of the
        // current format, as readers do; a repair writes a new header.
        VeskScrubProblem &pr = c.add(log.rel, -1, -1, std::string("header: ") + why);
        version = kVersion;
        if (c.repair) {
            unsigned char h[kIndexHeaderSize];
            encode_index_header(h, log.pid, Util::getTime());
            keep.assign(reinterpret_cast<const char *>(h), sizeof h);
            changed = true;
            pr.repaired = true;
        }
    }
    const size_t rs = record_size_of(version);
    struct stat dst;
    bool have_data = Util::Lstat(data.c_str(), &dst) == 0;
    int dfd = have_data ? Util::Open(data.c_str(), O_RDONLY, 0) : -1;
    size_t n = (bytes.size() - kIndexHeaderSize) / rs;
    size_t torn = (bytes.size() - kIndexHeaderSize) % rs;
    bool data_missing_reported = false;
    for (size_t i = 0; i < n; i++) {
        const unsigned char *p = b + kIndexHeaderSize + i * rs;
        c.stats.records++;
        const std::string part = log.rel + " record " + std::to_string(i);
        IndexRecord rec = version == kOldVersion ? decode_record_v1(p) : decode_record(p);
        const char *bad = nullptr;
        if (version == kVersion && !record_crc_ok(p)) bad = "record checksum mismatch";
        if (!bad) bad = check_record(rec, have_data ? dst.st_size : -1);
        // The range a damaged record claims is a hint only, named when it
        // is plausible.
        int64_t lo = rec.logical < kMaxOffset ? (int64_t)rec.logical : -1;
        int64_t hi = lo >= 0 && rec.length < kMaxOffset ? lo + (int64_t)rec.length : -1;
        if (hi < 0) lo = -1;
        if (bad) {
            VeskScrubProblem &pr = c.add(part, lo, hi, bad);
            if (c.repair) {
                dropped.append(reinterpret_cast<const char *>(p), rs);
                changed = true;
                pr.repaired = true;
            }
            continue;
        }
        keep.append(reinterpret_cast<const char *>(p), rs);
        if (rec.kind != kKindWrite || rec.length == 0) continue;
        if (!have_data) {
            if (!data_missing_reported)
                c.add(log.rel, -1, -1, "data log missing under an index log with writes");
            data_missing_reported = true;
            continue;
        }
        uint32_t crc = 0;
        if (!index_data_crc(dfd, rec.physical, rec.length, &crc)) {
            c.add(part, lo, hi, "data unreadable");
            continue;
        }
        c.stats.data_bytes += rec.length;
        if (version == kVersion && crc != rec.data_crc)
            c.add(part, lo, hi, "data checksum mismatch (bytes lost)");
    }
    if (dfd >= 0) Util::Close(dfd);
    if (torn) {
        VeskScrubProblem &pr =
            c.add(log.rel, -1, -1, "torn last record (" + std::to_string(torn) + " bytes)");
        if (c.repair) {
            dropped.append(bytes.data() + bytes.size() - torn, torn);
            changed = true;
            pr.repaired = true;
        }
    }
    if (changed) {
        r = rewrite_log(path, side, keep, dropped);
        if (r != 0) {
            for (auto &pr : c.out)
                if (pr.part.compare(0, log.rel.size(), log.rel) == 0) pr.repaired = false;
            c.add(log.rel, -1, -1, std::string("repair failed: ") + strerror(-r));
        } else if (mlog_filter(kInfo)) {
            mlog(kInfo, "scrub %s: %zu bytes of records set aside in %s", path.c_str(),
                 dropped.size(), side.c_str());
        }
    }
}

void scrub_meta(Ctx &c, const std::vector<IndexLogInfo> &logs) {
    std::string md = c.dir + "/" + vesk_cont::kMetaDir;
    if (DIR *d = opendir(md.c_str())) {
        std::vector<std::string> bad;
        while (struct dirent *e = readdir(d))
            if (vesk_cont::meta_name_damaged(e->d_name)) bad.push_back(e->d_name);
        closedir(d);
        for (const std::string &n : bad) {
            VeskScrubProblem &pr = c.add(std::string(vesk_cont::kMetaDir) + "/" + n, -1, -1,
                                         "size record checksum mismatch (ignored)");
            std::string f = md + "/" + n;
            if (c.repair && Util::Unlink(f.c_str()) == 0) pr.repaired = true;
        }
    }
    std::vector<vesk_cont::WriterMeta> metas;
    vesk_cont::TruncMeta t;
    if (vesk_cont::list_meta(c.dir, metas, t) != 0) return;
    for (const vesk_cont::WriterMeta &m : metas) {
        std::string rel = "hostdir." + m.host + "/index." + std::to_string(m.pid);
        const IndexLogInfo *found = nullptr;
        for (const IndexLogInfo &l : logs)
            if (l.rel == rel) found = &l;
        std::string part = std::string(vesk_cont::kMetaDir) + "/" + m.name;
        if (!found && m.bytes > 0) {
            VeskScrubProblem &pr =
                c.add(rel, -1, -1,
                      "index log missing; its size record says " + std::to_string(m.bytes) +
                          " bytes were written");
            // The bytes are gone; the record only keeps the file unreadable.
            if (c.repair && vesk_cont::remove_writer_meta(c.dir, m.pid, m.host) == 0)
                pr.repaired = true;
        }
        else if (found && found->size < m.isize)
            c.add(rel, -1, -1,
                  "index log is " + std::to_string(found->size) + " bytes; its size record says " +
                      std::to_string(m.isize));
    }
}

void scrub_flattened(Ctx &c) {
    std::string file = c.dir + "/" + vesk_cont::kGlobalIndexName;
    std::string bytes;
    if (vesk_cont::read_whole(file, bytes) != 0) return;  // none: nothing to check
    const unsigned char *b = reinterpret_cast<const unsigned char *>(bytes.data());
    const char *why = nullptr;
    if (bytes.size() < kGlobalHeaderSize || memcmp(b, kGlobalMagic, 8) != 0)
        why = "bad magic number";
    else if (get_u32(b + 8) != kVersion)
        why = nullptr;  // an older one: never used, nothing to check
    else if (get_u32(b + kIndexCrcAt) != vesk_crc32c(0, b, kIndexCrcAt))
        why = "header checksum mismatch";
    else if (get_u32(b + kGlobalBodyCrcAt) !=
             vesk_crc32c(0, b + kGlobalHeaderSize, bytes.size() - kGlobalHeaderSize))
        why = "checksum mismatch";
    if (!why) return;
    VeskScrubProblem &pr = c.add(vesk_cont::kGlobalIndexName, -1, -1,
                                 std::string("flattened index: ") + why + " (not used)");
    if (c.repair && Util::Unlink(file.c_str()) == 0 && Util::FsyncDir(c.dir.c_str()) == 0)
        pr.repaired = true;
}

}  // namespace

int container_scrub(const std::string &dir, bool repair, std::vector<VeskScrubProblem> &out,
                    VeskScrubStats *stats) {
    VeskScrubStats local;
    Ctx c{dir, repair, out, stats ? *stats : local};
    uint32_t v = 0;
    int r = vesk_cont::read_marker(dir, &v);
    if (r == -ENOENT) {
        c.add(".vesk_container", -1, -1, "marker missing");
    } else if (r != 0) {
        VeskScrubProblem &pr = c.add(".vesk_container", -1, -1,
                                     r == -EIO ? "marker damaged (text or checksum)"
                                               : "marker unreadable");
        if (repair && r == -EIO && vesk_cont::repair_marker(dir) == 0) pr.repaired = true;
    }
    std::vector<IndexLogInfo> logs;
    r = index_list_logs(dir, logs);
    if (r != 0) return r;
    for (const IndexLogInfo &l : logs) scrub_log(c, l);
    scrub_meta(c, logs);
    scrub_flattened(c);
    return 0;
}
