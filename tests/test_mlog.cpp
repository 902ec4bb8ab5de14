/* The message log: filter, masks, file and UDP channels. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <csignal>
#include <sys/wait.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "mlog.h"
#include "vesk_test_util.h"

using vesk_test::TempDir;

namespace {

class Mlog : public ::testing::Test {
protected:
    void TearDown() override { mlog_close(); }
    std::string open_to_file(int mask) {
        std::string f = dir.sub("log");
        mlog_options o{};
        o.default_mask = mask;
        o.logfile = f.c_str();
        o.msgbuf_size = -1;
        EXPECT_EQ(0, mlog_open("tagx", &o));
        return f;
    }
    TempDir dir;
};

TEST_F(Mlog, ClosedLogPassesNothing) {
    mlog_close();
    EXPECT_EQ(0, mlog_filter(MLOG_CRIT | VESK_FAC_FLATFS));
    EXPECT_EQ(0, mlog_filter(0x7fffffff));
}

TEST_F(Mlog, FilterFollowsFacilityMasks) {
    std::string f = open_to_file(MLOG_MASK_WARN);
    EXPECT_NE(0, mlog_filter(MLOG_WARN | VESK_FAC_FLATFS));
    EXPECT_EQ(0, mlog_filter(MLOG_INFO | VESK_FAC_FLATFS));
    ASSERT_EQ(0, mlog_setmasks("err,FFS=dbg2,container=info"));
    EXPECT_NE(0, mlog_filter(0x80009));  // DBG2 of facility 9
    EXPECT_EQ(0, mlog_filter(MLOG_DBG3 | VESK_FAC_FLATFS));
    EXPECT_NE(0, mlog_filter(MLOG_INFO | VESK_FAC_CONTAINER));
    EXPECT_EQ(0, mlog_filter(MLOG_INFO | VESK_FAC_UTIL));
    // A facility past the table is judged by facility 0.
    EXPECT_EQ(mlog_filter(MLOG_ERR | VESK_FAC_DEFAULT), mlog_filter(MLOG_ERR | 0xff));
    EXPECT_EQ(0, mlog_filter(MLOG_INFO | 0xfe));
    // A bad text changes nothing.
    EXPECT_EQ(-EINVAL, mlog_setmasks("info,NOSUCH=dbg1"));
    EXPECT_EQ(-EINVAL, mlog_setmasks("loud"));
    EXPECT_EQ(0, mlog_filter(MLOG_INFO | VESK_FAC_UTIL));
    EXPECT_NE(0, mlog_filter(0x80009));
    // The words the library uses fall where their meaning says.
    ASSERT_EQ(0, mlog_setmasks("err"));
    EXPECT_NE(0, mlog_filter(0x10002));  // thread pool errors
    EXPECT_EQ(0, mlog_filter(0x20002));  // renames and trace lines: info
    EXPECT_EQ(0, mlog_filter(0x80002));  // thread pool creation: debug
    ASSERT_EQ(0, mlog_setmasks("info"));
    EXPECT_NE(0, mlog_filter(0x20009));
    EXPECT_EQ(0, mlog_filter(0x80002));
}

// A threshold lets through its own priority and every more severe one, in
// syslog's order (crit, err, warn, info, debug), though ERR's bit lies above
// WARN's: the default "warn" must not hide failed operations.
TEST_F(Mlog, LevelNamesOrderBySeverity) {
    open_to_file(MLOG_MASK_WARN);
    const struct {
        const char *name;
        int passes;  // how many of kBySeverity pass, from the most severe
    } cases[] = {{"none", 0}, {"crit", 1}, {"err", 2}, {"error", 2},
                 {"warn", 3}, {"warning", 3}, {"info", 4}, {"dbg1", 5},
                 {"dbg2", 6}, {"debug", 6}, {"dbg3", 7}, {"all", 7}};
    const int kBySeverity[] = {MLOG_CRIT, MLOG_ERR,  MLOG_WARN, MLOG_INFO,
                               MLOG_DBG1, MLOG_DBG2, MLOG_DBG3};
    for (const auto &c : cases) {
        ASSERT_EQ(0, mlog_setmasks(c.name)) << c.name;
        for (int i = 0; i < 7; i++)
            EXPECT_EQ(i < c.passes, mlog_filter(kBySeverity[i] | VESK_FAC_CONTAINER) != 0)
                << c.name << " priority " << i;
    }
    // The default mask of an opened log shows errors.
    mlog_options o{};
    o.msgbuf_size = -1;
    ASSERT_EQ(0, mlog_open("tagy", &o));
    EXPECT_NE(0, mlog_filter(MLOG_ERR | VESK_FAC_INDEX));
    EXPECT_NE(0, mlog_filter(MLOG_WARN | VESK_FAC_INDEX));
    EXPECT_EQ(0, mlog_filter(MLOG_INFO | VESK_FAC_INDEX));
    // A line carrying several priority bits is named by the most severe.
    EXPECT_STREQ("ERR", mlog_priority_name(MLOG_ERR | MLOG_WARN));
    EXPECT_STREQ("CRIT", mlog_priority_name(MLOG_ERR | MLOG_CRIT));
}

TEST_F(Mlog, FileLinesCarryTagFacilityLevelAndKeepErrno) {
    std::string f = open_to_file(MLOG_MASK_INFO);
    errno = EXDEV;
    mlog(MLOG_INFO | VESK_FAC_FLATFS, "moved %s: %d\n", "x", 7);
    EXPECT_EQ(EXDEV, errno);
    mlog(MLOG_ERR | VESK_FAC_CONTAINER, "%s", std::string(5000, 'L').c_str());
    mlog_close();
    std::istringstream in(vesk_test::read_file(f));
    std::string l1, l2, l3;
    std::getline(in, l1);
    std::getline(in, l2);
    EXPECT_FALSE(std::getline(in, l3));
    EXPECT_TRUE(isdigit((unsigned char)l1[0]));
    EXPECT_NE(std::string::npos, l1.find(" tagx["));
    EXPECT_NE(std::string::npos, l1.find("] FFS INFO: moved x: 7"));
    EXPECT_EQ(std::string::npos, l1.find("7\n"));
    EXPECT_NE(std::string::npos, l2.find("CONT ERR: " + std::string(5000, 'L')));
}

TEST_F(Mlog, ManyThreadsWriteWholeLines) {
    std::string f = open_to_file(MLOG_MASK_INFO);
    std::vector<std::thread> ts;
    for (int t = 0; t < 8; t++)
        ts.emplace_back([t] {
            for (int i = 0; i < 500; i++)
                mlog(MLOG_INFO | VESK_FAC_API, "thread %d message %d %s", t, i,
                     std::string(100, (char)('a' + t)).c_str());
        });
    for (auto &t : ts) t.join();
    mlog_close();
    std::istringstream in(vesk_test::read_file(f));
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        n++;
        size_t at = line.find("thread ");
        ASSERT_NE(std::string::npos, at) << line;
        int t = line[at + 7] - '0';
        EXPECT_NE(std::string::npos, line.find(std::string(100, (char)('a' + t)))) << line;
    }
    EXPECT_EQ(8 * 500, n);
}

TEST_F(Mlog, UnusableLogFileIsReported) {
    mlog_options o{};
    std::string bad = dir.sub("no/such/dir/log");
    o.logfile = bad.c_str();
    EXPECT_EQ(-ENOENT, mlog_open("t", &o));
}

TEST_F(Mlog, UdpChannelSendsConsoleWireFormat) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(s, (sockaddr *)&a, sizeof a));
    socklen_t len = sizeof a;
    ASSERT_EQ(0, getsockname(s, (sockaddr *)&a, &len));
    std::string target = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));

    mlog_options o{};
    o.default_mask = MLOG_MASK_INFO;
    o.udp_target = target.c_str();
    o.msgbuf_size = -1;
    ASSERT_EQ(0, mlog_open("udptag", &o));
    mlog(MLOG_WARN | VESK_FAC_CONTAINER, "two  spaces and a tail ");
    mlog(MLOG_DBG3 | VESK_FAC_CONTAINER, "filtered out by the caller's check only");

    pollfd p{s, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, 2000));
    char buf[2048];
    ssize_t n = recv(s, buf, sizeof buf - 1, 0);
    ASSERT_GT(n, 0);
    buf[n] = '\0';
    std::string d(buf);
    std::istringstream in(d);
    std::string date, host, tag, fac, lvl;
    in >> date >> host >> tag >> fac >> lvl;
    EXPECT_TRUE(isdigit((unsigned char)date[0]));
    EXPECT_EQ('Z', date.back());
    EXPECT_EQ(mlog_xst.nodename, host);
    EXPECT_EQ("udptag", tag);
    EXPECT_EQ("CONT", fac);
    EXPECT_EQ("WARN", lvl);
    EXPECT_EQ(d.size() - strlen("two  spaces and a tail "), d.find("two  spaces and a tail "));
    close(s);

    EXPECT_EQ(-EINVAL, mlog_open("t", &(o.udp_target = "no-port", o)));
}

TEST_F(Mlog, LibraryMessagesReachMsgsink) {
    std::string sink = std::string(VESK_BINARY_DIR) + "/tools/msgsink";
    if (access(sink.c_str(), X_OK) != 0) GTEST_SKIP() << "msgsink not built";
    std::string logf = dir.sub("sink.log");
    int pfd[2];
    ASSERT_EQ(0, pipe(pfd));
    pid_t child = fork();
    if (child == 0) {
        dup2(pfd[1], 1);
        close(pfd[0]);
        execl(sink.c_str(), "msgsink", "-a", "127.0.0.1", "-l", logf.c_str(), (char *)nullptr);
        _exit(127);
    }
    close(pfd[1]);
    std::string start;
    char c;
    pollfd p{pfd[0], POLLIN, 0};
    while (poll(&p, 1, 5000) == 1 && read(pfd[0], &c, 1) == 1 && c != '\n') start += c;
    close(pfd[0]);
    size_t colon = start.find("127.0.0.1:");
    ASSERT_NE(std::string::npos, colon) << start;
    int port = atoi(start.c_str() + colon + 10);
    ASSERT_GT(port, 0);

    std::string target = "127.0.0.1:" + std::to_string(port);
    mlog_options o{};
    o.default_mask = MLOG_MASK_INFO;
    o.udp_target = target.c_str();
    o.msgbuf_size = -1;
    ASSERT_EQ(0, mlog_open("e2e", &o));
    if (mlog_filter(MLOG_INFO | VESK_FAC_FLATFS))
        mlog(MLOG_INFO | VESK_FAC_FLATFS, "hello from the library");
    if (mlog_filter(MLOG_DBG2 | VESK_FAC_FLATFS))  // masked out: never sent
        mlog(MLOG_DBG2 | VESK_FAC_FLATFS, "too verbose");
    std::string text;
    for (int i = 0; i < 50 && text.find("hello") == std::string::npos; i++) {
        usleep(100000);
        kill(child, SIGUSR2);  // flush the log file
        usleep(20000);
        text = vesk_test::read_file(logf);
    }
    kill(child, SIGTERM);
    int st = 0;
    waitpid(child, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    text = vesk_test::read_file(logf);
    std::string want = std::string(" ") + mlog_xst.nodename + " e2e FFS INFO hello from the library\n";
    ASSERT_NE(std::string::npos, text.find(want)) << text;
    EXPECT_TRUE(isdigit((unsigned char)text[0]));
    EXPECT_EQ(std::string::npos, text.find("too verbose"));
}

}  // namespace
