/*
 * Truncation of a container file, open or not.
 */
#include "container/Container.h"

#include "OpenFile.h"
#include "Util.h"
#include "container/ContainerPrivate.h"
#include "container/Index.h"
#include "container/Layout.h"
#include "container/WriteFile.h"
#include "mlog.h"

#include <cerrno>
#include <unistd.h>
#include <vector>

using vesk_cont::host;
using namespace vesk_cfile;

namespace vesk_cfile {

namespace {

int truncate_locked(const std::string &dir, WriteFile *wf, off_t offset, pid_t pid) {
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
            // (a writer of this process that has not written yet holds
            // no log: what its pid left earlier goes)
            bool keep = wf && h == host() && wf->hasLogs(p);
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
        if (wf) {
            // what this process buffered is cut by the record too
            r = wf->closeIndex();
            if (r != 0) return r;
        }
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
            if (idx.readIndex(dir) == 0 && idx.damage().empty()) refresh_meta(dir, idx);
        }
    }
    if (mlog_filter(kInfo)) mlog(kInfo, "truncate %s to %lld: %d", dir.c_str(), (long long)offset, r);
    return r;
}

}  // namespace

// Truncations of one open file are serialised with the merges of its
// index, which would otherwise read logs half emptied.
int truncate_container(const std::string &dir, SharedFile *sh, off_t offset, pid_t pid) {
    if (!sh) return truncate_locked(dir, nullptr, offset, pid);
    Util::MutexLock(&sh->build_mu, "truncate");
    int r = truncate_locked(dir, writefile_of(sh), offset, pid);
    invalidate_index(sh);
    Util::MutexUnlock(&sh->build_mu, "truncate");
    return r;
}

}  // namespace vesk_cfile

int container_trunc(Container_OpenFile *fd, const char *path, off_t offset, int open_file) {
    (void)open_file;
    if (offset < 0) return -EINVAL;
    std::string dir;
    SharedFile *sh = nullptr;
    int lr = locate_open(fd, path, dir);
    if (lr != 0) return lr;
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
    sh = fd ? state_of(fd)->sh : pin_open(dir);
    WriteFile *wf = sh ? writefile_of(sh) : nullptr;
    bool writing = fd ? fd->getWritefile() != nullptr : wf && wf->numWriters() > 0;
    if (!writing) {
        // truncate(2) wants write permission; an open for writing had it
        struct stat ms;
        r = Util::Lstat(vesk_cont::marker(dir).c_str(), &ms) < 0 ? -errno : 0;
        if (r == 0) r = check_perm(ms, W_OK, geteuid());
    }
    pid_t pid = fd ? fd->getPid() : getpid();
    if (wf && !wf->hasWriter(pid)) pid = getpid();
    if (r == 0) r = truncate_container(dir, sh, offset, pid);
    if (!fd) unpin(sh);
    return r;
}
