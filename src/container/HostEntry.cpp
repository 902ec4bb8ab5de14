#include "container/HostEntry.h"

bool HostEntry::overlap(const HostEntry &other) {
    return logical_offset < other.logical_tail() && other.logical_offset < logical_tail();
}

bool HostEntry::contains(off_t offset) const {
    return offset >= logical_offset && offset < logical_tail();
}

bool HostEntry::splittable(off_t offset) const {
    return offset > logical_offset && offset < logical_tail();
}

bool HostEntry::abut(const HostEntry &other) {
    return logical_tail() == other.logical_offset || other.logical_tail() == logical_offset;
}

bool HostEntry::follows(const HostEntry &other) {
    return other.logical_tail() == logical_offset &&
           other.physical_offset + (off_t)other.length == physical_offset &&
           other.id == id;
}

bool HostEntry::preceeds(const HostEntry &other) {
    return logical_tail() == other.logical_offset &&
           physical_offset + (off_t)length == other.physical_offset && other.id == id;
}

off_t HostEntry::logical_tail() const { return logical_offset + (off_t)length; }

bool ContainerEntry::mergable(const ContainerEntry &other) {
    return original_chunk == other.original_chunk && (follows(other) || preceeds(other));
}

bool ContainerEntry::abut(const ContainerEntry &other) { return HostEntry::abut(other); }

bool ContainerEntry::follows(const ContainerEntry &other) {
    return original_chunk == other.original_chunk && HostEntry::follows(other);
}

bool ContainerEntry::preceeds(const ContainerEntry &other) {
    return original_chunk == other.original_chunk && HostEntry::preceeds(other);
}

ContainerEntry ContainerEntry::split(off_t offset) {
    ContainerEntry back = *this;
    off_t cut = offset - logical_offset;
    if (cut <= 0 || cut >= (off_t)length) {
        back.length = 0;
        back.logical_offset = logical_tail();
        back.physical_offset = physical_offset + (off_t)length;
        return back;
    }
    back.logical_offset = offset;
    back.physical_offset = physical_offset + cut;
    back.length = length - (size_t)cut;
    length = (size_t)cut;
    return back;
}
