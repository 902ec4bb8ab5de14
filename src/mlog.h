/*
 * mlog: the library's message log.
 *
 * A level word is one priority bit ORed with a facility number:
 *
 *     word = MLOG_<PRIORITY> | facility        e.g. MLOG_INFO | VESK_FAC_FLATFS
 *
 * The low byte is the facility, the bits above it are priorities. Each
 * facility has a mask of enabled priority bits; a message is logged when its
 * priority bit is in its facility's mask. The priorities, most severe first
 * (as syslog orders them; the bit values are historical and do not follow
 * severity: ERR has a higher bit than WARN yet is more severe):
 *
 *     MLOG_CRIT  0x00004000   the library cannot go on as asked
 *     MLOG_ERR   0x00010000   an operation failed
 *     MLOG_WARN  0x00008000   something odd that was worked around
 *     MLOG_INFO  0x00020000   notable events (renames, trace lines)
 *     MLOG_DBG1  0x00040000   verbose
 *     MLOG_DBG2  0x00080000   debugging detail (thread pools, lookups)
 *     MLOG_DBG3  0x00100000   every wrapped system call
 *
 * A threshold such as "warn" enables its priority and every more severe one
 * (so "warn" also logs ERR and CRIT), whatever bit each priority has.
 *
 * Callers test mlog_filter() first and call mlog() only when it passes, so
 * arguments are built only for messages that will be logged. mlog() keeps no
 * pointer to its arguments and may be called from any number of threads with
 * no lock held. The log is closed until mlog_open() (or the library's
 * configuration) opens it; while closed nothing passes the filter.
 */
#ifndef VESK_MLOG_H
#define VESK_MLOG_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MLOG_FACMASK 0x000000ff
#define MLOG_PRIMASK 0x7fffff00

#define MLOG_CRIT 0x00004000
#define MLOG_WARN 0x00008000
#define MLOG_ERR  0x00010000
#define MLOG_INFO 0x00020000
#define MLOG_DBG1 0x00040000
#define MLOG_DBG2 0x00080000
#define MLOG_DBG3 0x00100000
/* every priority at or above a threshold, in order of severity */
#define MLOG_MASK_CRIT (MLOG_CRIT)
#define MLOG_MASK_ERR  (MLOG_MASK_CRIT | MLOG_ERR)
#define MLOG_MASK_WARN (MLOG_MASK_ERR | MLOG_WARN)
#define MLOG_MASK_INFO (MLOG_MASK_WARN | MLOG_INFO)
#define MLOG_MASK_DBG1 (MLOG_MASK_INFO | MLOG_DBG1)
#define MLOG_MASK_DBG2 (MLOG_MASK_DBG1 | MLOG_DBG2)
#define MLOG_MASK_DBG3 (MLOG_MASK_DBG2 | MLOG_DBG3)

/* Facilities of the library, one per component. */
#define VESK_FAC_DEFAULT   0  /* "VESK"   anything without a facility    */
#define VESK_FAC_UTIL      1  /* "UTIL"   system-call wrappers           */
#define VESK_FAC_INTERNAL  2  /* "INT"    trace messages, thread pool    */
#define VESK_FAC_CONTAINER 3  /* "CONT"   container layer                */
#define VESK_FAC_INDEX     4  /* "INDEX"  container index                */
#define VESK_FAC_WRITEFILE 5  /* "WF"     container write side           */
#define VESK_FAC_CONFIG    6  /* "CONF"   configuration, path expansion  */
#define VESK_FAC_API       7  /* "API"    public entry points            */
#define VESK_FAC_FUSE      8  /* "FUSE"   the mount daemon               */
#define VESK_FAC_FLATFS    9  /* "FFS"    flat-file file system          */
#define VESK_FAC_COUNT     10

struct mlog_fac {
    int fac_mask;    /* enabled priority bits */
    char *fac_aname; /* short name, e.g. "FFS" */
    char *fac_lname; /* long name, e.g. "flatfs" */
};

struct mlog_xstate {
    char *tag;                  /* null while the log is closed */
    struct mlog_fac *mlog_facs; /* indexed by facility number */
    int fac_cnt;
    char *nodename;
};

extern struct mlog_xstate mlog_xst;

static inline int mlog_filter(int flags)
{
    unsigned int fac;
    if (mlog_xst.tag == 0)
        return 0;
    fac = (unsigned int)(flags & MLOG_FACMASK);
    if (fac >= (unsigned int)mlog_xst.fac_cnt)
        fac = 0;
    return (mlog_xst.mlog_facs[fac].fac_mask & (flags & MLOG_PRIMASK)) != 0;
}

/* Where and how much the log writes. Zero/null fields take the defaults. */
struct mlog_options {
    int default_mask;       /* mask of every facility; default MLOG_MASK_WARN */
    int stderr_mask;        /* messages also copied to stderr; default 0 */
    const char *logfile;    /* append messages to this file; null: none */
    const char *udp_target; /* "host:port": send each message as a datagram */
    int msgbuf_size;        /* in-memory ring of recent messages, bytes;
                               0 takes the default, <0 none */
    const char *syslog_facility; /* "daemon", "user", "local0".."local7":
                                    also send each message to syslog */
};

/* Open the log under `tag`. Reopening closes the earlier log first.
 * Returns 0 or minus errno (a log file that cannot be opened). */
int mlog_open(const char *tag, const struct mlog_options *opts);
void mlog_close(void);

/* Set masks from a text such as "info", "warn,CONT=dbg2,FFS=info" or a
 * number ("0x30000"). A bare level applies to every facility; NAME=level to
 * the facility with that short or long name. Returns 0 or -EINVAL. */
int mlog_setmasks(const char *text);
/* 0 when mlog_setmasks() would accept `text`, else -EINVAL; needs no open
 * log. */
int mlog_checkmasks(const char *text);
/* Mask for a level name ("err", "info", "dbg2", ...); -1 if unknown. */
int mlog_level_mask(const char *name);
/* Name of the most severe priority bit in `flags` ("ERR", "INFO", ...). */
const char *mlog_priority_name(int flags);

void mlog(int flags, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Find the log's message buffer in a read-only image of `len` bytes (a core
 * file, a memory dump). On success returns 0 and the buffer's text as one
 * or two pieces inside the image, to be written in order (second length 0
 * when there is one piece); a negative result when no sound buffer is found.
 * Never reads outside the image and never writes to it. */
int mlog_bufdig(void *image, int len, char **b1, int *b1l, char **b2, int *b2l);

#ifdef __cplusplus
}
#endif

#endif
