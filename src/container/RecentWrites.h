/*
 * RecentWrites: where the bytes this process wrote to one container file
 * since its last merged index lie in its own data logs, so that a read of
 * the file sees them without publishing the writers' records and merging
 * every index log again (a read after a write would otherwise cost a merge
 * of the whole file: what editors, databases and rewrite loops do all the
 * time).
 *
 * No bytes are copied: a kept write is its logical range, the data log it
 * went to (a descriptor of its own, RecentLog, so the writer may close or
 * reopen its log meanwhile) and where in that log it lies. A read lays
 * them over the merge with a pread of each, from pages the write just
 * filled. A copy of every write cost a checkpoint writer opened for
 * reading and writing (as MPI-IO opens it) three times its write time in
 * fresh memory.
 *
 * Each write has a sequence number (WriteFile::generation after it). A
 * merged index built at generation G holds every write numbered up to G;
 * a read takes the index and lays over it the kept writes numbered above
 * G. Kept pieces never overlap: a later write cuts what it covers out of
 * earlier ones.
 *
 * `base`: writes numbered up to it may be forgotten, so only an index built
 * at base or later can be completed from here. Forgetting happens when a
 * newer index holds them (dropThrough), when the budget of pieces is spent,
 * at a truncation or a rewind of the logs (forgetAll), or when a log no
 * longer gives back what was written to it. Locked inside: the lock is a
 * leaf and is never held across I/O.
 *
 * No pieces are kept until the process opens the file for reading too
 * (want) or a read asks for them (overlay): a process that only writes (a
 * checkpoint opened write-only) keeps nothing, and its first read merges
 * once, as after a spent budget, after which its writes are kept. Where
 * each write ends is always kept (extent): a size query after writes needs
 * no merge, and costs a few words per write since the last merge at most.
 */
#ifndef VESK_CONTAINER_RECENTWRITES_H
#define VESK_CONTAINER_RECENTWRITES_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <pthread.h>
#include <sys/types.h>

/* A readable descriptor of a data log, owned: closed with the last kept
 * write that refers to it. Its bytes at a kept write's place never change
 * while the write is kept: logs only grow, and their rewind (a truncation
 * to 0) forgets every kept write first. */
class RecentLog {
public:
    explicit RecentLog(int fd) : fd_(fd) {}
    ~RecentLog();
    RecentLog(const RecentLog &) = delete;
    RecentLog &operator=(const RecentLog &) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};
using RecentLogRef = std::shared_ptr<const RecentLog>;

class RecentWrites {
public:
    RecentWrites();
    ~RecentWrites();
    RecentWrites(const RecentWrites &) = delete;
    RecentWrites &operator=(const RecentWrites &) = delete;

    /* Keeps the write numbered `seq` of `len` bytes at `offset`, which
     * lie in `log` at `phys` (written there already). Before want or the
     * first overlay, past the budget or with no log, every kept write is
     * forgotten instead; where the write ends is kept all the same. */
    void add(off_t offset, size_t len, uint64_t seq, const RecentLogRef &log, off_t phys);
    /* Writes from now on are kept (a handle that may read was opened). */
    void want() { wanted.store(true, std::memory_order_relaxed); }
    /* Whether the next write would be kept: a writer needs a RecentLog of
     * its data log only then. */
    bool wanting() const { return wanted.load(std::memory_order_relaxed); }
    /* An index built at `gen` now holds the writes numbered up to it. */
    void dropThrough(uint64_t gen);
    /* Nothing kept serves an index built before `seq` any more. */
    void forgetAll(uint64_t seq);

    /* Lays the writes numbered above `gen` over buf, which holds `len`
     * bytes of the file at `offset` as an index built at `gen` reads them.
     * *end: the furthest end of those writes, 0 when there are none.
     * False when writes numbered above `gen` were forgotten: the index is
     * too old to be completed (buf may then hold some of them: it is to be
     * read again). A forgetAll while the bytes were read says false too
     * (a truncation to 0 empties the logs in place, and later writes fill
     * the places read with other bytes: it forgets before they can come),
     * and a log that no longer gives back a kept write's bytes (cut short
     * behind this process's back) forgets everything and says false, so
     * that the next merge serves the read. */
    bool overlay(uint64_t gen, char *buf, size_t len, off_t offset, off_t *end);
    /* *end: the furthest end of the writes numbered above `gen`, 0 when
     * there are none. False when the index is older than the last
     * forgetAll (a truncation) or dropThrough. */
    bool extent(uint64_t gen, off_t *end);

    uint64_t base();
    /* Bytes of the file the kept writes cover. */
    size_t heldBytes();
    /* Kept writes (pieces) over every file of the process. */
    static size_t processPieces();
    /* The process's budget of pieces; tests lower it. */
    static void setBudget(size_t pieces);

private:
    struct Piece {
        size_t len;
        uint64_t seq;
        RecentLogRef log;
        off_t phys;  // where its first byte lies in log
    };
    void clearLocked();
    void cut(off_t from, off_t to);
    void erase(std::map<off_t, Piece>::iterator it);
    void insert(off_t at, Piece p);

    std::map<off_t, Piece> pieces;  // by logical offset
    size_t held = 0;                // bytes they cover
    uint64_t base_ = 0;
    // The furthest end of the kept pieces. Those numbered up to an index's
    // generation lie inside it (a truncation forgets them all), so this is
    // also the furthest end of the ones above it, unless there are none.
    off_t max_end = 0;
    uint64_t newest = 0;  // the highest number kept
    // Where the writes above the last merge end, by number: numbers rise
    // and ends fall from front to back. Writes up to ext_base_ (the last
    // forgetAll or dropThrough) are not in it.
    std::deque<std::pair<uint64_t, off_t>> ends;
    uint64_t ext_base_ = 0;
    // Set by want or the first overlay; never cleared.
    std::atomic<bool> wanted{false};
    pthread_mutex_t mu;
    uint64_t forgets = 0;  // forgetAll calls: a read checks none came meanwhile
};

#endif
