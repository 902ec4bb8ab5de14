/* Shared by the administration tools. */
#ifndef VESK_TOOL_COMMON_H
#define VESK_TOOL_COMMON_H

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vesk.h"

/* Prints the library's version and exits 0 when `arg` is "-version". With
 * argc of 1 or less `arg` is not looked at (it may be null). */
static inline void vesk_handle_version_arg(int argc, char *arg) {
    if (argc <= 1) return;
    if (strcmp(arg, "-version") != 0) return;
    const char *built = vesk_buildtime();
    const char *version = vesk_version();
    const char *tag = vesk_tag();
    fputs("VESK library:\n\t", stdout);
    fputs(tag, stdout);
    fputs("(SVN", stdout);
    fputs(version, stdout);
    fputs(", Built", stdout);
    fputs(built, stdout);
    fputs(")\n", stdout);
    fflush(stdout);
    exit(0);
}

/* After a failed entry point: a broken configuration is why every call
 * fails with -EINVAL, so its first error (file and line) goes to standard
 * error. */
static inline void vesk_report_config_error(int ret) {
    if (ret != -EINVAL) return;
    char msg[4096];
    if (vesk_config_check(msg, sizeof msg) != 0) fprintf(stderr, "%s\n", msg);
}

#endif
