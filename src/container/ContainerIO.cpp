/*
 * Open files of the container layer: open and close, and the reads,
 * writes and syncs between them.
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
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using vesk_cont::host;
using namespace vesk_cfile;

namespace {

int follow_depth = 0;

}  // namespace

int container_open(Container_OpenFile **pfd, const char *path, int flags, pid_t pid, mode_t mode,
                   Vesk_open_opt *open_opt) {
    int acc = flags & O_ACCMODE;
    bool wr = acc == O_WRONLY || acc == O_RDWR;
    bool rd = acc == O_RDONLY || acc == O_RDWR;
    TableLock lock;
    Container_OpenFile *rec = *pfd;
    std::string dir;
    bool created = false;
    if (rec) {
        auto st = g_state.find(rec);
        if (st == g_state.end()) return -EBADF;
        dir = st->second.container;
        if (!container_is_container(dir)) return -ENOENT;
    } else {
        int r = locate(path, dir);
        if (r != 0) return r;
        Kind k;
        struct stat st;
        r = classify(dir, &k, &st);
        if (r != 0) return r;
        if (k == K_NONE) {
            if (!(flags & O_CREAT)) return -ENOENT;
            r = vesk_cont::create_container(dir, mode & 07777);
            if (r == 0) created = true;
            else if (r == -EEXIST) {
                if (flags & O_EXCL) return -EEXIST;
                classify(dir, &k, &st);
            } else {
                return r;
            }
            if (created) k = K_CONTAINER;
        } else if ((flags & O_CREAT) && (flags & O_EXCL)) {
            return -EEXIST;
        }
        if (k == K_LINK) {
            // Links hold logical paths; an absolute one is followed.
            char target[PATH_MAX + 1];
            ssize_t n = Util::Readlink(dir.c_str(), target, PATH_MAX);
            if (n < 0) return -errno;
            target[n] = '\0';
            if ((flags & O_NOFOLLOW) || target[0] != '/' || follow_depth >= 8) return -ELOOP;
            Util::MutexUnlock(&g_mux, "container table");
            follow_depth++;
            int fr = container_open(pfd, target, flags, pid, mode, open_opt);
            follow_depth--;
            Util::MutexLock(&g_mux, "container table");
            return fr;
        }
        if (k == K_DIR) return -EISDIR;
        if (k == K_FILE || k == K_OTHER) {
            if (mlog_filter(kErr)) mlog(kErr, "open %s: %s is no container", path, dir.c_str());
            return -EINVAL;
        }
        if (!created) {
            struct stat ms;
            if (Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) < 0) return -errno;
            int want = (rd ? R_OK : 0) | (wr ? W_OK : 0);
            r = check_perm(ms, want, geteuid());
            if (r != 0) return r;
        }
        uint32_t version;
        r = vesk_cont::read_marker(dir, &version);
        if (r == -EACCES) r = 0;  // a writer that may not read the marker
        if (r != 0) return r;
        rec = find_open(dir);
    }

    if (wr && (flags & O_TRUNC) && !created) {
        int r = truncate_container(dir, rec, 0, pid);
        if (r != 0) return r;
    }

    bool fresh = rec == nullptr;
    if (fresh) {
        rec = new Container_OpenFile(nullptr, nullptr, pid, mode, path);
        g_by_container[dir] = rec;
        g_state[rec].container = dir;
        g_state[rec].dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    bool added_writer = false, made_wf = false, made_index = false;
    int r = 0;
    if (wr) {
        WriteFile *wf = rec->getWritefile();
        if (!wf) {
            struct stat ms;
            mode_t bits = Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) == 0
                              ? ms.st_mode & 0777 : (mode & 0777);
            wf = new WriteFile(dir, host(), bits, 0);
            rec->setWritefile(wf);
            made_wf = true;
        }
        r = wf->addWriter(pid, false);
        if (r > 0) {
            r = 0;
            added_writer = true;
            if (flags & O_APPEND) {
                wf->setAppend(pid, true);
                Figures f;
                if (container_figures(dir, &f, true) == 0) wf->extend(f.size);
            }
        }
    }
    if (r == 0 && rd) {
        if (!rec->getIndex()) {
            rec->setIndex(new Index(dir));
            made_index = true;
        }
        rec->lockIndex();
        r = refresh_index(rec, dir, g_state[rec].dirfd);
        rec->unlockIndex();
        if (r == 0) g_state[rec].readers++;
    }
    if (r != 0) {
        if (added_writer) rec->getWritefile()->removeWriter(pid);
        if (made_index) {
            delete rec->getIndex();
            rec->setIndex(nullptr);
        }
        if (made_wf) {
            delete rec->getWritefile();
            rec->setWritefile(nullptr);
        }
        if (fresh) {
            g_by_container.erase(dir);
            if (g_state[rec].dirfd >= 0) ::close(g_state[rec].dirfd);
            g_state.erase(rec);
            delete rec;
        }
        if (mlog_filter(kErr)) mlog(kErr, "open %s: %s", path, strerror(-r));
        return r;
    }
    if (open_opt && open_opt->reopen) rec->setReopen();
    rec->incrementOpens(1);
    *pfd = rec;
    if (mlog_filter(kDbg))
        mlog(kDbg, "open %s flags %#x pid %d: %d opens", path, flags, (int)pid,
             rec->incrementOpens(0));
    return 0;
}

int container_close(Container_OpenFile *fd, pid_t pid, uid_t u, int flags,
                    Vesk_close_opt *close_opt) {
    (void)u;
    (void)close_opt;
    if (!fd) return -EBADF;
    TableLock lock;
    auto st = g_state.find(fd);
    if (st == g_state.end()) return -EBADF;
    int acc = flags & O_ACCMODE;
    bool wr = acc == O_WRONLY || acc == O_RDWR;
    bool rd = acc == O_RDONLY || acc == O_RDWR;
    WriteFile *wf = fd->getWritefile();
    if (wr && wf) follow_moved(fd, st->second);
    if (wr && wf) wf->removeWriter(pid);
    if (rd && st->second.readers > 0) st->second.readers--;
    int left = fd->incrementOpens(-1);
    if (left > 0) return left;
    // The last open: every writer still there (a child that wrote without
    // an open) is closed with the WriteFile.
    std::string dir = st->second.container;
    if (st->second.dirfd >= 0) ::close(st->second.dirfd);
    g_state.erase(st);
    auto it = g_by_container.find(dir);
    if (it != g_by_container.end() && it->second == fd) g_by_container.erase(it);
    delete wf;
    delete fd->getIndex();
    delete fd;
    return 0;
}

ssize_t container_read(Container_OpenFile *fd, char *buf, size_t size, off_t offset) {
    if (!fd) return -EBADF;
    if (offset < 0) return -EINVAL;
    std::string dir;
    int dirfd;
    {
        TableLock lock;
        dir = container_of(fd, &dirfd);
        if (!fd->getIndex()) fd->setIndex(new Index(dir));
    }
    fd->lockIndex();
    Index *idx = fd->getIndex();
    int r = refresh_index(fd, dir, dirfd);
    if (r != 0) {
        fd->unlockIndex();
        return r;
    }
    size_t done = 0;
    ssize_t ret = 0;
    while (done < size) {
        int dfd;
        off_t chunk_off;
        size_t chunk_len;
        std::string chunk_path;
        bool hole;
        pid_t chunkpid;
        r = idx->globalLookup(&dfd, &chunk_off, &chunk_len, chunk_path, &hole, &chunkpid,
                              offset + (off_t)done);
        if (r < 0) {
            ret = r;
            break;
        }
        if (chunk_len == 0) break;  // end of file
        size_t n = std::min(chunk_len, size - done);
        if (hole) {
            memset(buf + done, 0, n);
        } else {
            ssize_t got = Util::ReadAll(dfd, buf + done, n, chunk_off);
            if (got < 0) {
                ret = -errno;
                break;
            }
            // a data log cut short behind the index's back reads as zeros
            if ((size_t)got < n) memset(buf + done + got, 0, n - (size_t)got);
        }
        done += n;
    }
    fd->unlockIndex();
    if (ret < 0 && done == 0) return ret;
    return (ssize_t)done;
}

ssize_t container_write(Container_OpenFile *fd, const char *buf, size_t size, off_t offset,
                        pid_t pid) {
    if (!fd) return -EBADF;
    if (offset < 0) return -EINVAL;
    WriteFile *wf = fd->getWritefile();
    if (!wf) return -EBADF;
    return wf->write(buf, size, offset, pid);
}

int container_sync(Container_OpenFile *fd) {
    if (!fd) return -EBADF;
    WriteFile *wf = fd->getWritefile();
    return wf ? wf->sync() : 0;
}

int container_sync(Container_OpenFile *fd, pid_t pid) {
    if (!fd) return -EBADF;
    WriteFile *wf = fd->getWritefile();
    return wf ? wf->sync(pid) : 0;
}

int container_query(Container_OpenFile *fd, size_t *writers, size_t *readers,
                    size_t *bytes_written, bool *reopen) {
    if (!fd) return -EBADF;
    TableLock lock;
    WriteFile *wf = fd->getWritefile();
    if (writers) *writers = wf ? wf->numWriters() : 0;
    if (readers) {
        auto st = g_state.find(fd);
        *readers = st == g_state.end() ? 0 : (size_t)st->second.readers;
    }
    if (bytes_written) *bytes_written = wf ? wf->bytesWritten() : 0;
    if (reopen) *reopen = fd->isReopen();
    return 0;
}
