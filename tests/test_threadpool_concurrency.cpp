// Pools built from several threads at once, as the container layer does
// when many callers read index logs at the same time: each pool sees only
// its own threads, and what they wrote is visible once the pool returns.
#include "ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

const int kBuilders = 4;
const int kRounds = 25;
const int kThreads = 6;

struct Work {
    std::atomic<int> next{0};
    int slot[kThreads] = {};  // plain writes, one slot per thread
    int base = 0;
};

void *fill_slot(void *arg) {
    Work *w = static_cast<Work *>(arg);
    int me = w->next++;
    w->slot[me] = w->base + me;
    return &w->slot[me];
}

TEST(ThreadPoolConcurrency, PoolsBuiltAtOnceStayApart) {
    std::atomic<int> failures{0};
    std::vector<std::thread> builders;
    for (int b = 0; b < kBuilders; b++)
        builders.emplace_back([b, &failures] {
            for (int r = 0; r < kRounds; r++) {
                Work w;
                w.base = (b * kRounds + r) * 100;
                ThreadPool pool(kThreads, fill_slot, &w);
                bool ok = pool.threadError() == 0 &&
                          pool.getStati()->size() == (size_t)kThreads &&
                          w.next.load() == kThreads;
                // Every slot was written, and each exit value points at one.
                int sum = 0;
                std::vector<bool> hit(kThreads, false);
                for (void *v : *pool.getStati()) {
                    int *p = static_cast<int *>(v);
                    if (p < w.slot || p >= w.slot + kThreads || hit[p - w.slot])
                        ok = false;
                    else
                        hit[p - w.slot] = true;
                }
                for (int t = 0; t < kThreads; t++)
                    sum += w.slot[t] - w.base;
                if (!ok || sum != kThreads * (kThreads - 1) / 2)
                    ++failures;
            }
        });
    for (std::thread &t : builders)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
