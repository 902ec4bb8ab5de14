/*
 * Lexical path normalization, shared by the library's configuration and
 * the veskfs daemon's command line (which compiles this file in itself:
 * the library does not export it).
 */
#ifndef VESK_UTIL_NORMALIZEPATH_H
#define VESK_UTIL_NORMALIZEPATH_H

#include <string>

namespace vesk {

/* Lexically normalizes an absolute path: collapses "//" and ".", resolves
 * ".." (never above "/"). Relative paths are taken from the working
 * directory. */
std::string normalize_path(const std::string &p);

}  // namespace vesk

#endif
