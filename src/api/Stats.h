/* Counters of the public entry points, shown by the mount's debug file. */
#ifndef VESK_API_STATS_H
#define VESK_API_STATS_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vesk {

struct Stats {
    std::atomic<uint64_t> opens{0}, closes{0}, reads{0}, writes{0};
    std::atomic<uint64_t> bytes_read{0}, bytes_written{0};
};

/* The process's counters. */
Stats &stats();

/* Handles opened through vesk_open that are not yet closed. */
size_t live_handles();

}  // namespace vesk

#endif
