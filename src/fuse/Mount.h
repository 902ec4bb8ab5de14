/*
 * veskfs's start and end: the command line checked, the configuration's
 * mount point found, the FUSE mount made, the daemon detached, and the
 * exit status once the mount is gone.
 */
#ifndef VESKFS_MOUNT_H
#define VESKFS_MOUNT_H

#include <string>

#include "fuse/Options.h"

struct fuse_lowlevel_ops;

namespace veskfs {

/* Everything before the mount: parses the command line, answers --help and
 * --version, reads the configuration and decides what is served. Returns
 * an exit status when the program should end now (after printing why),
 * -1 when it should go on to serve(). */
int prepare(int argc, char **argv, CmdLine *cmd, Served *served);

/* Says `text` (an MLOG_ level) on standard error while the daemon has one,
 * and through the library's log, which reaches syslog once detached. */
void say(int level, const std::string &text);

/* "" when `mount` is free for a vesk mount, else why it is not: a vesk
 * mount (live or left behind by a dead daemon) is there already. */
std::string mount_conflict(const std::string &mount);

/* Mounts, detaches unless in the foreground, and serves until the mount
 * goes: unmounted (umount, fusermount3 -u) or ended by SIGTERM, SIGINT or
 * SIGHUP, all of which exit 0. Returns the exit status. */
int serve(const CmdLine &cmd, const Served &served, const fuse_lowlevel_ops *ops);

}  // namespace veskfs

#endif
