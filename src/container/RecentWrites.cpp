/*
 * Where this process's writes to a container file since its last merge lie
 * in its data logs, laid over the merged index by reads (see
 * RecentWrites.h).
 */
#include "container/RecentWrites.h"

#include "Util.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace {

// A rewrite loop over a file keeps each block once; what a long stream of
// writes would pile up goes to the next merge instead. A piece costs a map
// node (about a hundred bytes), so this bounds the memory at a few MiB.
std::atomic<size_t> g_budget{1u << 16};
std::atomic<size_t> g_pieces{0};

}  // namespace

RecentLog::~RecentLog() { Util::Close(fd_); }

RecentWrites::RecentWrites() { pthread_mutex_init(&mu, nullptr); }

RecentWrites::~RecentWrites() {
    clearLocked();
    pthread_mutex_destroy(&mu);
}

void RecentWrites::clearLocked() {
    g_pieces -= pieces.size();
    held = 0;
    pieces.clear();
    max_end = 0;
}

void RecentWrites::erase(std::map<off_t, Piece>::iterator it) {
    held -= it->second.len;
    g_pieces--;
    pieces.erase(it);
}

void RecentWrites::insert(off_t at, Piece p) {
    held += p.len;
    g_pieces++;
    pieces.emplace(at, std::move(p));
}

// Removes [from, to) from the kept pieces, splitting those it cuts.
void RecentWrites::cut(off_t from, off_t to) {
    auto it = pieces.lower_bound(from);
    if (it != pieces.begin()) {
        auto prev = std::prev(it);
        off_t start = prev->first, pend = start + (off_t)prev->second.len;
        if (pend > from) {
            // the piece before runs into the range: keep its head, and its
            // tail when it also runs past the range
            if (pend > to) {
                Piece tail = prev->second;
                tail.len = (size_t)(pend - to);
                tail.phys += to - start;
                insert(to, std::move(tail));
            }
            size_t keep = (size_t)(from - start);
            held -= prev->second.len - keep;
            prev->second.len = keep;
            it = pieces.lower_bound(from);
        }
    }
    while (it != pieces.end() && it->first < to) {
        off_t start = it->first, pend = start + (off_t)it->second.len;
        if (pend > to) {
            Piece tail = it->second;
            tail.len = (size_t)(pend - to);
            tail.phys += to - start;
            erase(it);
            insert(to, std::move(tail));
            break;
        }
        auto next = std::next(it);
        erase(it);
        it = next;
    }
}

void RecentWrites::add(off_t offset, size_t len, uint64_t seq, const RecentLogRef &log,
                       off_t phys) {
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
    bool spent = g_pieces + 1 > g_budget;
    if (seq <= base_) {
        // a merge that began after it was numbered holds it already
    } else if (!wanted.load(std::memory_order_relaxed) || !log || spent) {
        // Unasked for, unreadable or over budget: this file starts over,
        // read from its next merge. Past the budget nothing more is kept
        // until a read asks again: that read merges all the same.
        if (log && spent) wanted.store(false, std::memory_order_relaxed);
        clearLocked();
        base_ = std::max(base_, newest);
    } else {
        insert(offset, Piece{len, seq, log, phys});
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
                auto next = std::next(it);
                erase(it);
                it = next;
            } else {
                max_end = std::max(max_end, it->first + (off_t)it->second.len);
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
    forgets++;
    base_ = std::max(base_, seq);
    ends.clear();
    ext_base_ = std::max(ext_base_, seq);
    Util::MutexUnlock(&mu, "RecentWrites::forgetAll");
}

bool RecentWrites::overlay(uint64_t gen, char *buf, size_t len, off_t offset, off_t *end) {
    wanted.store(true, std::memory_order_relaxed);
    struct Copy {
        char *to;
        size_t len;
        RecentLogRef log;
        off_t phys;
    };
    std::vector<Copy> copies;
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
        off_t pend = it->first + (off_t)p.len;
        if (p.seq <= gen || pend <= offset) continue;
        off_t from = std::max(offset, it->first), to = std::min(stop, pend);
        copies.push_back(Copy{buf + (from - offset), (size_t)(to - from), p.log,
                              p.phys + (from - it->first)});
    }
    uint64_t forgets_then = forgets;
    Util::MutexUnlock(&mu, "RecentWrites::overlay");

    // Pieces do not overlap, so the order of these reads does not matter;
    // writes meanwhile only add bytes behind them in the logs.
    bool whole = true;
    for (const Copy &c : copies) {
        ssize_t got = Util::ReadAll(c.log->fd(), c.to, c.len, c.phys);
        if (got != (ssize_t)c.len) {
            whole = false;
            break;
        }
    }
    Util::MutexLock(&mu, "RecentWrites::overlay");
    bool ok = whole && forgets == forgets_then;
    if (!whole) {
        // The log lost what was written to it (cut short behind our back,
        // or an I/O error): the merge reads the file, and says so if it
        // must.
        clearLocked();
        base_ = std::max(base_, newest);
    }
    Util::MutexUnlock(&mu, "RecentWrites::overlay");
    return ok;
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

size_t RecentWrites::processPieces() { return g_pieces; }

void RecentWrites::setBudget(size_t pieces) { g_budget = pieces; }
