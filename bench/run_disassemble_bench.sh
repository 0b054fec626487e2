#!/bin/sh
# Times l3disassemble against mpg123 -t (decoding without output) on the same stream, for
# three kinds of stream, and prints the ratio, the time per frame and the peak memory.
# Needs a release build of l3disassemble and mpg123:
#   cmake --preset release && cmake --build --preset release --target l3disassemble
#   bench/run_disassemble_bench.sh
#
# Usage: bench/run_disassemble_bench.sh [MEGABYTES] [BUILD_DIR] [EXTRA_STREAM...]
#   MEGABYTES  size each committed stream (bench/data) is repeated to (default 30)
#   BUILD_DIR  default build/release
#   EXTRA_STREAM  further streams to time as they are (e.g. a 64 MB file)
# l3disassemble writes a real record file and ancillary file (to TMPDIR, removed between
# runs). The page cache is warm; each time is the median of 5 runs of elapsed time (the
# target: what a user waits for), and the CPU time (user + system, of every thread) is shown
# beside it; peak memory comes from GNU time when it is installed. l3disassemble decodes on
# one thread while a second checks the records by assembling them and a third writes them,
# so elapsed times want an otherwise idle machine with at least two cores.
set -eu

megabytes=${1:-30}
build=${2:-build/release}
[ $# -ge 2 ] && shift 2 || shift $#
runs=5
here=$(cd "$(dirname "$0")" && pwd)
dis=$build/bin/l3disassemble
if [ ! -x "$dis" ]; then
    echo "no executable at $dis; build l3disassemble first" >&2
    exit 1
fi
if ! command -v mpg123 >/dev/null 2>&1; then
    echo "mpg123 is not installed (Debian package mpg123)" >&2
    exit 1
fi
gnutime=/usr/bin/time
[ -x "$gnutime" ] || gnutime=

work=$(mktemp -d "${TMPDIR:-/tmp}/disassemble_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# CPU seconds (user + system) of a command, median of $runs runs.
cpu_seconds() {
    i=0
    while [ "$i" -lt "$runs" ]; do
        sh -c "times >'$work/t0'; $1 >/dev/null 2>&1; times >'$work/t1'"
        awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/);
                       print u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$work/t1"
        i=$((i + 1))
    done | sort -n | sed -n "$(((runs + 1) / 2))p"
}

# Elapsed seconds of a command, median of $runs runs; rm_after is removed after each run.
wall_seconds() {
    i=0
    while [ "$i" -lt "$runs" ]; do
        start=$(date +%s.%N)
        sh -c "$1" >/dev/null 2>&1
        end=$(date +%s.%N)
        rm -f $2
        echo "$end $start" | awk '{ print $1 - $2 }'
        i=$((i + 1))
    done | sort -n | sed -n "$(((runs + 1) / 2))p"
}

peak_mb() {
    if [ -z "$gnutime" ]; then echo "-"; return; fi
    "$gnutime" -f %M -o "$work/rss" sh -c "$1" >/dev/null 2>&1 || true
    awk '{ printf "%.0f", $1 / 1024 }' "$work/rss"
}

time_stream() {
    name=$1 file=$2
    cat "$file" >/dev/null  # warm the page cache
    cmd="'$dis' --quiet '$file' '$work/rec' '$work/anc'"
    dis_cpu=$(cpu_seconds "$cmd; rm -f '$work/rec' '$work/anc'")
    dis_wall=$(wall_seconds "$cmd" "$work/rec $work/anc")
    "$dis" --quiet "$file" "$work/rec" "$work/anc"
    frames=$(od -An -t d4 -N 4 "$work/rec" | tr -d ' ')
    rm -f "$work/rec" "$work/anc"
    rss=$(peak_mb "exec $cmd")
    mpg_wall=$(wall_seconds "mpg123 -q -t '$file'" "")
    awk -v s="$name" -v n="$frames" -v d="$dis_wall" -v c="$dis_cpu" -v m="$mpg_wall" -v r="$rss" 'BEGIN {
        printf "%-28s %8d %10.3f %10.3f %7.2f %10.3f %10.1f %8s\n", s, n, m, d, d / m, c, d / n * 1e6, r }'
    rm -f "$work/rec" "$work/anc"
}

printf '%-28s %8s %10s %10s %7s %10s %10s %8s\n' stream frames "mpg123 (s)" "l3dis (s)" ratio \
    "l3dis CPU" "us/frame" "peak MB"
for stream in m1_44k_stereo_cbr128 m1_44k_joint_cbr320 m2_22k_mono_cbr64; do
    source=$here/data/$stream.mp3
    copies=$((megabytes * 1000000 / $(wc -c <"$source") + 1))
    i=0
    while [ "$i" -lt "$copies" ]; do cat "$source"; i=$((i + 1)); done >"$work/$stream.mp3"
    time_stream "$stream x$copies" "$work/$stream.mp3"
    rm -f "$work/$stream.mp3"
done
for extra in "$@"; do
    time_stream "$(basename "$extra")" "$extra"
done
