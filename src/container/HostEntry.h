/*
 * The pieces of an index: HostEntry is one write (or truncation) as one
 * writer recorded it; ContainerEntry is a piece of the merged index, which
 * also knows the data log (chunk) it lives in.
 *
 * A truncation is kept in memory as a HostEntry with length 0 and
 * physical_offset -1; logical_offset is then the new length.
 */
#ifndef VESK_CONTAINER_HOSTENTRY_H
#define VESK_CONTAINER_HOSTENTRY_H

#include <string>
#include <sys/types.h>

class HostEntry {
public:
    // inline: a merge makes one per record read, a million at a time
    HostEntry()
        : logical_offset(0), physical_offset(0), length(0), begin_timestamp(0),
          end_timestamp(0), id(0), data_crc(0) {}
    HostEntry(off_t o, size_t s, pid_t p)
        : logical_offset(o), physical_offset(0), length(s), begin_timestamp(0),
          end_timestamp(0), id(p), data_crc(0) {}
    HostEntry(const HostEntry &copy) = default;
    HostEntry &operator=(const HostEntry &copy) = default;

    bool overlap(const HostEntry &other);
    bool contains(off_t offset) const;
    /* Whether a cut at `offset` leaves two non-empty pieces. */
    bool splittable(off_t offset) const;
    /* Logically adjacent, either way round. */
    bool abut(const HostEntry &other);
    /* This entry starts where `other` ends, logically and physically. */
    bool follows(const HostEntry &other);
    /* This entry ends where `other` starts, logically and physically. */
    bool preceeds(const HostEntry &other);
    /* One past the last logical byte. */
    off_t logical_tail() const;

    bool isTruncation() const { return length == 0 && physical_offset == -1; }

    off_t logical_offset;
    off_t physical_offset;
    size_t length;
    double begin_timestamp;
    double end_timestamp;
    pid_t id;
    // CRC-32C of the bytes of the write as recorded (0 for truncations and
    // for records of logs without checksums). A piece cut from a record by
    // the merge keeps the whole record's value, which is then no checksum
    // of the piece.
    uint32_t data_crc;
};

class ContainerEntry : public HostEntry {
public:
    ContainerEntry() : original_chunk(0) {}

    /* Contiguous with `other` in the same chunk, so the two can be one. */
    bool mergable(const ContainerEntry &other);
    bool abut(const ContainerEntry &other);
    bool follows(const ContainerEntry &other);
    bool preceeds(const ContainerEntry &other);
    /* Cuts this entry at `offset`: this keeps the front, the back is
     * returned. */
    ContainerEntry split(off_t offset);

    pid_t original_chunk;  // index into the merged index's chunk table
};

/* A data log the merged index reads from; fd -1 until first read. */
class ChunkFile {
public:
    std::string path;
    int fd;
};

/* A writer's data log descriptor and how many opens share it. */
class OpenFd {
public:
    int fd;
    int writers;
};

#endif
