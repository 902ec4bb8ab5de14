/*
 * The command line of veskfs and the mount it serves: the configuration's
 * mount point of that name, or a built-in default installed in its place.
 */
#ifndef VESKFS_OPTIONS_H
#define VESKFS_OPTIONS_H

#include <string>
#include <vector>

#include "config/Config.h"

namespace veskfs {

struct CmdLine {
    std::string mountpoint;               // as given
    std::vector<std::string> backends;    // --backend, in order
    std::string layout;                   // --layout; empty: not given
    bool help = false;
    bool version = false;
    bool writeback = false;               // --writeback (opt-in)
    std::vector<std::string> fuse_args;   // everything libfuse should see
};

/* 0, or -EINVAL with a message in *err. */
int parse_cmdline(int argc, char **argv, CmdLine *out, std::string *err);

/* What the daemon serves, fixed at start. */
struct Served {
    std::string mount;                    // normalized absolute mount point
    vesk::Layout layout = vesk::Layout::Container;
    std::vector<std::string> backends;
    bool builtin = false;                 // true: from the command line
    std::string config_file;              // empty when none was read
};

/* Finds the mount point in the configuration or installs the built-in
 * default (creating its backends). Notes worth telling the user land in
 * *notes; 0 or minus errno with a message in *err. */
int setup_mount(const CmdLine &cmd, Served *out,
                std::vector<std::string> *notes, std::string *err);

void print_usage(const char *prog);

}  // namespace veskfs

#endif
