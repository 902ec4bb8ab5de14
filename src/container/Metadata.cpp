#include "container/Metadata.h"

Metadata::Metadata() : last_offset(0), total_bytes(0), reference_count(0), synced(true) {}

void Metadata::addWrite(off_t offset, size_t bytes) {
    off_t end = offset + (off_t)bytes;
    if (end > last_offset) last_offset = end;
    total_bytes += bytes;
    synced = false;
}

void Metadata::truncate(off_t offset) {
    last_offset = offset;
    synced = false;
}

void Metadata::addMeta(off_t last, size_t bytes) {
    if (last > last_offset) last_offset = last;
    total_bytes += bytes;
}

void Metadata::getMeta(off_t *last, size_t *bytes) {
    if (last) *last = last_offset;
    if (bytes) *bytes = total_bytes;
}

int Metadata::incrementOpens(int amount) {
    reference_count += amount;
    return reference_count;
}

bool Metadata::isSynced() { return synced; }
bool Metadata::needsSync() { return !synced; }
void Metadata::setSynced() { synced = true; }
