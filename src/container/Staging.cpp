#include "container/Staging.h"

#include "Util.h"
#include "config/Config.h"
#include "container/Layout.h"
#include "util/Crc32c.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk_stage {

const char *const kStagingName = ".vesk-staging";

bool is_reserved(const std::string &rel) {
    const std::string name(kStagingName);
    size_t at = 0;
    while (at <= rel.size()) {
        size_t end = rel.find('/', at);
        if (end == std::string::npos) end = rel.size();
        if (rel.compare(at, end - at, name) == 0 && end - at == name.size()) return true;
        at = end + 1;
    }
    return false;
}

namespace {

// The staging directory of `backend` in *dir, made when missing; what it
// is in *st. It is looked at before it is made: a mkdir of a name that
// exists still takes the backend root's lock, which every process that
// creates or removes a file would queue on.
int staging_dir_stat(const std::string &backend, std::string *dir, struct stat *st) {
    *dir = backend + "/" + kStagingName;
    if (Util::Lstat(dir->c_str(), st) == 0) return S_ISDIR(st->st_mode) ? 0 : -ENOTDIR;
    if (errno != ENOENT) return -errno;
    Util::CreatorPause shared;  // it belongs to no single user
    if (Util::Mkdir(dir->c_str(), 01777) == 0) {
        // the umask may have cut the bits: every user stages here
        if (Util::Chmod(dir->c_str(), 01777) < 0) return -errno;
    } else if (errno != EEXIST) {
        return -errno;
    }
    if (Util::Lstat(dir->c_str(), st) < 0) return -errno;
    return S_ISDIR(st->st_mode) ? 0 : -ENOTDIR;
}

// Processes that make and remove files at once (the ranks of an MPI job,
// whose library makes and removes a lock-test file at every open) would
// queue on the one staging directory's lock for each mkdir, rename and
// rmdir there: four processes' cycle of make, rename in, rename out and
// remove took two to three times as long as in directories of their own.
// So a process stages in one of a few directories of its user on its
// host, picked by its pid. They stay (there are at most kSlots per user
// and host), so no process pays for making and removing one.
constexpr unsigned kSlots = 16;

uint32_t host_word() {
    static const uint32_t word = vesk_crc32c(0, vesk_cont::host().data(), vesk_cont::host().size());
    return word;
}

std::string slot_name_of(uid_t euid) {
    char buf[64];
    snprintf(buf, sizeof buf, "%s%u.%08x.%u", kSlotPrefix, (unsigned)euid, host_word(),
             (unsigned)getpid() % kSlots);
    return buf;
}

// A slot this process may stage in: a directory of its own user that no
// one else may write in (the staging directory lets anyone make any name).
bool own_slot(const struct stat &st, uid_t euid) {
    return S_ISDIR(st.st_mode) && st.st_uid == euid && (st.st_mode & 077) == 0;
}

// The directory the calling process stages in on `backend`, in *dir, and
// what it is in *st: its slot, else (taken by someone else, or not to be
// made) the staging directory itself.
int slot_dir_stat(const std::string &backend, std::string *dir, struct stat *st) {
    const uid_t euid = geteuid();
    std::string slot = backend + "/" + kStagingName + "/" + slot_name_of(euid);
    if (Util::Lstat(slot.c_str(), st) == 0) {
        if (own_slot(*st, euid)) {
            *dir = slot;
            return 0;
        }
        return staging_dir_stat(backend, dir, st);
    }
    if (errno != ENOENT) return staging_dir_stat(backend, dir, st);
    int r = staging_dir_stat(backend, dir, st);
    if (r != 0) return r;
    {
        Util::CreatorPause own;  // the process's, whoever it makes files for
        if (Util::Mkdir(slot.c_str(), 0700) < 0 && errno != EEXIST) return 0;
    }
    struct stat sl;
    if (Util::Lstat(slot.c_str(), &sl) == 0 && own_slot(sl, euid)) {
        *dir = slot;
        *st = sl;
    }
    return 0;
}

}  // namespace

std::string slot_name() { return slot_name_of(geteuid()); }

bool slot_of_this_host(const std::string &name) {
    unsigned uid, word, n;
    int used = 0;
    return is_slot_name(name) &&
           sscanf(name.c_str() + strlen(kSlotPrefix), "%u.%8x.%u%n", &uid, &word, &n, &used) == 3 &&
           (size_t)used == name.size() - strlen(kSlotPrefix) && word == host_word();
}

const char *const kSlotPrefix = "slot.";

bool is_slot_name(const std::string &name) {
    return name.compare(0, strlen(kSlotPrefix), kSlotPrefix) == 0;
}

int staging_dir(const std::string &backend, std::string *dir) {
    struct stat st;
    return staging_dir_stat(backend, dir, &st);
}

std::string staging_name(const char *tag) {
    // pid and a counter tell calls of this host apart; the random word
    // tells hosts apart (pids repeat across hosts)
    static std::atomic<unsigned> seq{0};
    static const unsigned salt = std::random_device{}();
    char buf[64];
    snprintf(buf, sizeof buf, "%s.%x.%x.%x", tag, (unsigned)getpid(), seq.fetch_add(1), salt);
    return buf;
}

pid_t staged_by(const std::string &name) {
    size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0) return 0;
    unsigned pid, seq, salt;
    int used = 0;
    if (sscanf(name.c_str() + dot + 1, "%x.%x.%x%n", &pid, &seq, &salt, &used) != 3 ||
        (size_t)used != name.size() - dot - 1 || !vesk_cont::pid_in_range(pid))
        return 0;
    return (pid_t)pid;
}

int staging_path_for(const std::string &path, const char *tag, std::string *out,
                     struct stat *parent_st) {
    // The longest configured backend that `path` lies in; a backend path
    // is looked for among the backends, never resolved as a logical path.
    std::shared_ptr<const vesk::Config> cfg = vesk::config();
    const std::string *best = nullptr;
    for (const vesk::Mount &m : cfg->mounts)
        for (const std::string &b : m.backends)
            if (path.size() > b.size() + 1 && path.compare(0, b.size(), b) == 0 &&
                (path[b.size()] == '/' || b == "/") && (!best || b.size() > best->size()))
                best = &b;
    size_t slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string dir, tag_prefix;
    if (parent_st) parent_st->st_ino = 0;
    if (best) {
        struct stat sst, pst;
        int r = slot_dir_stat(*best, &dir, &sst);
        if (r != 0) return r;
        // A file system mounted below the backend's root cannot rename to
        // or from the staging directory: there, and only there, the name
        // stands beside `path`, short all the same.
        if (Util::Lstat(parent.c_str(), &pst) == 0) {
            if (parent_st) *parent_st = pst;
            if (sst.st_dev != pst.st_dev) best = nullptr;
        }
    }
    if (!best) {
        dir = parent;
        tag_prefix = ".vesk-";
    }
    *out = (dir == "/" ? "" : dir) + "/" + tag_prefix + staging_name(tag);
    return 0;
}

}  // namespace vesk_stage
