/*
 * The merged map of a container file: sorted, non-overlapping pieces,
 * their lookup, and the edits the merge makes to them.
 */
#include "container/Index.h"

#include "Util.h"
#include "container/IndexPrivate.h"
#include "container/Layout.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>

using namespace vesk_index;

namespace {

struct Spare {
    std::mutex mu;
    std::vector<IndexPiece> v;  // guarded by mu
};
// Never destroyed: an index may be dropped by a static destructor at exit.
Spare *g_spare = new Spare;

// A forked child would copy every page of the parent's spare it wrote: no
// warm memory there. Dropped, unless another thread of the parent held its
// lock at the fork: then it is left as it is, and the child starts anew.
void forget_spare_in_child() {
    Spare *old = g_spare;
    g_spare = new Spare;
    if (old->mu.try_lock()) {
        old->mu.unlock();
        delete old;
    }
}
const int g_spare_atfork = pthread_atfork(nullptr, nullptr, forget_spare_in_child);

}  // namespace

// Tried, not waited for: a thread that finds it taken goes on without.
std::vector<IndexPiece> vesk_index::take_spare_pieces(size_t want) {
    std::vector<IndexPiece> v;
    Spare &s = *g_spare;
    std::unique_lock<std::mutex> g(s.mu, std::try_to_lock);
    if (g.owns_lock() && want > 0 && s.v.capacity() >= want && s.v.capacity() <= want + want / 8)
        v.swap(s.v);
    return v;
}

void vesk_index::give_back_pieces(std::vector<IndexPiece> &v) {
    std::vector<IndexPiece> old;  // freed with the lock released
    v.clear();
    {
        Spare &s = *g_spare;
        std::unique_lock<std::mutex> g(s.mu, std::try_to_lock);
        if (g.owns_lock() && v.capacity() * sizeof(IndexPiece) >= kSpareMinBytes &&
            v.capacity() * sizeof(IndexPiece) <= kSparePiecesBytes) {
            old.swap(s.v);
            s.v.swap(v);
        }
    }
    std::vector<IndexPiece>().swap(v);
}

const IndexPieces::value_type &IndexPieces::const_iterator::load() const {
    IndexPiece p = o_->at(i_);
    ContainerEntry &e = cur_.second;
    e.logical_offset = p.logical;
    e.physical_offset = p.physical;
    e.length = (size_t)p.length;
    e.begin_timestamp = 0;
    e.end_timestamp = 0;
    e.id = p.id;
    e.original_chunk = (pid_t)p.chunk;
    cur_.first = p.logical;
    return cur_;
}

size_t IndexPieces::firstAfter(off_t x) const {
    if (!count_) return first_after(v, x);
    const off_t start = period_[0].logical;
    if (x < start) return 0;
    const size_t n = period_.size();
    const uint64_t k = (uint64_t)(x - start) / (uint64_t)stride_;
    if (k >= (count_ + n - 1) / n) return count_;  // past the last period's start
    return std::min(count_, (size_t)k * n + first_after(period_, x - (off_t)k * stride_));
}

void vesk_index::reserve_warm(std::vector<IndexPiece> &v, size_t n) {
    if (v.capacity() >= n) return;
    std::vector<IndexPiece> w = take_spare_pieces(n);
    w.reserve(n);
    w.insert(w.end(), v.begin(), v.end());
    v.swap(w);
}

std::vector<IndexPiece> &IndexPieces::edit() {
    if (!count_) return v;
    v.clear();
    reserve_warm(v, std::max(count_, expect_));
    for (size_t i = 0; i < count_; i++) v.push_back(at(i));
    forget_period();
    return v;
}

void IndexPieces::forget_period() {
    period_.clear();
    step_.clear();
    stride_ = 0;
    count_ = 0;
}

void IndexPieces::clear() {
    v.clear();
    forget_period();
    expect_ = 0;
}

void IndexPieces::append(const IndexPiece &p, size_t period, size_t expect) {
    expect_ = expect;
    if (count_) {
        IndexPiece next = at(count_);
        if (next.logical == p.logical && next.physical == p.physical &&
            next.length == p.length && next.chunk == p.chunk && next.id == p.id) {
            count_++;
            return;
        }
        edit().push_back(p);  // the pattern ends here
        return;
    }
    const bool looking = period > 0 && expect >= 2 * period && v.size() < 2 * period;
    if (v.empty()) {
        if (looking) v.reserve(2 * period);
        else reserve_warm(v, expect);
    }
    v.push_back(p);
    if (!looking || v.size() != 2 * period) return;
    // Two periods in: does the second repeat the first?
    bool repeats = v[period].logical > v[0].logical;
    const off_t stride = v[period].logical - v[0].logical;
    for (size_t j = 0; repeats && j < period; j++) {
        const IndexPiece &a = v[j], &b = v[period + j];
        repeats = b.logical - a.logical == stride && b.length == a.length &&
                  b.chunk == a.chunk && b.id == a.id;
    }
    if (!repeats) {
        reserve_warm(v, expect);
        return;
    }
    period_.assign(v.begin(), v.begin() + (std::ptrdiff_t)period);
    step_.resize(period);
    for (size_t j = 0; j < period; j++) step_[j] = v[period + j].physical - v[j].physical;
    stride_ = stride;
    count_ = 2 * period;
    v.clear();
}

int Index::getChunkFd(pid_t chunk) {
    if (chunk < 0 || (size_t)chunk >= chunk_map.size()) return -EINVAL;
    return chunk_map[chunk].fd;
}

int Index::setChunkFd(pid_t chunk, int descriptor) {
    if (chunk < 0 || (size_t)chunk >= chunk_map.size()) return -EINVAL;
    chunk_map[chunk].fd = descriptor;
    return 0;
}

bool Index::chunkFound(int *dfd, off_t *chunk_off, size_t *length, off_t logical,
                       const IndexPiece &entry, pid_t *chunkpid) {
    ChunkFile &c = chunk_map[entry.chunk];
    lock("chunkFound");
    if (c.fd < 0) c.fd = Util::Open(c.path.c_str(), O_RDONLY, 0);
    *dfd = c.fd < 0 ? -errno : c.fd;
    if (c.fd < 0) c.fd = -1;
    unlock("chunkFound");
    *chunk_off = entry.physical + (logical - entry.logical);
    *length = (size_t)(entry.tail() - logical);
    *chunkpid = entry.id;
    return *dfd >= 0;
}

int Index::globalLookup(int *dfd, off_t *chunk_off, size_t *chunk_len, bool *hole,
                        pid_t *chunkpid, off_t logical) {
    *hole = false;
    *dfd = -1;
    *chunk_off = 0;
    *chunk_len = 0;
    *chunkpid = 0;
    if (logical >= last_offset) return 0;
    // Lost bytes are never served, neither as zeros nor as what another
    // writer wrote there earlier; what lies before them is.
    off_t stop = last_offset;
    if (!damaged.empty()) {
        auto d = std::upper_bound(damaged.begin(), damaged.end(), logical,
                                  [](off_t o, const DamagedRange &r) { return o < r.begin; });
        if (d != damaged.begin() && std::prev(d)->end > logical) return -EIO;
        if (d != damaged.end()) stop = std::min(stop, d->begin);
    }
    const IndexPieces &v = global_index;
    size_t next = v.firstAfter(logical);
    if (next > 0) {
        IndexPiece prev = v.at(next - 1);
        if (prev.tail() > logical) {
            if (!chunkFound(dfd, chunk_off, chunk_len, logical, prev, chunkpid)) return *dfd;
            if ((off_t)*chunk_len > stop - logical) *chunk_len = (size_t)(stop - logical);
            return 0;
        }
    }
    *hole = true;
    off_t until = next == v.size() ? stop : std::min(v.at(next).logical, stop);
    *chunk_len = (size_t)(until - logical);
    return 0;
}

void Index::splitEntry(ContainerEntry *entry, off_t offset) {
    if (!entry->splittable(offset)) return;
    ContainerEntry back = entry->split(offset);
    std::vector<IndexPiece> &v = global_index.edit();
    v.insert(v.begin() + (std::ptrdiff_t)first_at(v, back.logical_offset), piece_of(back));
}

void Index::findSplits(ContainerEntry &entry, std::vector<off_t> &splits) {
    splits.push_back(entry.logical_offset);
    splits.push_back(entry.logical_tail());
}

// Cuts every piece the incoming one overlaps; the newcomer wins. Returns
// where the newcomer goes: p >= 0 to be inserted before piece p, or
// -(p + 1) when piece p was wholly covered and its slot is the newcomer's
// to overwrite (so that an overwrite of one piece moves nothing).
int Index::handleOverlap(ContainerEntry &incoming) {
    std::vector<IndexPiece> &v = global_index.edit();
    off_t s = incoming.logical_offset, t = incoming.logical_tail();
    size_t i = first_at(v, s);
    if (i > 0 && v[i - 1].tail() > s) {
        IndexPiece &p = v[i - 1];
        if (p.tail() > t) {
            // the newcomer lies inside p: p's back stays behind it
            IndexPiece back = p;
            cut_front(back, t);
            p.length = (uint64_t)(s - p.logical);
            v.insert(v.begin() + (std::ptrdiff_t)i, back);
            return (int)i;
        }
        p.length = (uint64_t)(s - p.logical);
    }
    size_t j = i;
    while (j < v.size() && v[j].logical < t) {
        if (v[j].tail() > t) {
            cut_front(v[j], t);
            break;
        }
        j++;
    }
    if (j == i) return (int)i;
    v.erase(v.begin() + (std::ptrdiff_t)i + 1, v.begin() + (std::ptrdiff_t)j);
    return -(int)i - 1;
}

void Index::insertGlobalEntryHint(ContainerEntry *entry, size_t hint) {
    std::vector<IndexPiece> &v = global_index.edit();
    v.insert(v.begin() + (std::ptrdiff_t)hint, piece_of(*entry));
}

int Index::insertGlobalEntry(ContainerEntry *entry) {
    if (entry->length == 0) return 0;
    std::vector<IndexPiece> &v = global_index.edit();
    if (v.empty() || v.back().tail() <= entry->logical_offset) {
        v.push_back(piece_of(*entry));  // the common case: past every piece
        return 0;
    }
    int at = handleOverlap(*entry);
    if (at < 0) v[(size_t)(-at - 1)] = piece_of(*entry);
    else insertGlobalEntryHint(entry, (size_t)at);
    return 0;
}

int Index::insertGlobal(ContainerEntry *entry) {
    int r = insertGlobalEntry(entry);
    if (entry->logical_tail() > last_offset) last_offset = entry->logical_tail();
    return r;
}

int Index::truncate(off_t offset) {
    std::vector<IndexPiece> &v = global_index.edit();
    size_t i = first_at(v, offset);
    if (i > 0 && v[i - 1].tail() > offset) v[i - 1].length = (uint64_t)(offset - v[i - 1].logical);
    v.erase(v.begin() + (std::ptrdiff_t)i, v.end());
    last_offset = offset;
    return 0;
}

void Index::compress() {
    std::vector<IndexPiece> &v = global_index.edit();
    if (v.empty()) return;
    size_t out = 0;
    for (size_t i = 1; i < v.size(); i++) {
        IndexPiece &a = v[out];
        const IndexPiece &b = v[i];
        if (a.tail() == b.logical && a.chunk == b.chunk && a.id == b.id &&
            a.physical + (off_t)a.length == b.physical) {
            a.length += b.length;
        } else {
            v[++out] = b;
        }
    }
    v.resize(out + 1);
}

std::vector<off_t> Index::chunkEnds() const {
    std::vector<off_t> ends(chunk_map.size(), 0);
    for (size_t i = 0; i < global_index.size(); i++) {
        IndexPiece p = global_index.at(i);
        size_t c = (size_t)p.chunk;
        if (c < ends.size() && p.tail() > ends[c]) ends[c] = p.tail();
    }
    return ends;
}

int Index::openChunks() {
    int ret = 0;
    lock("openChunks");
    // The data logs of one host share a directory: held once (opened not
    // following a link, as each log's open would check), it is not looked
    // up again for every log. Where it cannot be held, each log's own open
    // tells why.
    std::string parent;
    int dfd = -1;
    for (ChunkFile &c : chunk_map) {
        if (c.fd >= 0) continue;
        size_t slash = c.path.rfind('/');
        if (slash != std::string::npos && c.path.compare(0, slash, parent) != 0) {
            if (dfd >= 0) Util::Close(dfd);
            parent = c.path.substr(0, slash);
            dfd = Util::OpenAt(parent.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        c.fd = slash != std::string::npos && dfd >= 0
                   ? Util::OpenFile((vesk_cont::held_path(dfd) + c.path.substr(slash)).c_str(),
                                    O_RDONLY, 0)
                   : Util::Open(c.path.c_str(), O_RDONLY, 0);
        if (c.fd < 0) {
            if (ret == 0 && errno != ENOENT) ret = -errno;
            c.fd = -1;
        }
    }
    if (dfd >= 0) Util::Close(dfd);
    unlock("openChunks");
    return ret;
}
