// The run-to-completion thread pool: exit values in creation order, what it
// logs, and how it fails when the system refuses a thread or a join.
#include "ThreadPool.h"
#include "mlog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <ftw.h>
#include <mutex>
#include <pthread.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define POOL_TEST_SANITIZED 1
#else
#define POOL_TEST_SANITIZED 0
#endif

#if !POOL_TEST_SANITIZED
// Fault injection for joins: the library's calls to pthread_join bind to
// this definition first. When armed, the join with the chosen number still
// reaps its thread but reports the chosen error to the pool.
namespace {
std::atomic<int> g_join_calls{0};
std::atomic<int> g_join_fail_at{-1};  // 1-based call number; -1: never
std::atomic<int> g_join_fail_err{0};
}  // namespace

extern "C" int pthread_join(pthread_t thread, void **retval) {
    using join_fn = int (*)(pthread_t, void **);
    static join_fn real = (join_fn)dlsym(RTLD_NEXT, "pthread_join");
    int n = ++g_join_calls;
    int rc = real(thread, retval);
    if (rc == 0 && n == g_join_fail_at.load())
        return g_join_fail_err.load();
    return rc;
}
#endif

namespace {

pid_t thread_tid() { return (pid_t)syscall(SYS_gettid); }

long pid_max() {
    long pm = 32768;
    std::ifstream in("/proc/sys/kernel/pid_max");
    in >> pm;
    return pm;
}

// Kernel thread ids are handed out in increasing order (wrapping at
// pid_max), so they reveal the order in which the pool created its threads.
::testing::AssertionResult inCreationOrder(const std::vector<pid_t> &tids) {
    const long pm = pid_max();
    long span = 0;
    for (size_t i = 1; i < tids.size(); i++) {
        long d = ((long)tids[i] - (long)tids[i - 1] + pm) % pm;
        if (d == 0)
            return ::testing::AssertionFailure() << "tid repeated at " << i;
        span += d;
    }
    if (span >= pm)
        return ::testing::AssertionFailure() << "tids not in creation order";
    return ::testing::AssertionSuccess();
}

int rm_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

// A log file in a fresh directory, with every priority up to DBG2 enabled,
// so both the pool's creation message and its error messages pass.
class PoolLog : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vesk_pool_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        logfile_ = dir_ + "/pool.log";
    }
    void TearDown() override {
        mlog_close();
        nftw(dir_.c_str(), rm_entry, 8, FTW_DEPTH | FTW_PHYS);
    }
    int openLog() {
        struct mlog_options opts = {};
        opts.default_mask = MLOG_MASK_DBG2;
        opts.logfile = logfile_.c_str();
        opts.msgbuf_size = -1;
        return mlog_open("pool_test", &opts);
    }
    std::string logText() {
        std::ifstream in(logfile_);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    size_t count(const std::string &text, const std::string &word) {
        size_t n = 0;
        for (size_t at = text.find(word); at != std::string::npos;
             at = text.find(word, at + 1))
            n++;
        return n;
    }

    std::string dir_, logfile_;
};

// ---------------------------------------------------------------- results

std::atomic<int> g_calls{0};

void *return_arg(void *arg) {
    ++g_calls;
    return arg;
}

TEST_F(PoolLog, SizeZeroStartsNothingButStillLogsTheCount) {
    ASSERT_EQ(openLog(), 0);
    g_calls = 0;
    int arg = 0;
    ThreadPool pool(0, return_arg, &arg);
    mlog_close();
    EXPECT_EQ(pool.threadError(), 0);
    EXPECT_TRUE(pool.getStati()->empty());
    EXPECT_EQ(g_calls.load(), 0);
    std::string log = logText();
    EXPECT_EQ(count(log, "THREAD_POOL: Creating 0 threads"), 1u) << log;
    EXPECT_EQ(count(log, "THREAD_POOL:"), 1u) << log;
}

TEST_F(PoolLog, EveryThreadGetsTheSameArgument) {
    ASSERT_EQ(openLog(), 0);
    g_calls = 0;
    int arg = 0;
    ThreadPool pool(16, return_arg, &arg);
    mlog_close();
    ASSERT_EQ(pool.threadError(), 0);
    EXPECT_EQ(g_calls.load(), 16);
    std::vector<void *> *stati = pool.getStati();
    ASSERT_EQ(stati->size(), 16u);
    for (void *v : *stati)
        EXPECT_EQ(v, &arg);
    std::string log = logText();
    EXPECT_EQ(count(log, "THREAD_POOL: Creating 16 threads"), 1u) << log;
    EXPECT_EQ(count(log, "THREAD_POOL:"), 1u) << log;
}

TEST(ThreadPool, ClosedLogChangesNothing) {
    mlog_close();
    g_calls = 0;
    int arg = 0;
    ThreadPool pool(3, return_arg, &arg);
    EXPECT_EQ(pool.threadError(), 0);
    EXPECT_EQ(pool.getStati()->size(), 3u);
    EXPECT_EQ(g_calls.load(), 3);
}

struct OrderJob {
    int n = 0;
    std::mutex mu;
    std::condition_variable cv;
    std::vector<pid_t> started;   // tids, as the threads got going
    std::vector<pid_t> finished;  // tids, in the order the threads ended
};

// Threads end in the reverse of the order they were created in, whatever
// order the scheduler starts them in: each waits for all, then for every
// later-created thread (a higher tid) to end first.
void *finish_in_reverse(void *arg) {
    OrderJob *job = static_cast<OrderJob *>(arg);
    pid_t tid = thread_tid();
    std::unique_lock<std::mutex> g(job->mu);
    job->started.push_back(tid);
    job->cv.notify_all();
    job->cv.wait(g, [&] { return job->started.size() == (size_t)job->n; });
    std::vector<pid_t> order = job->started;
    std::sort(order.rbegin(), order.rend());
    job->cv.wait(g, [&] { return order[job->finished.size()] == tid; });
    job->finished.push_back(tid);
    job->cv.notify_all();
    return (void *)(intptr_t)tid;
}

TEST(ThreadPool, ExitValuesFollowCreationOrderNotFinishingOrder) {
    OrderJob job;
    job.n = 6;
    ThreadPool pool(job.n, finish_in_reverse, &job);
    ASSERT_EQ(pool.threadError(), 0);
    std::vector<void *> *stati = pool.getStati();
    ASSERT_EQ(stati->size(), (size_t)job.n);

    std::vector<pid_t> tids;
    for (void *v : *stati)
        tids.push_back((pid_t)(intptr_t)v);
    EXPECT_TRUE(inCreationOrder(tids));
    // Every thread's own value is there, once.
    EXPECT_EQ(std::set<pid_t>(tids.begin(), tids.end()),
              std::set<pid_t>(job.finished.begin(), job.finished.end()));
    // The test means something only if they did not end in creation order.
    EXPECT_NE(job.finished, tids);
    EXPECT_NE(job.finished.front(), tids.front());
}

struct ExitJob {
    std::atomic<int> rank{0};
    int exit_marker = 0;
};

void *end_three_ways(void *arg) {
    ExitJob *job = static_cast<ExitJob *>(arg);
    switch (job->rank++ % 3) {
    case 0:
        return arg;
    case 1:
        pthread_exit(&job->exit_marker);
    default:
        // A deferred cancel of itself, acted on at the next cancellation
        // point.
        pthread_cancel(pthread_self());
        pthread_testcancel();
        return nullptr;  // not reached
    }
}

TEST(ThreadPool, KeepsPthreadExitValuesAndCancellation) {
    ExitJob job;
    ThreadPool pool(9, end_three_ways, &job);
    ASSERT_EQ(pool.threadError(), 0);
    std::vector<void *> *stati = pool.getStati();
    ASSERT_EQ(stati->size(), 9u);
    int returned = 0, exited = 0, cancelled = 0, other = 0;
    for (void *v : *stati) {
        if (v == &job)
            returned++;
        else if (v == &job.exit_marker)
            exited++;
        else if (v == PTHREAD_CANCELED)
            cancelled++;
        else
            other++;
    }
    EXPECT_EQ(returned, 3);
    EXPECT_EQ(exited, 3);
    EXPECT_EQ(cancelled, 3);
    EXPECT_EQ(other, 0);
}

// ---------------------------------------------------------------- failures

long vm_size_bytes() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 7, "VmSize:") == 0)
            return std::stol(line.substr(7)) * 1024;
    return -1;
}

struct StartJob {
    std::atomic<int> entered{0};
    std::atomic<int> exited{0};
};

// Ends well after the pool's creation loop has given up.
void *slow_start(void *arg) {
    StartJob *job = static_cast<StartJob *>(arg);
    ++job->entered;
    usleep(150000);
    ++job->exited;
    return arg;
}

TEST_F(PoolLog, RefusedCreationReportsTheErrorAndWaitsForStartedThreads) {
    if (POOL_TEST_SANITIZED)
        GTEST_SKIP() << "sanitizer shadow memory defeats an address-space limit";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Single-threaded child: cap the address space so that only a few
        // more thread stacks fit, then ask for more threads than that.
        // Stacks that earlier pools left in the C library's cache are
        // reused without a new mapping, so a few more may start.
        close(fds[0]);
        char out[256];
        int rc = openLog();
        pthread_attr_t dflt;
        size_t stack = 0;
        pthread_getattr_default_np(&dflt);
        pthread_attr_getstacksize(&dflt, &stack);
        pthread_attr_destroy(&dflt);
        long vm = vm_size_bytes();
        struct rlimit rl;
        getrlimit(RLIMIT_AS, &rl);
        rl.rlim_cur = (rlim_t)vm + (rlim_t)stack * 5 / 2;
        if (rc != 0 || vm < 0 || stack == 0 || setrlimit(RLIMIT_AS, &rl) != 0) {
            int n = snprintf(out, sizeof out, "setup failed rc=%d vm=%ld stack=%zu",
                             rc, vm, stack);
            if (write(fds[1], out, (size_t)n) < 0) {}
            _exit(1);
        }
        StartJob job;
        int err, entered, exited;
        size_t nstati;
        {
            ThreadPool pool(16, slow_start, &job);
            // Read at once: a thread left running would still be asleep.
            exited = job.exited.load();
            entered = job.entered.load();
            err = pool.threadError();
            nstati = pool.getStati()->size();
        }
        mlog_close();
        int n = snprintf(out, sizeof out, "%d %zu %d %d", err, nstati, entered, exited);
        if (write(fds[1], out, (size_t)n) < 0) {}
        _exit(0);
    }
    close(fds[1]);
    char buf[256] = "";
    ssize_t got = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "child status " << status << ": " << buf;
    ASSERT_GT(got, 0);

    int err = -1, entered = -1, exited = -1;
    size_t nstati = 99;
    ASSERT_EQ(sscanf(buf, "%d %zu %d %d", &err, &nstati, &entered, &exited), 4) << buf;
    EXPECT_EQ(err, EAGAIN);
    EXPECT_EQ(nstati, 0u);
    // Some threads were started before the refusal (else the limit was
    // miscalibrated and the test proves little) and all of them had ended.
    EXPECT_GE(entered, 1);
    EXPECT_LT(entered, 16);
    EXPECT_EQ(exited, entered);

    std::string log = logText();
    EXPECT_EQ(count(log, "THREAD_POOL: Creating 16 threads"), 1u) << log;
    EXPECT_EQ(count(log, std::string("THREAD_POOL: create error ") + strerror(EAGAIN)), 1u)
        << log;
    EXPECT_EQ(count(log, "THREAD_POOL:"), 2u) << log;
}

#if !POOL_TEST_SANITIZED
void *return_tid(void *) { return (void *)(intptr_t)thread_tid(); }

TEST_F(PoolLog, FailedJoinStopsJoiningAndKeepsEarlierValues) {
    ASSERT_EQ(openLog(), 0);
    g_join_calls = 0;
    g_join_fail_err = ESRCH;
    g_join_fail_at = 3;
    std::vector<pid_t> tids;
    int err;
    {
        ThreadPool pool(5, return_tid, nullptr);
        g_join_fail_at = -1;
        err = pool.threadError();
        for (void *v : *pool.getStati())
            tids.push_back((pid_t)(intptr_t)v);
    }
    mlog_close();
    EXPECT_EQ(err, ESRCH);
    EXPECT_EQ(g_join_calls.load(), 3);  // nothing joined after the failure
    ASSERT_EQ(tids.size(), 2u);
    EXPECT_TRUE(inCreationOrder(tids));

    std::string log = logText();
    EXPECT_EQ(count(log, std::string("THREAD_POOL: join error ") + strerror(ESRCH)), 1u)
        << log;
    EXPECT_EQ(count(log, "THREAD_POOL:"), 2u) << log;
}

TEST(ThreadPool, FailedFirstJoinLeavesNoValues) {
    g_join_calls = 0;
    g_join_fail_err = EDEADLK;
    g_join_fail_at = 1;
    int arg = 0;
    ThreadPool pool(2, return_arg, &arg);
    g_join_fail_at = -1;
    EXPECT_EQ(pool.threadError(), EDEADLK);
    EXPECT_TRUE(pool.getStati()->empty());
    EXPECT_EQ(g_join_calls.load(), 1);
}
#endif

}  // namespace
