/*
 * The write side of the index: one writer's records buffered in memory and
 * appended to its log.
 */
#include "container/Index.h"
#include "util/Crc32c.h"

#include "Util.h"
#include "container/Format.h"
#include "container/IndexPrivate.h"
#include "container/IndexRecord.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace vesk_fmt;
using namespace vesk_index;

int Index::addWrite(off_t offset, size_t length, pid_t pid, double begin, double end,
                    uint32_t data_crc) {
    off_t &phys = physical_offsets[pid];
    bool joined = false;
    uint32_t joined_crc = 0;  // the last record's checksum before joining
    if (compress_contiguous && !hostIndex.empty()) {
        HostEntry &last = hostIndex.back();
        if (!last.isTruncation() && last.id == pid && last.logical_tail() == offset &&
            last.physical_offset + (off_t)last.length == phys) {
            last.length += length;
            last.end_timestamp = end;
            // the checksum of the joined bytes, from the two parts'
            joined_crc = last.data_crc;
            last.data_crc = vesk_crc32c_combine(last.data_crc, data_crc, length);
            phys += (off_t)length;
            joined = true;
            goto added;
        }
    }
    {
        HostEntry e(offset, length, pid);
        e.physical_offset = phys;
        e.begin_timestamp = begin;
        e.end_timestamp = end;
        e.data_crc = data_crc;
        hostIndex.push_back(e);
        phys += (off_t)length;
    }
added:
    if (offset + (off_t)length > last_offset) last_offset = offset + (off_t)length;
    total_bytes += length;
    synced = false;
    if (hostIndex.size() >= buffer_records || !buffering) {
        buffer_filled = true;
        int r = flush();
        if (r != 0) {
            // The write is refused, and not recorded: the records before
            // it stay buffered for the next flush. Its bytes stay in the
            // data log, unreferenced, so the physical offset still moves.
            if (joined) {
                hostIndex.back().length -= length;
                hostIndex.back().data_crc = joined_crc;
            } else {
                hostIndex.pop_back();
            }
            total_bytes -= length;
            return r;
        }
    }
    return 0;
}

int Index::addTruncation(off_t length, pid_t pid, double when) {
    HostEntry e(length, 0, pid);
    e.physical_offset = -1;
    e.begin_timestamp = when;
    e.end_timestamp = when;
    hostIndex.push_back(e);
    last_offset = length;
    synced = false;
    return flush();
}

int Index::flush() {
    if (hostIndex.empty()) return 0;
    if (fd < 0) return -EBADF;
    size_t n = hostIndex.size();
    encoded.resize(n * kIndexRecordSize);
    for (size_t i = 0; i < n; i++)
        encode_record(encoded.data() + i * kIndexRecordSize, record_of(hostIndex[i]));
    if (Util::WriteAll(fd, encoded.data(), encoded.size(), file_tail) < 0) {
        int r = -errno;
        if (mlog_filter(kErr))
            mlog(kErr, "flush %s: %s", index_path.c_str(), strerror(-r));
        return r;
    }
    file_tail += (off_t)encoded.size();
    hostIndex.clear();
    buffer_filled = false;
    return 0;
}

int Index::resetFd(int descriptor) {
    fd = descriptor;
    if (fd >= 0) {
        struct stat st;
        if (Util::Fstat(fd, &st) == 0) file_tail = st.st_size;
    }
    return 0;
}

int Index::resetPhysicalOffsets() {
    physical_offsets.clear();
    return 0;
}

void Index::setPhysicalOffset(pid_t pid, off_t tail) { physical_offsets[pid] = tail; }

void Index::setBufferRecords(size_t records) { buffer_records = records ? records : 1; }

void Index::truncateHostIndex(off_t offset) {
    std::vector<HostEntry> kept;
    for (HostEntry &e : hostIndex) {
        if (e.isTruncation()) continue;
        if (e.logical_offset >= offset) continue;
        if (e.logical_tail() > offset) e.length = (size_t)(offset - e.logical_offset);
        kept.push_back(e);
    }
    hostIndex.swap(kept);
    if (last_offset > offset) last_offset = offset;
}

int Index::rewriteIndex(int descriptor) {
    unsigned char h[kIndexHeaderSize];
    encode_index_header(h, mypid, Util::getTime());
    if (Util::Ftruncate(descriptor, 0) < 0 || Util::WriteAll(descriptor, h, sizeof h, 0) < 0)
        return -errno;
    fd = descriptor;
    file_tail = kIndexHeaderSize;
    return flush();
}

void Index::startBuffering() { buffering = true; }
void Index::stopBuffering() {
    buffering = false;
    flush();
}
bool Index::isBuffering() { return buffering; }
