// Many threads flush trace messages while another keeps dumping the store:
// a dump is always empty or exactly one whole message, never a torn one.
#include "LogMessage.h"
#include "mlog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <ftw.h>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const int kWriters = 8;
const int kPerWriter = 1500;

// Lengths differ from message to message so that the store's string keeps
// growing and shrinking under the dumper's feet.
size_t payloadLength(int id, int seq) { return 40 + (size_t)(id * 97 + seq * 31) % 2500; }

unsigned long checksum(const std::string &s) {
    unsigned long h = 5381;
    for (unsigned char c : s)
        h = h * 33 + c;
    return h;
}

// "T<id> N<seq> " + one letter repeated + " S<checksum of all before>"
std::string makeText(int id, int seq) {
    std::string body = "T" + std::to_string(id) + " N" + std::to_string(seq) + " ";
    body.append(payloadLength(id, seq), (char)('a' + id % 26));
    return body + " S" + std::to_string(checksum(body));
}

// Empty, or one complete message as made above; *seq_out gets its number.
::testing::AssertionResult wholeMessage(const std::string &text, int *id_out = nullptr,
                                        int *seq_out = nullptr) {
    if (text.empty())
        return ::testing::AssertionSuccess();
    int id = -1, seq = -1, used = 0;
    if (sscanf(text.c_str(), "T%d N%d %n", &id, &seq, &used) != 2 || used == 0 ||
        id < 0 || id >= kWriters || seq < 0 || seq >= kPerWriter)
        return ::testing::AssertionFailure() << "bad header: " << text.substr(0, 40);
    if (text != makeText(id, seq))
        return ::testing::AssertionFailure()
               << "torn or mixed message of T" << id << " N" << seq << ", length "
               << text.size();
    if (id_out)
        *id_out = id;
    if (seq_out)
        *seq_out = seq;
    return ::testing::AssertionSuccess();
}

struct FlushRun {
    std::atomic<int> writers_left{kWriters};
    std::atomic<long> dumps{0};
    std::atomic<long> nonempty{0};
    std::atomic<long> bad{0};
    std::string first_bad;  // written by the dumper only
};

void writer(int id) {
    for (int seq = 0; seq < kPerWriter; seq++) {
        LogMessage m;
        m << makeText(id, seq);
        m.flush();
    }
}

void dumper(FlushRun *run) {
    while (run->writers_left.load() > 0) {
        std::string d = LogMessage::Dump();
        ++run->dumps;
        if (!d.empty())
            ++run->nonempty;
        if (!wholeMessage(d)) {
            if (run->bad++ == 0)
                run->first_bad = d.substr(0, 80);
        }
    }
}

void runAll(FlushRun *run) {
    std::thread dump_thread(dumper, run);
    std::vector<std::thread> writers;
    for (int id = 0; id < kWriters; id++)
        writers.emplace_back([run, id] {
            writer(id);
            --run->writers_left;
        });
    for (std::thread &t : writers)
        t.join();
    dump_thread.join();
}

TEST(LogMessageConcurrency, DumpSeesOnlyWholeMessages) {
    LogMessage::init();
    mlog_close();
    FlushRun run;
    runAll(&run);
    EXPECT_EQ(run.bad.load(), 0) << run.first_bad;
    EXPECT_GT(run.nonempty.load(), 0) << "the dumper never saw a message";

    // What stays is one writer's last message.
    int id = -1, seq = -1;
    std::string last = LogMessage::Dump();
    ASSERT_FALSE(last.empty());
    EXPECT_TRUE(wholeMessage(last, &id, &seq));
    EXPECT_EQ(seq, kPerWriter - 1);
}

int rm_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

TEST(LogMessageConcurrency, EveryFlushIsLoggedWholeWhileOthersFlush) {
    char tmpl[] = "/tmp/vesk_logconc_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl, logfile = dir + "/trace.log";
    struct mlog_options opts = {};
    opts.default_mask = MLOG_MASK_INFO;
    opts.logfile = logfile.c_str();
    opts.msgbuf_size = -1;
    ASSERT_EQ(mlog_open("logconc_test", &opts), 0);

    LogMessage::init();
    FlushRun run;
    runAll(&run);
    mlog_close();
    EXPECT_EQ(run.bad.load(), 0) << run.first_bad;

    // Each line carries one message at its end; every message arrives once.
    std::ifstream in(logfile);
    std::string line;
    std::set<std::pair<int, int>> seen;
    long lines = 0, broken = 0;
    while (std::getline(in, line)) {
        lines++;
        size_t at = line.rfind(" T");
        int id = -1, seq = -1;
        if (at == std::string::npos || line.size() - at - 1 < 4 ||
            !wholeMessage(line.substr(at + 1), &id, &seq) || id < 0) {
            broken++;
            continue;
        }
        seen.insert({id, seq});
    }
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(lines, (long)kWriters * kPerWriter);
    EXPECT_EQ(seen.size(), (size_t)kWriters * kPerWriter);
    nftw(dir.c_str(), rm_entry, 8, FTW_DEPTH | FTW_PHYS);
}

}  // namespace
