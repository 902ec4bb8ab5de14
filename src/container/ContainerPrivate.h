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
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

class Container_OpenFile;
class Index;
class WriteFile;
namespace vesk {
struct Resolved;
}

namespace vesk_cfile {

const int kErr = MLOG_ERR | VESK_FAC_CONTAINER;
const int kInfo = MLOG_INFO | VESK_FAC_CONTAINER;
const int kDbg = MLOG_DBG1 | VESK_FAC_CONTAINER;

/* --- the open-file table (ContainerTable.cpp) ----------------------------- *
 *
 * Every handle has a record of its own (Container_OpenFile). The records of
 * one container in this process share a SharedFile: the container's
 * directory held open, one WriteFile and the latest merged index. The
 * table finds a SharedFile by the device and inode of that directory, so a
 * rename of the container, by this process or another, leaves every holder
 * attached to it with no bookkeeping: the logs are reached through the held
 * descriptor (SharedFile::dir), never through the name.
 *
 * A file whose last name goes while this process holds it open (an
 * unlink, or a rename over it) keeps its tree in the backend's staging
 * directory, where no listing or path reaches it (SharedFile::orphan):
 * every record goes on reaching it through the held directory, and the
 * release of the last record removes it, as the last close of an unlinked
 * file frees it in any file system. A file this process does not hold
 * open is removed at once: holders in other processes are not known here,
 * and the table a forked child inherits holds its parent's files.
 *
 * Lock order (a lock may be taken while holding those above it only):
 *   1. the caller's serialisation of the operations of one handle
 *   2. Container_OpenFile::lockIndex  the record's index snapshot
 *   3. SharedFile::build_mu           one merge of a file's logs at a time
 *   4. g_mux                          the table; held for lookups and
 *                                     inserts only, never across I/O
 *   5. WriteFile::data_mux, then a writer's mutex (held while it makes
 *      its logs at its first write), then WriteFile::index_mux
 *      (or WriteFile::times_mux)
 *   6. Index::lock                    lazily opened data logs of an index
 * Only build_mu and the WriteFile's writer mutexes are held across
 * I/O, and each concerns one file.
 */

struct SharedFile {
    dev_t dev = 0;
    ino_t ino = 0;
    int dirfd = -1;
    std::string dir;   // reaches the held directory whatever its name now
    WriteFile *wf = nullptr;            // made by the first open for writing
    std::shared_ptr<Index> index;       // latest merged index; never changed
    int index_gen = -1;                 // wf generation it was built at
    int index_epoch = -1;               // epoch it was built at
    uint64_t index_serves = 0;          // the opens it is fresh enough for
    uint64_t tickets = 0;               // opens that asked for an index
    int epoch = 0;                      // bumped by truncations
    pthread_mutex_t build_mu = PTHREAD_MUTEX_INITIALIZER;
    int refs = 0;                       // records and pins
    std::string orphan;  // its tree in a staging directory once its last
                         // name is gone: removed with the last reference
    pid_t pid = 0;       // the process that opened it (a forked child
                         // holds a copy it does not close)
};

struct OpenState {
    SharedFile *sh = nullptr;
    std::map<pid_t, int> writes;   // this handle's opens for writing, by pid
    int reads = 0;                 // this handle's opens for reading
    std::shared_ptr<Index> index;  // what this handle reads (lockIndex)
};

extern pthread_mutex_t g_mux;

struct TableLock {
    TableLock();
    ~TableLock();
};

// The open file's state, or null for a record this layer does not know.
// Stable while the record is open.
OpenState *state_of(Container_OpenFile *rec);
// The backend path of the file `rec` holds open, or (with no `rec`) of the
// logical `path`. 0 or -errno.
int locate_open(Container_OpenFile *rec, const char *path, std::string &dir);
// The open file of the container at `dir` in this process, pinned (keep it
// until unpin), or null when it is not open here.
SharedFile *pin_open(const std::string &dir);
void unpin(SharedFile *sh);
// The WriteFile of a pinned file, or null.
WriteFile *writefile_of(SharedFile *sh);
// Pushes out what this process's writers of the container at `dir` hold
// in memory, so that a merge of the logs sees it. 0 or the flush's error.
int flush_in_process(const std::string &dir);
// The merged index the record reads: the one it has while it is current,
// else the file's latest, else a new merge. `at_open`: an open, which must
// see everything published before it. `made`: an open that made the
// container, whose index holds nothing yet and is not read (the open
// stands as of the making: what others publish after it is for later
// opens, as for any open).
int index_for(Container_OpenFile *rec, bool at_open, std::shared_ptr<Index> *out,
              bool made = false);
// As index_for (not at an open), but never older than what other
// processes published: what a size must count (an append is placed by it).
int index_current(Container_OpenFile *rec, std::shared_ptr<Index> *out);
// A truncation happened: merged indexes built before it are out of date.
void invalidate_index(SharedFile *sh);
// Opens the directory at `dir`, never through a link; *st identifies it
// (as the table does). The descriptor or -errno.
int hold_dir(const std::string &dir, struct stat *st);
// Enters a new record of the container at `dir` (opened here, so that the
// record keeps the directory it opened, whatever takes its name later).
int attach_record(Container_OpenFile *rec, const std::string &dir);
// Forgets the record; the last record of a file closes it.
void detach_record(Container_OpenFile *rec);
// The container of the open file was copied to `dir` (a rename across file
// systems): the file now reaches the copy, its writers' logs reopened
// there. 0 or -errno.
int rebind_open(SharedFile *sh, const std::string &dir);
// The file's WriteFile, made with the bits `bits` when it has none.
WriteFile *writefile_for(SharedFile *sh, mode_t bits);
// The container at `staged` (in a staging directory) lost its last name.
// When this process holds it open, it is moved on to `keep_at` (also in a
// staging directory; the same path keeps it where it is) and stays until
// its last record closes: true. Else false: the caller removes it.
bool keep_while_open(const std::string &staged, const std::string &keep_at);
// Whether the open file lost its last name (see keep_while_open).
bool is_orphan(SharedFile *sh);
// Removes the tree of a container that has no name any more, trying again
// while a writer that is closing still adds its records to it. What cannot
// be removed stays where it is and is logged; `name` says what it was.
// 0 or -errno.
int discard_tree(const std::string &doomed, const std::string &name);

/* --- backend paths (Container.cpp) ---------------------------------------- */

enum Kind { K_NONE, K_CONTAINER, K_DIR, K_LINK, K_FILE, K_OTHER };

// The backend path of the logical `path` (and in *root the backend
// directory that holds it). 0 or -errno; -EPERM for a path that reaches
// into a staging directory.
int locate(const char *path, std::string &dir, std::string *root = nullptr);
/* -ENOTDIR when the resolved logical path goes through a file: its
 * parent, or below one of a container's own directories its grandparent,
 * is a container (whose logs no logical path names, as no path goes on
 * below a file); else 0. */
int through_container(const vesk::Resolved &r);
// What is at the backend path. 0 or -errno (other than ENOENT).
int classify(const std::string &dir, Kind *kind, struct stat *st);
// The check open(2) and access(2) make against a file's bits.
int check_perm(const struct stat &st, int want, uid_t uid);
bool writer_alive(const vesk_cont::OpenWriter &w);
// host and pid of "hostdir.<host>/index.<pid>"
void parse_log_rel(const std::string &rel, std::string &h, pid_t &pid);

/* --- replacing a name (ContainerReplace.cpp) ------------------------------ */

// Moves the entry at `src` (of kind `kind`) to `dst`, replacing what is
// there in one step as readers see it; `root` is the backend that holds
// `dst`. 0 or -errno (the entry is then where it was).
int replace_entry(const std::string &src, const std::string &dst, const std::string &root,
                  Kind kind);
// Finishes or tidies the renames a crash interrupted in the staging
// directory of the backend `root`; *done counts what it did. 0 or -errno.
int finish_staged(const std::string &root, int *done);
// Removes what processes of this host that no longer run left in their
// staging slots on the backend `root` (a file made but not yet in place,
// a removed file held open to its last close, a copy): a crash leaves it
// there, and nothing else ever takes it away. Each removal is logged.
// 0 or -errno (the first removal that failed).
int sweep_slots(const std::string &root);

/* --- sizes (ContainerSize.cpp) -------------------------------------------- */

struct Figures {
    off_t size = 0;
    uint64_t bytes = 0;
};

// The size from the size records alone; false when they do not tell it.
bool size_from_meta(const std::string &dir, Figures *f);
int size_by_merge(const std::string &dir, Figures *f);
// `wf`: this process's writer of the file (flushed first), or null to look
// it up.
int container_figures(const std::string &dir, Figures *f, WriteFile *wf = nullptr);
// With no writer open anywhere: replaces every size record by one made
// from the merged index `idx`, so that the next size is a listing again.
void refresh_meta(const std::string &dir, Index &idx);
bool any_open_writer(const std::string &dir);

/* --- flattening (Flatten.cpp) ---------------------------------------------- */

// Index records a writer must have appended in its life for its close to
// flatten the index (see flatten_after_close): below it the merge at open
// costs less than the flattening at every close.
const size_t kFlattenRecords = 64;
// After this process's last writer of `dir` closed: when no writer is open
// anywhere and the file has logs of two writers or more, writes the merged
// index to global.index. Failures are logged; readers then merge the logs.
void flatten_after_close(const std::string &dir);

/* --- truncation (ContainerTrunc.cpp) -------------------------------------- */

// Truncates the container at `dir` to `offset`; `sh` is its open file in
// this process or null, `pid` the truncating process.
int truncate_container(const std::string &dir, SharedFile *sh, off_t offset, pid_t pid);

}  // namespace vesk_cfile

#endif
