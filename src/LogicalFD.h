/*
 * Vesk_fd: an opened logical file. One handle may be opened several times;
 * close() returns the opens it still holds. The handle's operations are
 * not locked: its caller serializes them (reads and writes are positioned,
 * so they do not share a file offset).
 */
#ifndef VESK_LOGICALFD_H
#define VESK_LOGICALFD_H

#include <string>
#include <sys/types.h>
#include <sys/stat.h>

#include "vesk.h"

class Vesk_fd {
public:
    virtual ~Vesk_fd() = 0;

    /* filename: the backend path (flat files) or the logical path
     * (containers), as the owning file system passes it. */
    virtual int open(const char *filename, int flags, pid_t pid, mode_t mode,
                     Vesk_open_opt *open_opt) = 0;
    /* Returns the opens still held; 0 after the last. */
    virtual int close(pid_t pid, uid_t u, int flags,
                      Vesk_close_opt *close_opt) = 0;
    /* Returns the bytes read; fewer than size at the end of the file. */
    virtual ssize_t read(char *buf, size_t size, off_t offset) = 0;
    virtual ssize_t write(const char *buf, size_t size, off_t offset,
                          pid_t pid) = 0;
    virtual int sync() = 0;
    virtual int sync(pid_t pid) = 0;
    virtual int trunc(const char *path, off_t offset) = 0;
    virtual int getattr(const char *path, struct stat *stbuf,
                        int sz_only) = 0;
    /* Any pointer may be null and is then skipped. */
    virtual int query(size_t *writers, size_t *readers,
                      size_t *bytes_written, bool *reopen) = 0;
    virtual bool is_good() = 0;
    virtual int incrementOpens(int amount) = 0;
    virtual void setPath(std::string p) = 0;
    /* Valid while the handle lives and its path is unchanged. */
    virtual const char *getPath() = 0;
    virtual int compress_metadata(const char *path) = 0;
    /* The file now has the logical path `path`. */
    virtual int rename(const char *path) = 0;
    /* Makes [offset, offset + len) part of the file, as fallocate(2) mode
     * 0 does: the size grows to its end when shorter, data is kept. */
    virtual int allocate(off_t offset, off_t len) = 0;
};

inline Vesk_fd::~Vesk_fd() {}

#endif
