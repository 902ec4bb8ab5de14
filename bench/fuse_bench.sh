#!/usr/bin/env bash
# Sequential throughput of veskfs (flat and container layouts) against
# libfuse's own passthrough_fh example and the backend directory itself:
# write and read SIZE_MB MiB in 1 MiB blocks with dd, all over one backend
# directory, in one run.
#
#   bench/fuse_bench.sh [BUILD_DIR]      (run as root for drop_caches)
#
# Environment: SIZE_MB (1024), REPS (3, the median is reported), WORK
# (/var/tmp/vesk-fuse-bench: the backend directory lives there, so it must
# be on the file system under test, not tmpfs), VESKFS_OPTS (extra veskfs
# options, e.g. --writeback).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-${VESK_BUILD:-$ROOT/build-fuse}}"
SIZE_MB="${SIZE_MB:-1024}"
REPS="${REPS:-3}"
WORK="${WORK:-/var/tmp/vesk-fuse-bench}"
VESKFS="$BUILD/tools/veskfs"
VESKFS_OPTS="${VESKFS_OPTS:-}"
EXAMPLES=/usr/share/doc/libfuse3-dev/examples

die() { echo "fuse_bench: $*" >&2; exit 1; }
[ -x "$VESKFS" ] || die "$VESKFS not built (cmake --build $BUILD --target veskfs)"
command -v fusermount3 >/dev/null || die "fusermount3 missing (apt-get install fuse3)"
pkg-config --exists fuse3 || die "libfuse3-dev missing"

TMP="$(mktemp -d /tmp/vesk-fuse-bench.XXXXXX)"
BACKEND="$WORK/backend"
MNT="$TMP/mnt"
mkdir -p "$BACKEND" "$MNT"

cleanup() {
    if grep -q " $MNT " /proc/mounts; then fusermount3 -u "$MNT" 2>/dev/null || fusermount3 -u -z "$MNT"; fi
    rm -rf "$TMP" "$BACKEND"
}
trap cleanup EXIT

# The baseline, built from the installed example (compressed on some
# distributions).
pt_src="$TMP/pt"
mkdir -p "$pt_src"
for f in passthrough_fh.c passthrough_helpers.h; do
    if [ -f "$EXAMPLES/$f" ]; then cp "$EXAMPLES/$f" "$pt_src/"
    elif [ -f "$EXAMPLES/$f.gz" ]; then gunzip -c "$EXAMPLES/$f.gz" > "$pt_src/$f"
    else die "$EXAMPLES/$f not found"; fi
done
# shellcheck disable=SC2046
gcc -O2 -Wall -I"$pt_src" "$pt_src/passthrough_fh.c" $(pkg-config --cflags --libs fuse3) \
    -lpthread -o "$TMP/passthrough_fh" || die "cannot build passthrough_fh"

CACHE_NOTE="page cache dropped before every phase"
drop_caches() {
    sync
    if ! { echo 3 > /proc/sys/vm/drop_caches; } 2>/dev/null; then
        CACHE_NOTE="page cache NOT dropped (no permission): reads may come from memory"
    fi
}

wait_mount() {
    for _ in $(seq 1 200); do grep -q " $MNT " /proc/mounts && return 0; sleep 0.05; done
    die "mount at $MNT did not appear"
}

unmount() {
    for _ in $(seq 1 100); do fusermount3 -u "$MNT" 2>/dev/null && break; sleep 0.1; done
    for _ in $(seq 1 200); do grep -q " $MNT " /proc/mounts || return 0; sleep 0.05; done
    die "cannot unmount $MNT"
}

# mount_target NAME: mounts what NAME needs; prints the directory to use.
mount_target() {
    case "$1" in
    direct) echo "$BACKEND" ;;
    passthrough_fh)
        "$TMP/passthrough_fh" -o fsname=passthrough_fh "$MNT" >&2
        wait_mount
        echo "$MNT$BACKEND" ;;
    veskfs-flat|veskfs-container)
        local layout=${1#veskfs-}
        printf '[mount %s]\nbackends = %s\nlayout = %s\n' "$MNT" "$BACKEND" "$layout" \
            > "$TMP/vesk.conf"
        # shellcheck disable=SC2086
        VESK_CONFIG="$TMP/vesk.conf" "$VESKFS" $VESKFS_OPTS "$MNT" >&2
        wait_mount
        echo "$MNT" ;;
    esac
}

# MB/s of one dd run: "dd ARGS..."
rate() {
    local t0 t1
    t0=$(date +%s.%N)
    dd "$@" bs=1M status=none
    t1=$(date +%s.%N)
    awk -v mb="$SIZE_MB" -v a="$t0" -v b="$t1" 'BEGIN { printf "%.0f", mb * 1.048576 / (b - a) }'
}

median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

TARGETS="direct passthrough_fh veskfs-flat veskfs-container"
declare -A W R
for rep in $(seq 1 "$REPS"); do
    for t in $TARGETS; do
        dir=$(mount_target "$t") || exit 1
        f="$dir/bench-$t.dat"
        rm -f "$f"
        drop_caches
        w=$(rate if=/dev/zero of="$f" count="$SIZE_MB" conv=fsync)
        drop_caches
        r=$(rate if="$f" of=/dev/null)
        rm -f "$f"
        [ "$t" = direct ] || unmount
        W[$t]="${W[$t]:-} $w"
        R[$t]="${R[$t]:-} $r"
        echo "rep $rep  $t: write $w MB/s, read $r MB/s" >&2
    done
done

echo
echo "$SIZE_MB MiB in 1 MiB blocks, median of $REPS; $CACHE_NOTE."
echo
echo "| target | write MB/s | read MB/s | write / passthrough_fh | read / passthrough_fh |"
echo "|---|---:|---:|---:|---:|"
pw=$(echo "${W[passthrough_fh]}" | median)
pr=$(echo "${R[passthrough_fh]}" | median)
for t in $TARGETS; do
    w=$(echo "${W[$t]}" | median)
    r=$(echo "${R[$t]}" | median)
    awk -v t="$t" -v w="$w" -v r="$r" -v pw="$pw" -v pr="$pr" \
        'BEGIN { printf "| %s | %d | %d | %.2f | %.2f |\n", t, w, r, w / pw, r / pr }'
done
echo
echo "all runs (MB/s):"
for t in $TARGETS; do echo "  $t: write${W[$t]} / read${R[$t]}"; done
