#!/bin/sh
# Times deinterleave against plain copying of the same file (cat IN > OUT) for several N and
# prints a table of ratios. Builds nothing: pass the built program, or build the release preset.
#
# Usage: bench/deinterleave/compare_with_cat.sh [SIZE_MB] [PATH_TO_DEINTERLEAVE] [N...]
#   SIZE_MB               size of the random test file (default 256)
#   PATH_TO_DEINTERLEAVE  default build/release/bin/deinterleave
#   N...                  default 1 2 7 64 1000 65536
# Each run of deinterleave is paired with a run of cat just before it, so that both see the same
# machine load; the table gives the median of RUNS (default 5) paired ratios, and the median
# times. The page cache is warm: the input is read once before timing. On a shared machine the
# wall ratios move by some tenths from one invocation to the next (compare medians, not single
# runs); the processor-time ratios move less.
set -eu

size_mb=${1:-256}
exe=${2:-build/release/bin/deinterleave}
[ "$#" -gt 2 ] && shift 2 || set --
factors=${*:-1 2 7 64 1000 65536}
runs=${RUNS:-5}

if [ ! -x "$exe" ]; then
    echo "no executable at $exe; build it first (cmake --workflow --preset test)" >&2
    exit 1
fi
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

work=$(mktemp -d "${TMPDIR:-/tmp}/deinterleave_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
head -c "$((size_mb * 1024 * 1024))" /dev/urandom >"$work/in"
cat "$work/in" >/dev/null  # warm the page cache

# One run of a shell command: its wall time and, where GNU time is installed, the processor time
# (user + system) of the command and its children, both in seconds. The output is removed and
# dirty pages are written back first, so that no run pays for the previous run's truncation or
# write-back.
time_once() {
    rm -f "$work/out"
    sync
    start=$(date +%s%N)
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%U %S' -o "$work/cpu" sh -c "$1"
    else
        sh -c "$1"
        echo '0 0' >"$work/cpu"
    fi
    end=$(date +%s%N)
    awk -v ns=$((end - start)) '{ printf "%.6f %.2f\n", ns / 1e9, $1 + $2 }' "$work/cpu"
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf 'file %d MiB, %d paired runs per N (medians)\n' "$size_mb" "$runs"
printf 'wall: elapsed time; cpu: user + system time, which other work on the machine disturbs less\n\n'
printf '%8s  %9s  %9s  %10s  %9s  %9s  %9s\n' N 'cat s' 'deint s' 'wall ratio' 'cat cpu' \
    'deint cpu' 'cpu ratio'
for n in $factors; do
    sh -c "'$exe' $n '$work/in' '$work/out' > /dev/null"  # warm-up
    : >"$work/pairs"
    i=0
    while [ "$i" -lt "$runs" ]; do
        c=$(time_once "cat '$work/in' > '$work/out'")
        d=$(time_once "'$exe' $n '$work/in' '$work/out' > /dev/null")
        echo "$c $d" >>"$work/pairs"
        i=$((i + 1))
    done
    # Columns of pairs: cat wall, cat cpu, deinterleave wall, deinterleave cpu.
    cw=$(awk '{ print $1 }' "$work/pairs" | median)
    dw=$(awk '{ print $3 }' "$work/pairs" | median)
    rw=$(awk '{ print $3 / $1 }' "$work/pairs" | median)
    cc=$(awk '{ print $2 }' "$work/pairs" | median)
    dc=$(awk '{ print $4 }' "$work/pairs" | median)
    rc=$(awk '{ print ($2 > 0) ? $4 / $2 : 0 }' "$work/pairs" | median)
    printf '%8s  %9.3f  %9.3f  %10.2f  %9.2f  %9.2f  %9.2f\n' "$n" "$cw" "$dw" "$rw" "$cc" "$dc" "$rc"
done
