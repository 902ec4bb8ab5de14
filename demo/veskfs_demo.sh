#!/usr/bin/env bash
# A vesk file system mounted with veskfs, used by ordinary programs: cp,
# dd from four processes at once, cmp. Runs in a fresh temporary directory
# that it removes again (VESK_DEMO_KEEP=1 keeps it).
#
# usage: veskfs_demo.sh BUILD_DIR
set -euo pipefail

build="${1:?usage: veskfs_demo.sh BUILD_DIR}"
veskfs="$build/tools/veskfs"
tools="$build/tools"

root="$(mktemp -d "${TMPDIR:-/tmp}/vesk-fuse-demo.XXXXXX")"
mnt="$root/mnt"
b0="$root/backend0"
b1="$root/backend1"
mkdir -p "$mnt" "$b0" "$b1" "$root/work"
daemon=""

mounted() { grep -q " $mnt fuse" /proc/mounts; }

cleanup() {
    if mounted; then fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -uz "$mnt" || true; fi
    if [ -n "$daemon" ]; then wait "$daemon" 2>/dev/null || true; fi
    if [ "${VESK_DEMO_KEEP:-0}" = 1 ]; then echo "kept $root"; else rm -rf "$root"; fi
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

# The mount point and its backends, as the library and the tools see them.
export VESK_CONFIG="$root/vesk.conf"
cat >"$VESK_CONFIG" <<EOF
[mount $mnt]
backends = $b0 $b1
layout = container
EOF
step "configuration ($VESK_CONFIG)"
cat "$VESK_CONFIG"

step "mount: $veskfs -f $mnt"
"$veskfs" -f "$mnt" >"$root/veskfs.log" 2>&1 &
daemon=$!
for _ in $(seq 100); do
    mounted && break
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.1
done
if ! mounted; then
    echo "veskfs did not mount; its log:" >&2
    cat "$root/veskfs.log" >&2
    exit 1
fi
grep " $mnt " /proc/mounts

step "cp files in"
mkdir -p "$mnt/docs"
cp "$build/src/libvesk.so.0" "$mnt/libvesk.so.0"
for f in README.md docs/container-format.md; do
    src="$(dirname "$0")/../$f"
    [ -f "$src" ] && cp "$src" "$mnt/docs/"
done
ls -l "$mnt" "$mnt/docs"

step "four writer processes write one file at interleaved offsets (dd conv=notrunc)"
# Each block goes through a dd of its own, so each is a writer of its own
# to the container, with a data log and an index log of its own.
writers=4 rounds=8 block=65536
dd if=/dev/urandom of="$root/work/expected" bs=$block count=$((writers * rounds)) status=none
pids=""
for w in $(seq 0 $((writers - 1))); do
    (
        for k in $(seq 0 $((rounds - 1))); do
            b=$((k * writers + w))
            dd if="$root/work/expected" of="$mnt/checkpoint" bs=$block skip=$b seek=$b \
               count=1 conv=notrunc status=none
        done
    ) &
    pids="$pids $!"
done
for p in $pids; do wait "$p"; done
echo "$writers writers, $rounds blocks of $block bytes each: $(stat -c %s "$mnt/checkpoint") bytes"

step "what the backends hold: each file is a container directory"
(cd "$root" && find backend0 backend1 -printf '%y %10s  %p\n' | sort -k3) >"$root/work/listing"
head -n 40 "$root/work/listing"
[ "$(wc -l <"$root/work/listing")" -le 40 ] || echo "... ($(wc -l <"$root/work/listing") entries in all)"

step "vesk_map $mnt/checkpoint (it writes the index to standard error)"
"$tools/vesk_map" "$mnt/checkpoint" 2>"$root/work/map"
head -n 12 "$root/work/map"
echo "..."
tail -n 1 "$root/work/map"

step "vesk_version"
"$tools/vesk_version"

step ".veskdebug"
cat "$mnt/.veskdebug"

step "cmp"
cmp "$root/work/expected" "$mnt/checkpoint" && echo "checkpoint: identical"
cmp "$build/src/libvesk.so.0" "$mnt/libvesk.so.0" && echo "libvesk.so.0: identical"

step "unmount: fusermount3 -u $mnt"
fusermount3 -u "$mnt"
status=0
wait "$daemon" || status=$?
daemon=""
if [ "$status" != 0 ]; then
    echo "veskfs ended with status $status; its log:" >&2
    cat "$root/veskfs.log" >&2
    exit 1
fi
echo "veskfs ended cleanly"

step "after the unmount, through the library"
"$tools/vesk_map" "$mnt/checkpoint" 2>"$root/work/map"
tail -n 1 "$root/work/map"
echo
echo "veskfs demo: all checks passed"
