/*
 * The open-file table: the files of containers this process holds open,
 * found by the device and inode of the container directory (see
 * ContainerPrivate.h for what is shared and the order of the locks).
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
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

using namespace vesk_cfile;

namespace vesk_cfile {

pthread_mutex_t g_mux = PTHREAD_MUTEX_INITIALIZER;

namespace {

std::map<std::pair<dev_t, ino_t>, SharedFile *> g_files;
std::map<Container_OpenFile *, OpenState> g_state;

// Drops one reference; the last takes the file out of the table and hands
// it back for the caller to destroy outside the lock. Called with g_mux.
SharedFile *release_locked(SharedFile *sh) {
    if (--sh->refs > 0) return nullptr;
    auto it = g_files.find({sh->dev, sh->ino});
    if (it != g_files.end() && it->second == sh) g_files.erase(it);
    return sh;
}

// Closes what the file holds: every writer still there (a child that wrote
// without an open) goes with the WriteFile. A file without a name goes
// with its last reference, once its writers have closed.
void destroy(SharedFile *sh) {
    delete sh->wf;
    sh->index.reset();
    if (sh->dirfd >= 0) ::close(sh->dirfd);
    pthread_mutex_destroy(&sh->build_mu);
    if (!sh->orphan.empty()) discard_tree(sh->orphan, "a file unlinked while open");
    delete sh;
}

}  // namespace

TableLock::TableLock() { Util::MutexLock(&g_mux, "container table"); }
TableLock::~TableLock() { Util::MutexUnlock(&g_mux, "container table"); }

OpenState *state_of(Container_OpenFile *rec) {
    TableLock lock;
    auto it = g_state.find(rec);
    return it == g_state.end() ? nullptr : &it->second;
}

int locate_open(Container_OpenFile *rec, const char *path, std::string &dir) {
    if (!rec) return locate(path, dir);
    OpenState *os = state_of(rec);
    if (!os) return -EBADF;
    dir = os->sh->dir;
    return 0;
}

SharedFile *pin_open(const std::string &dir) {
    struct stat st;
    if (Util::Lstat(dir.c_str(), &st) < 0 || !S_ISDIR(st.st_mode)) return nullptr;
    TableLock lock;
    auto it = g_files.find({st.st_dev, st.st_ino});
    if (it == g_files.end()) return nullptr;
    it->second->refs++;
    return it->second;
}

void unpin(SharedFile *sh) {
    if (!sh) return;
    SharedFile *doomed;
    {
        TableLock lock;
        doomed = release_locked(sh);
    }
    if (doomed) destroy(doomed);
}

WriteFile *writefile_of(SharedFile *sh) {
    TableLock lock;
    return sh->wf;
}

int flush_in_process(const std::string &dir) {
    SharedFile *sh = pin_open(dir);
    if (!sh) return 0;
    WriteFile *wf = writefile_of(sh);
    int r = wf ? wf->closeIndex() : 0;
    unpin(sh);
    return r;
}

void invalidate_index(SharedFile *sh) {
    if (!sh) return;
    TableLock lock;
    sh->epoch++;
}

// Whether an index built at `index_gen` still serves reads of a file whose
// writers are at `gen`: it does when nothing was written since, or when
// this process keeps everything written since (RecentWrites).
static bool serves(int index_gen, int gen, uint64_t recent_base) {
    return index_gen == gen || (index_gen >= 0 && (uint64_t)index_gen >= recent_base);
}

// Whether processes other than this one published records since `idx` was
// merged: an index log not of this process's writers that is new or grew.
// (Logs of this process's writers grow only by writes that reads lay over
// the index.) A container that cannot be listed, being gone, changed by no
// one's publishing.
static bool published_elsewhere(SharedFile *sh, Index *idx, WriteFile *wf) {
    std::vector<IndexLogInfo> now;
    if (index_list_logs(sh->dir, now) != 0) return false;
    const std::vector<IndexLogInfo> &then = idx->sources();
    const std::string mine = "hostdir." + vesk_cont::host();
    for (const IndexLogInfo &log : now) {
        std::string h;
        pid_t pid;
        parse_log_rel(log.rel, h, pid);
        if (wf && "hostdir." + h == mine && wf->hasWriter(pid)) continue;
        auto it = std::lower_bound(
            then.begin(), then.end(), log,
            [](const IndexLogInfo &a, const IndexLogInfo &b) { return a.rel < b.rel; });
        if (it == then.end() || it->rel != log.rel || it->size != log.size) return true;
    }
    return false;
}

int index_for(Container_OpenFile *rec, bool at_open, std::shared_ptr<Index> *out, bool made) {
    OpenState *os = state_of(rec);
    if (!os) return -EBADF;
    SharedFile *sh = os->sh;
    WriteFile *wf = writefile_of(sh);
    int gen = wf ? wf->generation() : 0;
    uint64_t base = wf ? wf->recentWrites().base() : UINT64_MAX;
    rec->lockIndex();
    int epoch, ticket;
    std::shared_ptr<Index> kept;
    {
        TableLock lock;
        epoch = sh->epoch;
        if (!at_open && sh->index && serves(sh->index_gen, gen, base) &&
            sh->index_epoch == epoch) {
            kept = sh->index;
            if (sh->index_gen == gen) {
                // nothing written here since: what it read stands
                os->index = kept;
                rec->setIndex(kept.get());
                *out = kept;
                rec->unlockIndex();
                return 0;
            }
        }
    }
    // Written here since the merge: the writes are laid over it, but what
    // other processes published meanwhile needs a merge (as a read after a
    // write always saw it).
    bool fresh = at_open;
    if (kept) {
        if (!published_elsewhere(sh, kept.get(), wf)) {
            os->index = kept;
            rec->setIndex(kept.get());
            *out = kept;
            rec->unlockIndex();
            return 0;
        }
        fresh = true;
    }
    {
        TableLock lock;
        ticket = (int)++sh->tickets;
    }
    // One merge at a time per file; an open that waited for another's
    // merge takes its result when it began after this open asked.
    Util::MutexLock(&sh->build_mu, "index_for");
    std::shared_ptr<Index> cur;
    uint64_t serves_tickets;
    {
        TableLock lock;
        if (sh->index && sh->index_epoch == sh->epoch &&
            (fresh ? sh->index_gen == gen && sh->index_serves >= (uint64_t)ticket
                   : serves(sh->index_gen, gen, base)))
            cur = sh->index;
        serves_tickets = sh->tickets;
        epoch = sh->epoch;
    }
    int r = 0;
    if (!cur) {
        // This process's buffered records go to the logs first; a flush
        // that fails leaves them buffered, and they are not yet visible:
        // the index then stands for what was kept before (reads lay every
        // write still kept over it).
        int built = gen;
        if (wf) {
            int fr = wf->closeIndex();
            if (fr != 0) {
                built = (int)std::min<uint64_t>((uint64_t)gen, wf->recentWrites().base());
                if (mlog_filter(kErr))
                    mlog(kErr, "%s: records not yet published: %s", sh->dir.c_str(),
                         strerror(-fr));
            }
        }
        auto idx = std::make_shared<Index>(sh->dir);
        if (made) {
            idx->startEmpty();
        } else {
            r = idx->readIndex(sh->dir);
            if (r == 0) r = idx->openChunks();
        }
        if (r == 0) {
            idx->setBuiltGeneration(built);
            cur = idx;
            {
                TableLock lock;
                sh->index = idx;
                sh->index_gen = built;
                sh->index_epoch = epoch;
                sh->index_serves = serves_tickets;
            }
            // The writes it holds need not be kept any longer.
            if (wf) wf->recentWrites().dropThrough((uint64_t)built);
        }
    }
    Util::MutexUnlock(&sh->build_mu, "index_for");
    if (r == 0) {
        os->index = cur;
        rec->setIndex(cur.get());
        *out = cur;
    }
    rec->unlockIndex();
    return r;
}

int index_current(Container_OpenFile *rec, std::shared_ptr<Index> *out) {
    int r = index_for(rec, false, out);
    if (r != 0) return r;
    OpenState *os = state_of(rec);
    if (!os) return -EBADF;
    WriteFile *wf = writefile_of(os->sh);
    // A merge that nothing was written here after is kept without a look
    // at the logs (reads stand by what they saw): look now.
    if (wf && (*out)->builtGeneration() != wf->generation()) return 0;
    if (!published_elsewhere(os->sh, out->get(), wf)) return 0;
    return index_for(rec, true, out);
}

/* --- records ------------------------------------------------------------- */

int hold_dir(const std::string &dir, struct stat *st) {
    int dfd = Util::OpenAt(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dfd < 0) return -errno;
    if (fstat(dfd, st) < 0) {
        int r = -errno;
        ::close(dfd);
        return r;
    }
    return dfd;
}

int attach_record(Container_OpenFile *rec, const std::string &dir) {
    struct stat st;
    int dfd = hold_dir(dir, &st);
    if (dfd < 0) return dfd;
    bool fresh = false;
    {
        TableLock lock;
        SharedFile *&sh = g_files[{st.st_dev, st.st_ino}];
        if (!sh) {
            sh = new SharedFile;
            sh->dev = st.st_dev;
            sh->ino = st.st_ino;
            sh->dirfd = dfd;
            sh->dir = vesk_cont::held_path(dfd);
            sh->pid = getpid();
            fresh = true;
        }
        sh->refs++;
        g_state[rec].sh = sh;
    }
    if (!fresh) ::close(dfd);
    return 0;
}

void detach_record(Container_OpenFile *rec) {
    SharedFile *doomed = nullptr;
    std::shared_ptr<Index> last;
    {
        TableLock lock;
        auto it = g_state.find(rec);
        if (it == g_state.end()) return;
        last.swap(it->second.index);
        doomed = release_locked(it->second.sh);
        g_state.erase(it);
    }
    rec->setIndex(nullptr);
    rec->setWritefile(nullptr);
    last.reset();
    if (doomed) destroy(doomed);
}

int rebind_open(SharedFile *sh, const std::string &dir) {
    struct stat st;
    int dfd = hold_dir(dir, &st);
    if (dfd < 0) return dfd;
    {
        TableLock lock;
        // The held number now leads to the copy: every path made from it
        // follows at once.
        if (dup3(dfd, sh->dirfd, O_CLOEXEC) < 0) {
            int r = -errno;
            ::close(dfd);
            return r;
        }
        auto it = g_files.find({sh->dev, sh->ino});
        if (it != g_files.end() && it->second == sh) g_files.erase(it);
        sh->dev = st.st_dev;
        sh->ino = st.st_ino;
        g_files[{sh->dev, sh->ino}] = sh;
        sh->epoch++;
    }
    ::close(dfd);
    WriteFile *wf = writefile_of(sh);
    return wf ? wf->restoreFds(false) : 0;
}

WriteFile *writefile_for(SharedFile *sh, mode_t bits) {
    TableLock lock;
    if (!sh->wf) sh->wf = new WriteFile(sh->dir, vesk_cont::host(), bits, 0);
    return sh->wf;
}

bool keep_while_open(const std::string &staged, const std::string &keep_at) {
    SharedFile *sh = pin_open(staged);
    if (!sh) return false;
    if (sh->pid != getpid()) {
        // the parent's, inherited by fork: closed there, not here
        unpin(sh);
        return false;
    }
    std::string at = staged;
    if (keep_at != staged) {
        if (Util::Rename(staged.c_str(), keep_at.c_str()) == 0) at = keep_at;
        else if (mlog_filter(kErr))
            mlog(kErr, "%s: kept open here, not moved to %s: %s", staged.c_str(),
                 keep_at.c_str(), strerror(errno));
    }
    {
        TableLock lock;
        sh->orphan = at;
    }
    if (mlog_filter(kInfo)) mlog(kInfo, "%s: kept until its last close here", at.c_str());
    // the last close may have come meanwhile: this is then the last
    // reference, and the tree goes now
    unpin(sh);
    return true;
}

bool is_orphan(SharedFile *sh) {
    TableLock lock;
    return !sh->orphan.empty();
}

}  // namespace vesk_cfile

int container_rename_open_file(Container_OpenFile *fd, const char *path) {
    if (!fd || !path) return -EBADF;
    if (!state_of(fd)) return -EBADF;
    std::string dir;
    int r = locate(path, dir);
    if (r != 0) return r;
    // The record reaches its container through the held directory, which
    // moved with the name: only the name it reports changes.
    fd->setPath(path);
    return 0;
}
