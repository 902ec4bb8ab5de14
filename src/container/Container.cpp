/*
 * The container layer: a logical file stored as a directory of per-writer
 * logs (layout in Format.h), served as one ordinary file.
 *
 * Open files: one Container_OpenFile per container and process, shared by
 * every handle and every pid of the process (a process-wide table keyed by
 * the container's backend directory, guarded by g_mux). Its WriteFile
 * holds one writer per pid; its Index is the merged read index, rebuilt
 * when the process wrote since it was built.
 *
 * Size: a closed container's size comes from the writers' size records
 * (a directory listing); while any writer is open, or when a record does
 * not match its log, the index logs are merged.
 */
#include "container/Container.h"

#include "OpenFile.h"
#include "Util.h"
#include "config/Config.h"
#include "config/Expand.h"
#include "container/Format.h"
#include "container/Index.h"
#include "container/Layout.h"
#include "container/WriteFile.h"
#include "mlog.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <signal.h>
#include <unistd.h>
#include <vector>

using vesk_cont::host;

namespace {

const int kErr = MLOG_ERR | VESK_FAC_CONTAINER;
const int kInfo = MLOG_INFO | VESK_FAC_CONTAINER;
const int kDbg = MLOG_DBG1 | VESK_FAC_CONTAINER;

struct OpenState {
    std::string container;  // backend directory
    int readers = 0;
    // The container directory itself, held open: another process may
    // rename or unlink it while this one holds the file open, and the
    // record must go on reading the directory it opened, not whatever
    // has taken its name since.
    int dirfd = -1;
};

pthread_mutex_t g_mux = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, Container_OpenFile *> g_by_container;
std::map<Container_OpenFile *, OpenState> g_state;

struct TableLock {
    TableLock() { Util::MutexLock(&g_mux, "container table"); }
    ~TableLock() { Util::MutexUnlock(&g_mux, "container table"); }
};

enum Kind { K_NONE, K_CONTAINER, K_DIR, K_LINK, K_FILE, K_OTHER };

int locate(const char *path, std::string &dir) {
    if (!path) return -EFAULT;
    vesk::Resolved r;
    int ret = vesk::resolve(path, &r);
    if (ret < 0) return ret;
    dir = r.backend_path;
    return 0;
}

// What is at the backend path. 0 or -errno (other than ENOENT).
int classify(const std::string &dir, Kind *kind, struct stat *st) {
    struct stat local;
    if (!st) st = &local;
    if (Util::Lstat(dir.c_str(), st) < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            *kind = K_NONE;
            return 0;
        }
        return -errno;
    }
    if (S_ISDIR(st->st_mode)) {
        struct stat ms;
        if (Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) == 0) *kind = K_CONTAINER;
        else if (errno == ENOENT) *kind = K_DIR;
        else return -errno;  // cannot look inside
    } else if (S_ISLNK(st->st_mode)) {
        *kind = K_LINK;
    } else if (S_ISREG(st->st_mode)) {
        *kind = K_FILE;
    } else {
        *kind = K_OTHER;
    }
    return 0;
}

bool in_group(gid_t g) {
    if (g == getegid()) return true;
    gid_t groups[256];
    int n = getgroups(256, groups);
    for (int i = 0; i < n; i++)
        if (groups[i] == g) return true;
    return false;
}

// The check open(2) and access(2) make against a file's bits.
int check_perm(const struct stat &st, int want, uid_t uid) {
    want &= (R_OK | W_OK | X_OK);
    if (uid == 0) {
        if ((want & X_OK) && !(st.st_mode & 0111)) return -EACCES;
        return 0;
    }
    mode_t bits;
    if (uid == st.st_uid) bits = (st.st_mode >> 6) & 7;
    else if (in_group(st.st_gid)) bits = (st.st_mode >> 3) & 7;
    else bits = st.st_mode & 7;
    return ((mode_t)want & bits) == (mode_t)want ? 0 : -EACCES;
}

bool writer_alive(const vesk_cont::OpenWriter &w) {
    if (w.host != host()) return true;  // cannot tell for another host
    return !(kill(w.pid, 0) < 0 && errno == ESRCH);
}

// host and pid of "hostdir.<host>/index.<pid>"
void parse_log_rel(const std::string &rel, std::string &h, pid_t &pid) {
    size_t slash = rel.find('/');
    h = rel.substr(8, slash == std::string::npos ? std::string::npos : slash - 8);
    pid = (pid_t)atoi(rel.c_str() + rel.rfind('.') + 1);
}

// Whether the directory held open as `dirfd` is still the one at `dir`.
bool still_at(const std::string &dir, int dirfd) {
    if (dirfd < 0) return true;
    struct stat held, named;
    if (fstat(dirfd, &held) < 0) return true;
    if (Util::Lstat(dir.c_str(), &named) < 0) return false;
    return held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

// The path through which the record reaches its container: its name while
// the name still leads there, else the held descriptor.
std::string live_dir(const std::string &dir, int dirfd) {
    if (still_at(dir, dirfd)) return dir;
    return "/proc/self/fd/" + std::to_string(dirfd) + "/.";
}

// This process's record of the container at `dir`. A record whose
// container was moved away or removed by another process no longer
// stands for the name: it is unhooked from it (its handles keep it).
Container_OpenFile *find_open(const std::string &dir) {
    auto it = g_by_container.find(dir);
    if (it == g_by_container.end()) return nullptr;
    auto st = g_state.find(it->second);
    if (st != g_state.end() && !still_at(dir, st->second.dirfd)) {
        g_by_container.erase(it);
        return nullptr;
    }
    return it->second;
}

// When another process moved the container away, the record follows it to
// its new backend path, so that its writers leave their size and
// open-writer records in the container they wrote, not under the old name
// (where another file may stand by now). Called with g_mux.
void follow_moved(Container_OpenFile *rec, OpenState &st) {
    if (st.dirfd < 0 || still_at(st.container, st.dirfd)) return;
    char now[PATH_MAX];
    std::string link = "/proc/self/fd/" + std::to_string(st.dirfd);
    ssize_t n = readlink(link.c_str(), now, sizeof now - 1);
    if (n <= 0) return;
    now[n] = '\0';
    std::string to(now);
    if (to.find(" (deleted)") != std::string::npos || to[0] != '/') return;
    auto it = g_by_container.find(st.container);
    if (it != g_by_container.end() && it->second == rec) g_by_container.erase(it);
    if (mlog_filter(kInfo))
        mlog(kInfo, "%s moved to %s while open here", st.container.c_str(), to.c_str());
    st.container = to;
    if (g_by_container.find(to) == g_by_container.end()) g_by_container[to] = rec;
    if (rec->getWritefile()) rec->getWritefile()->setContainerPath(to);
    if (rec->getIndex()) rec->getIndex()->setBuiltGeneration(-1);
}

std::string container_of(Container_OpenFile *rec, int *dirfd = nullptr) {
    auto it = g_state.find(rec);
    if (dirfd) *dirfd = it != g_state.end() ? it->second.dirfd : -1;
    if (it != g_state.end()) return it->second.container;
    return vesk_cont::backend_of(rec->getPath());
}

// Pushes out what this process's writers hold in memory for `dir`, so
// that a merge of the logs sees it.
void flush_record(Container_OpenFile *rec) {
    if (rec && rec->getWritefile()) rec->getWritefile()->closeIndex();
}

void flush_in_process(const std::string &dir) {
    TableLock lock;
    flush_record(find_open(dir));
}

struct Figures {
    off_t size = 0;
    uint64_t bytes = 0;
};

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

// `locked`: the caller holds g_mux.
int container_figures(const std::string &dir, Figures *f, bool locked = false) {
    if (locked) flush_record(find_open(dir));
    else flush_in_process(dir);
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

// Truncates the container at `dir` to `offset`; `rec` is this process's
// record of it or null, `pid` the truncating process. Called with g_mux.
int truncate_container(const std::string &dir, Container_OpenFile *rec, off_t offset, pid_t pid) {
    WriteFile *wf = rec ? rec->getWritefile() : nullptr;
    double when = Util::getTime();
    std::string gidx = dir + "/" + vesk_cont::kGlobalIndexName;
    int r = 0;
    if (offset == 0) {
        // Drop every log no open writer holds; this process's writers
        // empty theirs in place; a writer open in another process keeps
        // its logs, and a truncation record cuts what it wrote so far.
        std::vector<vesk_cont::OpenWriter> open;
        vesk_cont::list_open_writers(dir, open);
        std::vector<vesk_cont::OpenWriter> foreign;
        for (const vesk_cont::OpenWriter &w : open) {
            bool mine = wf && w.host == host() && wf->hasWriter(w.pid);
            if (mine) continue;
            if (!writer_alive(w)) {
                std::string f = dir + "/" + vesk_cont::kOpenWritersDir + "/" + w.name;
                Util::Unlink(f.c_str());
                continue;
            }
            foreign.push_back(w);
        }
        std::vector<IndexLogInfo> logs;
        index_list_logs(dir, logs);
        for (const IndexLogInfo &log : logs) {
            std::string h;
            pid_t p;
            parse_log_rel(log.rel, h, p);
            bool keep = wf && h == host() && wf->hasWriter(p);
            for (const vesk_cont::OpenWriter &w : foreign)
                if (w.pid == p && w.host == h) keep = true;
            if (keep) continue;
            std::string il = vesk_cont::index_log(dir, h, p), dl = vesk_cont::data_log(dir, h, p);
            if (Util::Unlink(il.c_str()) < 0 && errno != ENOENT) r = -errno;
            if (Util::Unlink(dl.c_str()) < 0 && errno != ENOENT) r = -errno;
        }
        Util::Unlink(gidx.c_str());
        vesk_cont::remove_tree(dir + "/" + vesk_cont::kMetaDir);
        if (wf) {
            int rr = wf->resetLogs();
            if (r == 0) r = rr;
        }
        if (!foreign.empty()) {
            WriteFile tmp(dir, host(), 0644, 0);
            int rr = wf ? wf->truncateAt(0, pid, when) : tmp.truncateAt(0, pid, when);
            if (r == 0) r = rr;
            vesk_cont::write_trunc_meta(dir, 0, vesk_cont::to_us(when));
        }
    } else {
        flush_record(rec);
        struct stat ms;
        mode_t bits = Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) == 0 ? ms.st_mode & 0777 : 0644;
        if (wf) {
            r = wf->truncateAt(offset, pid, when);
        } else {
            WriteFile tmp(dir, host(), bits, 0);
            r = tmp.truncateAt(offset, pid, when);
        }
        if (r == 0) r = vesk_cont::write_trunc_meta(dir, offset, vesk_cont::to_us(when));
        Util::Unlink(gidx.c_str());
        if (r == 0 && !any_open_writer(dir)) {
            Index idx(dir);
            if (idx.readIndex(dir) == 0) refresh_meta(dir, idx);
        }
    }
    if (rec && rec->getIndex()) rec->getIndex()->setBuiltGeneration(-1);
    if (mlog_filter(kInfo)) mlog(kInfo, "truncate %s to %lld: %d", dir.c_str(), (long long)offset, r);
    return r;
}

// Makes the record's index current: rebuilt when never built, or when the
// process wrote or truncated since. Called with the index lock held.
int refresh_index(Container_OpenFile *rec, const std::string &dir, int dirfd) {
    Index *idx = rec->getIndex();
    WriteFile *wf = rec->getWritefile();
    int gen = wf ? wf->generation() : 0;
    if (idx->ispopulated() && idx->builtGeneration() == gen) return 0;
    if (wf) wf->closeIndex();
    int r = idx->readIndex(live_dir(dir, dirfd));
    if (r == 0) idx->setBuiltGeneration(gen);
    return r;
}

int follow_depth = 0;

}  // namespace

/* --- open files ----------------------------------------------------------- */

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
        g_state[rec].dirfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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

int container_trunc(Container_OpenFile *fd, const char *path, off_t offset, int open_file) {
    (void)open_file;
    if (offset < 0) return -EINVAL;
    TableLock lock;
    std::string dir;
    if (fd) {
        if (g_state.find(fd) == g_state.end()) return -EBADF;
        dir = container_of(fd);
    } else {
        int r = locate(path, dir);
        if (r != 0) return r;
    }
    Kind k;
    struct stat st;
    int r = classify(dir, &k, &st);
    if (r != 0) return r;
    switch (k) {
    case K_NONE: return -ENOENT;
    case K_DIR: return -EISDIR;
    case K_FILE:
    case K_LINK: return Util::Truncate(dir.c_str(), offset) < 0 ? -errno : 0;
    case K_OTHER: return -EINVAL;
    case K_CONTAINER: break;
    }
    Container_OpenFile *rec = fd ? fd : find_open(dir);
    if (!(rec && rec->getWritefile())) {
        // truncate(2) wants write permission; an open for writing had it
        struct stat ms;
        if (Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) < 0) return -errno;
        r = check_perm(ms, W_OK, geteuid());
        if (r != 0) return r;
    }
    pid_t pid = rec ? rec->getPid() : getpid();
    if (rec && rec->getWritefile() && !rec->getWritefile()->hasWriter(pid)) pid = getpid();
    return truncate_container(dir, rec, offset, pid);
}

int container_getattr(Container_OpenFile *fd, const char *path, struct stat *stbuf,
                      int sz_only) {
    (void)sz_only;
    std::string dir;
    if (fd) {
        TableLock lock;
        int dirfd;
        dir = container_of(fd, &dirfd);
        if (!still_at(dir, dirfd)) {
            // moved or removed by another process: the open file is still
            // what this process opened
            flush_record(fd);
            dir = live_dir(dir, dirfd);
        }
    } else {
        int r = locate(path, dir);
        if (r != 0) return r;
    }
    Kind k;
    struct stat dst;
    int r = classify(dir, &k, &dst);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k != K_CONTAINER) {
        memcpy(stbuf, &dst, sizeof dst);
        return 0;
    }
    struct stat mst;
    if (Util::Lstat(vesk_cont::marker(dir).c_str(), &mst) < 0) return -errno;
    Figures f;
    r = container_figures(dir, &f);
    if (r != 0) return r;
    fill_stat(dir, dst, mst, f, stbuf);
    return 0;
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

int container_flatten_index(Container_OpenFile *fd, const char *path) {
    std::string dir;
    {
        TableLock lock;
        if (fd) dir = container_of(fd);
        else {
            int r = locate(path, dir);
            if (r != 0) return r;
        }
    }
    if (!container_is_container(dir)) return Util::exists(dir.c_str()) ? -EINVAL : -ENOENT;
    flush_in_process(dir);
    std::string file = dir + "/" + vesk_cont::kGlobalIndexName;
    // An existing flattened index would be read back; merge the logs.
    Util::Unlink(file.c_str());
    Index idx(dir);
    int r = idx.readIndex(dir);
    if (r != 0) return r;
    idx.compress();
    std::string tmp = file + ".tmp." + std::to_string(getpid());
    int out = Util::Open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) return -errno;
    r = idx.global_to_file(out);
    if (r == 0 && Util::Fsync(out) < 0) r = -errno;
    Util::Close(out);
    if (r == 0 && Util::Rename(tmp.c_str(), file.c_str()) < 0) r = -errno;
    if (r != 0) Util::Unlink(tmp.c_str());
    if (r == 0 && !any_open_writer(dir)) refresh_meta(dir, idx);
    if (mlog_filter(kInfo))
        mlog(kInfo, "flatten %s: %zu pieces: %d", dir.c_str(), idx.entries().size(), r);
    return r;
}

int container_rename_open_file(Container_OpenFile *fd, const char *path) {
    if (!fd) return -EBADF;
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    TableLock lock;
    auto st = g_state.find(fd);
    if (st == g_state.end()) return -EBADF;
    std::string old = st->second.container;
    fd->setPath(path);
    if (old != dir) {
        auto it = g_by_container.find(old);
        if (it != g_by_container.end() && it->second == fd) g_by_container.erase(it);
        g_by_container[dir] = fd;
        st->second.container = dir;
        if (fd->getIndex()) fd->getIndex()->setBuiltGeneration(-1);
    }
    return 0;
}

/* --- paths ---------------------------------------------------------------- */

namespace {

// Applies `op` to the backend path, or to the marker of a container, or
// to every backend copy of a directory.
template <typename Op>
int path_op(const char *path, Op op, bool all_dirs) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k == K_CONTAINER) return op(vesk_cont::marker(dir), true);
    if (k == K_DIR && all_dirs) {
        std::vector<std::string> dirs;
        r = find_all_expansions(path, dirs);
        if (r != 0) return r;
        int ret = 0;
        for (const std::string &d : dirs) {
            int rr = op(d, false);
            if (rr != 0 && rr != -ENOENT) ret = rr;
        }
        return ret;
    }
    return op(dir, false);
}

int move_link(const std::string &from, const std::string &to) {
    if (Util::CopyLink(from.c_str(), to.c_str()) < 0) return -errno;
    return Util::Unlink(from.c_str()) < 0 ? -errno : 0;
}

}  // namespace

int container_chown(const char *path, uid_t u, gid_t g) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        if (Util::Lchown(p.c_str(), u, g) < 0) return -errno;
        if (is_marker) {
            // the directory follows, so that the owner can reach the logs
            std::string dir = p.substr(0, p.rfind('/'));
            Util::Lchown(dir.c_str(), u, g);
        }
        return 0;
    }, true);
}

int container_chmod(const char *path, mode_t mode) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        if (Util::Chmod(p.c_str(), (int)(mode & 07777)) < 0) return -errno;
        if (is_marker) {
            std::string dir = p.substr(0, p.rfind('/'));
            Util::Chmod(dir.c_str(), (int)vesk_cont::dir_mode(mode));
        }
        return 0;
    }, true);
}

int container_mode(const char *path, mode_t *mode) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        struct stat st;
        if (Util::Lstat(p.c_str(), &st) < 0) return -errno;
        *mode = is_marker ? (S_IFREG | (st.st_mode & 07777)) : st.st_mode;
        return 0;
    }, false);
}

int container_access(const char *path, int mask) {
    return path_op(path, [&](const std::string &p, bool is_marker) {
        if (!is_marker) return Util::Access(p.c_str(), mask) < 0 ? -errno : 0;
        if (mask == F_OK) return 0;
        struct stat st;
        if (Util::Lstat(p.c_str(), &st) < 0) return -errno;
        return check_perm(st, mask, getuid());
    }, false);
}

int container_utime(const char *path, struct utimbuf *ut) {
    return path_op(path, [&](const std::string &p, bool) {
        return Util::Utime(p.c_str(), ut) < 0 ? -errno : 0;
    }, true);
}

int container_rename(const char *path, const char *to) {
    std::string src, dst;
    int r = locate(path, src);
    if (r != 0) return r;
    r = locate(to, dst);
    if (r != 0) return r;
    Kind k, dk;
    r = classify(src, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (src == dst) return 0;
    if (k == K_DIR) {
        std::vector<std::string> srcs, dsts;
        r = find_all_expansions(path, srcs);
        if (r != 0) return r;
        r = find_all_expansions(to, dsts);
        if (r != 0) return r;
        if (srcs.size() != dsts.size()) return -EXDEV;
        int ret = 0;
        for (size_t i = 0; i < srcs.size(); i++) {
            int err = Util::retValue(Util::Rename(srcs[i].c_str(), dsts[i].c_str()));
            if (err == -ENOENT) err = 0;
            if (err != 0) ret = err;
        }
        return ret;
    }
    r = classify(dst, &dk, nullptr);
    if (r != 0) return r;
    if (dk == K_DIR) return -EISDIR;
    if (k == K_LINK || k == K_FILE || k == K_OTHER) {
        if (dk == K_CONTAINER) {
            r = vesk_cont::remove_tree(dst);
            if (r != 0) return r;
        }
        r = Util::retValue(Util::Rename(src.c_str(), dst.c_str()));
        if (r != -EXDEV) return r;
        if (k == K_LINK) return move_link(src, dst);
        r = Util::retValue(Util::CopyFile(src.c_str(), dst.c_str()));
        if (r == 0) r = Util::retValue(Util::Unlink(src.c_str()));
        return r;
    }
    // A container. What this process holds in memory goes to its logs
    // first, so that a copy carries it along.
    flush_in_process(src);
    if (dk == K_CONTAINER) {
        r = vesk_cont::remove_tree(dst);
        if (r != 0) return r;
    } else if (dk == K_FILE || dk == K_LINK) {
        if (Util::Unlink(dst.c_str()) < 0) return -errno;
    }
    r = Util::retValue(Util::Rename(src.c_str(), dst.c_str()));
    if (r == -EXDEV) {
        std::string tmp = dst + ".vesk-copy." + std::to_string(getpid());
        r = vesk_cont::copy_tree(src, tmp);
        if (r == 0) r = Util::retValue(Util::Rename(tmp.c_str(), dst.c_str()));
        if (r != 0) {
            vesk_cont::remove_tree(tmp);
            return r;
        }
        r = vesk_cont::remove_tree(src);
        if (mlog_filter(kInfo))
            mlog(kInfo, "rename %s to %s across devices: copied, %d", src.c_str(), dst.c_str(), r);
    }
    if (r != 0) return r;
    // An open file of this process follows its container.
    Container_OpenFile *rec;
    {
        TableLock lock;
        rec = find_open(src);
    }
    if (rec) container_rename_open_file(rec, to);
    return 0;
}

int container_link(const char *path, const char *to) {
    (void)path;
    (void)to;
    return -ENOSYS;
}

int container_unlink(const char *path) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    switch (k) {
    case K_NONE: return -ENOENT;
    case K_DIR: return -EISDIR;
    case K_CONTAINER: break;
    default: return Util::Unlink(dir.c_str()) < 0 ? -errno : 0;
    }
    // The name goes at once; the logs after it.
    std::string doomed = dir + ".vesk-unlink." + std::to_string(getpid()) + "." +
                         std::to_string((unsigned long long)vesk_cont::to_us(Util::getTime()));
    if (Util::Rename(dir.c_str(), doomed.c_str()) < 0) return -errno;
    r = vesk_cont::remove_tree(doomed);
    if (mlog_filter(kInfo)) mlog(kInfo, "unlink %s: %d", dir.c_str(), r);
    return r;
}

int container_create(const char *path, mode_t mode, int flags, pid_t pid) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) {
        r = vesk_cont::create_container(dir, (mode | 0200) & 07777);
        if (r == -EEXIST && !(flags & O_EXCL)) return 0;
        return r;
    }
    if (flags & O_EXCL) return -EEXIST;
    if (k == K_DIR) return -EISDIR;
    if (k == K_CONTAINER && (flags & O_TRUNC)) {
        TableLock lock;
        return truncate_container(dir, find_open(dir), 0, pid);
    }
    return 0;
}

int container_readlink(const char *path, char *buf, size_t bufsize) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    ssize_t n = Util::Readlink(dir.c_str(), buf, bufsize);
    if (n < 0) return -errno;
    if (n > 0 && (size_t)n < bufsize) buf[n] = '\0';
    return (int)n;
}

int container_symlink(const char *path, const char *to) {
    std::string dir;
    int r = locate(to, dir);
    if (r != 0) return r;
    return Util::Symlink(path, dir.c_str()) < 0 ? -errno : 0;
}

int container_statvfs(const char *path, struct statvfs *stbuf) {
    vesk::Resolved r;
    int ret = vesk::resolve(path, &r);
    if (ret < 0) return ret;
    const std::string &root = r.mount->backends[r.backend];
    return Util::Statvfs(root.c_str(), stbuf) < 0 ? -errno : 0;
}

/* --- administration ------------------------------------------------------- */

int container_index_entries(const char *path, std::vector<ContainerIndexEntry> &out) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k == K_DIR) return -EISDIR;
    if (k != K_CONTAINER) return -EBADF;
    flush_in_process(dir);
    Index idx(dir);
    r = idx.readIndex(dir);
    if (r != 0) return r;
    for (auto &kv : idx.entries()) {
        const ContainerEntry &e = kv.second;
        ContainerIndexEntry x;
        x.logical_offset = e.logical_offset;
        x.length = e.length;
        x.writer = e.id;
        x.data_path = idx.chunks()[e.original_chunk].path;
        x.physical_offset = e.physical_offset;
        out.push_back(x);
    }
    return 0;
}

int container_file_version(const char *path, const char **version) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    r = classify(dir, &k, nullptr);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k != K_CONTAINER) return -EINVAL;
    uint32_t v;
    r = vesk_cont::read_marker(dir, &v);
    if (r != 0) return r;
    *version = VESK_CONTAINER_VERSION_TEXT;
    return 0;
}

int container_recover(const char *path) {
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    Kind k;
    struct stat st;
    r = classify(dir, &k, &st);
    if (r != 0) return r;
    if (k == K_NONE) return -ENOENT;
    if (k == K_FILE || k == K_LINK || k == K_OTHER) return -EEXIST;
    bool repaired = false;
    if (k == K_DIR) {
        // A directory with a container's insides lost its marker.
        std::vector<IndexLogInfo> logs;
        index_list_logs(dir, logs);
        bool insides = !logs.empty() || Util::exists((dir + "/" + vesk_cont::kMetaDir).c_str()) ||
                       Util::exists((dir + "/" + vesk_cont::kOpenWritersDir).c_str());
        if (!insides) return -EISDIR;
        mode_t bits = st.st_mode & 0666;
        r = vesk_cont::write_marker(dir, bits);
        if (r == 0 && Util::Chmod(vesk_cont::marker(dir).c_str(), (int)bits) < 0) r = -errno;
        if (r != 0) return r;
        repaired = true;
    } else {
        uint32_t v;
        if (vesk_cont::read_marker(dir, &v) == -EIO) {
            struct stat ms;
            mode_t bits = Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) == 0
                              ? ms.st_mode & 07777 : 0644;
            r = vesk_cont::write_marker(dir, bits);
            if (r == 0) Util::Chmod(vesk_cont::marker(dir).c_str(), (int)bits);
            if (r != 0) return r;
            repaired = true;
        }
    }
    // Writers of this host that no longer run are open no more.
    std::vector<vesk_cont::OpenWriter> open;
    vesk_cont::list_open_writers(dir, open);
    bool live = false;
    for (const vesk_cont::OpenWriter &w : open) {
        if (writer_alive(w)) {
            live = true;
            continue;
        }
        std::string f = dir + "/" + vesk_cont::kOpenWritersDir + "/" + w.name;
        if (Util::Unlink(f.c_str()) == 0) repaired = true;
    }
    // A flattened index that no longer matches the logs is dropped.
    flush_in_process(dir);
    std::string gidx = dir + "/" + vesk_cont::kGlobalIndexName;
    Index idx(dir);
    r = idx.readIndex(dir);
    if (r != 0) return r;
    if (Util::exists(gidx.c_str()) && !idx.usedFlattened()) {
        Util::Unlink(gidx.c_str());
        repaired = true;
    }
    if (!live) {
        Figures f;
        if (!size_from_meta(dir, &f) || f.size != idx.lastOffset()) {
            refresh_meta(dir, idx);
            repaired = true;
        }
    }
    if (mlog_filter(kInfo)) mlog(kInfo, "recover %s: %s", dir.c_str(), repaired ? "repaired" : "sound");
    return repaired ? 0 : -EEXIST;
}
