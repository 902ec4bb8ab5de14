/*
 * The text of the mount's read-only pseudo-file ".veskdebug": what the
 * library is (version, build time, a checksum of its binary) and what the
 * mount is doing (open files, bytes and operations, the latest trace line).
 * vesk_version prints the lines holding "Version", "Build" or "checksum";
 * the live figures are worded so that they hold none of the three.
 */
#ifndef VESKFS_DEBUGINFO_H
#define VESKFS_DEBUGINFO_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuse/Options.h"

namespace veskfs {

/* FNV-1a 64 of a file's bytes; 0 or minus errno. */
int fnv1a64_file(const std::string &path, uint64_t *sum);

/* The path of the loaded libvesk, found through one of its symbols; empty
 * when the loader cannot tell. */
std::string library_path();

struct LiveFigures {
    size_t open_files = 0;
};

/* The whole text of ".veskdebug" now. */
std::string debug_text(const Served &served, const LiveFigures &live);

}  // namespace veskfs

#endif
