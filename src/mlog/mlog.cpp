/*
 * The message log: a facility table with per-facility masks, and a list of
 * sinks (standard error, a log file, and whatever else mlog_open adds).
 *
 * mlog_xst is read without a lock by mlog_filter(): opening and closing the
 * log swap whole tables, and the old ones are kept until process exit, so a
 * reader racing with a reopen never sees freed memory.
 */
#include "mlog.h"
#include "mlog/mlog_sink.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <sys/time.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

struct mlog_xstate mlog_xst = {nullptr, nullptr, 0, nullptr};

namespace {

struct FacName {
    const char *aname;
    const char *lname;
};

const FacName kFacNames[VESK_FAC_COUNT] = {
    {"VESK", "default"},  {"UTIL", "util"},     {"INT", "internal"},
    {"CONT", "container"}, {"INDEX", "index"},  {"WF", "writefile"},
    {"CONF", "config"},   {"API", "api"},       {"FUSE", "fuse"},
    {"FFS", "flatfs"},
};

struct LevelName {
    const char *name;
    int bit;
    int mask;
};

// Most severe first: a message naming several priorities is named by the
// most severe of them, and each name's mask holds its priority and all above.
const LevelName kLevels[] = {
    {"CRIT", MLOG_CRIT, MLOG_MASK_CRIT}, {"ERR", MLOG_ERR, MLOG_MASK_ERR},
    {"WARN", MLOG_WARN, MLOG_MASK_WARN}, {"INFO", MLOG_INFO, MLOG_MASK_INFO},
    {"DBG1", MLOG_DBG1, MLOG_MASK_DBG1}, {"DBG2", MLOG_DBG2, MLOG_MASK_DBG2},
    {"DBG3", MLOG_DBG3, MLOG_MASK_DBG3},
};

class FileSink : public MlogSink {
public:
    FileSink(int fd, bool owned) : fd_(fd), owned_(owned) {}
    ~FileSink() override {
        if (owned_) ::close(fd_);
    }
    void write(const MlogRecord &rec) override {
        // One write per line: O_APPEND keeps lines of several processes
        // whole, and the lock keeps this process's threads in order.
        std::lock_guard<std::mutex> g(mu_);
        const char *p = rec.line;
        size_t left = rec.line_len;
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            p += n;
            left -= (size_t)n;
        }
    }

private:
    int fd_;
    bool owned_;
    std::mutex mu_;
};

class StderrSink : public FileSink {
public:
    explicit StderrSink(int mask) : FileSink(2, false), mask_(mask) {}
    void write(const MlogRecord &rec) override {
        if (rec.flags & mask_) FileSink::write(rec);
    }

private:
    int mask_;
};

struct LogState {
    std::shared_mutex mu;  // writers: open/close; readers: mlog()
    std::vector<std::unique_ptr<MlogSink>> sinks;
    // Every facility table, node name and tag ever published: none is
    // freed (see the file comment), and holding them here keeps them
    // reachable, so leak checkers do not count them.
    std::vector<mlog_fac *> kept_tables;
    std::vector<char *> kept_strings;
};

LogState &state() {
    static LogState *s = new LogState;  // lives until exit, used at exit
    return *s;
}

const char *priority_name(int flags) {
    for (const LevelName &l : kLevels)
        if (flags & l.bit) return l.name;
    return "LOG";
}

}  // namespace

std::string mlog_format_time(double t) {
    time_t secs = (time_t)t;
    long usec = (long)((t - (double)secs) * 1e6);
    if (usec < 0) usec = 0;
    if (usec > 999999) usec = 999999;
    struct tm tm;
    gmtime_r(&secs, &tm);
    char buf[64];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ",
             tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
             tm.tm_min, tm.tm_sec, usec);
    return buf;
}

extern "C" int mlog_level_mask(const char *name) {
    if (!name) return -1;
    for (const LevelName &l : kLevels)
        if (strcasecmp(name, l.name) == 0) return l.mask;
    if (strcasecmp(name, "error") == 0) return MLOG_MASK_ERR;
    if (strcasecmp(name, "warning") == 0) return MLOG_MASK_WARN;
    if (strcasecmp(name, "debug") == 0) return MLOG_MASK_DBG2;
    if (strcasecmp(name, "all") == 0) return MLOG_PRIMASK;
    if (strcasecmp(name, "none") == 0 || strcasecmp(name, "off") == 0) return 0;
    char *end = nullptr;
    errno = 0;
    long v = strtol(name, &end, 0);
    if (errno == 0 && end != name && *end == '\0' && v >= 0 &&
        v <= MLOG_PRIMASK)
        return (int)v & MLOG_PRIMASK;
    return -1;
}

extern "C" const char *mlog_priority_name(int flags) {
    return priority_name(flags);
}

namespace {

// Parses a mask text into (facility or -1 for all, mask) pairs; the
// facility names are the fixed ones, so no open log is needed.
int parse_masks(const char *text, std::vector<std::pair<int, int>> *changes) {
    if (!text) return -EINVAL;
    std::string s(text);
    size_t pos = 0;
    while (pos <= s.size()) {
        size_t comma = s.find(',', pos);
        if (comma == std::string::npos) comma = s.size();
        std::string item = s.substr(pos, comma - pos);
        pos = comma + 1;
        while (!item.empty() && isspace((unsigned char)item.front())) item.erase(0, 1);
        while (!item.empty() && isspace((unsigned char)item.back())) item.pop_back();
        if (item.empty()) continue;
        size_t eq = item.find('=');
        int fac = -1;
        std::string level = item;
        if (eq != std::string::npos) {
            std::string fname = item.substr(0, eq);
            while (!fname.empty() && isspace((unsigned char)fname.back())) fname.pop_back();
            level = item.substr(eq + 1);
            while (!level.empty() && isspace((unsigned char)level.front())) level.erase(0, 1);
            for (int f = 0; f < VESK_FAC_COUNT; f++) {
                if (strcasecmp(fname.c_str(), kFacNames[f].aname) == 0 ||
                    strcasecmp(fname.c_str(), kFacNames[f].lname) == 0)
                    fac = f;
            }
            if (fac < 0) return -EINVAL;
        }
        int mask = mlog_level_mask(level.c_str());
        if (mask < 0) return -EINVAL;
        changes->emplace_back(fac, mask);
    }
    return 0;
}

}  // namespace

extern "C" int mlog_checkmasks(const char *text) {
    std::vector<std::pair<int, int>> changes;
    return parse_masks(text, &changes);
}

extern "C" int mlog_setmasks(const char *text) {
    if (!text || !mlog_xst.mlog_facs) return -EINVAL;
    // Parse everything first so that a bad text changes nothing.
    std::vector<std::pair<int, int>> changes;  // facility (-1: all), mask
    if (parse_masks(text, &changes) != 0) return -EINVAL;
    for (auto &c : changes) {
        if (c.first < 0) {
            for (int f = 0; f < mlog_xst.fac_cnt; f++)
                mlog_xst.mlog_facs[f].fac_mask = c.second;
        } else if (c.first < mlog_xst.fac_cnt) {
            mlog_xst.mlog_facs[c.first].fac_mask = c.second;
        }
    }
    return 0;
}

/* Defined beside the other channels; each returns null when not asked. */
std::unique_ptr<MlogSink> mlog_make_msgbuf_sink(int size);
std::unique_ptr<MlogSink> mlog_make_udp_sink(const char *target, int *err);
std::unique_ptr<MlogSink> mlog_make_syslog_sink(const char *facility, int *err);

extern "C" int mlog_open(const char *tag, const struct mlog_options *opts) {
    struct mlog_options dflt;
    memset(&dflt, 0, sizeof dflt);
    if (!opts) opts = &dflt;
    LogState &st = state();
    std::unique_lock<std::shared_mutex> g(st.mu);

    std::vector<std::unique_ptr<MlogSink>> sinks;
    if (opts->logfile && *opts->logfile) {
        int fd = ::open(opts->logfile, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return -errno;
        sinks.push_back(std::make_unique<FileSink>(fd, true));
    }
    if (opts->stderr_mask) sinks.push_back(std::make_unique<StderrSink>(opts->stderr_mask));
    if (auto buf = mlog_make_msgbuf_sink(opts->msgbuf_size)) sinks.push_back(std::move(buf));
    if (opts->udp_target && *opts->udp_target) {
        int err = 0;
        auto udp = mlog_make_udp_sink(opts->udp_target, &err);
        if (!udp) return err ? err : -EINVAL;
        sinks.push_back(std::move(udp));
    }
    if (opts->syslog_facility && *opts->syslog_facility) {
        int err = 0;
        auto sys = mlog_make_syslog_sink(opts->syslog_facility, &err);
        if (!sys) return err;
        sinks.push_back(std::move(sys));
    }

    // Build the new tables before anything is published; the old ones stay
    // allocated (see the file comment).
    int mask = opts->default_mask ? opts->default_mask : MLOG_MASK_WARN;
    mlog_fac *facs = new mlog_fac[VESK_FAC_COUNT];
    for (int f = 0; f < VESK_FAC_COUNT; f++) {
        facs[f].fac_mask = mask;
        facs[f].fac_aname = const_cast<char *>(kFacNames[f].aname);
        facs[f].fac_lname = const_cast<char *>(kFacNames[f].lname);
    }
    struct utsname un;
    char *node = strdup(uname(&un) == 0 ? un.nodename : "localhost");
    char *newtag = strdup(tag && *tag ? tag : "vesk");

    st.kept_tables.push_back(facs);
    st.kept_strings.push_back(node);
    st.kept_strings.push_back(newtag);
    st.sinks = std::move(sinks);
    // The tag is published last, with release order: a reader that sees it
    // sees the tables it guards.
    __atomic_store_n(&mlog_xst.tag, (char *)nullptr, __ATOMIC_RELEASE);
    mlog_xst.mlog_facs = facs;
    mlog_xst.nodename = node;
    mlog_xst.fac_cnt = VESK_FAC_COUNT;
    __atomic_store_n(&mlog_xst.tag, newtag, __ATOMIC_RELEASE);
    return 0;
}

extern "C" void mlog_close(void) {
    LogState &st = state();
    std::unique_lock<std::shared_mutex> g(st.mu);
    mlog_xst.tag = nullptr;
    st.sinks.clear();
}

extern "C" void mlog(int flags, const char *fmt, ...) {
    int saved = errno;  // logging never disturbs the caller's errno
    LogState &st = state();
    std::shared_lock<std::shared_mutex> g(st.mu);
    if (!mlog_xst.tag) return;  // closed between the filter and here

    char small[1024];
    std::string big;
    const char *msg = small;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        errno = saved;
        return;
    }
    if ((size_t)n >= sizeof small) {
        big.resize((size_t)n + 1);
        va_start(ap, fmt);
        vsnprintf(&big[0], big.size(), fmt, ap);
        va_end(ap);
        big.resize((size_t)n);
        msg = big.c_str();
    }
    // One record per message; a caller's trailing line feed is not doubled.
    size_t mlen = strlen(msg);
    std::string text(msg, mlen);
    while (!text.empty() && text.back() == '\n') text.pop_back();

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    double now = (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
    unsigned fac = (unsigned)(flags & MLOG_FACMASK);
    if (fac >= (unsigned)mlog_xst.fac_cnt) fac = 0;
    const char *fname = mlog_xst.mlog_facs[fac].fac_aname;
    const char *lvl = priority_name(flags);

    std::string line = mlog_format_time(now);
    line += ' ';
    line += mlog_xst.tag;
    line += '[';
    line += std::to_string((long)getpid());
    line += "] ";
    line += fname;
    line += ' ';
    line += lvl;
    line += ": ";
    line += text;
    line += '\n';

    MlogRecord rec{now, flags, mlog_xst.tag, mlog_xst.nodename, fname, lvl,
                   text.c_str(), line.c_str(), line.size()};
    for (auto &s : st.sinks) s->write(rec);
    errno = saved;
}
