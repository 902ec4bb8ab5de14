#!/usr/bin/env bash
# What the preload library costs a metadata-heavy program outside vesk:
# `tar x` of a large tree (default: /usr/include, about 30,000 entries in
# all runs of one command) into a plain directory, alternately without and
# with libvesk_preload.so (configured with a mount elsewhere), RUNS times
# each; prints every time and the ratio of the medians, of the elapsed time
# and of the processor time (user and system) that tar used: on a machine
# busy with other work the elapsed time mostly measures the others, and the
# processor time is the steadier figure. The order alternates (plain
# first in odd rounds, preload first in even ones), so that neither side
# gains by position. Every extraction goes into a directory of its own and
# nothing is removed until the end: on a file system mounted with discard,
# freeing a tree just before a run made that run's block allocation cost
# ten times its usual processor time.
#
# Where valgrind is installed it also counts the instructions tar runs in
# user space in one extraction each way (cachegrind's "I refs"): a count
# that no other load on the machine changes, and the preload's whole cost
# outside the kernel, loading the library included (`true` alone, both
# ways, shows that part).
#
#     bash bench/preload_tar.sh [RUNS [TREE]]     # defaults: 5 /usr/include
set -euo pipefail
RUNS="${1:-5}"
TREE="${2:-/usr/include}"
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD="${VESK_BUILD:-$ROOT/build}"
LIB="${VESK_PRELOAD_LIB:-$BUILD/src/preload/libvesk_preload.so}"
[ -f "$LIB" ] || { echo "no $LIB: build the vesk_preload target first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "no /usr/bin/time: apt-get install time" >&2; exit 1; }
WORK="$(mktemp -d "${TMPDIR:-/tmp}/preload_tar.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
tar cf "$WORK/tree.tar" -C "$(dirname "$TREE")" "$(basename "$TREE")"
mkdir "$WORK/backend"
printf '[mount /preload_tar/mnt]\nbackends = %s\nlayout = container\n' "$WORK/backend" > "$WORK/vesk.conf"
echo "# $(tar tf "$WORK/tree.tar" | wc -l) entries, $(du -sh "$WORK/tree.tar" | cut -f1)"

one() {  # one extraction into out.$2; prints elapsed and processor seconds
    local n="$2"
    mkdir "$WORK/out.$n"
    if [ "$1" = preload ]; then
        LD_PRELOAD="$LIB" VESK_CONFIG="$WORK/vesk.conf" /usr/bin/time -f '%e %U %S' -o "$WORK/t" \
            tar xf "$WORK/tree.tar" -C "$WORK/out.$n"
    else
        /usr/bin/time -f '%e %U %S' -o "$WORK/t" tar xf "$WORK/tree.tar" -C "$WORK/out.$n"
    fi
    awk '{printf "%.3f %.3f\n", $1, $2 + $3}' "$WORK/t"
}

plain=() pre=() plain_cpu=() pre_cpu=()
one plain w1 >/dev/null && one preload w2 >/dev/null  # warm the caches
for i in $(seq "$RUNS"); do
    if [ $((i % 2)) = 1 ]; then
        read -r e c < <(one plain p$i); plain+=("$e"); plain_cpu+=("$c")
        read -r e c < <(one preload q$i); pre+=("$e"); pre_cpu+=("$c")
    else
        read -r e c < <(one preload q$i); pre+=("$e"); pre_cpu+=("$c")
        read -r e c < <(one plain p$i); plain+=("$e"); plain_cpu+=("$c")
    fi
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
ratio() { awk -v p="$1" -v q="$2" 'BEGIN {printf "%.4f", q / p}'; }
mp=$(median "${plain[@]}") mq=$(median "${pre[@]}")
cp=$(median "${plain_cpu[@]}") cq=$(median "${pre_cpu[@]}")
echo "elapsed plain:   ${plain[*]}"
echo "elapsed preload: ${pre[*]}"
echo "cpu plain:       ${plain_cpu[*]}"
echo "cpu preload:     ${pre_cpu[*]}"
echo "median elapsed plain $mp s, preload $mq s, preload/plain $(ratio "$mp" "$mq")"
echo "median cpu     plain $cp s, preload $cq s, preload/plain $(ratio "$cp" "$cq")"

if command -v valgrind >/dev/null; then
    irefs() {  # user-space instructions of one run of "$@" (after a first word: plain/preload)
        local how="$1"; shift
        local pre=()
        [ "$how" = preload ] && pre=(env LD_PRELOAD="$LIB" VESK_CONFIG="$WORK/vesk.conf")
        "${pre[@]}" valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$@" 2>&1 |
            awk '/I *refs:/ {gsub(",", "", $NF); print $NF}'
    }
    mkdir "$WORK/cg.p" "$WORK/cg.q"
    ip=$(irefs plain tar xf "$WORK/tree.tar" -C "$WORK/cg.p")
    iq=$(irefs preload tar xf "$WORK/tree.tar" -C "$WORK/cg.q")
    tp=$(irefs plain /bin/true) tq=$(irefs preload /bin/true)
    echo "instructions tar x plain $ip, preload $iq (+$((iq - ip))); true plain $tp, preload $tq (+$((tq - tp)))"
fi
