/*
 * Scrub: checks every byte of a container against its checksums and the
 * rules of the format, and optionally repairs what can be repaired.
 *
 * Checked: the marker; each index log's header, every record (its
 * checksum, its fields, its write lying inside the data log) and the
 * checksum of the data each write stored; torn tails; a data log missing
 * under an index log that has writes; size records naming an index log
 * that is missing or shorter than they say; the flattened index's
 * checksums.
 *
 * Repair: a torn tail is cut; records failing their checksum or their
 * checks are dropped from the log (after they are appended, raw, to the
 * side file hostdir.<host>/dropped.<pid> beside it, which no reader
 * looks at); a damaged flattened index is removed; the size record of a
 * writer whose index log is gone is removed (its bytes are lost, and
 * reads refuse the file while it stays); the rest of the size records are
 * rebuilt by the recovery that follows. Data whose checksum fails cannot
 * be mended: its range is reported lost and its record kept.
 */
#ifndef VESK_CONTAINER_SCRUB_H
#define VESK_CONTAINER_SCRUB_H

#include <cstdint>
#include <string>
#include <vector>

struct VeskScrubProblem {
    std::string file;     // the container's backend directory
    std::string part;     // the log or record concerned, relative to it
    int64_t begin = -1;   // logical byte range concerned, [begin, end);
    int64_t end = -1;     // -1: not known (the whole writer's bytes)
    std::string what;     // what is wrong
    bool repaired = false;
};

struct VeskScrubStats {
    uint64_t logs = 0, records = 0, data_bytes = 0;
};

/* Scrubs the container at backend directory `dir`; appends one problem
 * per fault found. With `repair` also mends what it can (see above).
 * 0 when the checks ran (whatever they found), -errno when they could not. */
int container_scrub(const std::string &dir, bool repair, std::vector<VeskScrubProblem> &out,
                    VeskScrubStats *stats = nullptr);

#endif
