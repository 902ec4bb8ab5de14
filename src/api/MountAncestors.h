/*
 * The levels of the logical namespace above the mount points.
 *
 * A mount point /scratch/vesk makes /scratch a directory of the logical
 * namespace even though no mount serves it: tools walk a path from the top
 * (access checks every level) and a listing of /scratch should lead to the
 * mount. Such a level answers as a read-only directory, mode 0555, owned
 * by root, whose entries are the next components of the mount points below
 * it. Nothing else lives there: files cannot be made or removed in it.
 */
#ifndef VESK_API_MOUNT_ANCESTORS_H
#define VESK_API_MOUNT_ANCESTORS_H

#include "vesk.h"

#include <sys/stat.h>

namespace vesk {

/* True when `logical` lies under no mount point but above at least one;
 * then `next`, when given, receives the components that lead down. */
bool mount_ancestor(const char *logical, Vesk_dirents *next = nullptr);

/* The attributes such a level answers with. */
void mount_ancestor_stat(const Vesk_dirents &next, struct stat *st);

/* access(2) on such a level: search and read are granted, writing is not. */
int mount_ancestor_access(int mask);

}  // namespace vesk

#endif
