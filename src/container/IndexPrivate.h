/*
 * Helpers shared by the pieces of the index (not part of its interface).
 */
#ifndef VESK_CONTAINER_INDEXPRIVATE_H
#define VESK_CONTAINER_INDEXPRIVATE_H

#include "container/Index.h"
#include "mlog.h"

#include <algorithm>
#include <string>
#include <vector>

namespace vesk_index {

const int kErr = MLOG_ERR | VESK_FAC_INDEX;
const int kWarn = MLOG_WARN | VESK_FAC_INDEX;
const int kDbg = MLOG_DBG2 | VESK_FAC_INDEX;

// The most bytes of a log read at once, through slice_buffer(): a log may
// hold millions of records, and a buffer of its whole size would be
// zeroed and faulted in only to be decoded once.
const size_t kReadSliceBytes = 64 * 1024;

// This thread's buffer of kReadSliceBytes for reading logs, kept for the
// thread's life. A buffer allocated per read came, as the allocator's
// thresholds stood, either from a fresh mapping or from heap it had just
// given back: either way a page fault per 4 KiB at every open (11 us each
// on a virtual machine here, where an open costs 300 us) and, for a
// mapping, an unmapping that stops every other thread of the process (an
// MPI rank's progress threads) to flush its TLB. One reader of it at a
// time: whoever holds it reads one log and calls nothing that reads
// another.
unsigned char *slice_buffer();

// The storage of the last merged index this process dropped, kept (up to
// kSparePiecesBytes) for the next one it builds. New memory costs a page
// fault per 4 KiB when first touched (6 to 14 us each on a virtual machine
// here: about half of a checkpoint's open) and, given back, an unmapping
// that stops every other thread of the process to flush its TLB (0.2 ms
// at an MPI rank's close). Reopening a file, or opening the next one,
// then finds its memory warm.
const size_t kSparePiecesBytes = 4 << 20;
// Storage of fewer bytes (an index kept as one period, a few pieces) costs
// nothing to make again, and is not kept in place of a larger spare.
const size_t kSpareMinBytes = 4096;
// An empty vector; with the spare storage when it holds `want` pieces and
// not much more (a merged index keeps no more than an eighth spare).
std::vector<IndexPiece> take_spare_pieces(size_t want);
// Keeps the storage of `v` (left empty) as the spare, in place of the one
// kept, when it is from kSpareMinBytes to kSparePiecesBytes; else frees
// it. The last dropped is kept: the next open is likeliest to be of the
// same file.
void give_back_pieces(std::vector<IndexPiece> &v);
// Room for `n` pieces in `v` (its pieces kept), from the spare when it
// fits.
void reserve_warm(std::vector<IndexPiece> &v, size_t n);

// The data log that goes with the index log `index_rel` of `container`.
inline std::string data_log_of(const std::string &container, const std::string &index_rel) {
    std::string rel = index_rel;
    size_t slash = rel.rfind('/');
    size_t at = slash == std::string::npos ? 0 : slash + 1;
    if (rel.compare(at, 6, "index.") == 0) rel.replace(at, 6, "data.");
    return container + "/" + rel;
}

// The size of the log at `path` in *size (0 when there is none). Where the
// file system may answer with cached attributes (`cached`, see
// Util::AttributesMayBeCached), it is taken from an open of the log, which
// refreshes them (close-to-open): a cached size of a log grown on another
// node since would leave its new records unread, or count them as damage.
// 0 or -errno.
int log_size(const std::string &path, bool cached, off_t *size);

inline IndexPiece piece_of(const HostEntry &h, uint32_t chunk) {
    return IndexPiece{h.logical_offset, h.physical_offset, (uint64_t)h.length, chunk, h.id};
}

inline IndexPiece piece_of(const ContainerEntry &e) {
    return IndexPiece{e.logical_offset, e.physical_offset, (uint64_t)e.length,
                      (uint32_t)e.original_chunk, e.id};
}

// First piece at or after `x`.
inline size_t first_at(const std::vector<IndexPiece> &v, off_t x) {
    return (size_t)(std::lower_bound(v.begin(), v.end(), x,
                                     [](const IndexPiece &p, off_t o) { return p.logical < o; }) -
                    v.begin());
}

// First piece after `x`.
inline size_t first_after(const std::vector<IndexPiece> &v, off_t x) {
    return (size_t)(std::upper_bound(v.begin(), v.end(), x,
                                     [](off_t o, const IndexPiece &p) { return o < p.logical; }) -
                    v.begin());
}

// Drops the front of `p` so that it starts at `at` (inside it).
inline void cut_front(IndexPiece &p, off_t at) {
    off_t cut = at - p.logical;
    p.logical = at;
    p.physical += cut;
    p.length -= (uint64_t)cut;
}

}  // namespace vesk_index

#endif
