/*
 * Where things live inside a container directory (see Format.h), and the
 * small records kept there: the marker, the open-writer records and the
 * size records (meta/).
 */
#ifndef VESK_CONTAINER_LAYOUT_H
#define VESK_CONTAINER_LAYOUT_H

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vesk_cont {

extern const char *const kGlobalIndexName;  // "global.index"
extern const char *const kOpenWritersDir;   // "openwriters"
extern const char *const kMetaDir;          // "meta"

/* This host's name as used in file names ('/' and ' ' replaced). */
const std::string &host();
std::string hostdir(const std::string &container, const std::string &h);
std::string data_log(const std::string &container, const std::string &h, pid_t pid);
std::string index_log(const std::string &container, const std::string &h, pid_t pid);
std::string marker(const std::string &container);

/* The permission bits of the directories of a container whose file has
 * the bits `mode`: the owner's in full, searchable by all, readable and
 * writable by group and others as far as the file is, and sticky where
 * others may write. */
mode_t dir_mode(mode_t mode);

/* The bits of a writer's logs in a container whose file has the bits
 * `mode`: readable as the file is, written by their writer alone. */
mode_t log_mode(mode_t mode);

/* Makes a directory inside a container with exactly the bits `bits` (the
 * umask would cut the write and sticky bits its writers rely on); one
 * already there is left alone. 0 or -errno. */
int make_member_dir(const std::string &dir, mode_t bits);

/* Makes the container at `dir` with the file bits `mode`, atomically: it
 * is built in the staging directory of its backend and renamed into place.
 * -EEXIST when something is at `dir` already. */
int create_container(const std::string &dir, mode_t mode);
/* Whether `dir` holds a marker: a regular file of the marker's name. No
 * user can make one on a container mount (a user's file of that name is a
 * container or a link), so a directory holding one is a container, sound
 * or (when its text or checksum fails, see read_marker) damaged. 1 yes,
 * 0 no, -errno when the directory cannot be looked into. */
int has_marker(const std::string &dir);
/* Writes the marker, with `mode` through the umask; synced when
 * `durable` (a repair), else by the first sync or rename of the file
 * (sync_marker). */
int write_marker(const std::string &dir, mode_t mode, bool durable);
/* Makes the marker's text durable: before a sync or rename makes the
 * file's name durable. 0, or -errno (none when there is no marker: a
 * directory). */
int sync_marker(const std::string &dir);
/* The format version the marker names; -ENOENT without marker, -EIO for
 * one this system did not write or whose checksum fails (logged). An
 * empty marker is sound and of this version: a file made and never
 * synced, whose name reached the disk before the marker's text did. */
int read_marker(const std::string &dir, uint32_t *version);
/* Rewrites a lost or damaged marker, keeping the bits and times of the
 * one there (0644 when none is). 0 or -errno. */
int repair_marker(const std::string &dir);

/* Reads a whole small file. 0 or -errno. */
int read_whole(const std::string &path, std::string &out);

/* The record of an open writer. */
struct OpenWriter {
    pid_t pid;
    std::string host;
    std::string name;
};
int add_open_writer(const std::string &dir, pid_t pid);
int remove_open_writer(const std::string &dir, pid_t pid);
int list_open_writers(const std::string &dir, std::vector<OpenWriter> &out);
/* Whether `pid`, read from a name on the backend, can be a process's: a
 * number past pid_t's range would wrap to a negative one, which kill(2)
 * takes for a process group or every process. */
inline bool pid_in_range(long long pid) { return pid > 0 && pid <= (long long)INT32_MAX; }

/* A writer's size record: the logical end its writes reach (`eof`), the
 * bytes it stored, the size of its index log when the record was made, and
 * the time since which it vouches for eof (a truncation after `since` is
 * not folded in). */
struct WriterMeta {
    off_t eof = 0;
    uint64_t bytes = 0;
    off_t isize = 0;
    uint64_t since_us = 0;
    pid_t pid = 0;
    std::string host;
    std::string name;
};
struct TruncMeta {
    bool present = false;
    off_t length = 0;
    uint64_t when_us = 0;
    std::string name;
};
/* The records in meta/ this system wrote; a record whose checksum fails
 * is left out (the size is then found by a merge). */
int list_meta(const std::string &dir, std::vector<WriterMeta> &writers, TruncMeta &trunc);
/* A name in meta/ that has the form of a checksummed record whose
 * checksum does not match. */
bool meta_name_damaged(const std::string &name);
/* Replaces the size record of that writer. */
int write_writer_meta(const std::string &dir, const WriterMeta &m);
int remove_writer_meta(const std::string &dir, pid_t pid, const std::string &h);
/* Replaces the truncation record. */
int write_trunc_meta(const std::string &dir, off_t length, uint64_t when_us);
uint64_t to_us(double t);

/* Removes a directory tree (or a single file). 0 or -errno. */
int remove_tree(const std::string &path);
/* Copies a directory tree, modes included. 0 or -errno. */
int copy_tree(const std::string &from, const std::string &to);

}  // namespace vesk_cont

#endif

namespace vesk_cont {
/* The backend directory of a logical path; a path under no mount point is
 * taken to be a backend path already. */
std::string backend_of(const std::string &path);

/* A path that reaches the directory open as `dirfd` whatever its name is
 * now (through /proc/self/fd): the container layer reaches the files of an
 * open container this way, so that renames of it leave holders attached. */
std::string held_path(int dirfd);
/* Whether `path` was made by held_path: it names an object, not a place,
 * and a rename of the container does not change it. */
bool is_held_path(const std::string &path);
/* Whether `path` is a held path of the directory itself, as held_path
 * makes it (nothing below it). */
bool is_held_dir(const std::string &path);
/* Where the directory a held path reaches stands now (for the directory
 * above it); `path` itself when it is no held path or the directory is
 * gone. */
std::string current_path(const std::string &path);
}
