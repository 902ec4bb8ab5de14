/*
 * The bytes of an index log: its header and its fixed-size records (the
 * layout is in Format.h). Every reader and writer of index logs goes
 * through these, the tests and fuzzers too, so that the layout is known
 * in one place.
 */
#ifndef VESK_CONTAINER_INDEXRECORD_H
#define VESK_CONTAINER_INDEXRECORD_H

#include <cstdint>
#include <string>
#include <sys/types.h>

#include "container/HostEntry.h"

namespace vesk_fmt {

/* One record as stored, field for field, before any check. */
struct IndexRecord {
    uint64_t logical = 0;
    uint64_t length = 0;
    uint64_t physical = 0;
    double begin = 0;
    double end = 0;
    uint32_t pid = 0;
    uint32_t kind = 0;
    uint32_t data_crc = 0;  // CRC-32C of the write's bytes (version 1: 0)
};

/* Writes `r` as kIndexRecordSize bytes at `p`, its checksum included. */
void encode_record(unsigned char *p, const IndexRecord &r);
/* Reads the kIndexRecordSize bytes at `p`, unchecked. */
IndexRecord decode_record(const unsigned char *p);
/* Reads a record of a version-1 log (kIndexRecordSizeV1 bytes). */
IndexRecord decode_record_v1(const unsigned char *p);
/* Whether the record at `p` (kIndexRecordSize bytes) matches its CRC. */
bool record_crc_ok(const unsigned char *p);
/* The record a current-format record failing its checksum was, when one
 * changed byte explains the damage and only one does. */
bool mend_record(const unsigned char *p, IndexRecord *out);
/* The record size of a log of `version`; 0 for a version never written. */
uint32_t record_size_of(uint32_t version);

/* The stored form of a write or truncation (a truncation stores physical
 * offset 0). */
IndexRecord record_of(const HostEntry &e);
/* Why `r` cannot be a record this system wrote, or null when it is sound.
 * `data_size`: the size of the writer's data log, which every write must
 * lie inside; -1 to skip that check. */
const char *check_record(const IndexRecord &r, off_t data_size);
/* The in-memory form of a sound record. A write of no bytes comes back
 * with length 0 and is not a truncation; readers skip it. */
HostEntry entry_of(const IndexRecord &r);

/* Writes the kIndexHeaderSize-byte header of the log of `pid`, made at
 * `created`. */
void encode_index_header(unsigned char *h, pid_t pid, double created);
/* Why the header cannot be one this system wrote, or null; *version
 * receives the log's format version when it is sound. */
const char *header_problem(const unsigned char *h, uint32_t *version);
/* 0 for a sound header, -EIO otherwise (logged, naming `path`). */
int check_index_header(const unsigned char *h, const std::string &path,
                       uint32_t *version = nullptr);

}  // namespace vesk_fmt

#endif
