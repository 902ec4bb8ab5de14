/*
 * WriteFile: the write side of one open container file in this process.
 *
 * Every pid that writes is a writer of its own, with its own data log and
 * index log under this host's subdirectory, even when many pids write
 * through one process (the mount daemon serves every client pid). A write
 * is one pwrite at the tail of the writer's data log (the tail is kept in
 * memory) plus one record in the writer's in-memory index buffer, which
 * goes to the index log in batches: when it fills, on sync and on close.
 *
 * A writer's logs are made by its first write (or a truncation it
 * records), not by its open: an open that never writes leaves nothing in
 * the container. data_mux guards the table of writers and is never held
 * across I/O but by restoreFds (a move across file systems) and
 * truncateAt. Each writer has a mutex of its own that guards its logs
 * (and their making), so writers of different pids never wait for each
 * other. index_mux guards the figures of the whole file (append
 * position).
 */
#ifndef VESK_CONTAINER_WRITEFILE_H
#define VESK_CONTAINER_WRITEFILE_H

#include <atomic>
#include <functional>
#include <map>
#include <pthread.h>
#include <string>
#include <sys/types.h>

#include "container/HostEntry.h"
#include "container/Index.h"
#include "container/Metadata.h"
#include "container/RecentWrites.h"

class WriteFile : public Metadata {
public:
    /* `container_dir`: the container's backend directory, taken as it is
     * (a backend path is never looked up in the mount table again: it may
     * well lie below a mount point); `hostname`: this host; `mode`: the
     * file's bits, for new logs; `index_buffer_mbs`: index records kept in
     * memory per writer. */
    WriteFile(std::string container_dir, std::string hostname, mode_t mode,
              size_t index_buffer_mbs);
    /* Closes whatever is still open (as a close of every writer would). */
    ~WriteFile();
    WriteFile(const WriteFile &) = delete;
    WriteFile &operator=(const WriteFile &) = delete;

    /* Flushes every writer's index. 0 or the first failure. */
    int closeIndex();
    /* One more open by `pid`; no I/O (the first write makes the logs and
     * records the writer as open in the container). Returns the pid's
     * opens, or -errno.
     * `child`: a writer that appeared by writing without an open; it is
     * closed with the WriteFile. */
    int addWriter(pid_t pid, bool child);
    /* One open of `pid` less; the last flushes its index, leaves its size
     * record and closes its logs (a writer that never wrote has none, and
     * leaves nothing). Returns the pid's opens left, or -errno.
     * When the last open's records cannot be written the open stays (its
     * records buffered) and the error is returned: a later call retries. */
    int removeWriter(pid_t pid);
    size_t numWriters();
    /* Whether a writer closed since the last call had appended at least
     * `records` index records in its life here; the wish is cleared. */
    bool takeFlattenWish(size_t records);
    size_t maxWriters();
    /* Records a truncation to `offset` in the log of the calling process's
     * first writer (see truncateAt). */
    int truncate(off_t offset);
    /* The file is at least `offset` long (an extending truncation). */
    int extend(off_t offset);
    /* Appends the bytes to pid's data log and records where they belong.
     * Returns size, or -errno. */
    ssize_t write(const char *buf, size_t size, off_t offset, pid_t pid);
    /* Makes every byte pid wrote so far durable: its data log, its index
     * (flushed first) and, once per open or after a new log was made, the
     * directory entries on the way to them (host directory, the
     * container's entries with the marker, the container's name in its
     * parent; only the last two while no writer here made a log). The
     * first error; records not written stay buffered for a retry. */
    int sync();
    int sync(pid_t pid);
    /* Writes pid's buffered records to its index log without making
     * anything durable, so that later opens see its writes. 0 or -errno
     * (the records stay buffered). */
    int publish(pid_t pid);
    /* The open file's logical path changed: the container is where that
     * path now leads. */
    void setContainerPath(std::string logical_path);
    /* The container now stands at the backend directory `container_dir`. */
    void moveContainer(const std::string &container_dir);
    void setSubdirPath(std::string path);
    /* Reopens every writer's logs under the current container path (after
     * the container moved). `droppings_were_truncd`: the logs were emptied
     * meanwhile, so the tails start over. */
    int restoreFds(bool droppings_were_truncd);
    Index *getIndex();
    double createTime();

    /* --- used by the container layer ---------------------------------- */
    /* Records a truncation to `length` made by `pid` at `when` in pid's
     * index log (opening the log for it when pid is no writer here). */
    int truncateAt(off_t length, pid_t pid, double when);
    /* Empties every writer's logs in place (a truncation to 0). */
    int resetLogs();
    /* Writes since the open; changes with every write and truncation. */
    int generation();
    /* Where an O_APPEND write of pid lands: the end of the file. */
    off_t appendOffset();
    void setAppendBase(off_t end);
    void setAppend(pid_t pid, bool append);
    bool hasWriter(pid_t pid);
    /* Whether pid is a writer here whose logs exist (it wrote). */
    bool hasLogs(pid_t pid);
    const std::string &containerPath() const { return container_path; }
    /* Bytes written through this WriteFile. */
    size_t bytesWritten();
    /* The bytes written since the last merge, for reads to lay over it. */
    RecentWrites &recentWrites() { return recent; }
    /* Runs `set`, which sets the file's times for a caller, so that no
     * writer's close stamps over them: a close stamps the time of its
     * writer's last write only when no times were set since. Returns what
     * `set` returns. */
    int setTimes(const std::function<int()> &set);
    /* When the last write of a writer that will stamp the file at its
     * close happened (see setTimes); false when no writer will. */
    bool lastWrite(struct timespec *t);

private:
    struct Writer {
        pid_t pid;
        int opens;
        bool child;
        bool append;
        int data_fd;
        off_t data_tail;
        // data_fd's log opened for reading, for the kept writes to read
        // back; opened by the first write kept, once per log
        RecentLogRef reread;
        bool reread_tried;
        Index *idx;
        off_t isize_open = 0;  // its index log's size when opened (or emptied) here
        pthread_mutex_t mu;
        off_t eof;          // logical end this writer's log reaches
        uint64_t bytes;     // bytes in its data log
        uint64_t since_us;  // eof holds since then (see Layout.h)
        double last_ts;     // timestamps never run backwards in one log
        bool wrote;         // since its open
        uint64_t times_seen;         // times_set at its last write
        struct timespec last_write;  // when it last wrote
        std::atomic<bool> has_logs{false};  // made by its first write
    };

    int openIndexFile(Writer *w);
    int openDataFile(Writer *w);
    int openFile(const std::string &path, mode_t mode, int flags);
    int Close(Writer *w, bool leave_meta);
    int closeFd(int fd);
    OpenFd *getFd(pid_t pid);
    Writer *findWriter(pid_t pid);
    int reuseWriter(pid_t pid, bool child);
    int flushWriter(Writer *w);
    int makeLogs(Writer *w);
    RecentLogRef rereadLog(Writer *w);
    int syncNames();

    std::string container_path;
    std::string subdir_path;
    std::string hostname;
    std::map<int, OpenFd> fds;
    pthread_mutex_t index_mux;
    pthread_mutex_t data_mux;
    bool has_been_renamed;
    size_t index_buffer_mbs;
    Index *index;
    mode_t mode;
    double createtime;
    size_t max_writers;
    int write_count;

    std::map<pid_t, Writer *> writers;
    off_t append_base;
    size_t written;
    // Set after a log is made (or the container moves), cleared by the
    // sync that makes the directory entries durable; one batch of
    // directory syncs serves every writer and every sync until then.
    std::atomic<bool> names_dirty{true};
    // Whether a log of this host was made here (the host directory exists).
    std::atomic<bool> logs_made{false};
    // Guards the file's times against the closes' stamps (after a
    // writer's mutex); times_set counts the times callers set them.
    pthread_mutex_t times_mux;
    RecentWrites recent;
    std::atomic<uint64_t> times_set{0};
    // The most index records a writer closed here appended (see
    // takeFlattenWish).
    std::atomic<size_t> closed_records{0};
};

#endif
