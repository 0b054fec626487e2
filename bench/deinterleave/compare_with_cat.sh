#!/bin/sh
# Times deinterleave against plain copying of the same file (cat IN > OUT) for several N and
# prints a table of ratios. Builds nothing: pass the built program, or build the release preset.
#
# Usage: bench/deinterleave/compare_with_cat.sh [SIZE_MB] [PATH_TO_DEINTERLEAVE] [N...]
#   SIZE_MB               size of the random test file (default 256)
#   PATH_TO_DEINTERLEAVE  default build/release/src/deinterleave/deinterleave
#   N...                  default 1 2 7 64 1000 65536
# Each run of deinterleave is paired with a run of cat just before it, so that both see the same
# machine load; the table gives the median of RUNS (default 5) paired ratios, and the median
# times. The page cache is warm: the input is read once before timing. On a shared machine the
# ratios move by some tenths from one invocation to the next; compare medians, not single runs.
set -eu

size_mb=${1:-256}
exe=${2:-build/release/src/deinterleave/deinterleave}
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

# Wall time of one run of a shell command in nanoseconds. The output is removed and dirty pages
# are written back first, so that no run pays for the previous run's truncation or write-back.
time_once() {
    rm -f "$work/out"
    sync
    start=$(date +%s%N)
    sh -c "$1"
    end=$(date +%s%N)
    echo $((end - start))
}

median() {
    sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf 'file %d MiB, %d paired runs per N (median)\n\n' "$size_mb" "$runs"
printf '%8s  %10s  %10s  %6s\n' N 'cat s' 'deint s' ratio
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
    c=$(awk '{ print $1 / 1e9 }' "$work/pairs" | median)
    d=$(awk '{ print $2 / 1e9 }' "$work/pairs" | median)
    r=$(awk '{ print $2 / $1 }' "$work/pairs" | median)
    printf '%8s  %10.3f  %10.3f  %6.2f\n' "$n" "$c" "$d" "$r"
done
