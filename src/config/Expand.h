/*
 * Path expansion: from a logical path to the backend path(s) that hold it.
 */
#ifndef VESK_EXPAND_H
#define VESK_EXPAND_H

#include <string>
#include <vector>

/* Stores in *result a malloc'ed backend path of `logical` (the caller
 * frees it), or leaves it null. Returns 0, or minus errno with errno set:
 * ENOENT under no mount point, EINVAL for ".." above the mount point,
 * ENAMETOOLONG. */
int vesk_expand_path(const char *logical, char **result);

/* Fills the empty `list` with the path on every backend of the mount, in
 * configuration order. 0, or minus errno with errno set. */
int find_all_expansions(const char *logical, std::vector<std::string> &list);

#endif
