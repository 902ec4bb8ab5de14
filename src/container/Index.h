/*
 * Index: the map from logical offsets to the bytes of a container file.
 *
 * One class serves two roles:
 *
 * - Write side, Index(index log path, fd): one writer's index log. Each
 *   write is recorded with addWrite() into the in-memory buffer hostIndex,
 *   one record per write, each with its own times, so that the later of
 *   two overlapping writes wins whatever writers they came from (readers
 *   join contiguous pieces after the merge); flush() appends the buffer
 *   to the log in one system call. physical_offsets holds where the
 *   writer's next bytes go in its data log.
 *
 * - Read side, Index(container path): readIndex() merges every index log
 *   of the container (several at once on a ThreadPool) into global_index,
 *   a sorted vector of non-overlapping pieces (IndexPieces), or
 *   loads a flattened index that is still current. Records apply in the
 *   order of their begin timestamps (ties: by log, then by position in the
 *   log), so where writes overlap the later one wins; a truncation record
 *   cuts everything applied before it. globalLookup() finds the piece that
 *   holds an offset in O(log n).
 *
 * Not locked: the open record's lockIndex() guards a read-side index,
 * the write side's caller (WriteFile) guards a write-side one. fd_mux
 * guards only the lazily opened data-log descriptors (lock()/unlock()).
 */
#ifndef VESK_CONTAINER_INDEX_H
#define VESK_CONTAINER_INDEX_H

#include <cstdint>
#include <map>
#include <pthread.h>
#include <string>
#include <vector>

#include "container/HostEntry.h"
#include "container/Metadata.h"

/* One piece of the merged index, kept compact: a container of a million
 * writes holds a million of these in memory. */
struct IndexPiece {
    off_t logical;
    off_t physical;
    uint64_t length;
    uint32_t chunk;  // into the chunk table
    pid_t id;        // the writer
    off_t tail() const { return logical + (off_t)length; }
};

/* The merged index: pieces sorted by logical offset, never overlapping.
 * A sorted vector rather than a tree: a third of the memory per piece,
 * lookups by binary search over contiguous memory, and a merge of logs
 * that do not overlap (the checkpoint case) is one sort. Iterating yields
 * (logical offset, ContainerEntry) pairs as a map would; the entry is made
 * on the fly, without timestamps, which the merged index does not keep.
 *
 * A flattened index that repeats itself (N writers each writing one block
 * of every stripe of N blocks: a checkpoint) is kept as its first period:
 * each later period lies `stride` further on, each phase's data its own
 * step further on in its log. A reader of a checkpoint of millions of
 * blocks holds a few pieces instead of 32 bytes a block, and its open
 * touches no new memory for them. Whatever changes the pieces writes the
 * period out into the vector first (edit()). */
class IndexPieces {
public:
    typedef std::pair<off_t, ContainerEntry> value_type;
    class const_iterator {
    public:
        const_iterator(const IndexPieces *o, size_t i) : o_(o), i_(i), cur_(0, ContainerEntry()) {}
        const value_type &operator*() const { return load(); }
        const value_type *operator->() const { return &load(); }
        const_iterator &operator++() {
            ++i_;
            return *this;
        }
        bool operator!=(const const_iterator &o) const { return i_ != o.i_; }
        bool operator==(const const_iterator &o) const { return i_ == o.i_; }

    private:
        const value_type &load() const;
        const IndexPieces *o_;
        size_t i_;
        mutable value_type cur_;
    };
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, size()); }
    size_t size() const { return count_ ? count_ : v.size(); }
    bool empty() const { return size() == 0; }
    /* The piece at `i` (below size()). */
    IndexPiece at(size_t i) const {
        if (!count_) return v[i];
        size_t k = i / period_.size(), j = i % period_.size();
        IndexPiece p = period_[j];
        p.logical += (off_t)k * stride_;
        p.physical += (off_t)k * step_[j];
        return p;
    }
    /* How many pieces start at or before `x`. */
    size_t firstAfter(off_t x) const;
    /* Whether the pieces are kept as one period. */
    bool periodic() const { return count_ != 0; }
    /* Where the pieces written out are stored (tells storage apart). */
    const void *storage() const { return v.data(); }
    /* Bytes of memory the pieces hold. */
    size_t memoryBytes() const {
        return v.capacity() * sizeof(IndexPiece) + period_.capacity() * sizeof(IndexPiece) +
               step_.capacity() * sizeof(off_t);
    }

private:
    friend class Index;
    /* The pieces as a vector to change: a period is written out first. */
    std::vector<IndexPiece> &edit();
    /* Appends a piece past all others; `period`: how many pieces a period
     * would hold (0: none is looked for), `expect`: how many pieces the
     * whole index will hold. */
    void append(const IndexPiece &p, size_t period, size_t expect);
    void clear();
    void forget_period();

    std::vector<IndexPiece> v;  // the pieces, unless periodic
    // periodic: the first period, each phase's step in its log, the
    // logical distance between periods, and how many pieces in all
    std::vector<IndexPiece> period_;
    std::vector<off_t> step_;
    off_t stride_ = 0;
    size_t count_ = 0;
    size_t expect_ = 0;  // as append was told
};

/* Bytes of the file whose record or data is lost: reads of them give
 * -EIO. An `end` of -1 marks damage whose range is not known (a record no
 * one can decode), which the merge widens to all its writer may have
 * written. */
struct DamagedRange {
    off_t begin;
    off_t end;
};

/* One index log as found in a container. */
struct IndexLogInfo {
    std::string rel;  // "hostdir.<host>/index.<pid>"
    off_t size;
    pid_t pid;
};

class Index : public Metadata {
public:
    explicit Index(std::string path);
    Index(std::string path, int fd);
    ~Index();
    Index(const Index &) = delete;
    Index &operator=(const Index &) = delete;

    /* Read side: (re)builds the merged index of the container at `path`.
     * 0, or -EIO for a corrupt log (logged), or minus errno. */
    int readIndex(std::string path);
    /* Read side: the merged index of a container this process made just
     * now, which holds nothing yet: what readIndex would find, unread. */
    void startEmpty();
    void setPath(std::string path);
    bool ispopulated();

    /* Write side: records a write of `length` bytes at logical `offset`;
     * its bytes went to the writer's data log at physical_offsets[pid]. */
    /* `data_crc`: CRC-32C of the written bytes, kept in the record. */
    int addWrite(off_t offset, size_t length, pid_t pid, double begin, double end,
                 uint32_t data_crc = 0);
    /* Write side: records a truncation to `length` at time `when`. */
    int addTruncation(off_t length, pid_t pid, double when);
    double memoryFootprintMBs();
    /* Write side: appends the buffered records to the log. 0 or -errno. */
    int flush();
    off_t lastOffset();
    int lock(const char *function);
    int unlock(const char *function);
    int getFd();
    int resetFd(int fd);
    /* Write side: the next physical offset of pid is the data log's end. */
    int resetPhysicalOffsets();
    void setPhysicalOffset(pid_t pid, off_t tail);
    /* Write side: records kept in memory before they go to the log. */
    void setBufferRecords(size_t records);
    size_t totalBytes();
    int getChunkFd(pid_t chunk);
    int setChunkFd(pid_t chunk, int fd);

    /* Read side: what holds `logical`. *hole: a gap that reads as zeros;
     * *chunk_len: bytes from `logical` to the end of the piece or gap (or
     * to the next damaged range), 0 at or past the end of the file. *fd:
     * the open data log (opened on first use), -1 for a hole (its path:
     * chunks()). 0, -EIO inside a damaged range, or -errno. */
    int globalLookup(int *fd, off_t *chunk_off, size_t *chunk_len, bool *hole, pid_t *chunkpid,
                     off_t logical);
    /* Read side: opens every data log now rather than at its first read,
     * so that the file stays readable to its holders after it is removed
     * or replaced. 0 or the first error other than a missing log. */
    int openChunks();
    /* Read side: puts one piece in, cutting away what it overlaps. */
    int insertGlobal(ContainerEntry *entry);
    /* Read side: adds every piece of `other` as newer than ours. */
    void merge(Index *other);
    /* Read side: the file is now `offset` long. */
    int truncate(off_t offset);
    /* Write side: rewrites the whole log from hostIndex (after
     * truncateHostIndex); 0 or -errno. */
    int rewriteIndex(int fd);
    /* Write side: drops from the buffer what lies at or past `offset`. */
    void truncateHostIndex(off_t offset);
    /* Read side: joins neighbouring pieces that continue each other. */
    void compress();
    /* Read side: writes a readable dump of a flattened index (as made by
     * global_to_stream) to the FILE* `stream`. */
    int debug_from_stream(void *stream);
    /* Read side: writes the flattened index to `fd`; 0 or -errno. */
    int global_to_file(int fd);
    /* Read side: loads a flattened index held in memory: `addr` points to
     * a std::string with the file's bytes. 0, or -EIO. */
    int global_from_stream(void *addr);
    /* Read side: the flattened index as malloc'ed bytes (caller frees). */
    int global_to_stream(void **buffer, size_t *length);
    void startBuffering();
    void stopBuffering();
    bool isBuffering();

    /* Read side, for the admin tools and tests. */
    const IndexPieces &entries() const { return global_index; }
    const std::vector<ChunkFile> &chunks() const { return chunk_map; }
    const std::vector<IndexLogInfo> &sources() const { return source_logs; }
    /* Ranges the last readIndex found lost (sorted, apart); empty when
     * every log and record was sound. */
    const std::vector<DamagedRange> &damage() const { return damaged; }
    /* Whether the last readIndex used the flattened index. */
    bool usedFlattened() const { return used_flattened; }
    /* Read side: max logical end of the pieces of each chunk. */
    std::vector<off_t> chunkEnds() const;
    /* Read side: the writer generation the index was built at (see
     * WriteFile::generation), so a reader can tell it is out of date. */
    int builtGeneration() const { return built_gen; }
    void setBuiltGeneration(int gen) { built_gen = gen; }
    const std::string &path() const { return index_path; }

private:
    void init(std::string path);
    bool chunkFound(int *fd, off_t *chunk_off, size_t *length, off_t logical,
                    const IndexPiece &entry, pid_t *chunkpid);
    int cleanupReadIndex(int fd, void *maddr, off_t length, int ret, const char *last_func,
                         const char *indexfile);
    int mapIndex(const std::string &file, std::vector<HostEntry> &records);
    int handleOverlap(ContainerEntry &incoming);
    void insertGlobalEntryHint(ContainerEntry *entry, size_t hint);
    bool buildWithoutOverlaps(const std::vector<std::vector<HostEntry>> &records);
    void takeDamage(const std::string &dir, const std::vector<IndexLogInfo> &logs,
                    const std::vector<std::vector<HostEntry>> &records,
                    std::vector<std::vector<DamagedRange>> &per_log,
                    std::vector<DamagedRange> &lost);
    void finishRead(const std::vector<IndexLogInfo> &logs, size_t records);
    int insertGlobalEntry(ContainerEntry *entry);
    void splitEntry(ContainerEntry *entry, off_t offset);
    void findSplits(ContainerEntry &entry, std::vector<off_t> &splits);
    /* `cached`: the file system may answer with cached attributes, so
     * each log's size is confirmed by an open. */
    int loadFlattened(const std::vector<IndexLogInfo> &logs, bool cached);
    void takeSources(const unsigned char *p, uint64_t ns);
    bool takeEntries(const unsigned char *p, uint64_t count, uint64_t first, uint64_t total,
                     off_t *prev_end);
    void closeChunks();

    std::string index_path;
    std::vector<HostEntry> hostIndex;
    IndexPieces global_index;
    std::vector<ChunkFile> chunk_map;
    std::map<int, off_t> physical_offsets;
    bool populated;
    pid_t mypid;
    std::string physical_path;
    int chunk_id;
    off_t last_offset;
    size_t total_bytes;
    int fd;
    bool buffering;
    bool buffer_filled;
    pthread_mutex_t fd_mux;
    bool compress_contiguous;

    // write side: where the next record goes in the log, the buffer's
    // capacity in records and the encoding scratch space
    off_t file_tail;
    size_t buffer_records;
    std::vector<unsigned char> encoded;
    double last_stamp;
    // read side
    std::vector<IndexLogInfo> source_logs;
    bool used_flattened;
    int built_gen;
    std::vector<DamagedRange> damaged;
};

/* Lists the index logs of the container directory `container`, sorted by
 * name. 0 or -errno. */
int index_list_logs(const std::string &container, std::vector<IndexLogInfo> &out);

/* Reads one index log into `out`, checking every record; `data_size` is
 * the size of its data log (records must lie inside it), -1 to skip that
 * check. A torn last record is dropped. 0, or -EIO for a bad header or a
 * corrupt record (logged). */
int index_read_log(const std::string &path, off_t data_size, std::vector<HostEntry> &out);
/* The same, serving what survives: a record that fails its checks is
 * reported in `damaged` (what it describes, or end -1 when that cannot be
 * told) and the rest of the log is read; a damaged header loses nothing
 * (the records are read as of the current format, each checked alone);
 * a log shorter than a header that is not the start of one is damage of
 * unknown range. 0, or -errno for a system error only. */
int index_read_log(const std::string &path, off_t data_size, std::vector<HostEntry> &out,
                   std::vector<DamagedRange> *damaged);

/* The CRC-32C of `len` bytes of the data log `fd` at `off`, as a write's
 * record keeps it; false when they cannot all be read. */
bool index_data_crc(int fd, uint64_t off, uint64_t len, uint32_t *crc);

/* Creates or opens the index log of `pid` at `path` for appending: writes
 * the header into a new (or empty) log and cuts a torn last record. The
 * descriptor, and in *tail where the next record goes; -errno or -EIO. */
int index_open_log(const std::string &path, pid_t pid, mode_t mode, off_t *tail);

#endif
