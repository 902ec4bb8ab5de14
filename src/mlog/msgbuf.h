/*
 * The log's in-memory ring of recent messages.
 *
 * One block holds a header and, right after it, the ring of `size` bytes:
 *
 *     offset  field
 *          0  magic[0]   kMsgbufMagic0
 *          8  magic[1]   derived from magic[0] at run time (see msgbuf.cpp)
 *         16  size       bytes in the ring
 *         24  pos        where the next byte goes; always total % size
 *         32  total      bytes ever written into the ring
 *         40  stamp      realtime nanoseconds of the last write, strictly
 *                        increasing within one ring
 *         48  check      FNV-1a over bytes 0..47, see mlog_msgbuf_check()
 *         56  ring bytes
 *
 * All fields are 64-bit in the writer's byte order. The writer stores the
 * text first, then pos, total and stamp, then the check value, so a memory
 * image taken at any moment holds either the previous or the new header
 * state (or, for a few instructions, a header whose check does not match,
 * which the finder then skips).
 *
 * Only whole lines are written: a line longer than the ring keeps its
 * first size-1 bytes and its line feed. Once more than `size` bytes have
 * been written the oldest line may have lost its beginning, and the finder
 * drops the text up to the first line feed after `pos`.
 *
 * The functions below other than the sink maker are for tests, which
 * build images by hand and look at the live ring.
 */
#ifndef VESK_MLOG_MSGBUF_H
#define VESK_MLOG_MSGBUF_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "mlog/mlog_sink.h"

struct MsgbufHeader {
    uint64_t magic[2];
    uint64_t size;
    uint64_t pos;
    uint64_t total;
    uint64_t stamp;
    uint64_t check;
};

/* Ring size when mlog_options.msgbuf_size is 0; smaller requests than
 * kMsgbufMinSize are raised to it, larger than kMsgbufMaxSize lowered. */
constexpr int kMsgbufDefaultSize = 256 * 1024;
constexpr int kMsgbufMinSize = 64;
constexpr int kMsgbufMaxSize = 1 << 30;

/* Null when size < 0 or the block cannot be allocated. */
std::unique_ptr<MlogSink> mlog_make_msgbuf_sink(int size);

/* The check value a sound header carries. */
uint64_t mlog_msgbuf_check(const MsgbufHeader *h);

/* Writes an empty ring's header at `mem`, which must hold
 * sizeof(MsgbufHeader) + size bytes; `stamp` as given (0: the current
 * time). Returns 0, or -EINVAL for size 0. */
int mlog_msgbuf_format(void *mem, uint64_t size, uint64_t stamp);

/* Appends `len` bytes to the ring formatted at `mem`, as the sink does
 * with each line (no lock: one writer at a time). */
void mlog_msgbuf_append(void *mem, const char *text, size_t len);

/* The open log's block (header and ring) and its length: 0, or -ENOENT
 * when the log has no ring. The block stays valid until the log is closed
 * or reopened. */
int mlog_msgbuf_current(const void **block, size_t *len);

#endif
