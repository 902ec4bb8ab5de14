/*
 * The index object itself: what both its sides share. The write buffer,
 * the merged map, the merge and the flattened index each have a file.
 */
#include "container/Index.h"

#include "Util.h"
#include "container/Format.h"
#include "container/IndexPrivate.h"
#include "container/Layout.h"

#include <unistd.h>

using namespace vesk_fmt;

namespace {

// Records kept in memory per writer before they are appended to its log:
// 1 MiB of index records by default.
const size_t kDefaultBufferRecords = (1 << 20) / sizeof(HostEntry);

}  // namespace

Index::Index(std::string path) { init(path); }

Index::Index(std::string path, int descriptor) {
    init(path);
    fd = descriptor;
    // the first records go in without growing the buffer on the write path
    hostIndex.reserve(1024);
}

Index::~Index() {
    closeChunks();
    vesk_index::give_back_pieces(global_index.v);
    pthread_mutex_destroy(&fd_mux);
}

void Index::init(std::string path) {
    index_path = path;
    populated = false;
    mypid = getpid();
    chunk_id = 0;
    last_offset = 0;
    total_bytes = 0;
    fd = -1;
    buffering = true;
    buffer_filled = false;
    pthread_mutex_init(&fd_mux, nullptr);
    // Off: one record spans the times of all the writes it joins, so a
    // joined continuation would carry its first write's time and lose to
    // another writer's overwrite made in between. Readers join contiguous
    // pieces again after the merge (compress()).
    compress_contiguous = false;
    file_tail = kIndexHeaderSize;
    buffer_records = kDefaultBufferRecords;
    last_stamp = 0;
    used_flattened = false;
    built_gen = -1;
}

void Index::closeChunks() {
    for (ChunkFile &c : chunk_map) {
        if (c.fd >= 0) Util::Close(c.fd);
        c.fd = -1;
    }
}

void Index::setPath(std::string path) {
    // The container moved: data logs are found under the new name. Open
    // descriptors still name the same files, so they are kept. An index
    // read through the held container directory moved with it.
    if (vesk_cont::is_held_path(index_path)) return;
    std::string old = index_path;
    index_path = vesk_cont::backend_of(path);
    for (ChunkFile &c : chunk_map) {
        if (c.path.compare(0, old.size(), old) == 0)
            c.path = index_path + c.path.substr(old.size());
    }
}

bool Index::ispopulated() { return populated; }

double Index::memoryFootprintMBs() {
    double bytes = (double)hostIndex.capacity() * sizeof(HostEntry) +
                   (double)global_index.memoryBytes() +
                   (double)chunk_map.size() * sizeof(ChunkFile);
    return bytes / (1024.0 * 1024.0);
}

off_t Index::lastOffset() { return last_offset; }

int Index::lock(const char *function) { return Util::MutexLock(&fd_mux, function); }
int Index::unlock(const char *function) { return Util::MutexUnlock(&fd_mux, function); }

int Index::getFd() { return fd; }

size_t Index::totalBytes() { return total_bytes; }
