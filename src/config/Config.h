/*
 * The library's configuration: mount points, each served by one or more
 * backend directories in one layout, and the log settings.
 *
 *     # global settings first
 *     log_level = warn            # mlog_setmasks() text: "info,CONT=dbg2"
 *     log_file = /var/log/vesk.log
 *     log_udp = 127.0.0.1:5140    # send every message to a msgsink
 *     log_stderr = err            # copy messages at this level to stderr
 *     log_buffer = 262144         # bytes of recent messages kept in memory
 *     log_syslog = daemon         # also to syslog: daemon, user, local0..7,
 *                                 # or none (not even for a detached veskfs)
 *     trace = 1                   # one trace line per I/O call
 *     debug = 1                   # vesk_debug() prints to stderr
 *     verify = 1                  # check every write's bytes against its
 *                                 # checksum when a reader opens a file
 *
 *     [mount /vesk/ckpt]
 *     backends = /scratch/a /scratch/b
 *     layout = container          # or flat
 *
 * Found through $VESK_CONFIG, else $HOME/.veskrc, else /etc/vesk.conf. The
 * environment variables VESK_LOG, VESK_LOG_FILE, VESK_LOG_UDP,
 * VESK_LOG_STDERR, VESK_LOG_SYSLOG, VESK_TRACE and VESK_DEBUG override the
 * file's settings.
 *
 * A file with any error (or a bad value in one of those variables) serves
 * no mount points: every path then resolves to -EINVAL, and the first
 * error, naming the file and the line, is logged once.
 */
#ifndef VESK_CONFIG_H
#define VESK_CONFIG_H

#include "util/NormalizePath.h"

#include <memory>
#include <string>
#include <vector>

namespace vesk {

enum class Layout { Flat, Container };

const char *layout_name(Layout l);

struct Mount {
    std::string path;                   // normalized: "/a/b", no trailing '/'
    std::vector<std::string> backends;  // normalized absolute directories
    Layout layout = Layout::Container;
    int line = 0;                       // where the [mount] header stands
};

struct Config {
    std::string file;     // the file read; empty when none was found
    bool found = false;
    std::vector<Mount> mounts;
    std::vector<std::string> errors;  // "file:line: message"

    std::string log_level;   // empty: the log stays closed
    std::string log_file;
    std::string log_udp;
    std::string log_stderr;
    std::string log_syslog;  // syslog facility name; empty: none
    int log_buffer = 0;      // 0: default size
    bool trace = false;
    bool debug = false;
    bool verify = false;     // data checksums checked when an index is merged
};

/* The process's configuration, read once on first use (thread-safe). */
std::shared_ptr<const Config> config();
/* config()->trace, without taking the configuration (every read and
 * write asks). */
bool tracing();
/* Reads the configuration anew (tests point $VESK_CONFIG elsewhere first)
 * and makes it the process's configuration. */
std::shared_ptr<const Config> config_reload();
/* Parses `text` as if read from `name`; touches no global state. */
std::shared_ptr<Config> config_parse(const std::string &text,
                                     const std::string &name);
/* Where the configuration would be read from; empty when nowhere. */
std::string config_locate();
/* Installs `cfg` as the process's configuration (the FUSE daemon's
 * built-in default). */
void config_install(std::shared_ptr<const Config> cfg);

/* Opens the log's syslog channel under `facility` unless the
 * configuration names one (or "none"). 0 or -EINVAL. */
int config_default_syslog(const std::string &facility);

/* A logical path resolved against the mount table. */
struct Resolved {
    std::shared_ptr<const Config> cfg;  // keeps `mount` alive
    const Mount *mount = nullptr;
    std::string rel;        // below the mount point, "" for its root
    size_t backend = 0;     // index of the backend that holds the path
    std::string backend_path;
};

/* 0, or -ENOENT (under no mount point), -EINVAL (a ".." climbing above
 * the mount point, or a configuration with errors), -ENAMETOOLONG. */
int resolve(const char *logical, Resolved *out);
/* The backend chosen for a file of that name (the last component of its
 * path): a stable hash, so the choice follows from the name alone and a
 * directory rename moves no file between backends. */
size_t backend_for(const std::string &rel, size_t nbackends);
/* Where the path `rel` below mount `m` lives ("" for its root): on the
 * backend its last component picks. */
std::string backend_path(const Mount &m, const std::string &rel);

}  // namespace vesk

#endif
