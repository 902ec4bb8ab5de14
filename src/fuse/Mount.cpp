// 3.12: the loop configuration is the caller's to free (the older entry
// point leaks the one it makes).
#define FUSE_USE_VERSION 312
#include "fuse/Mount.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <vector>

#include "fuse/Permissions.h"
#include "mlog.h"
#include "vesk.h"

namespace veskfs {

namespace {

// mountinfo writes space, tab, line feed and backslash as \ooo.
std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
            out += (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Once detached, standard error is gone: the library's log is the only
// place left for what the daemon has to say.
bool g_detached = false;

}  // namespace

void say(int level, const std::string &text) {
    if (!g_detached) fprintf(stderr, "veskfs: %s\n", text.c_str());
    if (mlog_filter(level | VESK_FAC_FUSE)) mlog(level | VESK_FAC_FUSE, "%s", text.c_str());
}

std::string mount_conflict(const std::string &mount) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root mountpoint options [optional...] - fstype source ...
        std::istringstream ss(line);
        std::string id, parent, dev, root, mp;
        ss >> id >> parent >> dev >> root >> mp;
        size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream rest(line.substr(dash + 3));
        std::string fstype;
        rest >> fstype;
        if (fstype == "fuse.veskfs" && unescape(mp) == mount)
            return mount + " already has a vesk mount (unmount it first: umount " + mount +
                   " or fusermount3 -u " + mount + ")";
    }
    return "";
}

int prepare(int argc, char **argv, CmdLine *cmd, Served *served) {
    std::string err;
    if (parse_cmdline(argc, argv, cmd, &err) != 0) {
        fprintf(stderr, "veskfs: %s\n(try %s --help)\n", err.c_str(), argv[0]);
        return 1;
    }
    if (cmd->help) {
        print_usage(argv[0]);
        printf("FUSE options:\n");
        fuse_cmdline_help();
        fuse_lowlevel_help();
        return 0;
    }
    if (cmd->version) {
        printf("veskfs: libvesk %s (revision %s, built %s)\n", vesk_tag(), vesk_version(),
               vesk_buildtime());
        printf("FUSE library version %s\n", fuse_pkgversion());
        return 0;
    }
    // The configuration named on the command line is read by the library
    // on its first call, which comes next.
    if (!cmd->config.empty()) setenv("VESK_CONFIG", cmd->config.c_str(), 1);
    if (setup_mount(*cmd, served, &err) != 0) {
        say(MLOG_ERR, err + "; not mounted");
        return 1;
    }
    err = mount_conflict(served->mount);
    if (!err.empty()) {
        say(MLOG_ERR, err);
        return 1;
    }
    return -1;
}

// A file open through the mount holds several descriptors in the daemon
// (its data and index logs, the log read back for reads of its own
// writes, the container directory): at the usual soft limit of 1024 the
// mount would fail opens with EMFILE at a few hundred open files, where a
// local file system takes as many as the programs' own limits allow.
static void raise_descriptor_limit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max) return;
    rlim_t was = rl.rlim_cur;
    rl.rlim_cur = rl.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
        say(MLOG_WARN, std::string("warning: descriptor limit stays at ") + std::to_string(was) +
                           ": " + strerror(errno));
}

int serve(const CmdLine &cmd, const Served &served, const fuse_lowlevel_ops *ops) {
    raise_descriptor_limit();
    std::vector<std::string> fargs;
    fargs.push_back(cmd.fuse_args[0]);
    // The mount listing must name vesk: vesk_version finds mounts by it.
    fargs.push_back("-o");
    fargs.push_back("fsname=veskfs,subtype=veskfs");
    for (size_t i = 1; i < cmd.fuse_args.size(); i++) fargs.push_back(cmd.fuse_args[i]);
    for (const std::string &w : veskfs_secure_args(&fargs, served.backends))
        say(MLOG_WARN, "warning: " + w);
    fargs.push_back(served.mount);

    struct fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    for (const std::string &a : fargs) fuse_opt_add_arg(&args, a.c_str());
    struct fuse_cmdline_opts opts;
    memset(&opts, 0, sizeof opts);
    if (fuse_parse_cmdline(&args, &opts) != 0) {
        fuse_opt_free_args(&args);
        return 1;
    }
    if (opts.debug) {
        std::string line = "serving " + served.mount + " (" + layout_name(served.layout) +
                           ") from";
        for (const std::string &b : served.backends) line += " " + b;
        fprintf(stderr, "veskfs: %s\n", line.c_str());
    }
    int status = 1;
    struct fuse_session *se = fuse_session_new(&args, ops, sizeof *ops, nullptr);
    // The handlers go in before the mount: a stop signal that arrives as
    // soon as the mount shows (a script's umount-by-kill) then ends the
    // loop, which returns the signal's number, instead of killing a
    // daemon that has not yet said how it stops.
    if (se && fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, opts.mountpoint) == 0) {
            if (!opts.foreground) vesk_log_syslog("daemon");
            if (fuse_daemonize(opts.foreground) == 0) {
                g_detached = !opts.foreground;
                int res;
                if (opts.singlethread) {
                    res = fuse_session_loop(se);
                } else {
                    struct fuse_loop_config *loop = fuse_loop_cfg_create();
                    fuse_loop_cfg_set_clone_fd(loop, (unsigned)opts.clone_fd);
                    res = fuse_session_loop_mt(se, loop);
                    fuse_loop_cfg_destroy(loop);
                }
                // A signal ends the loop with its number: that is how
                // a daemon is asked to stop, not a failure.
                if (res == 0 || res == SIGTERM || res == SIGINT || res == SIGHUP) {
                    status = 0;
                } else {
                    say(MLOG_ERR, std::string("serving ") + served.mount + " failed: " +
                                      strerror(res < 0 ? -res : res));
                }
            }
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    if (se) {
        fuse_session_destroy(se);
    }
    free(opts.mountpoint);
    fuse_opt_free_args(&args);
    return status;
}

}  // namespace veskfs
