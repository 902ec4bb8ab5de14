/*
 * The size of a container file. A closed container's size comes from the
 * writers' size records (a directory listing); while any writer is open,
 * or when a record does not match its log, the index logs are merged.
 */
#include "container/Container.h"

#include "OpenFile.h"
#include "Util.h"
#include "container/ContainerPrivate.h"
#include "container/Index.h"
#include "container/Layout.h"
#include "container/WriteFile.h"
#include "mlog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <vector>

using vesk_cont::host;
using namespace vesk_cfile;

namespace vesk_cfile {

// The size from the size records alone; false when they do not tell it.
bool size_from_meta(const std::string &dir, Figures *f) {
    std::vector<vesk_cont::OpenWriter> open;
    if (vesk_cont::list_open_writers(dir, open) != 0 || !open.empty()) return false;
    std::vector<IndexLogInfo> logs;
    if (index_list_logs(dir, logs) != 0) return false;
    std::vector<vesk_cont::WriterMeta> metas;
    vesk_cont::TruncMeta t;
    if (vesk_cont::list_meta(dir, metas, t) != 0) return false;
    Figures out;
    if (t.present) out.size = t.length;
    for (const IndexLogInfo &log : logs) {
        std::string h;
        pid_t pid;
        parse_log_rel(log.rel, h, pid);
        const vesk_cont::WriterMeta *match = nullptr;
        for (const vesk_cont::WriterMeta &m : metas) {
            if (m.pid == pid && m.host == h) match = &m;
        }
        if (!match || match->isize != log.size) return false;
        if (t.present && match->since_us < t.when_us) return false;
        out.size = std::max(out.size, match->eof);
        out.bytes += match->bytes;
    }
    *f = out;
    return true;
}

int size_by_merge(const std::string &dir, Figures *f) {
    Index idx(dir);
    int r = idx.readIndex(dir);
    if (r != 0) return r;
    f->size = idx.lastOffset();
    f->bytes = idx.totalBytes();
    return 0;
}

int container_figures(const std::string &dir, Figures *f, WriteFile *wf) {
    // Records this process still buffers count too; when they cannot be
    // written the size is what is published (the writer reports the error).
    int fr = wf ? wf->closeIndex() : flush_in_process(dir);
    if (fr != 0 && mlog_filter(kErr))
        mlog(kErr, "size of %s: records not yet published: %s", dir.c_str(), strerror(-fr));
    if (size_from_meta(dir, f)) return 0;
    return size_by_merge(dir, f);
}

// With no writer open anywhere: replaces every size record by one made
// from the merged index `idx`, so that the next size is a listing again.
void refresh_meta(const std::string &dir, Index &idx) {
    uint64_t now = vesk_cont::to_us(Util::getTime());
    std::vector<vesk_cont::WriterMeta> old;
    vesk_cont::TruncMeta t;
    vesk_cont::list_meta(dir, old, t);
    std::vector<off_t> ends(idx.chunks().size(), 0);
    std::vector<uint64_t> bytes(idx.chunks().size(), 0);
    off_t max_end = 0;
    for (auto &kv : idx.entries()) {
        size_t c = (size_t)kv.second.original_chunk;
        if (c >= ends.size()) continue;
        ends[c] = std::max(ends[c], kv.second.logical_tail());
        bytes[c] += kv.second.length;
        max_end = std::max(max_end, kv.second.logical_tail());
    }
    const std::vector<IndexLogInfo> &logs = idx.sources();
    for (size_t i = 0; i < logs.size() && i < ends.size(); i++) {
        vesk_cont::WriterMeta m;
        parse_log_rel(logs[i].rel, m.host, m.pid);
        m.eof = ends[i];
        m.bytes = bytes[i];
        m.isize = logs[i].size;
        m.since_us = now;
        vesk_cont::write_writer_meta(dir, m);
    }
    if (idx.lastOffset() > max_end) {
        // a hole at the end (an extending truncation) is in no piece
        vesk_cont::write_trunc_meta(dir, idx.lastOffset(), now);
    } else if (t.present) {
        std::string f = dir + "/" + vesk_cont::kMetaDir + "/" + t.name;
        Util::Unlink(f.c_str());
    }
}

bool any_open_writer(const std::string &dir) {
    std::vector<vesk_cont::OpenWriter> open;
    vesk_cont::list_open_writers(dir, open);
    for (const vesk_cont::OpenWriter &w : open)
        if (writer_alive(w)) return true;
    return false;
}

}  // namespace vesk_cfile

namespace {

void fill_stat(const std::string &dir, const struct stat &dst, const struct stat &mst,
               const Figures &f, struct stat *st) {
    memset(st, 0, sizeof *st);
    st->st_dev = dst.st_dev;
    st->st_ino = dst.st_ino;
    st->st_mode = S_IFREG | (mst.st_mode & 07777);
    st->st_nlink = 1;
    st->st_uid = mst.st_uid;
    st->st_gid = mst.st_gid;
    st->st_size = f.size;
    st->st_blksize = mst.st_blksize ? mst.st_blksize : 4096;
    st->st_blocks = (blkcnt_t)((f.bytes + 511) / 512);
    st->st_atim = mst.st_atim;
    st->st_mtim = mst.st_mtim;
    st->st_ctim = mst.st_ctim;
    (void)dir;
}

}  // namespace

// The figures of a file this process writes: the last merge with this
// process's writes since (see container_read), without publishing them,
// merged again only when other processes published since. -EAGAIN when the
// writes kept no longer reach back to a merge.
static int written_figures(Container_OpenFile *fd, WriteFile *wf, Figures *f) {
    for (int attempt = 0; attempt < 2; attempt++) {
        std::shared_ptr<Index> idx;
        int r = attempt == 0 ? index_current(fd, &idx) : index_for(fd, true, &idx);
        if (r != 0) return r;
        off_t end = 0;
        if (!wf->recentWrites().extent((uint64_t)std::max(0, idx->builtGeneration()), &end))
            continue;
        off_t merged = idx->lastOffset();
        f->size = std::max(merged, end);
        f->bytes = idx->totalBytes() + (uint64_t)(f->size - merged);
        return 0;
    }
    return -EAGAIN;
}

// The attributes of what stands at the backend path `dir`; `fd` and `wf`:
// the open file and its writer, or null. `held`: when `dir` is a directory
// held open, its identity (device, inode) and, where `whole`, the rest of
// its stat (else null).
static int getattr_at(const std::string &dir, const struct stat *held, bool whole,
                      Container_OpenFile *fd, WriteFile *wf, struct stat *stbuf, bool size) {
    struct stat dst, mst;
    int r = 0;
    int m = held ? Util::Lstat(vesk_cont::marker(dir).c_str(), &mst) : -1;
    if (m == 0 && S_ISREG(mst.st_mode)) {
        // A held directory with its marker is a container, and the
        // directory was measured when it was taken: the marker is all
        // there is to look at.
        dst = *held;
    } else if (m < 0 && held && whole && errno == ENOENT) {
        memcpy(stbuf, held, sizeof *held);  // a directory
        return 0;
    } else {
        Kind k;
        r = classify(dir, &k, &dst);
        if (r != 0) return r;
        if (k == K_NONE) return -ENOENT;
        if (k != K_CONTAINER) {
            memcpy(stbuf, &dst, sizeof dst);
            return 0;
        }
        if (Util::Lstat(vesk_cont::marker(dir).c_str(), &mst) < 0) return -errno;
    }
    Figures f;
    r = size ? -EAGAIN : 0;
    if (size && fd && wf && wf->numWriters() > 0) r = written_figures(fd, wf, &f);
    if (r == -EAGAIN) r = container_figures(dir, &f, wf);
    if (r != 0) return r;
    fill_stat(dir, dst, mst, f, stbuf);
    if (wf) {
        // A file being written was modified at its last write (the marker
        // takes that time at the close). Programs and the kernel's caches
        // tell a changed file by it.
        struct timespec t;
        if (wf->lastWrite(&t) && (t.tv_sec > stbuf->st_mtim.tv_sec ||
                                  (t.tv_sec == stbuf->st_mtim.tv_sec &&
                                   t.tv_nsec > stbuf->st_mtim.tv_nsec)))
            stbuf->st_mtim = stbuf->st_ctim = t;
    }
    return 0;
}

int container_getattr(Container_OpenFile *fd, const char *path, struct stat *stbuf,
                      int sz_only) {
    const bool size = sz_only != VESK_GETATTR_NO_SIZE;
    if (fd) {
        // The open file is what this process opened, wherever it is now.
        OpenState *os = state_of(fd);
        if (!os) return -EBADF;
        struct stat held {};
        held.st_dev = os->sh->dev;
        held.st_ino = os->sh->ino;
        held.st_mode = S_IFDIR;
        int r = getattr_at(os->sh->dir, &held, false, fd, writefile_of(os->sh), stbuf, size);
        // no name leads to a file unlinked while open
        if (r == 0 && is_orphan(os->sh)) stbuf->st_nlink = 0;
        return r;
    }
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    // A container is measured through its directory held open, and the
    // name checked again afterwards: a rename over it may take the
    // directory apart meanwhile, and what it measured then is no size the
    // file ever had. It starts over then, as an open does.
    for (int attempt = 0; attempt < 1000; attempt++) {
        struct stat held, now;
        int dfd = hold_dir(dir, &held);
        if (dfd == -ENOTDIR || dfd == -ELOOP)
            return getattr_at(dir, nullptr, false, nullptr, nullptr, stbuf, size);
        if (dfd < 0) return dfd;
        r = getattr_at(vesk_cont::held_path(dfd), &held, true, nullptr, nullptr, stbuf, size);
        // Looked at while the directory is still held: a directory let go
        // after its removal frees its inode number, which the next file
        // made may get and a rename may bring to this name, so that the
        // name would seem to lead to what was measured.
        bool same = Util::Lstat(dir.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
                    now.st_ino == held.st_ino;
        ::close(dfd);
        if (same) return r;
    }
    return -EAGAIN;
}
