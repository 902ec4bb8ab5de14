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

// Depth of symbolic links followed by this thread's open.
thread_local int follow_depth = 0;

bool writes(int flags) {
    int acc = flags & O_ACCMODE;
    return acc == O_WRONLY || acc == O_RDWR;
}

bool reads(int flags) {
    int acc = flags & O_ACCMODE;
    return acc == O_RDONLY || acc == O_RDWR;
}

// Ends one open for writing of the record (by `pid` when it has one).
// 0, or the error of the writer's close, which then ends nothing.
int end_write_open(Container_OpenFile *rec, OpenState *os, pid_t pid) {
    if (os->writes.empty()) return 0;
    auto it = os->writes.find(pid);
    if (it == os->writes.end()) it = os->writes.begin();
    WriteFile *wf = writefile_of(os->sh);
    int r = wf ? wf->removeWriter(it->first) : 0;
    if (r < 0 && r != -ENOENT) return r;
    if (--it->second == 0) os->writes.erase(it);
    if (os->writes.empty()) rec->setWritefile(nullptr);
    return 0;
}

}  // namespace

/* --- open files ----------------------------------------------------------- */

// Finds (or makes) the container at `path` for an open with `flags`:
// *dir its backend path, *created whether this open made it. A link is
// followed by opening its target instead (*followed then holds the result).
static int find_for_open(Container_OpenFile **pfd, const char *path, int flags, pid_t pid,
                         mode_t mode, Vesk_open_opt *open_opt, std::string *dir, bool *created,
                         bool *followed, struct stat *held) {
    bool wr = writes(flags), rd = reads(flags);
    *created = false;
    *followed = false;
    int r = locate(path, *dir);
    if (r != 0) return r;
    Kind k;
    struct stat st;
    r = classify(*dir, &k, &st);
    if (r != 0) return r;
    if (k == K_NONE) {
        if (!(flags & O_CREAT)) return -ENOENT;
        r = vesk_cont::create_container(*dir, mode & 07777);
        if (r == 0) *created = true;
        else if (r == -EEXIST) {
            if (flags & O_EXCL) return -EEXIST;
            r = classify(*dir, &k, &st);
            if (r != 0) return r;
            if (k == K_NONE) return -ENOENT;
        } else {
            return r;
        }
        if (*created) k = K_CONTAINER;
    } else if ((flags & O_CREAT) && (flags & O_EXCL)) {
        return -EEXIST;
    }
    if (k == K_LINK) {
        // Links hold logical paths; an absolute one is followed.
        char target[PATH_MAX + 1];
        ssize_t n = Util::Readlink(dir->c_str(), target, PATH_MAX);
        if (n < 0) return -errno;
        target[n] = '\0';
        if ((flags & O_NOFOLLOW) || target[0] != '/' || follow_depth >= 8) return -ELOOP;
        follow_depth++;
        r = container_open(pfd, target, flags, pid, mode, open_opt);
        follow_depth--;
        *followed = true;
        return r;
    }
    if (k == K_DIR) return -EISDIR;
    if (k == K_CONTAINER && !*created) *held = st;
    if (k == K_FILE || k == K_OTHER) {
        if (mlog_filter(kErr)) mlog(kErr, "open %s: %s is no container", path, dir->c_str());
        return -EINVAL;
    }
    if (!*created) {
        struct stat ms;
        if (Util::Lstat(vesk_cont::marker(*dir).c_str(), &ms) < 0) return -errno;
        int want = (rd ? R_OK : 0) | (wr ? W_OK : 0);
        r = check_perm(ms, want, geteuid());
        if (r != 0) return r;
    }
    if (*created) return 0;  // its marker was just written
    uint32_t version;
    r = vesk_cont::read_marker(*dir, &version);
    if (r == -EACCES) r = 0;  // a writer that may not read the marker
    return r;
}

// One attempt of container_open. *by_name: the record is new, made for the
// container found at the backend path *dir. A new record the attempt failed
// with is left in *failed, still holding its directory, for the caller to
// let go once it has looked at the name.
static int open_once(Container_OpenFile **pfd, const char *path, int flags, pid_t pid,
                     mode_t mode, Vesk_open_opt *open_opt, std::string *named, bool *by_name,
                     struct stat *held, Container_OpenFile **failed) {
    bool wr = writes(flags), rd = reads(flags);
    Container_OpenFile *rec = *pfd;
    OpenState *os = nullptr;
    bool created = false, fresh = false;
    std::string &dir = *named;
    *by_name = false;
    if (rec) {
        os = state_of(rec);
        if (!os) return -EBADF;
        dir = os->sh->dir;
        if (!container_is_container(dir)) return -ENOENT;
        // Another open of a held record is checked as a first one is: no
        // log made at the open would refuse it any more.
        struct stat ms;
        if (Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) < 0) return -errno;
        int r = check_perm(ms, (rd ? R_OK : 0) | (wr ? W_OK : 0), geteuid());
        if (r != 0) return r;
    } else {
        bool followed;
        int r = find_for_open(pfd, path, flags, pid, mode, open_opt, &dir, &created, &followed,
                              held);
        if (followed || r != 0) return r;
        *by_name = true;
        rec = new Container_OpenFile(nullptr, nullptr, pid, mode, path);
        r = attach_record(rec, dir);
        if (r != 0) {
            delete rec;
            return r;
        }
        fresh = true;
        os = state_of(rec);
        held->st_dev = os->sh->dev;
        held->st_ino = os->sh->ino;
    }
    SharedFile *sh = os->sh;

    int r = 0;
    if (wr && (flags & O_TRUNC) && !created) r = truncate_container(sh->dir, sh, 0, pid);
    bool added_writer = false;
    if (r == 0 && wr) {
        struct stat ms;
        mode_t bits = Util::Lstat(vesk_cont::marker(sh->dir).c_str(), &ms) == 0
                          ? ms.st_mode & 0777 : (mode & 0777);
        WriteFile *wf = writefile_for(sh, bits);
        r = wf->addWriter(pid, false);
        if (r > 0) {
            r = 0;
            added_writer = true;
            os->writes[pid]++;
            rec->setWritefile(wf);
            if (flags & O_APPEND) {
                wf->setAppend(pid, true);
                Figures f;
                if (container_figures(sh->dir, &f, wf) == 0) wf->extend(f.size);
            }
        }
    }
    if (r == 0 && rd) {
        // Reads of this process's own writes are coming: keep them.
        if (WriteFile *wf = writefile_of(sh)) wf->recentWrites().want();
        std::shared_ptr<Index> idx;
        r = index_for(rec, true, &idx, created);
        if (r == 0) os->reads++;
    }
    if (r != 0) {
        if (added_writer) end_write_open(rec, os, pid);
        if (fresh) *failed = rec;
        if (mlog_filter(kErr)) mlog(kErr, "open %s: %s", path, strerror(-r));
        return r;
    }
    if (open_opt && open_opt->reopen) rec->setReopen();
    int opens = rec->incrementOpens(1);
    *pfd = rec;
    if (mlog_filter(kDbg))
        mlog(kDbg, "open %s flags %#x pid %d: %d opens", path, flags, (int)pid, opens);
    return 0;
}

int container_open(Container_OpenFile **pfd, const char *path, int flags, pid_t pid, mode_t mode,
                   Vesk_open_opt *open_opt) {
    // A container found by its name may be replaced by a rename the moment
    // after, and the replaced one is then taken apart: an open that read
    // its logs meanwhile could see part of them. So the name is checked
    // again once the open is done: when it still leads to the directory the
    // open holds, every log was read before the replacement began, and the
    // open stands (before the rename, as it were); else it starts over. An
    // open that failed on a directory that lost its name meanwhile starts
    // over too: what it failed on is no longer the file of that name.
    // A part of it not found while the name still leads there is a rename
    // away and back meanwhile (another process's renames to and fro): a
    // few more tries.
    int missing = 0;
    for (int attempt = 0;; attempt++) {
        std::string dir;
        bool by_name = false;
        struct stat held {}, now {};
        Container_OpenFile *before = *pfd, *failed = nullptr;
        int r = open_once(pfd, path, flags, pid, mode, open_opt, &dir, &by_name, &held,
                          &failed);
        // The name is looked at while the record still holds the directory:
        // let go, its inode number is free for a file made and renamed here
        // meanwhile, which the look would take for the one that failed.
        bool same = held.st_ino != 0 && Util::Lstat(dir.c_str(), &now) == 0 &&
                    now.st_dev == held.st_dev && now.st_ino == held.st_ino;
        if (failed) {
            detach_record(failed);
            delete failed;
        }
        if (held.st_ino == 0) return r;
        if (same && (r != -ENOENT || ++missing > 8)) return r;
        if (r == 0 && by_name) {
            container_close(*pfd, pid, getuid(), flags, nullptr);
            *pfd = before;
        }
        if (attempt >= 1000) {
            if (mlog_filter(kErr)) mlog(kErr, "open %s: replaced at every try", path);
            return -EAGAIN;
        }
        if (mlog_filter(kDbg)) mlog(kDbg, "open %s: replaced during the open, again", path);
    }
}

int container_close(Container_OpenFile *fd, pid_t pid, uid_t u, int flags,
                    Vesk_close_opt *close_opt) {
    (void)u;
    (void)close_opt;
    if (!fd) return -EBADF;
    OpenState *os = state_of(fd);
    if (!os) return -EBADF;
    if (writes(flags)) {
        // A writer whose records cannot be written keeps its open: the
        // error goes back, and a later close or sync tries again.
        int r = end_write_open(fd, os, pid);
        if (r != 0) {
            if (mlog_filter(kErr)) mlog(kErr, "close %s: %s", fd->getPath(), strerror(-r));
            return r;
        }
    }
    if (reads(flags) && os->reads > 0) os->reads--;
    int left = fd->incrementOpens(0);
    if (left <= 1) {
        // The last open: whatever the record still holds for writing
        // (closes made with other flags than their opens) ends with it.
        while (!os->writes.empty()) {
            int r = end_write_open(fd, os, os->writes.begin()->first);
            if (r != 0) {
                if (mlog_filter(kErr)) mlog(kErr, "close %s: %s", fd->getPath(), strerror(-r));
                return r;
            }
        }
    }
    // Several writers' logs merged at every later open are merged once
    // here instead, when the last writer anywhere that wrote much of the
    // file is gone: a checkpoint written N-1 is then read back (on
    // restart) from one index file.
    WriteFile *wf = writefile_of(os->sh);
    if (wf && wf->numWriters() == 0 && wf->takeFlattenWish(kFlattenRecords))
        flatten_after_close(os->sh->dir);
    left = fd->incrementOpens(-1);
    if (left > 0) return left;
    detach_record(fd);
    delete fd;
    return 0;
}

// Reads what the merged index `idx` holds of [offset, offset + size): the
// bytes up to its end of file, or an error when none could be read.
static ssize_t read_merged(Index *idx, char *buf, size_t size, off_t offset) {
    // The index is never changed once built: its pieces are read without
    // a lock, so readers of one file do not wait for each other's preads.
    size_t done = 0;
    ssize_t ret = 0;
    while (done < size) {
        int dfd;
        off_t chunk_off;
        size_t chunk_len;
        bool hole;
        pid_t chunkpid;
        int r = idx->globalLookup(&dfd, &chunk_off, &chunk_len, &hole, &chunkpid,
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
    if (ret < 0 && done == 0) return ret;
    return (ssize_t)done;
}

ssize_t container_read(Container_OpenFile *fd, char *buf, size_t size, off_t offset) {
    if (!fd) return -EBADF;
    if (offset < 0) return -EINVAL;
    OpenState *os = state_of(fd);
    if (!os) return -EBADF;
    WriteFile *wf = writefile_of(os->sh);
    // The last merge, with what this process wrote since laid over it: a
    // read after a write needs neither a flush nor a merge. When the kept
    // writes no longer reach back to that merge, a new one is made.
    for (int attempt = 0;; attempt++) {
        std::shared_ptr<Index> idx;
        int r = index_for(fd, attempt > 0, &idx);
        if (r != 0) return r;
        ssize_t got = read_merged(idx.get(), buf, size, offset);
        if (!wf || got < 0) return got;
        // past the merged end of file the bytes read as zeros, up to a
        // kept write beyond it
        memset(buf + got, 0, size - (size_t)got);
        off_t end = 0;
        uint64_t gen = (uint64_t)std::max(0, idx->builtGeneration());
        if (wf->recentWrites().overlay(gen, buf, size, offset, &end)) {
            if (end > offset + got) got = (ssize_t)std::min<off_t>((off_t)size, end - offset);
            return got;
        }
        // Only writers going over the memory budget all the while, or
        // truncations to 0 landing during every read of the kept writes,
        // can outrun fresh merges this long (a slow machine, or one under
        // a sanitizer, let a truncation every millisecond outrun 8).
        if (attempt == 64) {
            if (mlog_filter(kErr)) mlog(kErr, "read %s: writes outran the merges", fd->getPath());
            return -EAGAIN;
        }
    }
}

ssize_t container_write(Container_OpenFile *fd, const char *buf, size_t size, off_t offset,
                        pid_t pid) {
    if (!fd) return -EBADF;
    if (offset < 0) return -EINVAL;
    // Only a handle opened for writing has its writer.
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

int container_flush(Container_OpenFile *fd, pid_t pid) {
    if (!fd) return -EBADF;
    WriteFile *wf = fd->getWritefile();
    return wf ? wf->publish(pid) : 0;
}

int container_refresh(Container_OpenFile *fd) {
    if (!fd) return -EBADF;
    OpenState *os = state_of(fd);
    if (!os) return -EBADF;
    invalidate_index(os->sh);
    return 0;
}

int container_query(Container_OpenFile *fd, size_t *writers, size_t *readers,
                    size_t *bytes_written, bool *reopen) {
    if (!fd) return -EBADF;
    OpenState *os = state_of(fd);
    if (!os) return -EBADF;
    WriteFile *wf = fd->getWritefile();
    if (writers) *writers = wf ? wf->numWriters() : 0;
    if (readers) *readers = (size_t)os->reads;
    if (bytes_written) *bytes_written = wf ? wf->bytesWritten() : 0;
    if (reopen) *reopen = fd->isReopen();
    return 0;
}
