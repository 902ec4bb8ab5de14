// The flattened index reader, Index::global_from_stream, over any bytes.
// Unless the first input byte is odd, both checksums of the stream are set
// right first, so that the checks behind them are reached.
//
// Checked: the result is 0 or -EIO; an accepted stream has exactly the
// size its counts give, its pieces are ordered, non-empty, non-overlapping,
// inside the recorded end of file and name a listed data log; the readable
// dump can print it; the pieces written out from one period, as a change
// to them does, are the same and found alike; and writing it out again
// gives a stream of the same size that reads back to the same pieces and
// sources.
#include "fuzz/fuzz_common.h"
#include "container/Format.h"
#include "container/Index.h"
#include "util/Crc32c.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz_flat_index {

using namespace vesk_fmt;

void run(const uint8_t *raw, size_t size) {
    if (size == 0) return;
    const bool keep_sums = raw[0] & 1;
    std::string bytes(reinterpret_cast<const char *>(raw) + 1, size - 1);
    size--;
    if (!keep_sums && size >= kGlobalHeaderSize) {
        unsigned char *h = reinterpret_cast<unsigned char *>(&bytes[0]);
        put_u32(h + kGlobalBodyCrcAt, vesk_crc32c(0, h + kGlobalHeaderSize, size - kGlobalHeaderSize));
        put_u32(h + kIndexCrcAt, vesk_crc32c(0, h, kIndexCrcAt));
    }
    const unsigned char *data = reinterpret_cast<const unsigned char *>(bytes.data());
    Index idx("/vesk-fuzz/container");
    int r = idx.global_from_stream(&bytes);
    FUZZ_CHECK(r == 0 || r == -EIO);
    if (r != 0) return;

    FUZZ_CHECK(size >= kGlobalHeaderSize);
    const unsigned char *b = data;
    uint64_t ne = get_u64(b + 24), ns = get_u32(b + 32);
    FUZZ_CHECK(size == kGlobalHeaderSize + ns * kGlobalSourceSize + ne * kGlobalEntrySize);
    FUZZ_CHECK(idx.entries().size() == ne);
    FUZZ_CHECK(idx.sources().size() == ns && idx.chunks().size() == ns);
    FUZZ_CHECK(idx.lastOffset() == (off_t)get_u64(b + 40));
    FUZZ_CHECK(idx.ispopulated());

    off_t prev_end = 0;
    size_t bytes_total = 0;
    for (auto &kv : idx.entries()) {
        const ContainerEntry &e = kv.second;
        FUZZ_CHECK(kv.first == e.logical_offset);
        FUZZ_CHECK(e.length > 0 && e.logical_offset >= prev_end);
        FUZZ_CHECK(e.logical_tail() <= idx.lastOffset());
        FUZZ_CHECK(e.original_chunk >= 0 && (size_t)e.original_chunk < ns);
        prev_end = e.logical_tail();
        bytes_total += e.length;
    }
    FUZZ_CHECK(idx.totalBytes() == bytes_total);

    // Kept as one period or not, the pieces written out (as any change to
    // them does) are the same, and so is how many start at or before any
    // offset near their ends.
    Index out("/vesk-fuzz/container");
    FUZZ_CHECK(out.global_from_stream(&bytes) == 0);
    FUZZ_CHECK(out.truncate(out.lastOffset()) == 0);  // cuts nothing, writes them out
    FUZZ_CHECK(!out.entries().periodic());
    FUZZ_CHECK(out.entries().size() == idx.entries().size());
    for (size_t i = 0; i < out.entries().size(); i++) {
        IndexPiece a = idx.entries().at(i), o = out.entries().at(i);
        FUZZ_CHECK(a.logical == o.logical && a.physical == o.physical && a.length == o.length &&
                   a.chunk == o.chunk && a.id == o.id);
        for (off_t x : {a.logical - 1, a.logical, a.tail() - 1, a.tail()})
            FUZZ_CHECK(idx.entries().firstAfter(x) == out.entries().firstAfter(x));
    }

    static FILE *devnull = fopen("/dev/null", "w");
    FUZZ_CHECK(devnull != nullptr);
    FUZZ_CHECK(idx.debug_from_stream(devnull) == 0);

    void *buf = nullptr;
    size_t len = 0;
    FUZZ_CHECK(idx.global_to_stream(&buf, &len) == 0);
    std::string again(static_cast<char *>(buf), len);
    free(buf);
    FUZZ_CHECK(len == size);
    Index back("/vesk-fuzz/container");
    FUZZ_CHECK(back.global_from_stream(&again) == 0);
    FUZZ_CHECK(back.lastOffset() == idx.lastOffset());
    FUZZ_CHECK(back.entries().size() == idx.entries().size());
    for (auto x = idx.entries().begin(), y = back.entries().begin(); x != idx.entries().end();
         ++x, ++y) {
        FUZZ_CHECK(x->first == y->first);
        FUZZ_CHECK(x->second.length == y->second.length);
        FUZZ_CHECK(x->second.physical_offset == y->second.physical_offset);
        FUZZ_CHECK(x->second.original_chunk == y->second.original_chunk);
    }
    for (size_t i = 0; i < ns; i++) {
        const IndexLogInfo &s = idx.sources()[i], &t = back.sources()[i];
        FUZZ_CHECK(s.size == t.size);
        // The writer keeps room for a terminator; the reader takes a name
        // that fills the whole field.
        if (s.rel.size() < kGlobalNameMax) FUZZ_CHECK(s.rel == t.rel);
        else FUZZ_CHECK(t.rel == s.rel.substr(0, kGlobalNameMax - 1));
    }
}

}  // namespace fuzz_flat_index

inline void vesk_fuzz_flat_index(const uint8_t *data, size_t size) {
    fuzz_flat_index::run(data, size);
}

VESK_FUZZ_ENTRY(vesk_fuzz_flat_index)
