/*
 * The log's syslog channel, for a daemon that has lost its terminal: each
 * message goes to syslog(3) under the chosen facility, with the priority
 * that matches its level. The log's own tag names the messages.
 */
#include "mlog.h"
#include "mlog/mlog_sink.h"

#include <cerrno>
#include <cstring>
#include <syslog.h>

namespace {

struct SyslogFacility {
    const char *name;
    int code;
};

const SyslogFacility kFacilities[] = {
    {"daemon", LOG_DAEMON}, {"user", LOG_USER},     {"local0", LOG_LOCAL0},
    {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3},
    {"local4", LOG_LOCAL4}, {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6},
    {"local7", LOG_LOCAL7},
};

int priority_of(int flags) {
    if (flags & MLOG_CRIT) return LOG_CRIT;
    if (flags & MLOG_ERR) return LOG_ERR;
    if (flags & MLOG_WARN) return LOG_WARNING;
    if (flags & MLOG_INFO) return LOG_INFO;
    return LOG_DEBUG;
}

class SyslogSink : public MlogSink {
public:
    explicit SyslogSink(int facility) : facility_(facility) {}
    // syslog(3) is thread-safe; it connects on first use and reconnects
    // after a restart of the log daemon by itself.
    void write(const MlogRecord &rec) override {
        syslog(facility_ | priority_of(rec.flags), "%s[%s] %s: %s", rec.tag, rec.facility,
               rec.level, rec.message);
    }

private:
    int facility_;
};

}  // namespace

int mlog_syslog_facility(const char *name) {
    if (!name) return -1;
    for (const SyslogFacility &f : kFacilities)
        if (strcasecmp(name, f.name) == 0) return f.code;
    return -1;
}

std::unique_ptr<MlogSink> mlog_make_syslog_sink(const char *facility, int *err) {
    int code = mlog_syslog_facility(facility);
    if (code < 0) {
        *err = -EINVAL;
        return nullptr;
    }
    *err = 0;
    return std::make_unique<SyslogSink>(code);
}
