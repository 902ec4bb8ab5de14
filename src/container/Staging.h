/*
 * The staging directory: one per backend, at its root, under a reserved
 * name that no logical path reaches (every lookup or creation of a path
 * with that name as a component is refused, and listings never show it).
 * The container layer keeps there what must exist for a moment under no
 * logical name: a container on its way to replace another, and the one it
 * replaced, before it is removed.
 *
 * Names made here are short and fixed in length, whatever the length of
 * the user's names, so that names up to the system's limit work.
 * Everything in a staging directory belongs to an operation in progress,
 * or to one a crash interrupted, which container_recover finishes.
 */
#ifndef VESK_CONTAINER_STAGING_H
#define VESK_CONTAINER_STAGING_H

#include <string>
#include <sys/stat.h>

namespace vesk_stage {

/* The reserved name: ".vesk-staging". */
extern const char *const kStagingName;

/* Whether the logical path below a mount point (components separated by
 * '/') uses the reserved name as one of its components. */
bool is_reserved(const std::string &rel);

/* The staging directory of the backend directory `backend` in *dir,
 * made (searchable and writable by all, sticky) when missing. 0 or
 * -errno. */
int staging_dir(const std::string &backend, std::string *dir);

/* A fresh name for `tag` (a short word: what the entry is for), unique
 * to this call among all processes and hosts sharing the backend. */
std::string staging_name(const char *tag);
/* The process (on the host that made it) that made the entry named `name`
 * with staging_name, or 0 when `name` is no such name. */
pid_t staged_by(const std::string &name);

/* Names in a staging directory that begin with kSlotPrefix ("slot.") are
 * directories where processes stage, each process in one of a few of its
 * user on its host (so that processes making and removing files at once
 * do not queue on one directory's lock); they stay, and what is in them
 * is staged as what is in the staging directory itself. */
extern const char *const kSlotPrefix;
bool is_slot_name(const std::string &name);
/* The name of the calling process's slot (its effective user, its host,
 * its pid among a few). It stages there when that is a directory of its
 * effective user that no one else may write in, else in the staging
 * directory itself. */
std::string slot_name();
/* Whether the slot named `name` is one of this host's (any user's). */
bool slot_of_this_host(const std::string &name);

/* A fresh path in the staging directory of the backend that holds the
 * backend path `path` (the configured backend directory it lies in; in
 * the calling process's slot there when it has one), for something that
 * is to be renamed to `path` or was renamed from it. Under no backend, or
 * where the directory of `path` is another file system than the staging
 * directory, the fresh name (".vesk-" and a staging name) stands in the
 * directory of `path` instead. The path in *out; with `parent_st`, what
 * the directory of `path` is when it was looked at (else its st_ino is
 * 0). 0 or -errno. */
int staging_path_for(const std::string &path, const char *tag, std::string *out,
                     struct stat *parent_st = nullptr);

}  // namespace vesk_stage

#endif
