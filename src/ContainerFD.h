/*
 * Container_fd: the handle of an open container file. It holds the
 * container layer's record of the open file and hands it to every
 * container call; the record belongs to the container layer, so the
 * handle never releases it.
 */
#ifndef VESK_CONTAINERFD_H
#define VESK_CONTAINERFD_H

#include "LogicalFD.h"

class Container_OpenFile;

class Container_fd : public Vesk_fd {
public:
    Container_fd();
    ~Container_fd() override;

    int open(const char *filename, int flags, pid_t pid, mode_t mode,
             Vesk_open_opt *open_opt) override;
    int close(pid_t pid, uid_t u, int flags, Vesk_close_opt *close_opt) override;
    ssize_t read(char *buf, size_t size, off_t offset) override;
    ssize_t write(const char *buf, size_t size, off_t offset, pid_t pid) override;
    int sync() override;
    int sync(pid_t pid) override;
    /* Always tells the container layer that the file is held open. */
    int trunc(const char *path, off_t offset) override;
    int getattr(const char *path, struct stat *stbuf, int sz_only) override;
    int query(size_t *writers, size_t *readers, size_t *bytes_written, bool *reopen) override;
    /* True always, even before the first open. */
    bool is_good() override;
    int incrementOpens(int amount) override;
    void setPath(std::string p) override;
    const char *getPath() override;
    /* Flattens the container's index. */
    int compress_metadata(const char *path) override;
    int rename(const char *path) override;
    /* Publishes pid's buffered index records (container_flush). */
    int publish(pid_t pid);
    /* The next read merges the index anew (container_refresh). */
    int refresh();
    /* Extends the file to offset + len when shorter; a container keeps
     * no unwritten space, so nothing is reserved. */
    int allocate(off_t offset, off_t len) override;

private:
    Container_OpenFile *fd;
};

#endif
