/*
 * ThreadPool: run one start routine on a number of POSIX threads at once
 * and collect what each of them returns.
 *
 * The pool runs to completion inside its constructor: every thread is
 * started, then joined in creation order, and its exit value kept. Once the
 * constructor has returned no thread of the pool is running, so whatever
 * `args` points to may be released or reused by the caller right away.
 *
 *     struct Job { std::atomic<size_t> next; ... } job;
 *     ThreadPool pool(n, read_one_log, &job);
 *     if (pool.threadError() != 0) ...            // an errno value
 *     std::vector<void*> &rv = *pool.getStati();  // rv[t]: t-th thread
 *
 * Every thread receives the same `args`; sharing out the work and guarding
 * what the threads share is the start routine's business. The exit values
 * (whatever they point to) belong to the caller.
 */
#ifndef VESK_THREADPOOL_H
#define VESK_THREADPOOL_H

#include <cstddef>
#include <vector>

class ThreadPool {
public:
    /* Starts `size` threads running func(args) and waits for all of them.
     * A thread that cancels itself contributes PTHREAD_CANCELED. */
    ThreadPool(size_t size, void *(*func)(void *), void *args);
    ~ThreadPool();

    /* 0, or the error number of the first pthread_create/pthread_join that
     * failed. After a failed creation no exit values are kept; after a
     * failed join, those of the threads joined before it. */
    int threadError();
    /* Exit values in creation order; exactly `size` of them when
     * threadError() is 0. Valid while the pool exists. */
    std::vector<void *> *getStati();

private:
    int thread_error;
    std::vector<void *> stati;
};

#endif
