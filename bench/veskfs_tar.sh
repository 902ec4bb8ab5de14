#!/usr/bin/env bash
# Unpacking a source tree: `tar x` into a veskfs mount (container and flat
# layouts) against the same into a plain directory of the file system that
# holds the backends. Many small files: what counts is the cost of each
# create, write and close through the mount. Medians of REPS runs, and
# their ratios to the plain directory.
#
#   bench/veskfs_tar.sh [BUILD_DIR]
#
# Environment: REPS (3), TREE (/usr/include: what is packed), WORK
# (/var/tmp: where the backends go; not tmpfs).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-${VESK_BUILD:-$ROOT/build}}"
REPS="${REPS:-3}"
TREE="${TREE:-/usr/include}"
VESKFS="$BUILD/tools/veskfs"

die() { echo "veskfs_tar: $*" >&2; exit 1; }
[ -x "$VESKFS" ] || die "$VESKFS not built"
[ -d "$TREE" ] || die "$TREE is no directory"

TMP="$(mktemp -d "${WORK:-/var/tmp}/vesk-tar.XXXXXX")"
MNT="$TMP/mnt"
daemon=""
cleanup() {
    if [ -n "$daemon" ]; then fusermount3 -u "$MNT" 2>/dev/null || true; wait "$daemon" || true; fi
    rm -rf "$TMP"
}
trap cleanup EXIT
mkdir -p "$MNT"
tar cf "$TMP/tree.tar" -C "$(dirname "$TREE")" "$(basename "$TREE")"
files=$(tar tf "$TMP/tree.tar" | grep -vc '/$' || true)

# Seconds for one `tar x` into $1 (emptied first), the data written back
# to disk before and after, so that one run's dirty pages are not the next
# run's cost.
time_tar() {
    rm -rf "${1:?}"/* 2>/dev/null || true
    sync
    local t0 t1
    t0=$(date +%s.%N)
    tar xf "$TMP/tree.tar" -C "$1"
    t1=$(date +%s.%N)
    sync
    echo "$t1 - $t0" | bc -l
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

mount_layout() {
    rm -rf "$TMP/backend"
    mkdir -p "$TMP/backend"
    printf '[mount %s]\nbackends = %s\nlayout = %s\n' "$MNT" "$TMP/backend" "$1" > "$TMP/vesk.conf"
    VESK_CONFIG="$TMP/vesk.conf" "$VESKFS" -f "$MNT" >"$TMP/veskfs.log" 2>&1 &
    daemon=$!
    for _ in $(seq 100); do grep -q " $MNT " /proc/mounts && return 0; sleep 0.1; done
    die "no mount; log: $(cat "$TMP/veskfs.log")"
}

unmount() {
    fusermount3 -u "$MNT"
    wait "$daemon" || true
    daemon=""
}

mkdir -p "$TMP/plain"
plain=$(for _ in $(seq "$REPS"); do time_tar "$TMP/plain"; done | median)
declare -A took
for layout in container flat; do
    mount_layout "$layout"
    took[$layout]=$(for _ in $(seq "$REPS"); do time_tar "$MNT"; done | median)
    # what was unpacked through the mount reads back as packed
    diff -r "$TREE" "$MNT/$(basename "$TREE")" >/dev/null || die "$layout: the tree differs"
    unmount
done

echo "tar x of $TREE ($files files), median of $REPS runs"
printf '%-16s %8s %8s\n' target seconds ratio
printf '%-16s %8.2f %8.2f\n' plain "$plain" 1
for layout in container flat; do
    printf '%-16s %8.2f %8.2f\n' "veskfs-$layout" "${took[$layout]}" \
        "$(echo "${took[$layout]} / $plain" | bc -l)"
done
