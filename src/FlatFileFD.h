/*
 * Flat_fd: an open logical file stored as one backend file. All opens of
 * one handle share one backend descriptor; `refs` counts them. Not locked:
 * the caller serializes opens, closes and path changes (reads and writes
 * are positioned and may run side by side).
 */
#ifndef VESK_FLATFILEFD_H
#define VESK_FLATFILEFD_H

#include <string>

#include "LogicalFD.h"

class Flat_fd : public Vesk_fd {
public:
    Flat_fd();
    ~Flat_fd() override;

    /* The first open opens `filename` (a backend path); later ones share
     * its descriptor and ignore their arguments. */
    int open(const char *filename, int flags, pid_t pid, mode_t mode,
             Vesk_open_opt *open_opt) override;
    /* Returns the opens left; closes the descriptor with the last. Never
     * fails. */
    int close(pid_t pid, uid_t u, int flags, Vesk_close_opt *close_opt) override;
    ssize_t read(char *buf, size_t size, off_t offset) override;
    ssize_t write(const char *buf, size_t size, off_t offset, pid_t pid) override;
    /* fsync of the backend file; the first successful sync of a handle
     * also syncs the directory holding its name, so that a file made by
     * this open (or just before it) survives with its name. */
    int sync() override;
    int sync(pid_t pid) override;
    int trunc(const char *path, off_t offset) override;
    int getattr(const char *path, struct stat *stbuf, int sz_only) override;
    /* Writes 1 to *bytes_written and false to *reopen; nothing else. */
    int query(size_t *writers, size_t *readers, size_t *bytes_written,
              bool *reopen) override;
    bool is_good() override;
    /* The count lives in open/close: returns 1, changes nothing. */
    int incrementOpens(int amount) override;
    void setPath(std::string p) override;
    const char *getPath() override;
    int compress_metadata(const char *path) override;
    /* Records the new logical path; the backend file is not moved (the
     * file system's rename did that), but the handle now names it by its
     * new backend path, whose directory a later sync makes durable. */
    int rename(const char *path) override;
    /* fallocate(2) of the backend file. */
    int allocate(off_t offset, off_t len) override;

private:
    int refs;
    std::string path;
    std::string backend_pathname;
    int backend_fd;
    bool name_synced;  // the directory entry of backend_pathname is durable
};

#endif
