/*
 * The command line of veskfs and the mount it serves: the configuration's
 * mount point of that name or, when there is no configuration file at all,
 * a built-in one described by the command line.
 *
 * Two forms are accepted:
 *     veskfs [options] MOUNTPOINT
 *     veskfs SOURCE MOUNTPOINT [-o opt,...]     (as mount(8) runs it)
 * SOURCE is a configuration file to use, or a word such as "none" that
 * only fills the device column of fstab.
 */
#ifndef VESKFS_OPTIONS_H
#define VESKFS_OPTIONS_H

#include <string>
#include <vector>

#include "vesk.h"

namespace veskfs {

struct CmdLine {
    std::string mountpoint;               // as given
    std::string source;                   // mount(8)'s first operand; may be ""
    std::string config;                   // configuration file named by SOURCE
    std::vector<std::string> backends;    // --backend, in order
    std::string layout;                   // --layout; empty: not given
    bool help = false;
    bool version = false;
    bool writeback = false;               // --writeback (opt-in)
    bool foreground = false;              // -f or -d: no detaching
    std::vector<std::string> fuse_args;   // everything libfuse should see
};

/* 0, or -EINVAL with a message in *err. */
int parse_cmdline(int argc, char **argv, CmdLine *out, std::string *err);

/* Drops the options of an fstab line that only mount(8) understands
 * ("defaults", "_netdev", "noauto", "x-..." ...) from a comma-separated
 * list; returns what is left, possibly "". */
std::string filter_mount_options(const std::string &opts);

/* What the daemon serves, fixed at start. */
struct Served {
    std::string mount;                    // normalized absolute mount point
    vesk_layout layout = VESK_LAYOUT_CONTAINER;
    std::vector<std::string> backends;
    bool builtin = false;                 // true: from the command line
    std::string config_file;              // empty when none was read
};

/* Finds the mount point in the configuration or, without a configuration
 * file, installs the built-in one (creating its backends). Refuses a
 * broken configuration, a mount point it does not name, and a backend that
 * is missing or not a directory. 0 or minus errno with a message in *err. */
int setup_mount(const CmdLine &cmd, Served *out, std::string *err);

const char *layout_name(vesk_layout l);

void print_usage(const char *prog);

}  // namespace veskfs

#endif
