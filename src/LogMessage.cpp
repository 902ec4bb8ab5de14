#include "LogMessage.h"

#include "mlog.h"

#include <pthread.h>

namespace {

const int kTraceLevel = MLOG_INFO | VESK_FAC_INTERNAL; /* 0x20002 */

/* The store: a ring of the most recent messages, with room for one.
 * The mutex is usable from load time on, so a flush() before init() is
 * still safe; init() initialises it afresh. */
pthread_mutex_t log_mutex = PTHREAD_MUTEX_INITIALIZER;
const size_t kLogCapacity = 1;
std::string log_array[kLogCapacity];
size_t log_array_index = 0;
size_t log_array_size = 0;

/* Copying a text may throw std::bad_alloc; the mutex must not stay held. */
class StoreLock {
public:
    StoreLock() { pthread_mutex_lock(&log_mutex); }
    ~StoreLock() { pthread_mutex_unlock(&log_mutex); }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
};

} // namespace

int LogMessage::init() {
    log_array_index = 0;
    log_array_size = 0;
    pthread_mutex_init(&log_mutex, nullptr);
    return 0;
}

void LogMessage::Flush() {}

std::string LogMessage::Dump() {
    std::ostringstream dump;
    {
        StoreLock lock;
        size_t start_index = 0;
        size_t valid_entries =
            log_array_size < kLogCapacity ? log_array_size : kLogCapacity;
        for (size_t i = 0; i < valid_entries; i++) {
            const std::string &entry = log_array[(start_index + i) % kLogCapacity];
            dump.write(entry.data(), (std::streamsize)entry.size());
        }
    }
    return dump.str();
}

void LogMessage::flush() {
    {
        StoreLock lock;
        log_array[log_array_index] = str();
        log_array_index = (log_array_index + 1) % kLogCapacity;
        log_array_size = log_array_size + 1 < kLogCapacity ? log_array_size + 1
                                                           : kLogCapacity;
    }
    if (mlog_filter(kTraceLevel)) {
        std::string text = str();
        mlog(kTraceLevel, "%s", text.c_str());
    }
}

void LogMessage::addTime(double t) {
    width(22);
    precision(22);
    *this << t << " ";
}

void LogMessage::addIds(uid_t uid, gid_t gid) {
    *this << " UID " << uid << " GID " << gid;
}

void LogMessage::addPid(pid_t pid) {
    *this << " PID " << pid;
}

void LogMessage::addOff(off_t off) {
    *this << " offset " << off;
}

void LogMessage::addSize(size_t size) {
    *this << " size " << size;
}

void LogMessage::addFunction(const char *func) {
    width(13);
    if (func == nullptr) {
        /* Inserting a null char* is undefined; fail the stream instead.
         * Drop the width too, so it cannot pad a later insertion should the
         * caller clear the state. */
        width(0);
        setstate(std::ios_base::badbit);
    } else {
        *this << func;
    }
    *this << " ";
}
