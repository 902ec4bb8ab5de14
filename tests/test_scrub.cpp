/* Checksums and the scrub: damage of every kind in one writer's logs is
 * found and named by vesk_scrub and vesk_fsck, never read back as wrong
 * bytes, and a repair leaves a file that reads without error, the other
 * writer's bytes intact. Containers of the previous format still read. */
#include "container_test_util.h"
#include "run_program.h"

#include <cctype>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#include "container/Format.h"
#include "container/IndexRecord.h"
#include "container/Layout.h"
#include "util/Crc32c.h"
#include "Util.h"
#include "vesk.h"

using namespace vesk_test;

namespace {

class Scrub : public ContainerMount {
protected:
    void SetUp() override {
        ContainerMount::SetUp();
        if (HasFatalFailure()) return;
        victim = name_on(0, "victim");
        // Writer a: three writes at 0, 1000, 2000; writer b: one at 3000.
        for (int i = 0; i < 3; i++) {
            std::string d = pattern(1000, (unsigned)i + 1);
            write_file_at(victim, d, 1000 * i, O_WRONLY | O_CREAT, wa);
            want += d;
        }
        std::string d = pattern(500, 9);
        write_file_at(victim, d, 3000, O_WRONLY, wb);
        want += d;
        ASSERT_EQ(want, read_all(victim));
        dir = backend(victim);
        hd = vesk_cont::hostdir(dir, vesk_cont::host());
    }
    std::string index_of(pid_t p) const { return hd + "/index." + std::to_string(p); }
    std::string data_of(pid_t p) const { return hd + "/data." + std::to_string(p); }
    static off_t record(int i) {
        return vesk_fmt::kIndexHeaderSize + (off_t)i * vesk_fmt::kIndexRecordSize;
    }
    static void flip(const std::string &file, off_t at, unsigned char mask) {
        int f = ::open(file.c_str(), O_RDWR);
        ASSERT_GE(f, 0) << file;
        unsigned char c;
        ASSERT_EQ(1, pread(f, &c, 1, at));
        c ^= mask;
        ASSERT_EQ(1, pwrite(f, &c, 1, at));
        ::close(f);
    }
    // What a reader gets: the content, or "error <n>".
    std::string outcome() {
        int r = 0;
        Vesk_fd *fd = open(victim, O_RDONLY, getpid(), 0, &r);
        if (!fd) return "error " + std::to_string(r);
        std::string buf(want.size() + 100, '\0');
        ssize_t n = fd->read(&buf[0], buf.size(), 0);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        if (n < 0) return "error " + std::to_string(n);
        buf.resize((size_t)n);
        return buf;
    }
    // What a reader gets of [off, off + n): the bytes, or "error <n>".
    std::string read_range(off_t off, size_t n) {
        int r = 0;
        Vesk_fd *fd = open(victim, O_RDONLY, getpid(), 0, &r);
        if (!fd) return "error " + std::to_string(r);
        std::string buf(n, '\0');
        ssize_t got = fd->read(&buf[0], n, off);
        fd->close(getpid(), getuid(), O_RDONLY, nullptr);
        delete fd;
        if (got < 0) return "error " + std::to_string(got);
        buf.resize((size_t)got);
        return buf;
    }
    // Only [1000, 2000), writer a's second write, is lost: a read there is
    // -EIO, a read from 0 stops before it, the rest reads as written.
    void only_second_write_lost() {
        EXPECT_EQ(want.substr(0, 1000), outcome());
        EXPECT_EQ("error " + std::to_string(-EIO), read_range(1000, 10));
        EXPECT_EQ("error " + std::to_string(-EIO), read_range(1999, 10));
        EXPECT_EQ(want.substr(2000), read_range(2000, want.size()));
        EXPECT_EQ((off_t)want.size(), size_of(victim));
    }
    std::vector<Vesk_scrub_problem> scrub(bool repair = false) {
        std::vector<Vesk_scrub_problem> p;
        EXPECT_EQ(0, vesk_scrub(L(victim).c_str(), repair, p, nullptr));
        return p;
    }
    static bool names(const std::vector<Vesk_scrub_problem> &ps, const std::string &part,
                      const std::string &what) {
        for (const auto &p : ps)
            if (p.part.find(part) != std::string::npos && p.what.find(what) != std::string::npos)
                return true;
        return false;
    }
    std::string rel_index(pid_t p) const {
        return "hostdir." + vesk_cont::host() + "/index." + std::to_string(p);
    }

    const pid_t wa = 7200001, wb = 7200002;
    std::string victim, dir, hd, want;
};

TEST_F(Scrub, SoundFileIsClean) {
    uint64_t bytes = 0;
    std::vector<Vesk_scrub_problem> p;
    ASSERT_EQ(0, vesk_scrub(L(victim).c_str(), 0, p, &bytes));
    EXPECT_TRUE(p.empty()) << p[0].part << ": " << p[0].what;
    EXPECT_EQ(want.size(), bytes);
    const char *v = nullptr;
    ASSERT_EQ(0, vesk_file_version(L(victim).c_str(), &v));
    EXPECT_STREQ(VESK_CONTAINER_VERSION_TEXT, v);
}

// Every single-bit flip in a record or a header is caught, and loses no
// more than it must: a flipped record loses the range it describes (one
// changed byte is undone to find it), every other byte reads as written;
// a flipped header loses nothing, its records carry checksums of their
// own. The scrub names the log either way.
TEST_F(Scrub, EveryFlippedByteOfARecordOrHeaderIsCaught) {
    const std::string log = index_of(wa);
    const std::string saved = read_file(log);
    for (size_t k = 0; k < vesk_fmt::kIndexRecordSize; k++) {
        SCOPED_TRACE("record byte " + std::to_string(k));
        flip(log, record(1) + (off_t)k, (unsigned char)(1u << (k % 8)));
        only_second_write_lost();
        EXPECT_TRUE(names(scrub(), rel_index(wa), ""));
        write_file(log, saved);
    }
    for (size_t k = 0; k < vesk_fmt::kIndexHeaderSize; k++) {
        SCOPED_TRACE("header byte " + std::to_string(k));
        flip(log, (off_t)k, (unsigned char)(1u << (k % 8)));
        EXPECT_EQ(want, outcome());
        EXPECT_TRUE(names(scrub(), rel_index(wa), ""));
        write_file(log, saved);
    }
    EXPECT_TRUE(scrub().empty());
}

// A crash after the log grew but before its blocks were written leaves a
// tail of zeros: no zero record has a right checksum nor one byte that
// would mend it, so each loses all its writer may have written, and no
// more; the repair sets them aside and every byte reads again. (Telling
// that no byte mends a record is a table lookup: a tail of this size
// used to cost seconds at every open.)
TEST_F(Scrub, ZeroTailAfterACrashLosesItsWritersRangeOnly) {
    const size_t n = 1024;
    {
        int f = ::open(index_of(wa).c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(f, 0);
        std::string zeros(n * vesk_fmt::kIndexRecordSize, '\0');
        ASSERT_EQ((ssize_t)zeros.size(), ::write(f, zeros.data(), zeros.size()));
        ::close(f);
    }
    EXPECT_EQ("error " + std::to_string(-EIO), read_range(0, 10));
    EXPECT_EQ("error " + std::to_string(-EIO), read_range(2999, 1));
    EXPECT_EQ(want.substr(3000), read_range(3000, 1000));
    EXPECT_EQ((off_t)want.size(), size_of(victim));
    size_t named = 0;
    for (const Vesk_scrub_problem &p : scrub())
        if (p.part.find(rel_index(wa) + " record ") == 0) named++;
    EXPECT_EQ(n, named);
    scrub(true);
    EXPECT_EQ(want, outcome());
    EXPECT_TRUE(scrub().empty());
}

// The marker carries a CRC-32C of its version line, so a flipped bit
// anywhere in it is damage: an open is -EIO, the scrub names the marker,
// and the repair restores its very text, keeping its bits and times (the
// logical file's).
TEST_F(Scrub, EveryFlippedBitOfTheMarkerIsCaughtAndRepaired) {
    const std::string mk = vesk_cont::marker(dir);
    const std::string sound = read_file(mk);
    ASSERT_EQ(0u, sound.find("vesk-container " VESK_CONTAINER_VERSION_TEXT "\n")) << sound;
    ASSERT_GT(sound.size(), sizeof("vesk-container " VESK_CONTAINER_VERSION_TEXT "\n"));
    ASSERT_EQ(0, ::chmod(mk.c_str(), 0640));
    const struct timespec ts[2] = {{1000000000, 5000}, {1200000000, 7000}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, mk.c_str(), ts, 0));
    const std::string eio = "error " + std::to_string(-EIO);
    for (size_t k = 0; k < sound.size(); k++) {
        for (int bit = 0; bit < 8; bit++) {
            SCOPED_TRACE("marker byte " + std::to_string(k) + " bit " + std::to_string(bit));
            flip(mk, (off_t)k, (unsigned char)(1u << bit));
            // decay, not a write: the times stay
            ASSERT_EQ(0, utimensat(AT_FDCWD, mk.c_str(), ts, 0));
            ASSERT_EQ(eio, outcome());
            const char *v = nullptr;
            EXPECT_EQ(-EIO, vesk_file_version(L(victim).c_str(), &v));
            std::vector<Vesk_scrub_problem> found = scrub(true);
            ASSERT_EQ(1u, found.size());
            EXPECT_EQ(".vesk_container", found[0].part);
            EXPECT_TRUE(found[0].repaired);
            ASSERT_EQ(sound, read_file(mk));
            EXPECT_EQ(want, outcome());
            struct stat st;
            ASSERT_EQ(0, ::lstat(mk.c_str(), &st));
            EXPECT_EQ(0640u, st.st_mode & 07777);
            EXPECT_EQ(ts[1].tv_sec, st.st_mtim.tv_sec);
            EXPECT_EQ(ts[1].tv_nsec, st.st_mtim.tv_nsec);
        }
    }
    // vesk_recover mends it the same way
    flip(mk, (off_t)sound.size() - 2, 0x01);
    EXPECT_EQ(0, vesk_recover(L(victim).c_str()));
    EXPECT_EQ(sound, read_file(mk));
    EXPECT_TRUE(scrub().empty());
}

// Markers made before the checksum line (of either version) still open,
// scrub clean and are left alone by a repair; a text this system never
// wrote, however close, is damage.
TEST_F(Scrub, MarkersWithoutTheChecksumLineStillOpen) {
    const std::string mk = vesk_cont::marker(dir);
    const std::string sound = read_file(mk);
    for (const char *old : {"vesk-container 2\n", "vesk-container 1\n"}) {
        SCOPED_TRACE(old);
        write_file(mk, old);
        EXPECT_EQ(want, outcome());
        EXPECT_TRUE(scrub(true).empty());
        EXPECT_EQ(-EEXIST, vesk_recover(L(victim).c_str()));
        EXPECT_EQ(old, read_file(mk));
        const char *v = nullptr;
        ASSERT_EQ(0, vesk_file_version(L(victim).c_str(), &v));
        EXPECT_EQ(std::string(old).substr(15, 1), v);
    }
    // Empty: made and never synced when the machine stopped, its name made
    // durable by a sync of its directory for another file. Sound, and of
    // this version.
    write_file(mk, "");
    EXPECT_EQ(want, outcome());
    EXPECT_TRUE(scrub(true).empty());
    EXPECT_EQ(-EEXIST, vesk_recover(L(victim).c_str()));
    const char *made = nullptr;
    ASSERT_EQ(0, vesk_file_version(L(victim).c_str(), &made));
    EXPECT_EQ("2", std::string(made));
    const size_t line = sound.find('\n') + 1;
    std::string upper = sound;
    for (size_t i = line; i < upper.size(); i++) upper[i] = (char)toupper(upper[i]);
    const std::vector<std::string> wrong = {
        upper,                                                   // hex digits in capitals
        "vesk-container 1\n" + sound.substr(line),               // another line's checksum
        sound + "\n",                                            // text after the checksum
        sound.substr(0, sound.size() - 1),                       // checksum line cut short
        "vesk-container 02\n", "vesk-container 2\n\n", "vesk-container 2",
    };
    for (const std::string &w : wrong) {
        SCOPED_TRACE(w);
        write_file(mk, w);
        EXPECT_EQ("error " + std::to_string(-EIO), outcome());
        EXPECT_TRUE(names(scrub(), ".vesk_container", "marker"));
    }
    EXPECT_EQ(0, vesk_recover(L(victim).c_str()));
    EXPECT_EQ(sound, read_file(mk));
    EXPECT_EQ(want, outcome());
}

// A record damaged past undoing (every field changed, its checksum made
// to fit) loses what its writer may have written, never more: the other
// writer's bytes beyond it read as written.
TEST_F(Scrub, RecordPastUndoingLosesItsWritersRangeOnly) {
    unsigned char b[vesk_fmt::kIndexRecordSize];
    vesk_fmt::IndexRecord bad;
    bad.kind = 7;  // no such kind
    vesk_fmt::encode_record(b, bad);
    int f = ::open(index_of(wa).c_str(), O_WRONLY);
    ASSERT_GE(f, 0);
    ASSERT_EQ((ssize_t)sizeof b, pwrite(f, b, sizeof b, record(1)));
    ::close(f);
    EXPECT_EQ("error " + std::to_string(-EIO), outcome());
    EXPECT_EQ("error " + std::to_string(-EIO), read_range(2999, 2));
    EXPECT_EQ(want.substr(3000), read_range(3000, 1000));
    EXPECT_EQ((off_t)want.size(), size_of(victim));
    EXPECT_TRUE(names(scrub(), rel_index(wa) + " record 1", ""));
}

TEST_F(Scrub, RepairSetsAsideABadRecordAndKeepsTheRest) {
    flip(index_of(wa), record(1) + 3, 0x10);  // the record of bytes [1000, 2000)
    only_second_write_lost();
    auto found = scrub(true);
    ASSERT_TRUE(names(found, rel_index(wa) + " record 1", "checksum"));
    EXPECT_TRUE(found[0].repaired);
    // The dropped record is kept aside, and the file reads again: every
    // byte outside the lost range as written, and never another's.
    EXPECT_EQ((size_t)vesk_fmt::kIndexRecordSize, read_file(hd + "/dropped." + std::to_string(wa)).size());
    std::string got = outcome();
    ASSERT_EQ(want.size(), got.size()) << got.substr(0, 40);
    EXPECT_EQ(want.substr(0, 1000), got.substr(0, 1000));
    EXPECT_EQ(want.substr(2000), got.substr(2000));
    EXPECT_EQ(std::string(1000, '\0'), got.substr(1000, 1000));
    EXPECT_TRUE(scrub().empty());
}

TEST_F(Scrub, DataDamageIsFoundWithItsRange) {
    flip(data_of(wa), 2500, 0x01);  // byte 2500 of the file (logs start at 0)
    auto found = scrub();
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(2000, found[0].begin);
    EXPECT_EQ(3000, found[0].end);
    EXPECT_NE(std::string::npos, found[0].what.find("data checksum"));
    EXPECT_FALSE(scrub(true)[0].repaired);  // nothing to mend it with
    // Reads check data only when asked: the changed byte is served...
    EXPECT_NE(want, outcome());
    EXPECT_EQ(want.size(), outcome().size());
    // ...and with verify = 1 the write it belongs to is lost (-EIO), every
    // other byte reads as written.
    auto cfg = use_config(tmp.sub("vesk.conf"),
                          "verify = 1\n" + mount_config("/vk", {b0, b1}, "container"));
    ASSERT_TRUE(cfg->errors.empty()) << cfg->errors[0];
    EXPECT_EQ(want.substr(0, 2000), outcome());
    EXPECT_EQ("error " + std::to_string(-EIO), read_range(2000, 1));
    EXPECT_EQ("error " + std::to_string(-EIO), read_range(2999, 1));
    EXPECT_EQ(want.substr(3000), read_range(3000, 1000));
    EXPECT_EQ((off_t)want.size(), size_of(victim));
    // a sound file reads whole with verify on
    flip(data_of(wa), 2500, 0x01);
    EXPECT_EQ(want, outcome());
}

TEST_F(Scrub, TornTailMissingLogsAndFlattenedIndex) {
    // A torn tail reads as before, is named, and a repair cuts it.
    std::string log = index_of(wb);
    ASSERT_EQ(0, truncate(log.c_str(), record(1) - 10));
    EXPECT_EQ(want.substr(0, 3000), outcome().substr(0, 3000));
    EXPECT_TRUE(names(scrub(), rel_index(wb), "torn"));
    EXPECT_TRUE(names(scrub(true), rel_index(wb), "torn"));
    EXPECT_TRUE(scrub().empty());
    // A damaged flattened index is named and removed by a repair.
    ASSERT_EQ(0, vesk_flatten_index(nullptr, L(victim).c_str()));
    std::string gi = dir + "/global.index";
    flip(gi, vesk_fmt::kGlobalHeaderSize + 3, 0x04);
    EXPECT_EQ(want.substr(0, 3000), outcome().substr(0, 3000));  // not used, the logs are
    EXPECT_TRUE(names(scrub(true), "global.index", "checksum"));
    EXPECT_FALSE(Util::exists(gi.c_str()));
    // A data log gone from under its index, and an index log gone while
    // its size record says it wrote.
    ASSERT_EQ(0, unlink(data_of(wa).c_str()));
    EXPECT_TRUE(names(scrub(), rel_index(wa), "data log missing"));
    ASSERT_EQ(0, unlink(index_of(wa).c_str()));
    EXPECT_TRUE(names(scrub(), rel_index(wa), "index log missing"));
    // Bytes a writer is known to have written are never served as holes:
    // the file is refused until a repair gives them up.
    EXPECT_EQ("error " + std::to_string(-EIO), outcome());
    EXPECT_TRUE(names(scrub(true), rel_index(wa), "index log missing"));
    EXPECT_EQ("", outcome());  // b's only write was torn away above
    EXPECT_TRUE(scrub().empty());
}

// A writer's lost logs lose its bytes and nothing else: the other
// writer's bytes read as written and getattr still answers, with a data
// log gone and then with the index log gone too (its size record still
// says where it wrote).
TEST_F(Scrub, LostLogsLoseTheirWritersRangesOnly) {
    ASSERT_EQ(0, unlink(data_of(wa).c_str()));
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round ? "index and data log gone" : "data log gone");
        EXPECT_EQ("error " + std::to_string(-EIO), outcome());
        EXPECT_EQ("error " + std::to_string(-EIO), read_range(2999, 1));
        EXPECT_EQ(want.substr(3000), read_range(3000, 1000));
        EXPECT_EQ((off_t)want.size(), size_of(victim));
        if (round == 0) {
            ASSERT_EQ(0, unlink(index_of(wa).c_str()));
        }
    }
}

// Size records carry a checksum of their fields: a damaged one is not
// believed (the size comes from a merge), is named, and a repair removes it.
TEST_F(Scrub, DamagedSizeRecordIsIgnoredAndNamed) {
    std::vector<vesk_cont::WriterMeta> ms;
    vesk_cont::TruncMeta t;
    ASSERT_EQ(0, vesk_cont::list_meta(dir, ms, t));
    ASSERT_EQ(2u, ms.size());
    std::string name = ms[0].name;
    ASSERT_EQ("w2.", name.substr(0, 3));
    // the claimed end changes by one digit; the checksum no longer fits
    std::string bad = name;
    size_t at = bad.find('.', 12) - 1;
    bad[at] = bad[at] == '9' ? '8' : (char)(bad[at] + 1);
    ASSERT_EQ(0, rename((dir + "/meta/" + name).c_str(), (dir + "/meta/" + bad).c_str()));
    std::vector<vesk_cont::WriterMeta> after;
    ASSERT_EQ(0, vesk_cont::list_meta(dir, after, t));
    EXPECT_EQ(1u, after.size());
    EXPECT_EQ((off_t)want.size(), size_of(victim));
    EXPECT_EQ(want, outcome());
    auto found = scrub(true);
    ASSERT_TRUE(names(found, "meta/" + bad, "checksum"));
    EXPECT_FALSE(Util::exists((dir + "/meta/" + bad).c_str()));
    EXPECT_TRUE(scrub().empty());
}

TEST_F(Scrub, FsckToolReportsAndExits) {
    std::vector<std::pair<std::string, std::string>> env{{"VESK_CONFIG", getenv("VESK_CONFIG")}};
    RunResult r = run_program({tool("vesk_fsck"), "/vk"}, env);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("0 problem(s)")) << r.out;
    flip(data_of(wa), 10, 0x80);
    r = run_program({tool("vesk_fsck"), "/vk"}, env);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(L(victim) + ": " + rel_index(wa) + " record 0: [0, 1000)"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("1 problem(s)")) << r.out;
    // a damaged marker: named, rewritten by --repair, then clean
    const std::string mk = vesk_cont::marker(dir);
    const std::string sound = read_file(mk);
    write_file(data_of(wa), want.substr(0, 3000));  // the data flip above mended
    flip(mk, 3, 0x04);
    r = run_program({tool("vesk_fsck"), L(victim)}, env);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find(L(victim) + ": .vesk_container: [no bytes]: marker"))
        << r.out;
    r = run_program({tool("vesk_fsck"), "--repair", L(victim)}, env);
    EXPECT_EQ(1, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("(repaired: rewritten)")) << r.out;
    EXPECT_EQ(sound, read_file(mk));
    r = run_program({tool("vesk_fsck"), L(victim)}, env);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    r = run_program({tool("vesk_fsck")}, env);
    EXPECT_EQ(2, r.status);
    r = run_program({tool("vesk_fsck"), "/vk/nosuch"}, env);
    EXPECT_EQ(2, r.status);
}

// A container written in the previous format (48-byte records, no
// checksums, marker version 1) reads, scrubs clean and reports version 1.
TEST_F(Scrub, PreviousFormatStillReads) {
    std::string old = name_on(1, "old");
    std::string d = backend(old);
    std::string h = vesk_cont::hostdir(d, "oldhost");
    ASSERT_EQ(0, ::mkdir(d.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(h.c_str(), 0755));
    write_file(vesk_cont::marker(d), "vesk-container 1\n");
    std::string data = pattern(300, 4);
    write_file(h + "/data.42", data);
    std::string log(vesk_fmt::kIndexHeaderSize, '\0');
    unsigned char *p = reinterpret_cast<unsigned char *>(&log[0]);
    memcpy(p, vesk_fmt::kIndexMagic, 8);
    vesk_fmt::put_u32(p + 8, 1);
    vesk_fmt::put_u32(p + 12, vesk_fmt::kIndexHeaderSize);
    vesk_fmt::put_u32(p + 16, 48);
    vesk_fmt::put_u32(p + 20, 42);
    for (int i = 0; i < 3; i++) {
        unsigned char r[48] = {0};
        vesk_fmt::put_u64(r, (uint64_t)(100 * (2 - i)));  // written back to front
        vesk_fmt::put_u64(r + 8, 100);
        vesk_fmt::put_u64(r + 16, (uint64_t)(100 * (2 - i)));
        vesk_fmt::put_f64(r + 24, 1.0 + i);
        vesk_fmt::put_f64(r + 32, 1.5 + i);
        vesk_fmt::put_u32(r + 40, 42);
        log.append(reinterpret_cast<char *>(r), 48);
    }
    write_file(h + "/index.42", log);
    EXPECT_EQ(data, read_all(old));
    const char *v = nullptr;
    ASSERT_EQ(0, vesk_file_version(L(old).c_str(), &v));
    EXPECT_STREQ("1", v);
    std::vector<Vesk_scrub_problem> probs;
    uint64_t bytes = 0;
    ASSERT_EQ(0, vesk_scrub(L(old).c_str(), 0, probs, &bytes));
    EXPECT_TRUE(probs.empty());
    EXPECT_EQ(300u, bytes);
    // A new writer of the old container writes the new format beside it.
    write_file_at(old, "NEW", 300, O_WRONLY, 4242);
    EXPECT_EQ(data + "NEW", read_all(old));
}

}  // namespace
