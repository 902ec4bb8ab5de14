/*
 * The write side of a container: one data log and one index log per
 * writer pid, appended to only.
 */
#include "container/WriteFile.h"
#include "util/Crc32c.h"

#include "Util.h"
#include "container/Format.h"
#include "container/Layout.h"
#include "mlog.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <utime.h>
#include <utility>
#include <vector>

namespace {

const int kErr = MLOG_ERR | VESK_FAC_WRITEFILE;
const int kDbg = MLOG_DBG1 | VESK_FAC_WRITEFILE;

uint64_t now_us() { return vesk_cont::to_us(Util::getTime()); }

}  // namespace

WriteFile::WriteFile(std::string container_dir, std::string host_name, mode_t m,
                     size_t buffer_mbs)
    : container_path(std::move(container_dir)),
      subdir_path(vesk_cont::hostdir(container_path, host_name)),
      hostname(host_name),
      has_been_renamed(false),
      index_buffer_mbs(buffer_mbs),
      index(nullptr),
      mode(m),
      createtime(Util::getTime()),
      max_writers(0),
      write_count(0),
      append_base(0),
      written(0) {
    pthread_mutex_init(&index_mux, nullptr);
    pthread_mutex_init(&data_mux, nullptr);
    pthread_mutex_init(&times_mux, nullptr);
}

WriteFile::~WriteFile() {
    for (auto &kv : writers) {
        int r = Close(kv.second, true);
        if (r != 0 && mlog_filter(kErr))
            mlog(kErr, "closing writer %d of %s: %s", (int)kv.first, container_path.c_str(),
                 strerror(-r));
        pthread_mutex_destroy(&kv.second->mu);
        delete kv.second;
    }
    writers.clear();
    pthread_mutex_destroy(&index_mux);
    pthread_mutex_destroy(&data_mux);
    pthread_mutex_destroy(&times_mux);
}

int WriteFile::openFile(const std::string &path, mode_t m, int flags) {
    int fd = Util::Open(path.c_str(), flags, m);
    return fd < 0 ? -errno : fd;
}

int WriteFile::closeFd(int fd) { return fd >= 0 ? Util::Close(fd) : 0; }

int WriteFile::openDataFile(Writer *w) {
    std::string path = vesk_cont::data_log(container_path, hostname, w->pid);
    int fd = openFile(path, vesk_cont::log_mode(mode), O_WRONLY | O_CREAT);
    if (fd < 0) return fd;
    struct stat st;
    if (Util::Fstat(fd, &st) < 0) {
        int r = -errno;
        closeFd(fd);
        return r;
    }
    w->data_fd = fd;
    w->data_tail = st.st_size;
    w->reread.reset();
    w->reread_tried = false;
    names_dirty = true;
    return 0;
}

// Opened by name once the log is made: the inode must be the one written
// to, or the kept writes could read another file's bytes (the container
// renamed meanwhile); without it nothing is kept and reads merge instead.
// Called with w->mu held.
RecentLogRef WriteFile::rereadLog(Writer *w) {
    if (w->reread || w->reread_tried) return w->reread;
    w->reread_tried = true;
    std::string path = vesk_cont::data_log(container_path, hostname, w->pid);
    int fd = Util::Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    struct stat a, b;
    if (Util::Fstat(fd, &a) != 0 || Util::Fstat(w->data_fd, &b) != 0 || a.st_ino != b.st_ino ||
        a.st_dev != b.st_dev) {
        closeFd(fd);
        return nullptr;
    }
    w->reread = std::make_shared<RecentLog>(fd);
    return w->reread;
}

int WriteFile::openIndexFile(Writer *w) {
    std::string path = vesk_cont::index_log(container_path, hostname, w->pid);
    off_t tail = 0;
    int fd = index_open_log(path, w->pid, vesk_cont::log_mode(mode), &tail);
    if (fd < 0) return fd;
    if (!w->idx) {
        w->idx = new Index(path, fd);
        if (index_buffer_mbs > 0)
            w->idx->setBufferRecords(index_buffer_mbs * 1024 * 1024 / sizeof(HostEntry));
    }
    w->idx->resetFd(fd);
    w->idx->setPhysicalOffset(w->pid, w->data_tail);
    w->isize_open = tail;
    names_dirty = true;
    return 0;
}

WriteFile::Writer *WriteFile::findWriter(pid_t pid) {
    auto it = writers.find(pid);
    return it == writers.end() ? nullptr : it->second;
}

OpenFd *WriteFile::getFd(pid_t pid) {
    auto it = fds.find(pid);
    return it == fds.end() ? nullptr : &it->second;
}

bool WriteFile::hasWriter(pid_t pid) {
    Util::MutexLock(&data_mux, "hasWriter");
    bool r = findWriter(pid) != nullptr;
    Util::MutexUnlock(&data_mux, "hasWriter");
    return r;
}

// Takes another open of a writer of `pid` that is already here; its opens,
// or 0 when there is none. Called with data_mux.
int WriteFile::reuseWriter(pid_t pid, bool child) {
    Writer *w = findWriter(pid);
    if (!w) return 0;
    if (!child) w->opens++;
    fds[pid].writers = w->opens;
    return std::max(w->opens, 1);
}

int WriteFile::addWriter(pid_t pid, bool child) {
    // No I/O here: a writer's logs are made by its first write (makeLogs),
    // so that an open that never writes (a lock test, a file only
    // created) leaves nothing in the container and costs nothing to close.
    Util::MutexLock(&data_mux, "addWriter");
    int opens = reuseWriter(pid, child);
    if (opens == 0) {
        Writer *w = new Writer();
        w->pid = pid;
        w->opens = child ? 0 : 1;
        w->child = child;
        w->append = false;
        w->data_fd = -1;
        w->data_tail = 0;
        w->reread_tried = false;
        w->idx = nullptr;
        pthread_mutex_init(&w->mu, nullptr);
        w->eof = 0;
        w->bytes = 0;
        w->since_us = 0;
        w->last_ts = 0;
        w->wrote = false;
        w->times_seen = 0;
        w->last_write = timespec{0, 0};
        writers[pid] = w;
        fds[pid] = OpenFd{-1, w->opens};
        if (writers.size() > max_writers) max_writers = writers.size();
        opens = std::max(w->opens, 1);
    }
    Util::MutexUnlock(&data_mux, "addWriter");
    if (mlog_filter(kDbg)) mlog(kDbg, "writer %d opened %s", (int)pid, container_path.c_str());
    return opens;
}

bool WriteFile::hasLogs(pid_t pid) {
    Util::MutexLock(&data_mux, "hasLogs");
    Writer *w = findWriter(pid);
    bool r = w && w->has_logs.load();
    Util::MutexUnlock(&data_mux, "hasLogs");
    return r;
}

// Makes (or reopens) the writer's logs and records it as open in the
// container; nothing when it has them. Called with w->mu held. 0 or -errno
// (the writer then has no logs, and the next write tries again).
int WriteFile::makeLogs(Writer *w) {
    if (w->data_fd >= 0) return 0;
    pid_t pid = w->pid;
    // Claimed before the logs exist: a truncation to 0 in another thread
    // keeps the logs of writers that have them, and must not take these
    // away between their making and the write they are made for.
    w->has_logs = true;
    int r = vesk_cont::make_member_dir(subdir_path, vesk_cont::dir_mode(mode));
    if (r == 0) r = openDataFile(w);
    if (r == 0) r = openIndexFile(w);
    if (r == 0) {
        // Pick up where this writer's earlier sessions left its figures;
        // only a record that matches its log and postdates the latest
        // truncation is trusted.
        std::vector<vesk_cont::WriterMeta> metas;
        vesk_cont::TruncMeta t;
        vesk_cont::list_meta(container_path, metas, t);
        off_t isize = 0;
        struct stat st;
        if (Util::Fstat(w->idx->getFd(), &st) == 0) isize = st.st_size;
        bool found = false;
        for (const vesk_cont::WriterMeta &m : metas) {
            if (m.pid != pid || m.host != hostname) continue;
            if (m.isize == isize && (!t.present || m.since_us >= t.when_us)) {
                w->eof = m.eof;
                w->bytes = m.bytes;
                w->since_us = m.since_us;
                found = true;
            }
        }
        if (!found && isize <= (off_t)vesk_fmt::kIndexHeaderSize) {
            w->since_us = now_us();
            found = true;
        }
        if (!found) {
            // Scan this writer's own log; vouch for it only when no
            // truncation could have cut it.
            std::vector<HostEntry> recs;
            index_read_log(vesk_cont::index_log(container_path, hostname, pid), -1, recs);
            uint64_t first = 0;
            for (const HostEntry &e : recs) {
                if (e.isTruncation()) w->eof = e.logical_offset;
                else {
                    w->eof = std::max(w->eof, e.logical_tail());
                    w->bytes += e.length;
                }
                uint64_t ts = vesk_cont::to_us(e.begin_timestamp);
                if (first == 0 || ts < first) first = ts;
            }
            w->since_us = t.present ? 0 : first;
        }
        r = vesk_cont::add_open_writer(container_path, pid);
    }
    if (r != 0) {
        if (w->idx) {
            closeFd(w->idx->getFd());
            delete w->idx;
            w->idx = nullptr;
        }
        closeFd(w->data_fd);
        w->data_fd = -1;
        w->data_tail = 0;
        w->eof = 0;
        w->bytes = 0;
        w->since_us = 0;
        w->has_logs = false;
        if (mlog_filter(kErr))
            mlog(kErr, "logs of writer %d in %s: %s", (int)pid, container_path.c_str(),
                 strerror(-r));
        return r;
    }
    logs_made = true;
    if (mlog_filter(kDbg)) mlog(kDbg, "writer %d made its logs in %s", (int)pid, container_path.c_str());
    return 0;
}

int WriteFile::flushWriter(Writer *w) { return w->idx ? w->idx->flush() : 0; }

int WriteFile::Close(Writer *w, bool leave_meta) {
    Util::MutexLock(&w->mu, "Close");
    if (!w->has_logs) {
        // never wrote: nothing of it is in the container
        Util::MutexUnlock(&w->mu, "Close");
        return 0;
    }
    int r = flushWriter(w);
    if (leave_meta && r == 0 && w->idx) {
        vesk_cont::WriterMeta m;
        struct stat st {};
        bool have_st = Util::Fstat(w->idx->getFd(), &st) == 0;
        m.isize = have_st ? st.st_size : 0;
        m.eof = w->eof;
        m.bytes = w->bytes;
        m.since_us = w->since_us;
        m.pid = w->pid;
        m.host = hostname;
        // A record vouches for the log it sits beside: when this writer's
        // log is no longer the one at its name here (the file was removed
        // or replaced meanwhile), its bytes went with the old file and a
        // record would claim them for the new one.
        struct stat at;
        std::string here = vesk_cont::index_log(container_path, hostname, w->pid);
        bool ours = have_st && Util::Lstat(here.c_str(), &at) == 0 && at.st_ino == st.st_ino &&
                    at.st_dev == st.st_dev;
        int mr = ours ? vesk_cont::write_writer_meta(container_path, m) : 0;
        if (mr != 0 && mlog_filter(kErr))
            mlog(kErr, "size record of %d in %s: %s", (int)w->pid, container_path.c_str(),
                 strerror(-mr));
        if (ours && st.st_size > w->isize_open) {
            size_t n = (size_t)(st.st_size - w->isize_open) / vesk_fmt::kIndexRecordSize;
            size_t had = closed_records.load();
            while (n > had && !closed_records.compare_exchange_weak(had, n)) {
            }
        }
    }
    if (w->idx) {
        if (closeFd(w->idx->getFd()) < 0 && r == 0) r = -errno;
        w->idx->resetFd(-1);
        delete w->idx;
        w->idx = nullptr;
    }
    if (closeFd(w->data_fd) < 0 && r == 0) r = -errno;
    w->data_fd = -1;
    w->reread.reset();
    w->reread_tried = false;
    w->has_logs = false;
    // What follows records the writer's end; a failure loses no data
    // (recovery clears a stale open-writer record, a stale time is only a
    // time), so it is logged and the close stands.
    int or_ = vesk_cont::remove_open_writer(container_path, w->pid);
    if (or_ != 0 && or_ != -ENOENT && mlog_filter(kErr))
        mlog(kErr, "open-writer record of %d in %s: %s", (int)w->pid, container_path.c_str(),
             strerror(-or_));
    Util::MutexLock(&times_mux, "Close");
    if (w->wrote && w->times_seen == times_set) {
        // The logical file's modification time is its marker's: the time
        // of this writer's last write, unless a caller has set the times
        // since (cp -p, tar and rsync set them before they close).
        std::string mk = vesk_cont::marker(container_path);
        struct timespec ts[2] = {{0, UTIME_OMIT}, w->last_write};
        if (Util::Utimens(mk.c_str(), ts, 0) < 0 && mlog_filter(kErr))
            mlog(kErr, "time of %s: %s", mk.c_str(), strerror(errno));
    }
    w->wrote = false;
    Util::MutexUnlock(&times_mux, "Close");
    Util::MutexUnlock(&w->mu, "Close");
    return r;
}

int WriteFile::removeWriter(pid_t pid) {
    Util::MutexLock(&data_mux, "removeWriter");
    Writer *w = findWriter(pid);
    if (!w) {
        Util::MutexUnlock(&data_mux, "removeWriter");
        return -ENOENT;
    }
    if (w->opens > 1) {
        int left = --w->opens;
        fds[pid].writers = left;
        Util::MutexUnlock(&data_mux, "removeWriter");
        return left;
    }
    Util::MutexUnlock(&data_mux, "removeWriter");
    // The last open: its records reach the log before it goes. When they
    // cannot, the open stays and the error goes back: a later close (or
    // sync) writes them once it can. Only this pid's last close removes
    // its writer, so the writer stays while its mutex is unheld here.
    Util::MutexLock(&w->mu, "removeWriter");
    int r = flushWriter(w);
    Util::MutexUnlock(&w->mu, "removeWriter");
    if (r != 0) return r;
    Util::MutexLock(&data_mux, "removeWriter");
    if (findWriter(pid) != w || w->opens > 1) {
        // another open of this pid came meanwhile: it keeps the writer
        int left = w->opens > 1 ? --w->opens : 0;
        if (left > 0) fds[pid].writers = left;
        Util::MutexUnlock(&data_mux, "removeWriter");
        return left;
    }
    w->opens = 0;
    writers.erase(pid);
    fds.erase(pid);
    Util::MutexUnlock(&data_mux, "removeWriter");
    r = Close(w, true);
    pthread_mutex_destroy(&w->mu);
    delete w;
    if (mlog_filter(kDbg)) mlog(kDbg, "writer %d closed %s: %d", (int)pid, container_path.c_str(), r);
    return r < 0 ? r : 0;
}

size_t WriteFile::numWriters() {
    Util::MutexLock(&data_mux, "numWriters");
    size_t n = 0;
    for (auto &kv : writers) n += (size_t)std::max(kv.second->opens, kv.second->child ? 1 : 0);
    Util::MutexUnlock(&data_mux, "numWriters");
    return n;
}

size_t WriteFile::maxWriters() { return max_writers; }

bool WriteFile::takeFlattenWish(size_t records) {
    return closed_records.exchange(0) >= records;
}

ssize_t WriteFile::write(const char *buf, size_t size, off_t offset, pid_t pid) {
    Util::MutexLock(&data_mux, "write");
    Writer *w = findWriter(pid);
    Util::MutexUnlock(&data_mux, "write");
    if (!w) {
        // A pid that writes through a descriptor it did not open (a child
        // after fork): it becomes a writer of its own.
        int r = addWriter(pid, true);
        if (r < 0) return r;
        Util::MutexLock(&data_mux, "write");
        w = findWriter(pid);
        Util::MutexUnlock(&data_mux, "write");
        if (!w) return -EIO;
    }
    if (size == 0) return 0;
    // Past this the index could not record the write (see Format.h).
    if ((uint64_t)offset + size >= vesk_fmt::kMaxOffset && !w->append) return -EFBIG;
    if (w->append) {
        Util::MutexLock(&index_mux, "write");
        offset = appendOffset();
        // claim the range before the bytes land, so two appenders of this
        // process never get the same offset
        append_base = offset + (off_t)size;
        Util::MutexUnlock(&index_mux, "write");
    }
    if (w->append && (uint64_t)offset + size >= vesk_fmt::kMaxOffset) return -EFBIG;
    Util::MutexLock(&w->mu, "write");
    int made = makeLogs(w);
    if (made != 0) {
        Util::MutexUnlock(&w->mu, "write");
        return made;
    }
    double begin = Util::getTime();
    if (begin < w->last_ts) begin = w->last_ts;
    off_t phys = w->data_tail;
    ssize_t n = Util::WriteAll(w->data_fd, buf, size, phys);
    if (n < 0) {
        int r = -errno;
        Util::MutexUnlock(&w->mu, "write");
        if (mlog_filter(kErr))
            mlog(kErr, "write %zu at %lld by %d: %s", size, (long long)offset, (int)pid,
                 strerror(-r));
        return r;
    }
    w->data_tail += (off_t)size;
    double end = Util::getTime();
    if (end < begin) end = begin;
    w->last_ts = end;
    w->wrote = true;
    w->times_seen = times_set;
    clock_gettime(CLOCK_REALTIME, &w->last_write);
    RecentLogRef log = recent.wanting() ? rereadLog(w) : nullptr;
    int r = w->idx->addWrite(offset, size, pid, begin, end, vesk_crc32c(0, buf, size));
    if (r != 0) {
        // The full buffer could not be written: this write is not
        // recorded (its bytes stay unreferenced in the data log), the
        // records before it stay buffered for the next flush.
        Util::MutexUnlock(&w->mu, "write");
        return r;
    }
    if (offset + (off_t)size > w->eof) w->eof = offset + (off_t)size;
    w->bytes += size;
    // Numbered once its record is buffered: a merge that reads the
    // generation afterwards flushes the record and holds the write. And
    // numbered before a rewind of this log can come (it takes w->mu): a
    // write numbered after the rewind's forgetAll would be kept with a
    // place in the log that later writes fill with other bytes.
    int seq = __atomic_add_fetch(&write_count, 1, __ATOMIC_SEQ_CST);
    Util::MutexUnlock(&w->mu, "write");
    recent.add(offset, size, (uint64_t)seq, log, phys);
    __atomic_fetch_add(&written, size, __ATOMIC_RELAXED);
    return (ssize_t)size;
}

int WriteFile::sync(pid_t pid) {
    Util::MutexLock(&data_mux, "sync");
    Writer *w = findWriter(pid);
    Util::MutexUnlock(&data_mux, "sync");
    if (!w) return 0;
    Util::MutexLock(&w->mu, "sync");
    int r = 0;
    if (w->data_fd >= 0 && Util::Fsync(w->data_fd) < 0) r = -errno;
    int f = flushWriter(w);
    if (r == 0) r = f;
    if (r == 0 && w->idx && w->idx->getFd() >= 0 && Util::Fsync(w->idx->getFd()) < 0) r = -errno;
    Util::MutexUnlock(&w->mu, "sync");
    // A writer that has not written has no logs to sync, but the file it
    // opened (made, perhaps) must survive as well: its names are synced.
    if (r == 0) r = syncNames();
    return r;
}

int WriteFile::syncNames() {
    if (!names_dirty.exchange(false)) return 0;
    Util::MutexLock(&data_mux, "syncNames");
    std::string container = container_path, subdir = subdir_path;
    Util::MutexUnlock(&data_mux, "syncNames");
    // Innermost first: a directory's entry is synced after its content.
    int r = 0;
    // The marker's text first: it was not synced when the file was made.
    r = vesk_cont::sync_marker(container);
    // No writer here made a log yet: the host directory may not exist,
    // and holds nothing of this file's then.
    if (r == 0 && Util::FsyncDir(subdir.c_str()) < 0 && !(errno == ENOENT && !logs_made))
        r = -errno;
    if (r == 0 && Util::FsyncDir(container.c_str()) < 0) r = -errno;
    // a container reached through its held directory names its parent
    // by where it stands now
    if (r == 0 && Util::FsyncParent(vesk_cont::current_path(container).c_str()) < 0) r = -errno;
    if (r != 0) {
        names_dirty = true;
        if (mlog_filter(kErr))
            mlog(kErr, "sync the names of %s: %s", container.c_str(), strerror(-r));
    }
    return r;
}

int WriteFile::publish(pid_t pid) {
    Util::MutexLock(&data_mux, "publish");
    Writer *w = findWriter(pid);
    Util::MutexUnlock(&data_mux, "publish");
    if (!w) return 0;
    Util::MutexLock(&w->mu, "publish");
    int r = flushWriter(w);
    Util::MutexUnlock(&w->mu, "publish");
    return r;
}

int WriteFile::sync() {
    std::vector<pid_t> pids;
    Util::MutexLock(&data_mux, "sync");
    for (auto &kv : writers) pids.push_back(kv.first);
    Util::MutexUnlock(&data_mux, "sync");
    int ret = 0;
    for (pid_t p : pids) {
        int r = sync(p);
        if (r != 0 && ret == 0) ret = r;
    }
    return ret;
}

int WriteFile::closeIndex() {
    int ret = 0;
    Util::MutexLock(&data_mux, "closeIndex");
    for (auto &kv : writers) {
        Util::MutexLock(&kv.second->mu, "closeIndex");
        int r = flushWriter(kv.second);
        Util::MutexUnlock(&kv.second->mu, "closeIndex");
        if (r != 0 && ret == 0) ret = r;
    }
    Util::MutexUnlock(&data_mux, "closeIndex");
    return ret;
}

int WriteFile::truncateAt(off_t length, pid_t pid, double when) {
    if (length < 0 || (uint64_t)length >= vesk_fmt::kMaxOffset) return -EFBIG;
    Util::MutexLock(&data_mux, "truncateAt");
    Writer *w = findWriter(pid);
    int r = 0;
    if (w) {
        Util::MutexLock(&w->mu, "truncateAt");
        if (when < w->last_ts) when = w->last_ts;
        w->last_ts = when;
        r = makeLogs(w);
        if (r == 0) r = w->idx->addTruncation(length, pid, when);
        Util::MutexUnlock(&w->mu, "truncateAt");
    }
    for (auto &kv : writers) {
        Writer *o = kv.second;
        Util::MutexLock(&o->mu, "truncateAt");
        if (o->eof > length) o->eof = length;
        Util::MutexUnlock(&o->mu, "truncateAt");
    }
    Util::MutexUnlock(&data_mux, "truncateAt");
    if (!w) {
        // The truncating pid writes nothing here: its record goes to its
        // own index log all the same, so that it orders against the
        // writes by time.
        std::string path = vesk_cont::index_log(container_path, hostname, pid);
        r = vesk_cont::make_member_dir(subdir_path, vesk_cont::dir_mode(mode));
        if (r != 0) return r;
        off_t tail = 0;
        int fd = index_open_log(path, pid, vesk_cont::log_mode(mode), &tail);
        if (fd < 0) return fd;
        logs_made = true;
        Index log(path, fd);
        log.resetFd(fd);
        r = log.addTruncation(length, pid, when);
        closeFd(fd);
    }
    Util::MutexLock(&index_mux, "truncateAt");
    append_base = length;
    Util::MutexUnlock(&index_mux, "truncateAt");
    // What reads laid over the last merge no longer holds: they merge again.
    recent.forgetAll((uint64_t)__atomic_add_fetch(&write_count, 1, __ATOMIC_SEQ_CST));
    return r;
}

int WriteFile::truncate(off_t offset) {
    pid_t pid = getpid();
    Util::MutexLock(&data_mux, "truncate");
    if (!writers.empty() && writers.find(pid) == writers.end()) pid = writers.begin()->first;
    Util::MutexUnlock(&data_mux, "truncate");
    return truncateAt(offset, pid, Util::getTime());
}

int WriteFile::extend(off_t offset) {
    Util::MutexLock(&index_mux, "extend");
    if (offset > append_base) append_base = offset;
    Util::MutexUnlock(&index_mux, "extend");
    return 0;
}

int WriteFile::resetLogs() {
    int ret = 0;
    Util::MutexLock(&data_mux, "resetLogs");
    for (auto &kv : writers) {
        Writer *w = kv.second;
        Util::MutexLock(&w->mu, "resetLogs");
        if (!w->has_logs) {
            Util::MutexUnlock(&w->mu, "resetLogs");
            continue;
        }
        int r = 0;
        if (Util::Ftruncate(w->data_fd, 0) < 0) r = -errno;
        w->data_tail = 0;
        // The log is written from its start again once w->mu is let go: a
        // read of kept writes in flight must learn of it before then, or
        // it could take the new bytes for the kept writes they replace.
        recent.forgetAll((uint64_t)__atomic_add_fetch(&write_count, 1, __ATOMIC_SEQ_CST));
        if (w->idx) {
            w->idx->truncateHostIndex(0);
            w->idx->resetPhysicalOffsets();
            w->idx->setPhysicalOffset(w->pid, 0);
            int rr = w->idx->rewriteIndex(w->idx->getFd());
            if (r == 0) r = rr;
        }
        w->eof = 0;
        w->bytes = 0;
        w->since_us = now_us();
        w->isize_open = (off_t)vesk_fmt::kIndexHeaderSize;
        Util::MutexUnlock(&w->mu, "resetLogs");
        if (r != 0 && ret == 0) ret = r;
    }
    Util::MutexUnlock(&data_mux, "resetLogs");
    Util::MutexLock(&index_mux, "resetLogs");
    append_base = 0;
    Util::MutexUnlock(&index_mux, "resetLogs");
    recent.forgetAll((uint64_t)__atomic_add_fetch(&write_count, 1, __ATOMIC_SEQ_CST));
    return ret;
}

int WriteFile::generation() { return __atomic_load_n(&write_count, __ATOMIC_SEQ_CST); }

off_t WriteFile::appendOffset() {
    off_t end = append_base;
    Util::MutexLock(&data_mux, "appendOffset");
    for (auto &kv : writers) {
        Util::MutexLock(&kv.second->mu, "appendOffset");
        end = std::max(end, kv.second->eof);
        Util::MutexUnlock(&kv.second->mu, "appendOffset");
    }
    Util::MutexUnlock(&data_mux, "appendOffset");
    return end;
}

void WriteFile::setAppendBase(off_t end) {
    Util::MutexLock(&index_mux, "setAppendBase");
    append_base = end;
    Util::MutexUnlock(&index_mux, "setAppendBase");
}

void WriteFile::setAppend(pid_t pid, bool append) {
    Util::MutexLock(&data_mux, "setAppend");
    Writer *w = findWriter(pid);
    if (w) w->append = append;
    Util::MutexUnlock(&data_mux, "setAppend");
}

void WriteFile::setContainerPath(std::string logical_path) {
    moveContainer(vesk_cont::backend_of(logical_path));
}

void WriteFile::moveContainer(const std::string &np) {
    // Logs reached through the held container directory moved with it.
    if (vesk_cont::is_held_path(container_path)) return;
    if (np == container_path) return;
    // Everything buffered goes out under the old name first; then the logs
    // are reopened where the container is now.
    closeIndex();
    container_path = np;
    subdir_path = vesk_cont::hostdir(container_path, hostname);
    has_been_renamed = true;
    names_dirty = true;
    restoreFds(false);
}

void WriteFile::setSubdirPath(std::string path) { subdir_path = path; }

int WriteFile::restoreFds(bool droppings_were_truncd) {
    int ret = 0;
    Util::MutexLock(&data_mux, "restoreFds");
    for (auto &kv : writers) {
        Writer *w = kv.second;
        Util::MutexLock(&w->mu, "restoreFds");
        if (!w->has_logs) {
            // its first write makes them where the container is now
            Util::MutexUnlock(&w->mu, "restoreFds");
            continue;
        }
        flushWriter(w);
        if (w->idx) closeFd(w->idx->getFd());
        closeFd(w->data_fd);
        w->data_fd = -1;
        if (droppings_were_truncd) w->data_tail = 0;
        int r = vesk_cont::make_member_dir(subdir_path, vesk_cont::dir_mode(mode));
        if (r == 0) r = openDataFile(w);
        if (r == 0) r = openIndexFile(w);
        if (r == 0) r = vesk_cont::add_open_writer(container_path, w->pid);
        fds[w->pid] = OpenFd{w->data_fd, w->opens};
        Util::MutexUnlock(&w->mu, "restoreFds");
        if (r != 0) {
            if (mlog_filter(kErr))
                mlog(kErr, "reopen writer %d in %s: %s", (int)w->pid, container_path.c_str(),
                     strerror(-r));
            if (ret == 0) ret = r;
        }
    }
    Util::MutexUnlock(&data_mux, "restoreFds");
    return ret;
}

Index *WriteFile::getIndex() { return index; }

double WriteFile::createTime() { return createtime; }

bool WriteFile::lastWrite(struct timespec *t) {
    bool any = false;
    Util::MutexLock(&data_mux, "lastWrite");
    for (auto &kv : writers) {
        Writer *w = kv.second;
        Util::MutexLock(&w->mu, "lastWrite");
        if (w->wrote && w->times_seen == times_set &&
            (!any || w->last_write.tv_sec > t->tv_sec ||
             (w->last_write.tv_sec == t->tv_sec && w->last_write.tv_nsec > t->tv_nsec))) {
            *t = w->last_write;
            any = true;
        }
        Util::MutexUnlock(&w->mu, "lastWrite");
    }
    Util::MutexUnlock(&data_mux, "lastWrite");
    return any;
}

int WriteFile::setTimes(const std::function<int()> &set) {
    Util::MutexLock(&times_mux, "setTimes");
    times_set++;
    int r = set();
    Util::MutexUnlock(&times_mux, "setTimes");
    return r;
}

size_t WriteFile::bytesWritten() { return __atomic_load_n(&written, __ATOMIC_RELAXED); }
