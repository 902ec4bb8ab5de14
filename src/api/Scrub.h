/* The scrub of one logical file, shared by vesk_scrub and vesk_recover. */
#ifndef VESK_API_SCRUB_H
#define VESK_API_SCRUB_H

#include <cstdint>
#include <vector>

#include "vesk.h"

namespace vesk {

/* vesk_scrub; with `repair`, a container is then recovered
 * (container_recover), whose result goes to *recovered (may be null;
 * -EEXIST when there was nothing to recover or no repair was asked). */
int scrub_file(const char *path, bool repair, std::vector<Vesk_scrub_problem> &problems,
               uint64_t *bytes_checked, int *recovered);

}  // namespace vesk

#endif
