#!/usr/bin/env bash
# The preload target against the same plain-call writers through a veskfs
# mount: vesk_bench's raw target with its directory inside a veskfs
# container mount. vesk_bench cannot run both in one invocation (its -d
# places every target's files), so the two invocations alternate, REPS
# times per block size, and the medians are compared.
#
#   bench/preload_veskfs.sh [BUILD_DIR]
#
# Environment: REPS (3), MIB (512: the size of one run), WORK (/var/tmp:
# where the backends go; not tmpfs, so the mount's writes reach a disk file
# system as the library's do).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-${VESK_BUILD:-$ROOT/build}}"
REPS="${REPS:-3}"
MIB="${MIB:-512}"
BENCH="$BUILD/bench/vesk_bench"
VESKFS="$BUILD/tools/veskfs"

die() { echo "preload_veskfs: $*" >&2; exit 1; }
[ -x "$BENCH" ] || die "$BENCH not built"
[ -x "$VESKFS" ] || die "$VESKFS not built"

TMP="$(mktemp -d "${WORK:-/var/tmp}/vesk-preload-veskfs.XXXXXX")"
MNT="$TMP/mnt"
mkdir -p "$MNT" "$TMP/backend" "$TMP/lib"
printf '[mount %s]\nbackends = %s\nlayout = container\n' "$MNT" "$TMP/backend" > "$TMP/vesk.conf"

cleanup() {
    if grep -q " $MNT " /proc/mounts; then fusermount3 -u "$MNT" 2>/dev/null || fusermount3 -u -z "$MNT"; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

VESK_CONFIG="$TMP/vesk.conf" "$VESKFS" -f "$MNT" >"$TMP/veskfs.log" 2>&1 &
for _ in $(seq 50); do grep -q " $MNT " /proc/mounts && break; sleep 0.1; done
grep -q " $MNT " /proc/mounts || die "veskfs did not mount: $(cat "$TMP/veskfs.log")"

# One vesk_bench run; prints "target phase MiB/s" lines, and a phase
# "checkpoint" for write and fsync together (what a checkpoint costs).
run() {
    "$BENCH" -q -P 4 -B "$1" -T "$2" -p n1i -s -t "$3" -d "$4" |
        awk -v mib="$MIB" '$1 ~ /^[0-9]+$/ {
            print $3, $4, $7
            if ($4 == "write" || $4 == "fsync") t[$3] += $6
        } END { for (k in t) print k, "checkpoint", mib / t[k] }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "# 4 writers, N-1 interleaved, $MIB MiB per run, fsync, medians of $REPS alternating runs"
echo "| block | phase | container MiB/s | preload MiB/s | veskfs MiB/s | preload / container | preload / veskfs |"
echo "|---|---|---|---|---|---|---|"
for bs in 64K 4K; do
    bytes=$(( ${bs%K} * 1024 ))
    blocks=$(( MIB * 1024 * 1024 / bytes / 4 ))
    : > "$TMP/results"
    for _ in $(seq "$REPS"); do
        run "$blocks" "$bs" container,preload "$TMP/lib" >> "$TMP/results"
        run "$blocks" "$bs" raw "$MNT" | sed 's/^raw /veskfs /' >> "$TMP/results"
        rm -rf "${MNT:?}"/* "$TMP/lib"/*
    done
    for phase in write fsync checkpoint read; do
        c=$(awk -v p=$phase '$1 == "container" && $2 == p { print $3 }' "$TMP/results" | median)
        l=$(awk -v p=$phase '$1 == "preload" && $2 == p { print $3 }' "$TMP/results" | median)
        f=$(awk -v p=$phase '$1 == "veskfs" && $2 == p { print $3 }' "$TMP/results" | median)
        awk -v bs=$bs -v p=$phase -v c="$c" -v l="$l" -v f="$f" 'BEGIN {
            printf "| %s | %s | %.1f | %.1f | %.1f | %.2f | %.2f |\n", bs, p, c, l, f, l / c, l / f }'
    done
done
