#!/bin/bash
# The rewrite loop (bench/rewrite_loop.py) on veskfs mounts of both layouts,
# with and without --writeback, and on a plain directory, in one run:
# ROUNDS rounds per file size, the order of the directories rotated each
# round. OLD=path/to/veskfs adds container mounts, with and without
# --writeback, served by that binary (an earlier build, for a before/after
# ratio).
#
#   bench/rewrite_bench.sh [BUILD_DIR]      (default build)
#   env: WORK (default /var/tmp/vesk-rewrite), SIZES ("16 128"), ROUNDS (3), OLD
#
# Files are left in WORK between runs (freeing them on a disk mounted with
# discard slows whatever runs next); it is emptied at the start.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build}
VESKFS=$BUILD/tools/veskfs
WORK=${WORK:-/var/tmp/vesk-rewrite}
SIZES=${SIZES:-16 128}
ROUNDS=${ROUNDS:-3}
OLD=${OLD:-}
[ -x "$VESKFS" ] || { echo "no $VESKFS: build veskfs first" >&2; exit 1; }

names=(container flat container-wb flat-wb)
[ -n "$OLD" ] && names+=(container-old container-wb-old)
mounted=()
cleanup() {
    for m in "${mounted[@]}"; do fusermount3 -u "$m" 2>/dev/null || true; done
}
trap cleanup EXIT

rm -rf "$WORK"
mkdir -p "$WORK/plain"
for n in "${names[@]}"; do
    mkdir -p "$WORK/$n/mnt" "$WORK/$n/b0" "$WORK/$n/b1"
    layout=${n%%-*}
    bin=$VESKFS
    opts=()
    case $n in *-wb*) opts=(--writeback) ;; esac
    case $n in *-old) bin=$OLD ;; esac
    env -u VESK_CONFIG HOME="$WORK/$n" "$bin" --backend "$WORK/$n/b0" --backend "$WORK/$n/b1" \
        --layout "$layout" "${opts[@]}" "$WORK/$n/mnt"
    mounted+=("$WORK/$n/mnt")
done

dirs=("$WORK/plain")
for n in "${names[@]}"; do dirs+=("$WORK/$n/mnt"); done
for mib in $SIZES; do
    for r in $(seq "$ROUNDS"); do
        k=$((r % ${#dirs[@]}))
        order=("${dirs[@]:$k}" "${dirs[@]:0:$k}")
        echo "# $mib MiB, round $r"
        python3 "$ROOT/bench/rewrite_loop.py" -m "$mib" -r "${order[@]}" | sed "s|$WORK/||"
    done
done
