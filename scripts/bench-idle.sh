#!/usr/bin/env bash
# Prints the program's CPU time per minute and resident memory with a TK2 panel open
# and idle (meters polled every 500 ms), against the device simulator.
# Usage: bench-idle.sh [bin folder] [seconds]
set -euo pipefail
bin=${1:-$(dirname "$0")/../build/bin}
seconds=${2:-60}
work=$(mktemp -d)
mkdir -p "$work/rt" "$work/home" "$work/tmp"
chmod 700 "$work/rt"
export XDG_RUNTIME_DIR=$work/rt HOME=$work/home TMPDIR=$work/tmp QT_QPA_PLATFORM=offscreen
"$bin/quorvix-devsim" --model tk2 --quiet --journal /dev/null &
sim=$!
"$bin/QuorvixDriver" >/dev/null 2>"$work/log" &
prog=$!
trap 'kill $prog $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do grep -q "Device found" "$work/log" && break; sleep 0.2; done
sleep 5 # settle after the panel came up
ticks=$(getconf CLK_TCK)
cpu() { awk '{ print $14 + $15 }' "/proc/$prog/stat"; }
start=$(cpu)
sleep "$seconds"
end=$(cpu)
rss=$(awk '/VmRSS/ { print $2 }' "/proc/$prog/status")
awk -v d=$((end - start)) -v t="$ticks" -v s="$seconds" -v r="$rss" 'BEGIN {
    printf "idle TK2 panel: CPU %.2f s per minute (%.2f%% of one core), resident memory %.1f MiB\n",
        d / t * 60 / s, d / t / s * 100, r / 1024 }'
