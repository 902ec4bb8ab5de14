/*
 * The message log's output channels. mlog() formats a message once into a
 * MlogRecord and hands it to every open sink, in order, under the log's
 * read lock: a sink's write() may run in many threads at once and must do
 * its own locking. Sinks are made by mlog_open() and destroyed by
 * mlog_close().
 */
#ifndef VESK_MLOG_SINK_H
#define VESK_MLOG_SINK_H

#include <memory>
#include <string>

struct MlogRecord {
    double time;           /* seconds since the epoch */
    int flags;             /* the level word */
    const char *tag;       /* the log's tag */
    const char *host;      /* node name */
    const char *facility;  /* facility's short name */
    const char *level;     /* priority name, e.g. "INFO" */
    const char *message;   /* the formatted text, no trailing line feed */
    const char *line;      /* the whole line as files show it, with '\n' */
    size_t line_len;
};

class MlogSink {
public:
    virtual ~MlogSink() {}
    virtual void write(const MlogRecord &rec) = 0;
};

/* "2026-12-08T14:03:11.123456Z" for `t` (seconds since the epoch). */
std::string mlog_format_time(double t);

/* The syslog(3) facility code of "daemon", "user", "local0".."local7";
 * -1 for any other name. */
int mlog_syslog_facility(const char *name);

#endif
