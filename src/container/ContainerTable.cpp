/*
 * The open-file table: one Container_OpenFile per container and process,
 * shared by every handle and every pid of the process (keyed by the
 * container's backend directory, guarded by g_mux). Its WriteFile holds
 * one writer per pid; its Index is the merged read index, rebuilt when the
 * process wrote since it was built.
 */
#include "container/Container.h"

#include "OpenFile.h"
#include "Util.h"
#include "container/ContainerPrivate.h"
#include "container/Index.h"
#include "container/Layout.h"
#include "container/WriteFile.h"
#include "mlog.h"

#include <climits>
#include <unistd.h>

using vesk_cont::host;
using namespace vesk_cfile;

namespace vesk_cfile {

pthread_mutex_t g_mux = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, Container_OpenFile *> g_by_container;
std::map<Container_OpenFile *, OpenState> g_state;

TableLock::TableLock() { Util::MutexLock(&g_mux, "container table"); }
TableLock::~TableLock() { Util::MutexUnlock(&g_mux, "container table"); }

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
    if (rec->getWritefile()) rec->getWritefile()->moveContainer(to);
    if (rec->getIndex()) rec->getIndex()->setBuiltGeneration(-1);
}

std::string container_of(Container_OpenFile *rec, int *dirfd) {
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

}  // namespace vesk_cfile

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
