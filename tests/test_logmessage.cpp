// Trace message formatting, the store behind flush()/Dump(), and what the
// message log receives.
#include "LogMessage.h"
#include "mlog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string spaces(size_t n) { return std::string(n, ' '); }

// ---------------------------------------------------------------- format

TEST(LogMessageFormat, TimeIsRightAlignedInTwentyTwoColumns) {
    LogMessage m;
    m.addTime(1.5);
    EXPECT_EQ(m.str(), spaces(19) + "1.5 ");
}

TEST(LogMessageFormat, TimeShowsTwentyTwoSignificantDigitsWithoutFill) {
    LogMessage m;
    m.addTime(0.1);
    EXPECT_EQ(m.str(), "0.1000000000000000055511 ");
}

TEST(LogMessageFormat, TimeUsesGeneralNotationForLargeAndSmallValues) {
    // Exactly representable values, so the digits are known. Like %.22g:
    // scientific from an exponent of 22 up or below -4, fixed otherwise.
    LogMessage big;
    big.addTime(1e22);
    EXPECT_EQ(big.str(), spaces(17) + "1e+22 ");

    LogMessage fixed;
    fixed.addTime(1e21);
    EXPECT_EQ(fixed.str(), "1000000000000000000000 ");

    LogMessage tiny;
    tiny.addTime(1.0 / (1 << 20));
    EXPECT_EQ(tiny.str(), spaces(3) + "9.5367431640625e-07 ");

    LogMessage whole;
    whole.addTime(1700000000.0);  // a time of day: no fraction, no zeros
    EXPECT_EQ(whole.str(), spaces(12) + "1700000000 ");
}

TEST(LogMessageFormat, TimeThenFunctionAsInATraceLine) {
    LogMessage m;
    m.addTime(1.5);
    m.addFunction("read");
    EXPECT_EQ(m.str(), spaces(19) + "1.5 " + spaces(9) + "read ");
}

TEST(LogMessageFormat, FunctionFieldIsThirteenWideAndLongerNamesWhole) {
    LogMessage exact;
    exact.addFunction("thirteen_char");
    EXPECT_EQ(exact.str(), "thirteen_char ");

    LogMessage longer;
    longer.addFunction("container_getattr");
    EXPECT_EQ(longer.str(), "container_getattr ");

    LogMessage empty;
    empty.addFunction("");
    EXPECT_EQ(empty.str(), spaces(13) + " ");
}

TEST(LogMessageFormat, WidthAppliesOnlyToTheFieldItIsSetFor) {
    // After a padded field the numbers that follow are not padded, while
    // the time's precision stays on the stream.
    LogMessage m;
    m.addTime(2.25);
    m.addSize(10);
    m.addFunction("write");
    m.addPid(7);
    EXPECT_EQ(m.str(), spaces(18) + "2.25  size 10" + spaces(8) + "write  PID 7");
    EXPECT_EQ(m.precision(), 22);
    m << 0.1;
    EXPECT_EQ(m.str().substr(m.str().size() - 24), "0.1000000000000000055511");
}

TEST(LogMessageFormat, NumbersKeepTheirSignAndFullRange) {
    LogMessage m;
    m.addOff(-1);
    EXPECT_EQ(m.str(), " offset -1");

    LogMessage extremes;
    extremes.addOff(INT64_MIN);
    extremes.addOff(INT64_MAX);
    extremes.addSize(SIZE_MAX);
    extremes.addPid(-12);
    EXPECT_EQ(extremes.str(),
              " offset -9223372036854775808 offset 9223372036854775807"
              " size 18446744073709551615 PID -12");
}

TEST(LogMessageFormat, IdsAreUnsignedDecimal) {
    LogMessage m;
    m.addIds((uid_t)-1, (gid_t)-1);
    EXPECT_EQ(m.str(), " UID 4294967295 GID 4294967295");

    LogMessage n;
    n.addIds(0, 100);
    EXPECT_EQ(n.str(), " UID 0 GID 100");
}

TEST(LogMessageFormat, NullFunctionNameFailsTheStreamQuietly) {
    LogMessage m;
    m.addSize(3);
    EXPECT_NO_THROW(m.addFunction(nullptr));
    EXPECT_TRUE(m.bad());
    m.addPid(5);  // nothing more is written
    m.addTime(1.0);
    EXPECT_EQ(m.str(), " size 3");

    LogMessage::init();
    m.flush();
    EXPECT_EQ(LogMessage::Dump(), " size 3");
}

// ---------------------------------------------------------------- store

TEST(LogMessageStore, DumpIsEmptyAfterInit) {
    LogMessage::init();
    EXPECT_EQ(LogMessage::Dump(), "");

    LogMessage m;
    m << "before reinit";
    m.flush();
    ASSERT_EQ(LogMessage::Dump(), "before reinit");
    EXPECT_EQ(LogMessage::init(), 0);
    EXPECT_EQ(LogMessage::Dump(), "");
}

TEST(LogMessageStore, LaterFlushReplacesEarlierOneFromAnyObject) {
    LogMessage::init();
    LogMessage first, second;
    first.addFunction("open");
    second.addFunction("close");
    first.flush();
    second.flush();
    EXPECT_EQ(LogMessage::Dump(), spaces(8) + "close ");

    // A shorter text replaces a longer one whole: nothing of it remains.
    LogMessage tiny;
    tiny << "z";
    tiny.flush();
    EXPECT_EQ(LogMessage::Dump(), "z");

    // An object with no text stores the empty string.
    LogMessage blank;
    blank.flush();
    EXPECT_EQ(LogMessage::Dump(), "");
}

TEST(LogMessageStore, FlushKeepsTheTextAndStoresItWholeAgain) {
    LogMessage::init();
    LogMessage m;
    m.addSize(10);
    m.flush();
    EXPECT_EQ(LogMessage::Dump(), " size 10");
    m.addPid(7);
    m.flush();
    EXPECT_EQ(LogMessage::Dump(), " size 10 PID 7");
    EXPECT_EQ(m.str(), " size 10 PID 7");
}

TEST(LogMessageStore, DestroyingAnObjectLeavesTheStoreAlone) {
    LogMessage::init();
    {
        LogMessage m;
        m << "outlives its object";
        m.flush();
    }
    EXPECT_EQ(LogMessage::Dump(), "outlives its object");
    LogMessage::Flush();  // a no-op: the text is already stored
    EXPECT_EQ(LogMessage::Dump(), "outlives its object");
}

TEST(LogMessageStore, LongTextIsStoredWhole) {
    LogMessage::init();
    LogMessage m;
    std::string expect;
    for (int i = 0; i < 5000; i++) {
        m.addOff(i);
        expect += " offset " + std::to_string(i);
    }
    m.flush();
    EXPECT_EQ(LogMessage::Dump(), expect);
}

// ---------------------------------------------------------------- logging

int rm_entry(const char *path, const struct stat *, int, struct FTW *) {
    return remove(path);
}

class LogMessageLog : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vesk_logmsg_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        logfile_ = dir_ + "/trace.log";
        LogMessage::init();
    }
    void TearDown() override {
        mlog_close();
        if (!dir_.empty())
            nftw(dir_.c_str(), rm_entry, 8, FTW_DEPTH | FTW_PHYS);
    }
    void openLog(int mask) {
        struct mlog_options opts = {};
        opts.default_mask = mask;
        opts.logfile = logfile_.c_str();
        opts.msgbuf_size = -1;
        ASSERT_EQ(mlog_open("logmsg_test", &opts), 0);
    }
    std::vector<std::string> lines() {
        std::ifstream in(logfile_, std::ios::binary);
        std::vector<std::string> out;
        std::string line;
        while (std::getline(in, line))
            out.push_back(line);
        return out;
    }
    static bool endsWith(const std::string &s, const std::string &tail) {
        return s.size() >= tail.size() &&
               s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    }
    size_t linesEndingWith(const std::string &tail) {
        size_t n = 0;
        for (const std::string &l : lines())
            n += endsWith(l, tail);
        return n;
    }
    bool logMentions(const std::string &word) {
        for (const std::string &l : lines())
            if (l.find(word) != std::string::npos)
                return true;
        return false;
    }

    std::string dir_, logfile_;
};

TEST_F(LogMessageLog, FlushLogsTheTextAtInfoOfTheInternalFacility) {
    openLog(MLOG_MASK_INFO);
    ASSERT_NE(mlog_filter(0x20002), 0);
    LogMessage m;
    m.addFunction("pread");
    m.addSize(4096);
    m << " marker-logged-once";
    m.flush();
    mlog_close();
    EXPECT_EQ(linesEndingWith(spaces(8) + "pread  size 4096 marker-logged-once"), 1u);
    EXPECT_TRUE(logMentions("INT"));  // the internal facility's name
}

TEST_F(LogMessageLog, EachFlushLogsTheWholeTextSoFar) {
    openLog(MLOG_MASK_INFO);
    LogMessage m;
    m << "grow-a";
    m.flush();
    m << "-grow-b";
    m.flush();
    mlog_close();
    EXPECT_EQ(linesEndingWith(": grow-a"), 1u);
    EXPECT_EQ(linesEndingWith(": grow-a-grow-b"), 1u);
}

TEST_F(LogMessageLog, TextWithNulIsStoredWholeButLoggedUpToTheNul) {
    openLog(MLOG_MASK_INFO);
    LogMessage m;
    m << "nul-before" << '\0' << "after-nul";
    m.flush();
    mlog_close();
    EXPECT_EQ(LogMessage::Dump(), std::string("nul-before\0after-nul", 20));
    EXPECT_EQ(linesEndingWith("nul-before"), 1u);
    EXPECT_FALSE(logMentions("after-nul"));
}

TEST_F(LogMessageLog, ClosedLogStoresButLogsNothing) {
    openLog(MLOG_MASK_INFO);
    mlog_close();
    ASSERT_EQ(mlog_filter(0x20002), 0);
    LogMessage m;
    m << "closed-log-marker";
    m.flush();
    EXPECT_EQ(LogMessage::Dump(), "closed-log-marker");
    EXPECT_FALSE(logMentions("closed-log-marker"));
}

TEST_F(LogMessageLog, FilteredOutLevelStoresButLogsNothing) {
    openLog(MLOG_MASK_ERR);  // open, but INFO not enabled
    ASSERT_EQ(mlog_filter(0x20002), 0);
    LogMessage m;
    m << "filtered-marker";
    m.flush();
    mlog_close();
    EXPECT_EQ(LogMessage::Dump(), "filtered-marker");
    EXPECT_FALSE(logMentions("filtered-marker"));
}

}  // namespace
