#!/usr/bin/env bash
# MPI-IO N-1 strided checkpoints from 4 ranks (bench/mpi_io_bench.c) into a
# plain shared file, into a vesk container through the preload, and into
# the same kind of container through a veskfs mount; the three alternate,
# REPS times per block size, each after a sync, and the medians are
# compared.
#
#   bench/mpi_io.sh [BUILD_DIR]
#
# Phases: unsynced (the writes up to the sync), write (the writes, sync and
# close), read. The MiB/s columns are medians of each target's runs; each
# ratio is the median of the repetitions' own ratios (a target's run over
# the plain file's run of the same repetition), since the machine's speed
# drifts over a run of the script and the medians of two targets' runs can
# come from different states of it.
#
# Environment: REPS (3), MIB (256: the size of one checkpoint), NP (4),
# COLL (set: collective writes and reads), WORK (/var/tmp: where the files
# and backends go; every run's file is kept to the end, 6 x REPS x MIB MiB).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-${VESK_BUILD:-$ROOT/build}}"
REPS="${REPS:-3}"
MIB="${MIB:-256}"
NP="${NP:-4}"
PROG="$BUILD/bench/mpi_io_bench"
VESKFS="$BUILD/tools/veskfs"
LIB="$BUILD/src/preload/libvesk_preload.so"

die() { echo "mpi_io: $*" >&2; exit 1; }
[ -x "$PROG" ] || die "$PROG not built (MPI not found?)"
[ -x "$VESKFS" ] || die "$VESKFS not built"
[ -f "$LIB" ] || die "$LIB not built"

TMP="$(mktemp -d "${WORK:-/var/tmp}/vesk-mpi-io.XXXXXX")"
MNT="$TMP/mnt"
PRE="/vesk_mpi_io/ckpt"  # served by the preload only
mkdir -p "$MNT" "$TMP/plain" "$TMP/b-preload" "$TMP/b-veskfs"
printf '[mount %s]\nbackends = %s\nlayout = container\n\n[mount %s]\nbackends = %s\nlayout = container\n' \
    "$PRE" "$TMP/b-preload" "$MNT" "$TMP/b-veskfs" > "$TMP/vesk.conf"
export VESK_CONFIG="$TMP/vesk.conf"

cleanup() {
    if grep -q " $MNT " /proc/mounts; then fusermount3 -u "$MNT" 2>/dev/null || fusermount3 -u -z "$MNT"; fi
    rm -rf "$TMP"
}
trap cleanup EXIT

"$VESKFS" -f "$MNT" >"$TMP/veskfs.log" 2>&1 &
for _ in $(seq 50); do grep -q " $MNT " /proc/mounts && break; sleep 0.1; done
grep -q " $MNT " /proc/mounts || die "veskfs did not mount: $(cat "$TMP/veskfs.log")"

MPIRUN=(mpirun --oversubscribe -np "$NP")
[ "$(id -u)" = 0 ] && MPIRUN+=(--allow-run-as-root)
export OMPI_MCA_btl_vader_single_copy_mechanism=none

# one run of repetition REP: prints "TARGET PHASE MIB/S REP" for each phase
run() {
    local target="$1" rep="$2" file="$3" bytes="$4" blocks="$5"; shift 5
    "${MPIRUN[@]}" "$@" "$PROG" "$file" "$bytes" "$blocks" ${COLL:+coll} |
        awk -v t="$target" -v r="$rep" '$1 == "write" {
            print t, "write", $2, r; print t, "read", $4, r; print t, "unsynced", $6, r }'
}

# the median of the repetitions' ratios of TARGET to the plain file in PHASE
ratio() {
    awk -v t="$1" -v p="$2" '$2 == p && $1 == "plain" { base[$4] = $3 }
        $2 == p && $1 == t { mine[$4] = $3 }
        END { for (r in mine) if (base[r] > 0) print mine[r] / base[r] }' "$TMP/results" | median
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

echo "# $NP ranks, N-1 strided MPI-IO (${COLL:+collective}${COLL:-independent}), $MIB MiB per run, sync, medians of $REPS alternating runs (ratios: medians of each repetition's ratio)"
echo "| block | phase | plain MiB/s | preload MiB/s | veskfs MiB/s | preload / plain | veskfs / plain | preload / plain, of the medians |"
echo "|---|---|---|---|---|---|---|---|"
for bs in 64K 1M; do
    case $bs in *K) bytes=$(( ${bs%K} * 1024 ));; *M) bytes=$(( ${bs%M} * 1048576 ));; esac
    blocks=$(( MIB * 1048576 / bytes / NP ))
    : > "$TMP/results"
    # Every run writes a file of its own and nothing is removed until the
    # end: on a file system mounted with discard, the blocks of a tree just
    # freed made the next run's writes several times slower, whichever
    # target came next. The order turns round each repetition.
    for rep in $(seq "$REPS"); do
        order=(plain preload veskfs)
        for _ in $(seq $(( (rep - 1) % 3 ))); do order=("${order[@]:1}" "${order[0]}"); done
        for t in "${order[@]}"; do
            sync  # each run starts with no dirty pages of the runs before it
            case $t in
            plain) run plain "$rep" "$TMP/plain/ckpt.$bs.$rep" "$bytes" "$blocks" >> "$TMP/results" ;;
            preload) run preload "$rep" "$PRE/ckpt.$bs.$rep" "$bytes" "$blocks" \
                -x LD_PRELOAD="$LIB" -x VESK_CONFIG >> "$TMP/results" ;;
            veskfs) run veskfs "$rep" "$MNT/ckpt.$bs.$rep" "$bytes" "$blocks" >> "$TMP/results" ;;
            esac
        done
    done
    for phase in unsynced write read; do
        p=$(awk -v p=$phase '$1 == "plain" && $2 == p { print $3 }' "$TMP/results" | median)
        l=$(awk -v p=$phase '$1 == "preload" && $2 == p { print $3 }' "$TMP/results" | median)
        f=$(awk -v p=$phase '$1 == "veskfs" && $2 == p { print $3 }' "$TMP/results" | median)
        rl=$(ratio preload $phase)
        rf=$(ratio veskfs $phase)
        awk -v bs=$bs -v ph=$phase -v p="$p" -v l="$l" -v f="$f" -v rl="$rl" -v rf="$rf" 'BEGIN {
            printf "| %s | %s | %.1f | %.1f | %.1f | %.2f | %.2f | %.2f |\n", bs, ph, p, l, f, rl, rf, l / p }'
    done
done
