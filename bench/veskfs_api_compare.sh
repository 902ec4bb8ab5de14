#!/usr/bin/env bash
# Two veskfs binaries side by side on the same machine, in one run, with
# the same loads: small-file metadata (create and write, stat, list,
# remove), sequential dd, and the read-seek-rewrite loop. Prints seconds
# per load and the ratio NEW/OLD for each layout (below 1: NEW is faster).
#
#   bench/veskfs_api_compare.sh OLD_VESKFS NEW_VESKFS
#
# Environment: FILES (2000), SIZE_MB (256), REPS (3; medians), LAYOUTS
# ("container flat"), LOADS ("create stat remove dd rewrite"), WORK
# (/var/tmp/vesk-api-compare; backends live there, not on tmpfs).
set -euo pipefail
OLD="$1"; NEW="$2"
FILES="${FILES:-2000}"; SIZE_MB="${SIZE_MB:-256}"; REPS="${REPS:-3}"
WORK="${WORK:-/var/tmp/vesk-api-compare}"
LAYOUTS="${LAYOUTS:-container flat}"; LOADS="${LOADS:-create stat remove dd rewrite}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
MNT="$WORK/mnt"
mkdir -p "$MNT"
cleanup() { grep -q " $MNT " /proc/mounts && fusermount3 -u "$MNT" 2>/dev/null || true; rm -rf "$WORK"; }
trap cleanup EXIT

now() { date +%s.%N; }
secs() { python3 -c "print('%.3f' % ($2 - $1))"; }

# One load on a fresh mount: $1 binary, $2 layout, $3 load; prints seconds.
run_load() {
    local bin="$1" layout="$2" load="$3" t0 t1 out
    rm -rf "$WORK/b"; mkdir -p "$WORK/b"
    env -u VESK_CONFIG HOME="$WORK" "$bin" -f --backend "$WORK/b" --layout "$layout" "$MNT" \
        >"$WORK/log" 2>&1 &
    for _ in $(seq 50); do grep -q " $MNT " /proc/mounts && break; sleep 0.1; done
    case "$load" in
    create) t0=$(now); for i in $(seq "$FILES"); do echo "file $i" > "$MNT/f$i"; done; t1=$(now) ;;
    stat)   for i in $(seq "$FILES"); do echo "file $i" > "$MNT/f$i"; done; sleep 1.2
            t0=$(now); for _ in 1 2 3; do ls -l "$MNT" >/dev/null; find "$MNT" -type f -size -1k | wc -l >/dev/null; done; t1=$(now) ;;
    remove) for i in $(seq "$FILES"); do echo "file $i" > "$MNT/f$i"; done
            t0=$(now); rm -f "$MNT"/f*; t1=$(now) ;;
    dd)     sync; t0=$(now)
            dd if=/dev/zero of="$MNT/big" bs=1M count="$SIZE_MB" status=none
            dd if="$MNT/big" of=/dev/null bs=1M status=none; t1=$(now) ;;
    rewrite) out=$(python3 "$ROOT/bench/rewrite_loop.py" -m 16 "$MNT")
            echo "$out" | awk '{printf "%.3f\n", $2/1000}'
            fusermount3 -u "$MNT"; wait; return ;;
    esac
    fusermount3 -u "$MNT"; wait
    secs "$t0" "$t1"
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

printf "%-10s %-8s %10s %10s %8s\n" layout load old new new/old
for layout in $LAYOUTS; do
    for load in $LOADS; do
        o=(); n=()
        for _ in $(seq "$REPS"); do
            o+=("$(run_load "$OLD" "$layout" "$load")")
            n+=("$(run_load "$NEW" "$layout" "$load")")
        done
        mo=$(printf "%s\n" "${o[@]}" | median); mn=$(printf "%s\n" "${n[@]}" | median)
        printf "%-10s %-8s %10s %10s %8s\n" "$layout" "$load" "$mo" "$mn" \
            "$(python3 -c "print('%.2f' % ($mn / $mo))")"
    done
done
echo "(rewrite: ms per block of the read-seek-rewrite loop; others: seconds)"
