#!/usr/bin/env bash
# What the preload library costs a metadata-heavy program outside vesk:
# `tar x` of a large tree (default: /usr/include, about 30,000 entries in
# all runs of one command) into a plain directory, alternately without and
# with libvesk_preload.so (configured with a mount elsewhere), RUNS times
# each; prints every time and the ratio of the medians.
#
#     bash bench/preload_tar.sh [RUNS [TREE]]     # defaults: 5 /usr/include
set -euo pipefail
RUNS="${1:-5}"
TREE="${2:-/usr/include}"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VESK_BUILD:-$ROOT/build}"
LIB="${VESK_PRELOAD_LIB:-$BUILD/src/preload/libvesk_preload.so}"
[ -f "$LIB" ] || { echo "no $LIB: build the vesk_preload target first" >&2; exit 1; }
WORK="$(mktemp -d "${TMPDIR:-/tmp}/preload_tar.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
tar cf "$WORK/tree.tar" -C "$(dirname "$TREE")" "$(basename "$TREE")"
mkdir "$WORK/backend"
printf '[mount /preload_tar/mnt]\nbackends = %s\nlayout = container\n' "$WORK/backend" > "$WORK/vesk.conf"
echo "# $(tar tf "$WORK/tree.tar" | wc -l) entries, $(du -sh "$WORK/tree.tar" | cut -f1)"

one() {  # one extraction; prints seconds
    rm -rf "$WORK/out" && mkdir "$WORK/out"
    local t0 t1
    t0=$(date +%s.%N)
    if [ "$1" = preload ]; then
        LD_PRELOAD="$LIB" VESK_CONFIG="$WORK/vesk.conf" tar xf "$WORK/tree.tar" -C "$WORK/out"
    else
        tar xf "$WORK/tree.tar" -C "$WORK/out"
    fi
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f\n", b - a}'
}

plain=() pre=()
one plain >/dev/null  # warm the cache
for i in $(seq "$RUNS"); do
    plain+=("$(one plain)")
    pre+=("$(one preload)")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
mp=$(median "${plain[@]}")
mq=$(median "${pre[@]}")
echo "plain:   ${plain[*]}"
echo "preload: ${pre[*]}"
echo "median plain $mp s, preload $mq s, preload/plain $(awk -v p="$mp" -v q="$mq" 'BEGIN {printf "%.4f", q / p}')"
