#include "ThreadPool.h"

#include "mlog.h"

#include <cstring>
#include <pthread.h>

namespace {

const int kPoolDebug = MLOG_DBG2 | VESK_FAC_INTERNAL; /* 0x80002 */
const int kPoolError = MLOG_ERR | VESK_FAC_INTERNAL;  /* 0x10002 */

/* strerror() may share one buffer among threads, and pools are built from
 * many threads at once; strerror_r comes in an XSI and a GNU flavour, and
 * the overloads below accept whichever this C library offers. */
inline const char *errtext(int rc, const char *buf) {
    return rc == 0 ? buf : "Unknown error";
}
inline const char *errtext(const char *text, const char *) {
    return text;
}

void log_failure(const char *fmt, int err) {
    if (!mlog_filter(kPoolError))
        return;
    char buf[128] = "";
    mlog(kPoolError, fmt, errtext(strerror_r(err, buf, sizeof buf), buf));
}

} // namespace

ThreadPool::ThreadPool(size_t size, void *(*func)(void *), void *args) {
    pthread_t *threads = new pthread_t[size];
    thread_error = 0;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_JOINABLE);

    if (mlog_filter(kPoolDebug))
        mlog(kPoolDebug, "THREAD_POOL: Creating %lu threads", (unsigned long)size);

    size_t started = 0;
    for (size_t t = 0; t < size; t++) {
        int rc = pthread_create(&threads[t], &attr, func, args);
        if (rc != 0) {
            thread_error = rc;
            log_failure("THREAD_POOL: create error %s", rc);
            break;
        }
        started++;
    }

    if (thread_error == 0) {
        for (size_t t = 0; t < size; t++) {
            void *status = nullptr;
            int rc = pthread_join(threads[t], &status);
            if (rc != 0) {
                thread_error = rc;
                log_failure("THREAD_POOL: join error %s", rc);
                break;
            }
            stati.push_back(status);
        }
    } else {
        /* The threads already running share the caller's args, which may
         * be gone once we return: wait for them. Their exit values are of
         * no use without the rest, so stati stays empty. */
        for (size_t t = 0; t < started; t++)
            pthread_join(threads[t], nullptr);
    }

    pthread_attr_destroy(&attr);
    delete[] threads;
}

ThreadPool::~ThreadPool() {}

int ThreadPool::threadError() {
    return thread_error;
}

std::vector<void *> *ThreadPool::getStati() {
    return &stati;
}
