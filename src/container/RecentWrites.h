/*
 * RecentWrites: the bytes this process wrote to one container file since
 * its last merged index, kept in memory so that a read of the file sees
 * them without publishing the writers' records and merging every index log
 * again (a read after a write would otherwise cost a merge of the whole
 * file: what editors, databases and rewrite loops do all the time).
 *
 * Each write has a sequence number (WriteFile::generation after it). A
 * merged index built at generation G holds every write numbered up to G;
 * a read takes the index and lays over it the kept writes numbered above
 * G. Kept pieces never overlap: a later write cuts what it covers out of
 * earlier ones.
 *
 * `base`: writes numbered up to it may be forgotten, so only an index built
 * at base or later can be completed from here. Forgetting happens when a
 * newer index holds them (dropThrough), when the memory budget is spent or
 * at a truncation (forgetAll). Locked inside: the lock is a leaf and is
 * never held across I/O.
 *
 * No bytes are kept until the process opens the file for reading too
 * (want) or a read asks for them (overlay): a process that only writes (a
 * checkpoint opened write-only) pays no copy of its bytes, and its first
 * read merges once, as with a spent budget, after which its writes are
 * kept. Where each write ends is always kept, bytes or not (extent): a
 * size query after writes needs no merge, and costs a few words per write
 * since the last merge at most.
 */
#ifndef VESK_CONTAINER_RECENTWRITES_H
#define VESK_CONTAINER_RECENTWRITES_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <pthread.h>
#include <string>
#include <sys/types.h>

class RecentWrites {
public:
    RecentWrites();
    ~RecentWrites();
    RecentWrites(const RecentWrites &) = delete;
    RecentWrites &operator=(const RecentWrites &) = delete;

    /* Keeps `len` bytes written at `offset` as write number `seq`. Before
     * want or the first overlay, and past the budget, the bytes kept are
     * all forgotten instead; where the write ends is kept all the same. */
    void add(off_t offset, const char *buf, size_t len, uint64_t seq);
    /* Writes from now on are kept (a handle that may read was opened). */
    void want() { wanted.store(true, std::memory_order_relaxed); }
    /* An index built at `gen` now holds the writes numbered up to it. */
    void dropThrough(uint64_t gen);
    /* Nothing kept serves an index built before `seq` any more. */
    void forgetAll(uint64_t seq);

    /* Lays the writes numbered above `gen` over buf, which holds `len`
     * bytes of the file at `offset` as an index built at `gen` reads them.
     * *end: the furthest end of those writes, 0 when there are none.
     * False when writes numbered above `gen` were forgotten: the index is
     * too old to be completed, and buf is left as it was. */
    bool overlay(uint64_t gen, char *buf, size_t len, off_t offset, off_t *end);
    /* *end: the furthest end of the writes numbered above `gen`, 0 when
     * there are none. False when the index is older than the last
     * forgetAll (a truncation) or dropThrough. */
    bool extent(uint64_t gen, off_t *end);

    uint64_t base();
    size_t heldBytes();
    /* Bytes the whole process keeps, over every file. */
    static size_t processBytes();
    /* The process's budget (bytes); tests lower it. */
    static void setBudget(size_t bytes);

private:
    struct Piece {
        std::string data;
        uint64_t seq;
    };
    void clearLocked();
    void cut(off_t from, off_t to);

    std::map<off_t, Piece> pieces;  // by logical offset
    size_t held = 0;
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
};

#endif
