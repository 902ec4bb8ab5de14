/*
 * Metadata: the two size figures of a container file (the logical end and
 * the bytes stored), the count of opens and whether it is synced. The open
 * record, the index and the write side each carry one.
 */
#ifndef VESK_CONTAINER_METADATA_H
#define VESK_CONTAINER_METADATA_H

#include <sys/types.h>
#include <cstddef>

class Metadata {
public:
    Metadata();

    /* A write of `bytes` at `offset`: the end moves out, bytes add up. */
    void addWrite(off_t offset, size_t bytes);
    void truncate(off_t offset);
    /* Folds in figures read elsewhere (another writer's close record). */
    void addMeta(off_t last, size_t bytes);
    void getMeta(off_t *last, size_t *bytes);
    /* Adds `amount` to the opens and returns the new count. */
    int incrementOpens(int amount);
    bool isSynced();
    bool needsSync();
    void setSynced();

protected:
    off_t last_offset;
    size_t total_bytes;
    int reference_count;
    bool synced;
};

#endif
