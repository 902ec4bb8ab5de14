/*
 * What this process wrote to a container file since its last merge, laid
 * over the merged index by reads (see RecentWrites.h).
 */
#include "container/RecentWrites.h"

#include "Util.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// A rewrite loop over a file keeps each block once; what a long stream of
// new bytes would pile up goes to the logs and the next merge instead.
std::atomic<size_t> g_budget{64u << 20};
std::atomic<size_t> g_process_bytes{0};

}  // namespace

RecentWrites::RecentWrites() { pthread_mutex_init(&mu, nullptr); }

RecentWrites::~RecentWrites() {
    clearLocked();
    pthread_mutex_destroy(&mu);
}

void RecentWrites::clearLocked() {
    g_process_bytes -= held;
    held = 0;
    pieces.clear();
    max_end = 0;
}

// Removes [from, to) from the kept pieces, splitting those it cuts.
void RecentWrites::cut(off_t from, off_t to) {
    auto it = pieces.lower_bound(from);
    if (it != pieces.begin()) {
        auto prev = std::prev(it);
        off_t pend = prev->first + (off_t)prev->second.data.size();
        if (pend > from) {
            // the piece before runs into the range: keep its head, and its
            // tail when it also runs past the range
            if (pend > to) {
                Piece tail;
                tail.seq = prev->second.seq;
                tail.data = prev->second.data.substr((size_t)(to - prev->first));
                held += tail.data.size();
                g_process_bytes += tail.data.size();
                pieces.emplace(to, std::move(tail));
            }
            size_t keep = (size_t)(from - prev->first);
            held -= prev->second.data.size() - keep;
            g_process_bytes -= prev->second.data.size() - keep;
            prev->second.data.resize(keep);
            it = pieces.lower_bound(from);
        }
    }
    while (it != pieces.end() && it->first < to) {
        off_t pend = it->first + (off_t)it->second.data.size();
        if (pend > to) {
            Piece tail;
            tail.seq = it->second.seq;
            tail.data = it->second.data.substr((size_t)(to - it->first));
            held -= it->second.data.size() - tail.data.size();
            g_process_bytes -= it->second.data.size() - tail.data.size();
            pieces.erase(it);
            pieces.emplace(to, std::move(tail));
            break;
        }
        held -= it->second.data.size();
        g_process_bytes -= it->second.data.size();
        it = pieces.erase(it);
    }
}

void RecentWrites::add(off_t offset, const char *buf, size_t len, uint64_t seq) {
    if (len == 0) return;
    Util::MutexLock(&mu, "RecentWrites::add");
    if (seq > newest) newest = seq;
    if (seq > ext_base_) {
        // Ends only grow along the queue's back: an earlier write that
        // ends no further than this one can never be the furthest.
        off_t e = offset + (off_t)len;
        while (!ends.empty() && ends.back().second <= e) ends.pop_back();
        ends.emplace_back(seq, e);
    }
    cut(offset, offset + (off_t)len);
    if (seq <= base_) {
        // a merge that began after it was numbered holds it already
    } else if (!wanted.load(std::memory_order_relaxed) || g_process_bytes + len > g_budget) {
        // Unasked for, or over budget: this file starts over, read from its
        // next merge.
        clearLocked();
        base_ = std::max(base_, newest);
    } else {
        Piece p;
        p.seq = seq;
        p.data.assign(buf, len);
        pieces[offset] = std::move(p);
        held += len;
        g_process_bytes += len;
        max_end = std::max(max_end, offset + (off_t)len);
    }
    Util::MutexUnlock(&mu, "RecentWrites::add");
}

void RecentWrites::dropThrough(uint64_t gen) {
    Util::MutexLock(&mu, "RecentWrites::dropThrough");
    while (!ends.empty() && ends.front().first <= gen) ends.pop_front();
    ext_base_ = std::max(ext_base_, gen);
    if (gen > base_) {
        base_ = gen;
        max_end = 0;
        for (auto it = pieces.begin(); it != pieces.end();) {
            if (it->second.seq <= gen) {
                held -= it->second.data.size();
                g_process_bytes -= it->second.data.size();
                it = pieces.erase(it);
            } else {
                max_end = std::max(max_end, it->first + (off_t)it->second.data.size());
                ++it;
            }
        }
    }
    Util::MutexUnlock(&mu, "RecentWrites::dropThrough");
}

void RecentWrites::forgetAll(uint64_t seq) {
    Util::MutexLock(&mu, "RecentWrites::forgetAll");
    if (seq > newest) newest = seq;
    clearLocked();
    base_ = std::max(base_, seq);
    ends.clear();
    ext_base_ = std::max(ext_base_, seq);
    Util::MutexUnlock(&mu, "RecentWrites::forgetAll");
}

bool RecentWrites::overlay(uint64_t gen, char *buf, size_t len, off_t offset, off_t *end) {
    wanted.store(true, std::memory_order_relaxed);
    Util::MutexLock(&mu, "RecentWrites::overlay");
    if (gen < base_) {
        Util::MutexUnlock(&mu, "RecentWrites::overlay");
        return false;
    }
    *end = newest > gen ? max_end : 0;
    off_t stop = offset + (off_t)len;
    auto it = pieces.upper_bound(offset);
    if (it != pieces.begin()) --it;
    for (; it != pieces.end() && it->first < stop; ++it) {
        const Piece &p = it->second;
        off_t pend = it->first + (off_t)p.data.size();
        if (p.seq <= gen || pend <= offset) continue;
        off_t from = std::max(offset, it->first), to = std::min(stop, pend);
        memcpy(buf + (from - offset), p.data.data() + (from - it->first), (size_t)(to - from));
    }
    Util::MutexUnlock(&mu, "RecentWrites::overlay");
    return true;
}

bool RecentWrites::extent(uint64_t gen, off_t *end) {
    Util::MutexLock(&mu, "RecentWrites::extent");
    bool ok = gen >= ext_base_;
    if (ok) {
        // The first write numbered above gen ends furthest of all of them.
        auto it = std::upper_bound(ends.begin(), ends.end(), gen,
                                   [](uint64_t g, const std::pair<uint64_t, off_t> &e) {
                                       return g < e.first;
                                   });
        *end = it == ends.end() ? 0 : it->second;
    }
    Util::MutexUnlock(&mu, "RecentWrites::extent");
    return ok;
}

uint64_t RecentWrites::base() {
    Util::MutexLock(&mu, "RecentWrites::base");
    uint64_t b = base_;
    Util::MutexUnlock(&mu, "RecentWrites::base");
    return b;
}

size_t RecentWrites::heldBytes() {
    Util::MutexLock(&mu, "RecentWrites::heldBytes");
    size_t h = held;
    Util::MutexUnlock(&mu, "RecentWrites::heldBytes");
    return h;
}

size_t RecentWrites::processBytes() { return g_process_bytes; }

void RecentWrites::setBudget(size_t bytes) { g_budget = bytes; }
