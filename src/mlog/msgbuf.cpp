/*
 * The log's in-memory ring of recent messages, and mlog_bufdig, which finds
 * such a ring in a memory image (a core file, a dump of a process).
 *
 * The header layout is in msgbuf.h. The two magic words are never stored
 * side by side anywhere but in a live header: the second is derived from
 * the first at run time through a value the compiler cannot see through,
 * so neither the code nor its constants hold the 16-byte pattern and a
 * core file offers no false candidates from them.
 */
#include "mlog/msgbuf.h"
#include "mlog.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/mman.h>

namespace {

constexpr uint64_t kMsgbufMagic0 = 0x4d7a1ce93f08b6d3ULL;

uint64_t opaque(uint64_t v) {
    // Keeps the compiler from folding the derived magic word into a
    // constant (or pairing it with the first in a 16-byte literal).
    asm volatile("" : "+r"(v));
    return v;
}

uint64_t magic1() {
    uint64_t m = opaque(kMsgbufMagic0);
    m = (m << 29) | (m >> 35);
    return m ^ opaque(0x2e9b61f7c4a05d39ULL);
}

uint64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ULL + (uint64_t)ts.tv_nsec;
}

/* Orders this thread's stores to the block as written. Only a memory image
 * of the process reads the block without the sink's lock, and the threads
 * are stopped before it is taken, so the compiler's order is all that
 * matters. */
inline void store_order() { asm volatile("" ::: "memory"); }

inline char *ring_of(void *mem) {
    return static_cast<char *>(mem) + sizeof(MsgbufHeader);
}

void seal(MsgbufHeader *h) {
    // The fields must be in memory before the check that vouches for them.
    store_order();
    h->check = mlog_msgbuf_check(h);
    store_order();
}

void append(void *mem, const char *text, size_t len) {
    MsgbufHeader *h = static_cast<MsgbufHeader *>(mem);
    char *ring = ring_of(mem);
    const uint64_t size = h->size;
    if (size == 0 || len == 0) return;

    // Whole lines only: an overlong line keeps its head and its line feed.
    size_t n = len;
    bool cut = false;
    if (n > size) {
        n = (size_t)size - 1;
        cut = true;
    }
    uint64_t pos = h->pos;
    size_t first = n;
    if (first > size - pos) first = (size_t)(size - pos);
    memcpy(ring + pos, text, first);
    memcpy(ring, text + first, n - first);
    pos = (pos + n) % size;
    uint64_t written = n;
    if (cut) {
        ring[pos] = '\n';
        pos = (pos + 1) % size;
        written++;
    }

    store_order();  // the text before the position that covers it
    uint64_t stamp = now_ns();
    if (stamp <= h->stamp) stamp = h->stamp + 1;
    h->pos = pos;
    h->total += written;
    h->stamp = stamp;
    seal(h);
}

class MsgbufSink;

std::mutex g_current_mu;
MsgbufSink *g_current = nullptr;

class MsgbufSink : public MlogSink {
public:
    MsgbufSink(void *block, size_t block_len, uint64_t size)
        : block_(block), block_len_(block_len), size_(size) {
        mlog_msgbuf_format(block_, size_, 0);
        std::lock_guard<std::mutex> g(g_current_mu);
        g_current = this;
    }
    ~MsgbufSink() override {
        {
            std::lock_guard<std::mutex> g(g_current_mu);
            if (g_current == this) g_current = nullptr;
        }
        munmap(block_, block_len_);
    }
    void write(const MlogRecord &rec) override {
        std::lock_guard<std::mutex> g(mu_);
        append(block_, rec.line, rec.line_len);
    }
    const void *block() const { return block_; }
    size_t used_len() const { return sizeof(MsgbufHeader) + (size_t)size_; }

private:
    std::mutex mu_;
    void *block_;
    size_t block_len_;
    uint64_t size_;
};

/* The header at `p`, if it is sound and its ring lies within `avail`
 * bytes from `p`. */
bool sound_header(const unsigned char *p, size_t avail, MsgbufHeader *out) {
    if (avail < sizeof(MsgbufHeader)) return false;
    MsgbufHeader h;
    memcpy(&h, p, sizeof h);
    if (h.magic[0] != kMsgbufMagic0 || h.magic[1] != magic1()) return false;
    if (h.check != mlog_msgbuf_check(&h)) return false;
    if (h.size == 0 || h.size > (uint64_t)kMsgbufMaxSize) return false;
    if (h.pos >= h.size || h.pos != h.total % h.size) return false;
    if (h.size > avail - sizeof(MsgbufHeader)) return false;
    *out = h;
    return true;
}

}  // namespace

uint64_t mlog_msgbuf_check(const MsgbufHeader *h) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(h);
    uint64_t c = 1469598103934665603ULL;
    for (size_t i = 0; i < offsetof(MsgbufHeader, check); i++) {
        c ^= p[i];
        c *= 1099511628211ULL;
    }
    return c;
}

int mlog_msgbuf_format(void *mem, uint64_t size, uint64_t stamp) {
    if (size == 0) return -EINVAL;
    MsgbufHeader *h = static_cast<MsgbufHeader *>(mem);
    h->check = 0;
    h->size = size;
    h->pos = 0;
    h->total = 0;
    h->stamp = stamp ? stamp : now_ns();
    h->magic[1] = magic1();
    h->magic[0] = opaque(kMsgbufMagic0);
    seal(h);
    return 0;
}

void mlog_msgbuf_append(void *mem, const char *text, size_t len) {
    append(mem, text, len);
}

int mlog_msgbuf_current(const void **block, size_t *len) {
    std::lock_guard<std::mutex> g(g_current_mu);
    if (!g_current) return -ENOENT;
    if (block) *block = g_current->block();
    if (len) *len = g_current->used_len();
    return 0;
}

std::unique_ptr<MlogSink> mlog_make_msgbuf_sink(int size) {
    if (size < 0) return nullptr;
    if (size == 0) size = kMsgbufDefaultSize;
    if (size < kMsgbufMinSize) size = kMsgbufMinSize;
    if (size > kMsgbufMaxSize) size = kMsgbufMaxSize;
    // Header and ring in one anonymous mapping: a core file holds them
    // together, in one segment.
    size_t len = sizeof(MsgbufHeader) + (size_t)size;
    void *block = mmap(nullptr, len, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return nullptr;
    return std::unique_ptr<MlogSink>(new MsgbufSink(block, len, (uint64_t)size));
}

/*
 * Scans every byte offset of the image for a sound header. Of several, the
 * one with the greatest stamp (the most recently written) wins; of equal
 * stamps, the last in the image.
 */
extern "C" int mlog_bufdig(void *image, int len, char **b1, int *b1l, char **b2,
                           int *b2l) {
    if (!image || len <= 0) return -EINVAL;
    const unsigned char *base = static_cast<const unsigned char *>(image);
    const size_t n = (size_t)len;
    unsigned char lead;
    {
        uint64_t m = kMsgbufMagic0;
        memcpy(&lead, &m, 1);
    }

    bool found = false;
    MsgbufHeader best{};
    size_t best_off = 0;
    size_t off = 0;
    while (off + sizeof(MsgbufHeader) <= n) {
        const void *hit = memchr(base + off, lead, n - sizeof(MsgbufHeader) + 1 - off);
        if (!hit) break;
        off = (size_t)(static_cast<const unsigned char *>(hit) - base);
        MsgbufHeader h;
        if (sound_header(base + off, n - off, &h) && (!found || h.stamp >= best.stamp)) {
            found = true;
            best = h;
            best_off = off;
        }
        off++;
    }
    if (!found) return -ENOENT;

    char *ring = const_cast<char *>(reinterpret_cast<const char *>(base + best_off)) +
                 sizeof(MsgbufHeader);
    const size_t size = (size_t)best.size, pos = (size_t)best.pos;
    char *p1, *p2 = nullptr;
    size_t l1, l2 = 0;
    if (best.total <= best.size) {
        // Nothing lost yet: the text runs from the start of the ring.
        p1 = ring;
        l1 = best.total == best.size ? size : pos;
    } else {
        // Lost data: the oldest line may be a tail; start after its end.
        p1 = ring + pos;
        l1 = size - pos;
        p2 = ring;
        l2 = pos;
        void *nl = memchr(p1, '\n', l1);
        if (nl) {
            size_t skip = (size_t)(static_cast<char *>(nl) - p1) + 1;
            p1 += skip;
            l1 -= skip;
        } else {
            l1 = 0;
            nl = memchr(p2, '\n', l2);
            size_t skip = nl ? (size_t)(static_cast<char *>(nl) - p2) + 1 : l2;
            p2 += skip;
            l2 -= skip;
        }
        if (l1 == 0) {
            p1 = p2;
            l1 = l2;
            p2 = nullptr;
            l2 = 0;
        }
    }
    if (b1) *b1 = p1;
    if (b1l) *b1l = (int)l1;
    if (b2) *b2 = l2 ? p2 : nullptr;
    if (b2l) *b2l = (int)l2;
    return 0;
}
