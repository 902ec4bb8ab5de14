// End-to-end tests of msgsink: the real program, real UDP datagrams on
// 127.0.0.1, output read from its log file or its standard output.
//
// Output to a log file is fully buffered, so the tests either flush it with
// SIGUSR2 until the expected lines are there, or end the program (zero-length
// datagram, SIGTERM) and read what it left.  Every wait is bounded.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *const kSink = VESK_BINARY_DIR "/tools/msgsink";
using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 5000;

// The largest UDP payload IPv4 can carry: 65535 minus the 20-byte IP header
// and the 8-byte UDP header.  The receive buffer is far larger (1 MiB), so a
// datagram of this size is the largest one msgsink can ever be handed.
constexpr size_t kMaxUdpPayload = 65507;

std::string usage_text(const std::string &prog) {
    return "usage: " + prog + " [options]\n"
           "\t-a <addr> listen on addr (default=INADDR_ANY)\n"
           "\t-p <port> listen on port (default=random)\n"
           "\t-f <fmt>  output format\n"
           "\t-l <log>  output logfile\n"
           "\n\tformat: d=date, h=host, H=host (no domain),\n"
           "\tt=tag, f=facility, l=level, m=message, s=src_ip\n";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t count_lines(const std::string &s) {
    size_t n = 0;
    for (char c : s)
        n += (c == '\n');
    return n;
}

// A loopback UDP port nobody listens on right now.
int free_port() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

// Datagrams queued on a local UDP port that the receiver has not read yet,
// from /proc/net/udp; -1 if the socket is not listed.
long rx_queue(int port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    char want[16];
    snprintf(want, sizeof(want), ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string sl, local, remote, st, queues;
        ls >> sl >> local >> remote >> st >> queues;
        if (local.size() >= 5 && local.compare(local.size() - 5, 5, want) == 0) {
            size_t colon = queues.find(':');
            if (colon == std::string::npos)
                return -1;
            return strtol(queues.c_str() + colon + 1, nullptr, 16);
        }
    }
    return -1;
}

class Sender {
  public:
    Sender() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    }
    ~Sender() { close(fd_); }
    ssize_t send(int port, const std::string &data) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sendto(fd_, data.data(), data.size(), 0,
                      reinterpret_cast<sockaddr *>(&to), sizeof(to));
    }
    int local_port() const {
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        return ntohs(a.sin_port);
    }

  private:
    int fd_ = -1;
};

// One msgsink child with its standard output and error on pipes.
class Sink {
  public:
    Sink() {
        char tmpl[] = "/tmp/msgsink_test.XXXXXX";
        char *d = mkdtemp(tmpl);
        if (d)
            dir_ = d;
        log_ = dir_ + "/log";
    }
    ~Sink() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0)
            close(out_fd_);
        if (err_fd_ >= 0)
            close(err_fd_);
        unlink(log_.c_str());
        rmdir(dir_.c_str());
    }

    const std::string &log() const { return log_; }
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }
    int port() const { return port_; }
    int status() const { return status_; }
    pid_t pid() const { return pid_; }

    void start(const std::vector<std::string> &args) {
        int o[2], e[2];
        ASSERT_EQ(0, pipe2(o, O_CLOEXEC));
        ASSERT_EQ(0, pipe2(e, O_CLOEXEC));
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(kSink));
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            dup2(o[1], 1);
            dup2(e[1], 2);
            execv(kSink, argv.data());
            _exit(127);
        }
        close(o[1]);
        close(e[1]);
        out_fd_ = o[0];
        err_fd_ = e[0];
        fcntl(out_fd_, F_SETFL, O_NONBLOCK);
        fcntl(err_fd_, F_SETFL, O_NONBLOCK);
    }

    // Starts msgsink and waits for its start-up line; learns the port.
    void start_listening(const std::vector<std::string> &args) {
        start(args);
        if (::testing::Test::HasFatalFailure())
            return;
        auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (out_.find('\n') == std::string::npos && Clock::now() < deadline &&
               pump(20)) {
        }
        size_t nl = out_.find('\n');
        ASSERT_NE(std::string::npos, nl) << "no start-up line; stderr: " << err_;
        startup_ = out_.substr(0, nl + 1);
        size_t colon = startup_.find(':', strlen("msgsink listening on "));
        ASSERT_NE(std::string::npos, colon) << startup_;
        port_ = atoi(startup_.c_str() + colon + 1);
        ASSERT_GT(port_, 0) << startup_;
    }

    // Listening on loopback, writing to the log file, with the given format.
    void start_logging(const char *format = nullptr) {
        std::vector<std::string> args = {"-a", "127.0.0.1", "-l", log_};
        if (format) {
            args.push_back("-f");
            args.push_back(format);
        }
        start_listening(args);
    }

    const std::string &startup() const { return startup_; }

    // Reads what the child wrote, waiting at most ms; false once both pipes
    // are at end of file.
    bool pump(int ms) {
        pollfd p[2];
        int n = 0;
        if (out_fd_ >= 0)
            p[n++] = {out_fd_, POLLIN, 0};
        if (err_fd_ >= 0)
            p[n++] = {err_fd_, POLLIN, 0};
        if (n == 0)
            return false;
        if (poll(p, n, ms) <= 0)
            return true;
        for (int i = 0; i < n; i++) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            bool is_out = p[i].fd == out_fd_;
            std::string &dst = is_out ? out_ : err_;
            char buf[65536];
            ssize_t r;
            while ((r = read(p[i].fd, buf, sizeof(buf))) > 0)
                dst.append(buf, static_cast<size_t>(r));
            if (r == 0) {
                close(p[i].fd);
                (is_out ? out_fd_ : err_fd_) = -1;
            }
        }
        return true;
    }

    // Waits for the child to end, draining its pipes meanwhile.
    bool wait_exit(int ms = kWaitMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        while (pid_ > 0 && Clock::now() < deadline) {
            int st;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = st;
                pid_ = -1;
                break;
            }
            pump(10);
        }
        if (pid_ > 0)
            return false;
        while (Clock::now() < deadline && pump(50)) {
        }
        return true;
    }

    // Exited normally with this status?
    bool exited_with(int code) const {
        return pid_ < 0 && WIFEXITED(status_) && WEXITSTATUS(status_) == code;
    }

    // Flushes the log file with SIGUSR2 until it holds at least n lines.
    std::string sync_log(size_t n, int ms = kWaitMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        std::string s;
        do {
            kill(pid_, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            s = read_file(log_);
            if (count_lines(s) >= n)
                return s;
        } while (Clock::now() < deadline);
        ADD_FAILURE() << "log holds " << count_lines(s) << " lines, wanted " << n;
        return s;
    }

    // Waits until msgsink has read every datagram queued for it.  The queue
    // must stay empty for a moment: loopback delivery may lag behind sendto
    // when the kernel defers it.
    bool wait_drained(int ms = kWaitMs) {
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        auto empty_since = Clock::time_point::max();
        do {
            auto now = Clock::now();
            if (rx_queue(port_) == 0) {
                if (empty_since == Clock::time_point::max())
                    empty_since = now;
                else if (now - empty_since >= std::chrono::milliseconds(20))
                    return true;
            } else {
                empty_since = Clock::time_point::max();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } while (Clock::now() < deadline);
        return false;
    }

    // Signals msgsink and waits until the signal is no longer pending, that
    // is, until it has been taken; what it asks for is then done before any
    // datagram that is sent afterwards.
    bool signal_taken(int sig, int ms = kWaitMs) {
        if (kill(pid_, sig) != 0)
            return false;
        const unsigned long long bit = 1ull << (sig - 1);
        const std::string status = "/proc/" + std::to_string(pid_) + "/status";
        auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        do {
            std::ifstream in(status);
            std::string line;
            unsigned long long pending = 0;
            while (std::getline(in, line))
                if (line.compare(0, 7, "SigPnd:") == 0 ||
                    line.compare(0, 7, "ShdPnd:") == 0)
                    pending |= strtoull(line.c_str() + 7, nullptr, 16);
            if (!(pending & bit))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        } while (Clock::now() < deadline);
        return false;
    }

  private:
    std::string dir_ = "/tmp", log_;
    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    int status_ = 0;
    int port_ = 0;
    std::string out_, err_, startup_;
};

// Sends each datagram and returns the log once every expected line is there.
std::string through_log(const char *format, const std::vector<std::string> &dgrams,
                        size_t lines) {
    Sink sink;
    sink.start_logging(format);
    if (::testing::Test::HasFatalFailure())
        return "";
    Sender tx;
    for (const auto &d : dgrams)
        EXPECT_EQ(static_cast<ssize_t>(d.size()), tx.send(sink.port(), d));
    return sink.sync_log(lines);
}

std::string one_line(const char *format, const std::string &dgram) {
    return through_log(format, {dgram}, 1);
}

// ---------------------------------------------------------------------------
// Splitting into fields and the format letters

TEST(MsgsinkFormat, DefaultFormatPrintsTheSixFields) {
    EXPECT_EQ("1 h t f l m\n", one_line(nullptr, "1 h t f l m"));
    EXPECT_EQ("2024-01-02T03:04:05 node7.lab vesk 3 DBG hello world\n",
              one_line(nullptr,
                       "2024-01-02T03:04:05 node7.lab vesk 3 DBG hello world\n"));
}

TEST(MsgsinkFormat, RunsOfSpacesCollapseButTheMessageKeepsItsOwn) {
    EXPECT_EQ("1 h t f l the  message  \n",
              one_line(nullptr, "1   h  t f    l   the  message  "));
    // the run before the message is a separator, not part of it
    EXPECT_EQ("1 h t f l m x\n", one_line(nullptr, "1 h t f l     m x"));
    // only spaces separate: a tab is field content
    EXPECT_EQ("1\\011h t f l m n\n", one_line(nullptr, "1\th t f l m n"));
}

TEST(MsgsinkFormat, EachLetterSelectsItsField) {
    EXPECT_EQ("msg lvl fac tag host 7\n",
              one_line("mlfthd", "7 host tag fac lvl msg"));
    EXPECT_EQ("tag\n", one_line("t", "7 host tag fac lvl msg"));
}

TEST(MsgsinkFormat, ShortHostStopsAtTheFirstDot) {
    EXPECT_EQ("alpha\n", one_line("H", "1 alpha.beta.gamma t f l m"));
    EXPECT_EQ("alpha\n", one_line("H", "1 alpha t f l m"));
    EXPECT_EQ("\n", one_line("H", "1 .beta t f l m"));
    EXPECT_EQ("1  m\n", one_line("dHm", "1 .beta t f l m"));
    // the shortening is done in place, so a later h sees it too
    EXPECT_EQ("alpha.beta alpha alpha\n", one_line("hHh", "1 alpha.beta t f l m"));
}

TEST(MsgsinkFormat, UnknownLettersPrintNothingButKeepTheirSpaces) {
    EXPECT_EQ("1  m\n", one_line("dXm", "1 h t f l m"));
    EXPECT_EQ("  \n", one_line("X%Z", "1 h t f l m"));
    EXPECT_EQ(" 1 \n", one_line(" d ", "1 h t f l m"));
}

TEST(MsgsinkFormat, EmptyFormatPrintsEmptyLines) {
    EXPECT_EQ("\n\n", through_log("", {"1 h t f l m", "2 a b c d e f g"}, 2));
}

TEST(MsgsinkFormat, SourceIsTheSendersAddressAndPort) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_logging("sm"));
    Sender tx;
    tx.send(sink.port(), "1 h t f l m");
    EXPECT_EQ("127.0.0.1:" + std::to_string(tx.local_port()) + " m\n",
              sink.sync_log(1));
}

// ---------------------------------------------------------------------------
// Reports for bad datagrams

TEST(MsgsinkReports, TooFewFieldsReportTheTextAsReceived) {
    EXPECT_EQ("PARSE-ERR: 1 h t f l\n", one_line("", "1 h t f l"));
    EXPECT_EQ("PARSE-ERR: 1 h t f l \n", one_line("", "1 h t f l "));
    // every space of every run comes back, not just the first of each
    EXPECT_EQ("PARSE-ERR: 1  h   t f l   \n", one_line("", "1  h   t f l   "));
    EXPECT_EQ("PARSE-ERR: 1\n", one_line("", "1"));
    EXPECT_EQ("PARSE-ERR: 1 \n", one_line("", "1 "));
}

TEST(MsgsinkReports, ParseErrorPrintsNoFieldsLeftFromAnEarlierDatagram) {
    std::string log = through_log(
        nullptr, {"1 aa bb cc dd first message", "9 zz", "3 q r"}, 3);
    EXPECT_EQ("1 aa bb cc dd first message\n"
              "PARSE-ERR: 9 zz     \n"
              "PARSE-ERR: 3 q r     \n",
              log);
}

TEST(MsgsinkReports, InvalidMessageIsFollowedByItsFieldsOnTheSameLine) {
    EXPECT_EQ("INVALID-MSG: a h t f l ma h t f l m\n",
              one_line(nullptr, "a h t f l m"));
    // the report shows the whole text, taken before the split cuts it up
    EXPECT_EQ("INVALID-MSG:  1 h t f l m 1 h t f l m\n",
              one_line(nullptr, " 1 h t f l m"));
}

TEST(MsgsinkReports, InvalidAndUnsplittableTogether) {
    EXPECT_EQ("INVALID-MSG: abcPARSE-ERR: abc     \n", one_line(nullptr, "abc"));
    // a datagram of a lone line feed is empty text, not the end of input
    EXPECT_EQ("INVALID-MSG: PARSE-ERR: \n", one_line("", "\n"));
}

// ---------------------------------------------------------------------------
// Bytes that are not printable

TEST(MsgsinkEscapes, LineEndingsAndTabs) {
    EXPECT_EQ("x\\015\n", one_line("m", "1 h t f l x\r\n"));
    EXPECT_EQ("a\\011b\n", one_line("m", "1 h t f l a\tb"));
    // only one trailing line feed is taken off; an inner one passes as is
    EXPECT_EQ("x\n\n", through_log("m", {"1 h t f l x\n\n"}, 2));
    EXPECT_EQ("a\nb\n", through_log("m", {"1 h t f l a\nb"}, 2));
}

TEST(MsgsinkEscapes, AlwaysThreeOctalDigits) {
    EXPECT_EQ("\\177\\377\\351\\001~\n",
              one_line("m", "1 h t f l \x7f\xff\xe9\x01~"));
    EXPECT_EQ("\\033[0m\n", one_line("m", "1 h t f l \033[0m"));
}

TEST(MsgsinkEscapes, EveryByteValue) {
    std::string msg, want;
    for (int c = 1; c < 256; c++) {
        if (c == '\n')
            continue;
        msg += static_cast<char>(c);
        if (c >= 0x20 && c < 0x7f) {
            want += static_cast<char>(c);
        } else {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\%03o", c);
            want += esc;
        }
    }
    EXPECT_EQ(want + "\n", one_line("m", "1 h t f l " + msg));
}

TEST(MsgsinkEscapes, NulEndsTheText) {
    using namespace std::string_literals;
    EXPECT_EQ("1 h t f l m\n", one_line(nullptr, "1 h t f l m\0junk more"s));
    EXPECT_EQ("1 h t f l m\n", one_line(nullptr, "1 h t f l m\0\n"s));
    EXPECT_EQ("PARSE-ERR: 1 h t\n", one_line("", "1 h t\0 f l m"s));
    EXPECT_EQ("INVALID-MSG: PARSE-ERR: \n", one_line("", "\0 1 h t f l m"s));
}

// ---------------------------------------------------------------------------
// Large datagrams

TEST(MsgsinkLarge, LargestUdpDatagramAndBufferReuse) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_logging("dm"));
    Sender tx;

    // UDP over IPv4 stops here; the 1 MiB buffer is never the limit.
    std::string too_big = "1 h t f l " + std::string(kMaxUdpPayload, 'y');
    too_big.resize(kMaxUdpPayload + 1);
    ssize_t r = tx.send(sink.port(), too_big);
    int e = errno;
    EXPECT_EQ(-1, r);
    EXPECT_EQ(EMSGSIZE, e);

    std::string head = "1 h t f l ";
    std::string body(kMaxUdpPayload - head.size() - 2, 'x');
    std::string big = head + body + "\x01\n";
    ASSERT_EQ(kMaxUdpPayload, big.size());
    ASSERT_EQ(static_cast<ssize_t>(big.size()), tx.send(sink.port(), big));
    std::string want = "1 " + body + "\\001\n";
    EXPECT_EQ(want, sink.sync_log(1));

    // a short datagram after a long one shows nothing of the long one
    tx.send(sink.port(), "2 h t f l short");
    EXPECT_EQ(want + "2 short\n", sink.sync_log(2));
    tx.send(sink.port(), "3 h t f");
    EXPECT_EQ(want + "2 short\n" + "PARSE-ERR: 3 h t f \n", sink.sync_log(3));
}

// ---------------------------------------------------------------------------
// Start-up and the end of the receive loop

TEST(MsgsinkStartup, AnyAddressAndSystemChosenPort) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_listening({}));
    EXPECT_EQ("msgsink listening on *:" + std::to_string(sink.port()) +
                  ", logfile=<none>, format=dhtflm\n",
              sink.startup());
    // the reported port is the one really bound; stdout gets the lines, and
    // an empty datagram ends the program with everything written out
    Sender tx;
    tx.send(sink.port(), "1 h t f l on stdout");
    tx.send(sink.port(), "");
    ASSERT_TRUE(sink.wait_exit());
    EXPECT_TRUE(sink.exited_with(1)) << sink.status();
    EXPECT_EQ(sink.startup() + "1 h t f l on stdout\n", sink.out());
    EXPECT_EQ("recvfrom: returned zero/EOF?\n", sink.err());
}

TEST(MsgsinkStartup, NamedAddressLogFileAndFormat) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_listening(
        {"-a", "127.0.0.1", "-p", "0", "-l", sink.log(), "-f", "dX"}));
    EXPECT_EQ("msgsink listening on 127.0.0.1:" + std::to_string(sink.port()) +
                  ", logfile=" + sink.log() + ", format=dX\n",
              sink.startup());

    Sink byname;
    ASSERT_NO_FATAL_FAILURE(byname.start_listening({"-a", "localhost"}));
    EXPECT_EQ(0u, byname.startup().find("msgsink listening on 127.0.0.1:"))
        << byname.startup();
}

TEST(MsgsinkStartup, PortTakesTheLeadingDigits) {
    int port = free_port();
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_listening(
        {"-a", "127.0.0.1", "-p", std::to_string(port) + "x", "extra", "args"}));
    EXPECT_EQ(port, sink.port());
}

TEST(MsgsinkStartup, ZeroLengthDatagramEndsAndFlushesTheLog) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_logging());
    Sender tx;
    tx.send(sink.port(), "1 h t f l first");
    tx.send(sink.port(), "2 h t f l second");
    tx.send(sink.port(), "");
    tx.send(sink.port(), "3 h t f l never read");
    ASSERT_TRUE(sink.wait_exit());
    EXPECT_TRUE(sink.exited_with(1)) << sink.status();
    EXPECT_EQ("recvfrom: returned zero/EOF?\n", sink.err());
    EXPECT_EQ("1 h t f l first\n2 h t f l second\n", read_file(sink.log()));
}

TEST(MsgsinkStartup, LogFileIsAppendedTo) {
    Sink sink;
    {
        std::ofstream pre(sink.log());
        pre << "earlier\n";
    }
    ASSERT_NO_FATAL_FAILURE(sink.start_logging("m"));
    Sender tx;
    tx.send(sink.port(), "1 h t f l later");
    EXPECT_EQ("earlier\nlater\n", sink.sync_log(2));
}

// ---------------------------------------------------------------------------
// Refused command lines

struct Refusal {
    std::vector<std::string> args;
    std::string err;       // standard error, less the option parser's lines
    int parser_lines;      // complaints of the option parser itself
};

TEST(MsgsinkRefuses, BadCommandLines) {
    const std::string usage = usage_text(kSink);
    const std::vector<Refusal> cases = {
        {{"-p", "abc"}, "invalid port: abc\n" + usage, 0},
        {{"-p", "70000"}, "invalid port: 70000\n" + usage, 0},
        {{"-p", "65536"}, "invalid port: 65536\n" + usage, 0},
        {{"-p", "99999999999999999999999"},
         "invalid port: 99999999999999999999999\n" + usage, 0},
        {{"-p", "-1"}, "invalid port: -1\n" + usage, 0},
        {{"-z"}, "unknown option: -z\n" + usage, 1},
        {{"-f", "m", "-p"}, "unknown option: -p\n" + usage, 1},
        {{"-p", "x", "-q", "-r"},
         "invalid port: x\nunknown option: -q\nunknown option: -r\n" + usage, 2},
        {{"-a", "0.0.0.0"}, "msgsink: invalid host 0.0.0.0\n", 0},
        {{"-a", "255.255.255.255"}, "msgsink: invalid host 255.255.255.255\n", 0},
        {{"-a", "300.1.2.3"}, "msgsink: invalid host 300.1.2.3\n", 0},
        {{"-l", "/nonexistent-dir/log"},
         "fopen: /nonexistent-dir/log: No such file or directory\n", 0},
    };
    // getopt's own diagnostics start with the program name as invoked
    const std::string parser_prefix = std::string(kSink) + ": ";
    for (const auto &c : cases) {
        std::string what;
        for (const auto &a : c.args)
            what += " " + a;
        SCOPED_TRACE(what);
        Sink sink;
        ASSERT_NO_FATAL_FAILURE(sink.start(c.args));
        ASSERT_TRUE(sink.wait_exit());
        EXPECT_TRUE(sink.exited_with(1)) << sink.status();
        EXPECT_EQ("", sink.out());

        std::istringstream in(sink.err());
        std::string line, ours;
        int parser = 0;
        bool parser_before_ours = true;
        while (std::getline(in, line)) {
            if (line.compare(0, parser_prefix.size(), parser_prefix) == 0) {
                parser++;
                // each parser complaint directly precedes our own for it
                std::string next;
                if (!std::getline(in, next) ||
                    next.compare(0, 16, "unknown option: ") != 0)
                    parser_before_ours = false;
                ours += next + "\n";
            } else {
                ours += line + "\n";
            }
        }
        EXPECT_EQ(c.err, ours);
        EXPECT_EQ(c.parser_lines, parser) << sink.err();
        EXPECT_TRUE(parser_before_ours) << sink.err();
    }
}

TEST(MsgsinkRefuses, BusyPortAndLogBeforeSocket) {
    int busy = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(busy, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
    socklen_t len = sizeof(a);
    getsockname(busy, reinterpret_cast<sockaddr *>(&a), &len);
    std::string port = std::to_string(ntohs(a.sin_port));

    {
        Sink sink;
        ASSERT_NO_FATAL_FAILURE(sink.start({"-a", "127.0.0.1", "-p", port}));
        ASSERT_TRUE(sink.wait_exit());
        EXPECT_TRUE(sink.exited_with(1));
        EXPECT_EQ("msgsink: bind: Address already in use\n", sink.err());
        EXPECT_EQ("", sink.out());
    }
    {
        // the log file is opened before the socket is made
        Sink sink;
        ASSERT_NO_FATAL_FAILURE(sink.start(
            {"-a", "127.0.0.1", "-p", port, "-l", "/nonexistent-dir/log"}));
        ASSERT_TRUE(sink.wait_exit());
        EXPECT_TRUE(sink.exited_with(1));
        EXPECT_EQ("fopen: /nonexistent-dir/log: No such file or directory\n",
                  sink.err());
    }
    close(busy);
}

// ---------------------------------------------------------------------------
// Signals

TEST(MsgsinkSignals, TruncateWhileIdleEmptiesTheFileAndLaterLinesStartIt) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_logging("m"));
    Sender tx;
    for (int i = 0; i < 3; i++)
        tx.send(sink.port(), "1 h t f l old" + std::to_string(i));
    ASSERT_EQ(3u, count_lines(sink.sync_log(3)));

    // nothing arrives: the signal alone must act, at once
    kill(sink.pid(), SIGUSR1);
    auto deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    struct stat st {};
    while (stat(sink.log().c_str(), &st) == 0 && st.st_size != 0 &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(0, st.st_size);

    tx.send(sink.port(), "1 h t f l new");
    // append mode: no hole where the old lines were
    EXPECT_EQ("new\n", sink.sync_log(1));
}

// Copy-then-truncate rotation: what was on disk goes to the copy, and a line
// still in the stream's buffer when the signal comes opens the new file.
TEST(MsgsinkSignals, RotationKeepsBufferedLinesForTheNewFile) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_logging("m"));
    Sender tx;
    tx.send(sink.port(), "1 h t f l written0");
    tx.send(sink.port(), "1 h t f l written1");
    ASSERT_EQ("written0\nwritten1\n", sink.sync_log(2));

    tx.send(sink.port(), "1 h t f l buffered");
    // read by msgsink but, unflushed, still in its stdio buffer
    ASSERT_TRUE(sink.wait_drained());
    const std::string rotated = read_file(sink.log());
    ASSERT_TRUE(sink.signal_taken(SIGUSR1));
    EXPECT_EQ("written0\nwritten1\n", rotated);

    tx.send(sink.port(), "1 h t f l after");
    // append mode: the buffered line starts the file, with no hole before it
    EXPECT_EQ("buffered\nafter\n", sink.sync_log(2));
}

TEST(MsgsinkSignals, TruncateWhileMessagesKeepArriving) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_logging("m"));
    constexpr int kCount = 3000;
    std::atomic<int> sent{0};
    std::thread sender([&] {
        Sender tx;
        char buf[64];
        for (int i = 1; i <= kCount; i++) {
            snprintf(buf, sizeof(buf), "1 h t f l seq=%06d", i);
            tx.send(sink.port(), buf);
            sent = i;
            if (i % 10 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
    });
    // keep the stream flushing so there is something on disk to cut
    bool cut = false;
    auto deadline = Clock::now() + std::chrono::milliseconds(3 * kWaitMs);
    while (sent < kCount && Clock::now() < deadline) {
        kill(sink.pid(), SIGUSR2);
        if (!cut && sent >= kCount / 2) {
            kill(sink.pid(), SIGUSR1);
            cut = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    sender.join();
    ASSERT_TRUE(cut);

    // A loaded machine may drop some datagrams of the stream; the marker
    // goes out once the queue is empty, so it cannot be one of them.
    ASSERT_TRUE(sink.wait_drained());
    Sender tx;
    tx.send(sink.port(), "1 h t f l seq=999999");
    std::string log;
    deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    do {
        kill(sink.pid(), SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        log = read_file(sink.log());
    } while (log.find("seq=999999\n") == std::string::npos &&
             Clock::now() < deadline);

    ASSERT_FALSE(log.empty());
    EXPECT_EQ(std::string::npos, log.find('\0')) << "hole left by the cut";
    // In order, none from before the cut. Only the first line may be the tail
    // of one whose head the stream had written out before the cut.
    std::istringstream in(log);
    std::string line;
    int prev = 0, first = 0, lines = 0;
    if (std::getline(in, line) && line.size() < 10) {
        for (size_t j = 0, k = 10 - line.size(); j < line.size(); j++, k++)
            EXPECT_TRUE(k < 4 ? line[j] == "seq="[k] : isdigit((unsigned char)line[j]))
                << "not the tail of a line: " << line;
    } else {
        in.clear();
        in.seekg(0);
    }
    while (std::getline(in, line)) {
        int n = 0;
        ASSERT_EQ(1, sscanf(line.c_str(), "seq=%d", &n)) << line;
        ASSERT_EQ(10u, line.size()) << line;
        ASSERT_GT(n, prev);
        if (!first)
            first = n;
        prev = n;
        lines++;
    }
    EXPECT_EQ(999999, prev);
    EXPECT_GT(first, 1);
    EXPECT_LT(lines, kCount);
}

TEST(MsgsinkSignals, TruncateWithoutLogFileDoesNothing) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_listening({"-a", "127.0.0.1", "-f", "m"}));
    Sender tx;
    tx.send(sink.port(), "1 h t f l one");
    ASSERT_TRUE(sink.wait_drained());
    ASSERT_TRUE(sink.signal_taken(SIGUSR1));
    ASSERT_TRUE(sink.signal_taken(SIGUSR2));
    tx.send(sink.port(), "1 h t f l two");
    tx.send(sink.port(), "");
    ASSERT_TRUE(sink.wait_exit());
    EXPECT_TRUE(sink.exited_with(1)) << sink.status();
    EXPECT_EQ(sink.startup() + "one\ntwo\n", sink.out());
}

TEST(MsgsinkSignals, TerminateFlushesAndExitsZero) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        Sink sink;
        ASSERT_NO_FATAL_FAILURE(sink.start_logging("dm"));
        Sender tx;
        tx.send(sink.port(), "1 h t f l flushed");
        ASSERT_EQ("1 flushed\n", sink.sync_log(1));
        tx.send(sink.port(), "2 h t f l only in the buffer");
        tx.send(sink.port(), "3 h t f l likewise");
        ASSERT_TRUE(sink.wait_drained());
        kill(sink.pid(), sig);
        ASSERT_TRUE(sink.wait_exit());
        EXPECT_TRUE(sink.exited_with(0)) << sink.status();
        EXPECT_EQ("1 flushed\n2 only in the buffer\n3 likewise\n",
                  read_file(sink.log()));
        EXPECT_EQ("", sink.err());
    }
}

TEST(MsgsinkSignals, TerminateWhileIdleWithoutAnyDatagram) {
    Sink sink;
    ASSERT_NO_FATAL_FAILURE(sink.start_logging());
    auto t0 = Clock::now();
    kill(sink.pid(), SIGTERM);
    ASSERT_TRUE(sink.wait_exit(2000));
    EXPECT_TRUE(sink.exited_with(0)) << sink.status();
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ("", read_file(sink.log()));
}

}  // namespace
