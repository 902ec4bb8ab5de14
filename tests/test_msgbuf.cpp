/* The log's in-memory ring and mlog_bufdig, which finds it in an image. */
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "mlog.h"
#include "mlog/msgbuf.h"
#include "vesk_test_util.h"

namespace {

const size_t H = sizeof(MsgbufHeader);

struct Found {
    int rc = 0;
    std::string p1, p2;
    char *b1 = nullptr, *b2 = nullptr;
    int b1l = -1, b2l = -1;
    std::string text() const { return p1 + p2; }
};

Found dig(std::vector<char> &img) {
    Found f;
    f.rc = mlog_bufdig(img.data(), (int)img.size(), &f.b1, &f.b1l, &f.b2, &f.b2l);
    if (f.rc >= 0) {
        // Every piece lies inside the image.
        const char *lo = img.data(), *hi = img.data() + img.size();
        EXPECT_TRUE(f.b1 >= lo && f.b1 + f.b1l <= hi);
        f.p1.assign(f.b1, (size_t)f.b1l);
        if (f.b2l) {
            EXPECT_TRUE(f.b2 >= lo && f.b2 + f.b2l <= hi);
            f.p2.assign(f.b2, (size_t)f.b2l);
        }
    }
    return f;
}

/* A ring formatted in aligned memory, to be copied into images. */
struct Ring {
    std::vector<uint64_t> words;
    size_t bytes_len;  // as formatted, whatever the fields say later
    explicit Ring(uint64_t size, uint64_t stamp = 0)
        : words((H + size + 7) / 8), bytes_len(H + size) {
        EXPECT_EQ(mlog_msgbuf_format(words.data(), size, stamp), 0);
    }
    Ring &add(const std::string &s) {
        mlog_msgbuf_append(words.data(), s.data(), s.size());
        return *this;
    }
    MsgbufHeader *hdr() { return reinterpret_cast<MsgbufHeader *>(words.data()); }
    const char *bytes() const { return reinterpret_cast<const char *>(words.data()); }
    size_t len() const { return bytes_len; }
    void reseal() { hdr()->check = mlog_msgbuf_check(hdr()); }
    void put(std::vector<char> &img, size_t off) { memcpy(img.data() + off, bytes(), len()); }
};

std::vector<char> garbage(size_t n, unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::vector<char> v(n);
    for (char &c : v) c = (char)(rng() & 0xff);
    return v;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

/* Copies the open log's live block into an image, behind and before noise. */
std::vector<char> live_image(size_t before = 1000, size_t after = 333) {
    const void *block = nullptr;
    size_t len = 0;
    EXPECT_EQ(mlog_msgbuf_current(&block, &len), 0);
    std::vector<char> img = garbage(before + len + after);
    if (block) memcpy(img.data() + before, block, len);
    return img;
}

class MsgbufLog : public ::testing::Test {
protected:
    void TearDown() override { mlog_close(); }
    void open_log(int size, const char *logfile = nullptr) {
        mlog_options o{};
        o.default_mask = MLOG_MASK_INFO;
        o.msgbuf_size = size;
        o.logfile = logfile;
        ASSERT_EQ(mlog_open("ringtest", &o), 0);
    }
};

// --- the live ring ---------------------------------------------------------

TEST_F(MsgbufLog, LiveRingHoldsExactlyTheLoggedLines) {
    vesk_test::TempDir dir;
    std::string file = dir.sub("log");
    open_log(4096, file.c_str());
    mlog(MLOG_INFO | VESK_FAC_FLATFS, "first %d", 1);
    mlog(MLOG_ERR, "second %s", "two");
    std::vector<char> img = live_image();
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.b2l, 0);
    // The file channel received the very same lines.
    EXPECT_EQ(f.text(), vesk_test::read_file(file));
    std::vector<std::string> l = lines_of(f.text());
    ASSERT_EQ(l.size(), 2u);
    EXPECT_NE(l[0].find("ringtest["), std::string::npos);
    EXPECT_NE(l[0].find("FFS INFO: first 1"), std::string::npos);
    EXPECT_NE(l[1].find("VESK ERR: second two"), std::string::npos);
}

TEST_F(MsgbufLog, LiveRingKeepsTheNewestWholeLinesAfterWrapping) {
    vesk_test::TempDir dir;
    std::string file = dir.sub("log");
    open_log(300, file.c_str());
    for (int i = 0; i < 57; i++) mlog(MLOG_INFO, "message number %d", i);
    std::vector<char> img = live_image();
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    std::string all = vesk_test::read_file(file);
    std::string text = f.text();
    ASSERT_FALSE(text.empty());
    // A suffix of everything logged, beginning at a line start.
    ASSERT_LE(text.size(), 300u);
    ASSERT_EQ(all.compare(all.size() - text.size(), text.size(), text), 0);
    EXPECT_EQ(all[all.size() - text.size() - 1], '\n');
    // At most the one oldest, damaged line was given up.
    size_t line_len = lines_of(all).back().size() + 1;
    EXPECT_GT(text.size(), 300u - 2 * line_len);
    EXPECT_NE(lines_of(text).back().find("message number 56"), std::string::npos);
}

TEST_F(MsgbufLog, RingSizeDefaultsAndNone) {
    open_log(0);
    const void *block = nullptr;
    size_t len = 0;
    ASSERT_EQ(mlog_msgbuf_current(&block, &len), 0);
    EXPECT_EQ(len, H + (size_t)kMsgbufDefaultSize);

    open_log(5);  // raised to the least size
    ASSERT_EQ(mlog_msgbuf_current(&block, &len), 0);
    EXPECT_EQ(len, H + (size_t)kMsgbufMinSize);

    open_log(-1);
    EXPECT_EQ(mlog_msgbuf_current(&block, &len), -ENOENT);
    mlog_close();
    EXPECT_EQ(mlog_msgbuf_current(&block, &len), -ENOENT);
}

TEST_F(MsgbufLog, ManyThreadsLeaveNoTornLines) {
    const int kThreads = 8, kEach = 3000;
    open_log(64 * 1024);
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; t++)
        ts.emplace_back([t] {
            for (int i = 0; i < kEach; i++)
                mlog(MLOG_INFO, "thread %d seq %d %.*s|", t, i, (i * 7 + t) % 40,
                     "........................................");
        });
    for (auto &t : ts) t.join();
    std::vector<char> img = live_image();
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    std::string text = f.text();
    EXPECT_GT(text.size(), 60u * 1024);
    ASSERT_EQ(text.back(), '\n');
    std::map<int, int> last;
    size_t n = 0;
    for (const std::string &l : lines_of(text)) {
        size_t at = l.find("VESK INFO: thread ");
        ASSERT_NE(at, std::string::npos) << l;
        int t = -1, i = -1, dots = -1;
        char bar = 0;
        ASSERT_EQ(sscanf(l.c_str() + at, "VESK INFO: thread %d seq %d %n", &t, &i, &dots), 2) << l;
        std::string tail = l.substr(at + (size_t)dots);
        bar = tail.empty() ? 0 : tail.back();
        EXPECT_EQ(bar, '|') << l;
        EXPECT_EQ(tail.size(), (size_t)((i * 7 + t) % 40) + 1) << l;
        // Each thread's lines follow one another without a gap.
        if (last.count(t)) {
            EXPECT_EQ(i, last[t] + 1) << l;
        }
        last[t] = i;
        n++;
    }
    EXPECT_GT(n, 500u);
    // The newest line is some thread's last one.
    bool some_last = false;
    for (auto &kv : last) some_last |= kv.second == kEach - 1;
    EXPECT_TRUE(some_last);
}

// --- images built by hand ---------------------------------------------------

TEST(Msgbufdig, CleanRingIsOnePiece) {
    Ring r(64);
    r.add("one\n").add("two two\n");
    std::vector<char> img = garbage(4096);
    r.put(img, 1001);  // any offset, aligned or not
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.p1, "one\ntwo two\n");
    EXPECT_EQ(f.b1, img.data() + 1001 + H);
    EXPECT_EQ(f.b2l, 0);

    // An empty ring is found, with no text.
    Ring e(64);
    std::vector<char> img2 = garbage(512, 3);
    e.put(img2, 8);
    Found g = dig(img2);
    EXPECT_EQ(g.rc, 0);
    EXPECT_EQ(g.b1l, 0);
    EXPECT_EQ(g.b2l, 0);
}

TEST(Msgbufdig, ExactlyFullRingLosesNothing) {
    Ring r(16);
    r.add("abcdefg\n").add("hijklmn\n");  // 16 bytes: position back at 0
    EXPECT_EQ(r.hdr()->pos, 0u);
    std::vector<char> img(r.len());
    r.put(img, 0);
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.p1, "abcdefg\nhijklmn\n");
    EXPECT_EQ(f.b2l, 0);
}

TEST(Msgbufdig, WrappedRingComesInWritingOrder) {
    Ring r(16);
    // stream "aaaa\nbbbbb\ncc\ndddd\n": 19 bytes, the ring keeps the last 16
    r.add("aaaa\n").add("bbbbb\n").add("cc\n").add("dddd\n");
    EXPECT_EQ(r.hdr()->pos, 3u);
    EXPECT_EQ(r.hdr()->total, 19u);
    std::vector<char> img = garbage(200);
    r.put(img, 40);
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    // The damaged "a\n" is dropped; "dd" + "dd\n" straddle the end.
    EXPECT_EQ(f.p1, "bbbbb\ncc\ndd");
    EXPECT_EQ(f.p2, "dd\n");
    EXPECT_EQ(f.b1, img.data() + 40 + H + 5);
    EXPECT_EQ(f.b2, img.data() + 40 + H);
}

TEST(Msgbufdig, DamagedOldestLineMayReachIntoTheSecondPiece) {
    // The oldest line covers the whole tail of the ring and runs on past
    // its start: only what follows that line's end is text.
    Ring r(16);
    r.add("\n").add(std::string(15, 'a') + "\n").add("b\n");
    std::vector<char> img(r.len());
    r.put(img, 0);
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.p1, "b\n");
    EXPECT_EQ(f.b2l, 0);

    // Its line feed the last byte of the tail: one piece, from the start.
    Ring s(16);
    s.add(std::string(40, 'x') + "\n").add("yy\n");  // overlong: head kept
    std::vector<char> img2(s.len());
    s.put(img2, 0);
    Found g = dig(img2);
    ASSERT_EQ(g.rc, 0);
    EXPECT_EQ(g.p1, "yy\n");
    EXPECT_EQ(g.b2l, 0);
}

TEST(Msgbufdig, OverlongLineKeepsItsHeadAndLineFeed) {
    Ring r(16);
    r.add(std::string(10, 'q') + std::string(20, 'z') + "\n");
    std::vector<char> img(r.len());
    r.put(img, 0);
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.text(), std::string(10, 'q') + std::string(5, 'z') + "\n");
}

TEST(Msgbufdig, CorruptCandidateIsSkipped) {
    Ring good(64, 100), bad(64, 500);
    good.add("good line\n");
    bad.add("bad line\n");
    bad.hdr()->pos++;  // not resealed: the check no longer matches
    std::vector<char> img = garbage(1024);
    good.put(img, 64);
    bad.put(img, 512);
    Found f = dig(img);
    ASSERT_EQ(f.rc, 0);
    EXPECT_EQ(f.text(), "good line\n");

    // Alone, the corrupt one is no buffer at all.
    std::vector<char> img2 = garbage(1024);
    bad.put(img2, 512);
    EXPECT_LT(dig(img2).rc, 0);
}

TEST(Msgbufdig, InconsistentFieldsAreRejectedEvenWithAMatchingCheck) {
    auto rejected = [](void (*spoil)(MsgbufHeader *)) {
        Ring r(64);
        r.add("text\n");
        spoil(r.hdr());
        r.reseal();
        std::vector<char> img = garbage(512);
        r.put(img, 16);
        return dig(img).rc < 0;
    };
    EXPECT_TRUE(rejected([](MsgbufHeader *h) { h->pos = h->size; }));
    EXPECT_TRUE(rejected([](MsgbufHeader *h) { h->pos = 3; }));  // total is 5
    EXPECT_TRUE(rejected([](MsgbufHeader *h) { h->size = 0; h->pos = 0; h->total = 0; }));
    EXPECT_TRUE(rejected([](MsgbufHeader *h) { h->size = 1ULL << 40; }));
    EXPECT_TRUE(rejected([](MsgbufHeader *h) { h->magic[1] ^= 1; }));
    // The untouched ring passes the same test.
    EXPECT_FALSE(rejected([](MsgbufHeader *) {}));
}

TEST(Msgbufdig, NewestOfSeveralSoundBuffersWins) {
    Ring older(64, 1000), newer(64, 2000);
    older.add("older\n");
    newer.add("newer\n");
    for (bool newer_first : {true, false}) {
        std::vector<char> img = garbage(2048);
        (newer_first ? newer : older).put(img, 100);
        (newer_first ? older : newer).put(img, 900);
        EXPECT_EQ(dig(img).text(), "newer\n") << newer_first;
    }
    // Every write moves the stamp on, even within one clock tick.
    uint64_t s = older.hdr()->stamp;
    older.add("x\n");
    EXPECT_GT(older.hdr()->stamp, s);
}

TEST(Msgbufdig, HeaderAtTheVeryEnd) {
    Ring r(16);
    r.add("abc\n");
    // Ring cut off by the end of the image.
    std::vector<char> img = garbage(300);
    memcpy(img.data() + 300 - H - 8, r.bytes(), H + 8);
    EXPECT_LT(dig(img).rc, 0);
    // Header itself cut off.
    std::vector<char> img2 = garbage(300);
    memcpy(img2.data() + 300 - H + 8, r.bytes(), H - 8);
    EXPECT_LT(dig(img2).rc, 0);
    // Whole ring ending exactly at the image end: found.
    std::vector<char> img3 = garbage(300);
    r.put(img3, 300 - r.len());
    EXPECT_EQ(dig(img3).text(), "abc\n");
    // A complete header with a ring of size 0 is no buffer: it could hold
    // nothing and the writer never makes one.
    MsgbufHeader z = *r.hdr();
    z.size = z.pos = z.total = 0;
    z.check = mlog_msgbuf_check(&z);
    std::vector<char> img4 = garbage(300);
    memcpy(img4.data() + 300 - H, &z, H);
    EXPECT_LT(dig(img4).rc, 0);
}

TEST(Msgbufdig, NoBufferInNoiseOrEmptyImages) {
    std::vector<char> noise = garbage(4 << 20, 12345);
    EXPECT_EQ(dig(noise).rc, -ENOENT);
    std::vector<char> zero(1 << 16, 0);
    EXPECT_LT(dig(zero).rc, 0);

    char *b1, *b2;
    int l1, l2;
    char c = 0;
    EXPECT_LT(mlog_bufdig(&c, 0, &b1, &l1, &b2, &l2), 0);
    EXPECT_LT(mlog_bufdig(&c, -5, &b1, &l1, &b2, &l2), 0);
    EXPECT_LT(mlog_bufdig(nullptr, 100, &b1, &l1, &b2, &l2), 0);

    // The same noise with a ring inside it.
    Ring r(128);
    r.add("needle\n");
    r.put(noise, (2 << 20) + 3);
    EXPECT_EQ(dig(noise).text(), "needle\n");
}

TEST(Msgbufdig, ReadsOnlyInsideAndNeverWrites) {
    // The image ends where an inaccessible page begins and is read-only: a
    // read past its end or any write would fault.
    long pg = sysconf(_SC_PAGESIZE);
    char *m = static_cast<char *>(mmap(nullptr, 3 * pg, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(m, MAP_FAILED);
    Ring r(64);
    r.add("inside\n");
    char *img = m + pg;
    memset(img, 0x5a, pg);
    // One sound ring, and a header right at the end whose ring would lie
    // beyond the image.
    memcpy(img + 100, r.bytes(), r.len());
    Ring big(4096);
    memcpy(img + pg - H, big.bytes(), H);
    ASSERT_EQ(mprotect(m, 3 * pg, PROT_NONE), 0);
    ASSERT_EQ(mprotect(img, pg, PROT_READ), 0);
    char *b1, *b2;
    int l1 = -1, l2 = -1;
    ASSERT_EQ(mlog_bufdig(img, (int)pg, &b1, &l1, &b2, &l2), 0);
    EXPECT_EQ(std::string(b1, (size_t)l1), "inside\n");
    EXPECT_EQ(l2, 0);
    munmap(m, 3 * pg);
}

TEST(Msgbufdig, LibraryHoldsNoCopyOfTheMagicPair) {
    // A core file maps the library's code and constants: they must not
    // offer a header's two magic words side by side.
    Ring r(16);
    std::string pair(r.bytes(), 16);
    std::string lib = vesk_test::read_file(std::string(VESK_BINARY_DIR) + "/src/libvesk.so.0");
    ASSERT_GT(lib.size(), 10000u);
    EXPECT_EQ(lib.find(pair), std::string::npos);
    EXPECT_NE(lib.find(pair.substr(0, 8)), std::string::npos);  // the search works
}

}  // namespace
