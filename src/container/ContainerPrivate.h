/*
 * What the parts of the container layer share and nothing else sees: the
 * process's table of open containers, what is at a backend path, and the
 * size of a container.
 */
#ifndef VESK_CONTAINER_CONTAINERPRIVATE_H
#define VESK_CONTAINER_CONTAINERPRIVATE_H

#include "container/Layout.h"
#include "mlog.h"

#include <map>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

class Container_OpenFile;
class Index;

namespace vesk_cfile {

const int kErr = MLOG_ERR | VESK_FAC_CONTAINER;
const int kInfo = MLOG_INFO | VESK_FAC_CONTAINER;
const int kDbg = MLOG_DBG1 | VESK_FAC_CONTAINER;

/* --- the open-file table (ContainerTable.cpp) ----------------------------- */

struct OpenState {
    std::string container;  // backend directory
    int readers = 0;
    // The container directory itself, held open: another process may
    // rename or unlink it while this one holds the file open, and the
    // record must go on reading the directory it opened, not whatever
    // has taken its name since.
    int dirfd = -1;
};

extern pthread_mutex_t g_mux;
extern std::map<std::string, Container_OpenFile *> g_by_container;
extern std::map<Container_OpenFile *, OpenState> g_state;

struct TableLock {
    TableLock();
    ~TableLock();
};

// Whether the directory held open as `dirfd` is still the one at `dir`.
bool still_at(const std::string &dir, int dirfd);
// The path through which the record reaches its container: its name while
// the name still leads there, else the held descriptor.
std::string live_dir(const std::string &dir, int dirfd);
// This process's record of the container at `dir`, or null. Called with
// g_mux.
Container_OpenFile *find_open(const std::string &dir);
// Makes the record follow its container when another process moved it.
// Called with g_mux.
void follow_moved(Container_OpenFile *rec, OpenState &st);
// The backend directory of the record (and in *dirfd its held descriptor).
// Called with g_mux.
std::string container_of(Container_OpenFile *rec, int *dirfd = nullptr);
// Pushes out what this process's writers hold in memory, so that a merge
// of the logs sees it.
void flush_record(Container_OpenFile *rec);
void flush_in_process(const std::string &dir);
// Makes the record's index current. Called with the index lock held.
int refresh_index(Container_OpenFile *rec, const std::string &dir, int dirfd);

/* --- backend paths (Container.cpp) ---------------------------------------- */

enum Kind { K_NONE, K_CONTAINER, K_DIR, K_LINK, K_FILE, K_OTHER };

// The backend path of the logical `path`. 0 or -errno.
int locate(const char *path, std::string &dir);
// What is at the backend path. 0 or -errno (other than ENOENT).
int classify(const std::string &dir, Kind *kind, struct stat *st);
// The check open(2) and access(2) make against a file's bits.
int check_perm(const struct stat &st, int want, uid_t uid);
bool writer_alive(const vesk_cont::OpenWriter &w);
// host and pid of "hostdir.<host>/index.<pid>"
void parse_log_rel(const std::string &rel, std::string &h, pid_t &pid);

/* --- sizes (ContainerSize.cpp) -------------------------------------------- */

struct Figures {
    off_t size = 0;
    uint64_t bytes = 0;
};

// The size from the size records alone; false when they do not tell it.
bool size_from_meta(const std::string &dir, Figures *f);
int size_by_merge(const std::string &dir, Figures *f);
// `locked`: the caller holds g_mux.
int container_figures(const std::string &dir, Figures *f, bool locked = false);
// With no writer open anywhere: replaces every size record by one made
// from the merged index `idx`, so that the next size is a listing again.
void refresh_meta(const std::string &dir, Index &idx);
bool any_open_writer(const std::string &dir);

/* --- truncation (ContainerTrunc.cpp) -------------------------------------- */

// Truncates the container at `dir` to `offset`; `rec` is this process's
// record of it or null, `pid` the truncating process. Called with g_mux.
int truncate_container(const std::string &dir, Container_OpenFile *rec, off_t offset, pid_t pid);

}  // namespace vesk_cfile

#endif
