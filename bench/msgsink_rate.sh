#!/usr/bin/env bash
# How many log datagrams msgsink keeps up with on loopback.
#
#   bench/msgsink_rate.sh [RATE [COUNT]]
#
# RATE is datagrams per second for the sender (0 = as fast as it can send;
# default 50000), COUNT how many it sends (default 200000).  BUILD names the
# build directory (default: build-msgsink beside this script's parent).
#
# msgsink listens on 127.0.0.1 and appends to a log file; udp_flood sends
# COUNT numbered datagrams at RATE.  Once msgsink's socket queue is empty,
# SIGTERM makes it flush and exit; the lines in the log file are the
# datagrams that arrived.  Nothing leaves the loopback interface.
set -euo pipefail

RATE=${1:-50000}
COUNT=${2:-200000}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/build-msgsink}

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$BUILD" --target msgsink udp_flood -j2 >/dev/null

SINK=$BUILD/tools/msgsink
FLOOD=$BUILD/bench/udp_flood
WORK=$(mktemp -d /tmp/msgsink_rate.XXXXXX)
SINK_PID=

cleanup() {
    if [ -n "$SINK_PID" ] && kill -0 "$SINK_PID" 2>/dev/null; then
        kill -KILL "$SINK_PID" 2>/dev/null || true
        wait "$SINK_PID" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s.%N; }

# rx_queue (hex bytes) and drops of the UDP socket bound to 127.0.0.1:$1
udp_stats() {
    local hexport
    hexport=$(printf '%04X' "$1")
    local line
    line=$(awk -v want="0100007F:$hexport" '$2 == want {
        split($5, q, ":"); print q[2], $NF; exit }' /proc/net/udp)
    [ -n "$line" ] || { echo "0 0"; return; }
    set -- $line
    echo "$((16#$1)) $2"
}

"$SINK" -a 127.0.0.1 -l "$WORK/log" >"$WORK/out" 2>"$WORK/err" &
SINK_PID=$!

PORT=
for _ in $(seq 500); do
    PORT=$(sed -n 's/^msgsink listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$WORK/out")
    [ -n "$PORT" ] && break
    sleep 0.01
done
if [ -z "$PORT" ]; then
    echo "msgsink did not start: $(cat "$WORK/err")" >&2
    exit 1
fi

T0=$(now)
FLOOD_OUT=$("$FLOOD" 127.0.0.1 "$PORT" "$COUNT" "$RATE")
T1=$(now)

# let msgsink drain its queue (bounded: 10 s)
read -r RXQ DROPS < <(udp_stats "$PORT")
for _ in $(seq 1000); do
    read -r RXQ DROPS < <(udp_stats "$PORT")
    [ "$RXQ" -eq 0 ] && break
    sleep 0.01
done
T2=$(now)

kill -TERM "$SINK_PID"
STATUS=0
for _ in $(seq 500); do
    kill -0 "$SINK_PID" 2>/dev/null || break
    sleep 0.01
done
wait "$SINK_PID" || STATUS=$?
SINK_PID=

ARRIVED=$(wc -l <"$WORK/log")
awk -v count="$COUNT" -v rate="$RATE" -v arrived="$ARRIVED" -v drops="$DROPS" \
    -v t0="$T0" -v t1="$T1" -v t2="$T2" -v flood="$FLOOD_OUT" -v st="$STATUS" '
BEGIN {
    send = t1 - t0; total = t2 - t0
    printf "target rate   %s/s (0 = unpaced)\n", rate
    printf "sender        %s\n", flood
    printf "arrived       %d of %d (%.2f%%), kernel drops %d\n",
           arrived, count, 100.0 * arrived / count, drops
    printf "send time     %.3f s\n", send
    printf "drained after %.3f s\n", total
    printf "sustained     %.0f lines/s\n", arrived / total
    printf "msgsink exit  %d\n", st
}'
