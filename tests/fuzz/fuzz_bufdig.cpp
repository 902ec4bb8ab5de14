// mlog_bufdig over arbitrary images.
//
// Input, first byte's low bit clear: the rest is the image, searched as it
// is.  Bit set: a ring is made inside the image with the log's own writer;
// the input gives the bytes before it, its size, the bytes after it, a
// header byte and mask for bit 1 (change that header byte afterwards; bit
// 2: redo the check value too), then the pieces appended (a length byte
// and the bytes, each).  Bit 3 puts an older ring, with a size and a line
// count from the input, at the front.
//
// The image sits read-only at the very end of its mapping, right before an
// inaccessible page, so a write into it or a read past its end faults even
// without a sanitizer.  Checked: a result of 0 only when some header with
// both magic words and a matching check exists; the pieces lie inside the
// ring of such a header; and for a ring made here (and nothing else in the
// image that looks like a header) the text is exactly what a plain model
// of the ring says survives.
#include "fuzz/fuzz_common.h"
#include "mlog.h"
#include "mlog/msgbuf.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz_bufdig {

constexpr size_t kHdr = sizeof(MsgbufHeader);

// The two magic words, learnt from the writer itself.
const MsgbufHeader &fresh_header() {
    static MsgbufHeader h = [] {
        std::vector<unsigned char> mem(kHdr + 1);
        mlog_msgbuf_format(mem.data(), 1, 1);
        MsgbufHeader x;
        memcpy(&x, mem.data(), kHdr);
        return x;
    }();
    return h;
}

// Offsets of everything that carries both magic words and a matching
// check: a superset of what the finder may accept.
std::vector<size_t> candidates(const unsigned char *img, size_t n) {
    std::vector<size_t> out;
    const MsgbufHeader &ref = fresh_header();
    for (size_t off = 0; off + kHdr <= n; off++) {
        MsgbufHeader h;
        memcpy(&h, img + off, kHdr);
        if (h.magic[0] == ref.magic[0] && h.magic[1] == ref.magic[1] &&
            h.check == mlog_msgbuf_check(&h))
            out.push_back(off);
    }
    return out;
}

bool inside(const char *p, size_t len, const unsigned char *lo, size_t span) {
    const unsigned char *q = reinterpret_cast<const unsigned char *>(p);
    return q >= lo && len <= span && (size_t)(q - lo) <= span - len;
}

// What the finder should return for a ring that saw the bytes `log`.
std::string model_text(const std::string &log, size_t size) {
    if (log.size() <= size) return log;
    std::string tail = log.substr(log.size() - size);
    size_t nl = tail.find('\n');
    return nl == std::string::npos ? std::string() : tail.substr(nl + 1);
}

class Image {
public:
    explicit Image(const std::string &bytes) {
        long page = sysconf(_SC_PAGESIZE);
        size_t n = bytes.size();
        data_pages_ = (n + (size_t)page - 1) / (size_t)page;
        if (data_pages_ == 0) data_pages_ = 1;
        map_len_ = (data_pages_ + 1) * (size_t)page;
        void *m = mmap(nullptr, map_len_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        FUZZ_CHECK(m != MAP_FAILED);
        map_ = static_cast<unsigned char *>(m);
        base_ = map_ + data_pages_ * (size_t)page - n;
        memcpy(base_, bytes.data(), n);
        FUZZ_CHECK(mprotect(map_, data_pages_ * (size_t)page, PROT_READ) == 0);
        FUZZ_CHECK(mprotect(map_ + data_pages_ * (size_t)page, (size_t)page, PROT_NONE) == 0);
    }
    ~Image() { munmap(map_, map_len_); }
    unsigned char *base() const { return base_; }

private:
    unsigned char *map_ = nullptr;
    unsigned char *base_ = nullptr;
    size_t map_len_ = 0;
    size_t data_pages_ = 0;
};

void run(const uint8_t *data, size_t size) {
    vesk_fuzz::Reader in(data, size);
    uint8_t mode = in.u8();
    std::string img;
    bool planted = false, exact = false;
    size_t ring_off = 0, ring_size = 0;
    std::string log;

    if (!(mode & 1)) {
        img = in.rest();
    } else {
        size_t lead = in.u8();
        ring_size = 1 + in.u32() % 600;
        size_t trail = in.u8() % 64;
        size_t tweak_at = in.u8() % kHdr;
        uint8_t tweak = (uint8_t)(in.u8() | 1);
        if (mode & 8) {
            // An older ring first: the finder must prefer the newer one,
            // whose stamp is later (or equal, and it lies later).
            size_t old_size = 1 + in.u8() % 100;
            std::vector<uint64_t> block((kHdr + old_size + 7) / 8);
            unsigned char *mem = reinterpret_cast<unsigned char *>(block.data());
            mlog_msgbuf_format(mem, old_size, 0);
            for (int k = in.u8() % 8; k > 0; k--) mlog_msgbuf_append(mem, "older line\n", 11);
            img.assign(reinterpret_cast<char *>(mem), kHdr + old_size);
        }
        size_t filled = img.size() + lead;
        img += in.bytes(lead);
        img.resize(filled, '\0');
        ring_off = img.size();
        img.resize(ring_off + kHdr + ring_size + trail, '\0');
        // The writer wants an aligned block, as its live mapping is; the
        // finder takes the ring wherever it lies, so it is copied in.
        std::vector<uint64_t> block((kHdr + ring_size + 7) / 8);
        unsigned char *mem = reinterpret_cast<unsigned char *>(block.data());
        mlog_msgbuf_format(mem, ring_size, 0);
        for (int k = 0; k < 64 && in.left() > 0; k++) {
            size_t len = in.u8();
            if (len & 0x80) len = (len & 0x7f) * 16;  // now and then a long one
            std::string piece = in.bytes(len);
            mlog_msgbuf_append(mem, piece.data(), piece.size());
            if (piece.size() > ring_size)  // whole lines only: head and line feed
                piece = piece.substr(0, ring_size - 1) + "\n";
            log += piece;
        }
        planted = true;
        exact = true;
        if (mode & 2) {
            // Change one header byte; redo the check, or leave it stale.
            mem[tweak_at] ^= tweak;
            if (mode & 4) {
                MsgbufHeader h;
                memcpy(&h, mem, kHdr);
                h.check = mlog_msgbuf_check(&h);
                memcpy(mem, &h, kHdr);
            }
            exact = false;
        }
        memcpy(&img[ring_off], mem, kHdr + ring_size);
    }
    if (img.empty()) {
        char *b1, *b2;
        int l1, l2;
        FUZZ_CHECK(mlog_bufdig(nullptr, 0, &b1, &l1, &b2, &l2) < 0);
        return;
    }

    Image image(img);
    const unsigned char *base = image.base();
    const size_t n = img.size();
    char *b1 = nullptr, *b2 = nullptr;
    int l1 = -1, l2 = -1;
    int r = mlog_bufdig(image.base(), (int)n, &b1, &l1, &b2, &l2);

    std::vector<size_t> cands = candidates(base, n);
    if (exact) {
        FUZZ_CHECK(std::find(cands.begin(), cands.end(), ring_off) != cands.end());
        FUZZ_CHECK(r == 0);
    }
    if (r != 0) {
        FUZZ_CHECK(r < 0);
        return;
    }
    FUZZ_CHECK(!cands.empty());
    FUZZ_CHECK(l1 >= 0 && l2 >= 0);
    FUZZ_CHECK((l2 == 0) == (b2 == nullptr));
    FUZZ_CHECK(b1 != nullptr);

    // Both pieces inside the ring of one header that could be sound.
    bool in_one_ring = false;
    for (size_t off : cands) {
        MsgbufHeader h;
        memcpy(&h, base + off, kHdr);
        if (h.size > n - off - kHdr) continue;
        const unsigned char *ring = base + off + kHdr;
        if ((uint64_t)l1 + (uint64_t)l2 > h.size) continue;
        if (!inside(b1, (size_t)l1, ring, (size_t)h.size)) continue;
        if (l2 && !inside(b2, (size_t)l2, ring, (size_t)h.size)) continue;
        in_one_ring = true;
        break;
    }
    FUZZ_CHECK(in_one_ring);

    if (planted && exact && cands.size() == ((mode & 8) ? 2u : 1u)) {
        std::string got(b1, (size_t)l1);
        if (l2) got.append(b2, (size_t)l2);
        FUZZ_CHECK(got == model_text(log, ring_size));
    }
}

}  // namespace fuzz_bufdig

inline void vesk_fuzz_bufdig(const uint8_t *data, size_t size) { fuzz_bufdig::run(data, size); }

VESK_FUZZ_ENTRY(vesk_fuzz_bufdig)
