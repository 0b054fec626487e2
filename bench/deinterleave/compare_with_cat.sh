#!/bin/sh
# Times deinterleave against plain copying of the same file (cat IN > OUT) for N = 1, 2 and 7
# and prints each ratio. Builds nothing: pass the built program, or build the release preset.
#
# Usage: bench/deinterleave/compare_with_cat.sh [SIZE_MB] [PATH_TO_DEINTERLEAVE]
#   SIZE_MB               size of the random test file (default 400)
#   PATH_TO_DEINTERLEAVE  default build/release/src/deinterleave/deinterleave
# Uses hyperfine when installed (median of 5 runs after a warm-up run), otherwise the median of 5
# runs timed with date after one warm-up run. The page cache is warm: the input is read once
# before timing.
set -eu

size_mb=${1:-400}
exe=${2:-build/release/src/deinterleave/deinterleave}
runs=5

if [ ! -x "$exe" ]; then
    echo "no executable at $exe; build it first (cmake --workflow --preset test)" >&2
    exit 1
fi
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")

work=$(mktemp -d "${TMPDIR:-/tmp}/deinterleave_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
head -c "$((size_mb * 1024 * 1024))" /dev/urandom >"$work/in"
cat "$work/in" >/dev/null  # warm the page cache

# Before every timed run the output is removed and dirty pages are written back, so that no run
# pays for the previous run's truncation or write-back.
prepare="rm -f '$work/out'; sync"

# Median wall time of a shell command in seconds.
median_seconds() {
    if command -v hyperfine >/dev/null 2>&1; then
        hyperfine --warmup 1 --runs "$runs" --style none --prepare "$prepare" \
            --export-json "$work/t.json" "$1" >/dev/null 2>&1
        sed -n 's/.*"median": *\([0-9.eE+-]*\).*/\1/p' "$work/t.json" | head -n 1
    else
        sh -c "$1"
        i=0
        while [ "$i" -lt "$runs" ]; do
            sh -c "$prepare"
            start=$(date +%s%N)
            sh -c "$1"
            end=$(date +%s%N)
            echo $((end - start))
            i=$((i + 1))
        done | sort -n | sed -n "$(((runs + 1) / 2))p" | awk '{ printf "%.6f\n", $1 / 1e9 }'
    fi
}

cat_time=$(median_seconds "cat '$work/in' > '$work/out'")
printf 'file %d MiB, cat: %.3f s\n' "$size_mb" "$cat_time"
for n in 1 2 7; do
    t=$(median_seconds "'$exe' $n '$work/in' '$work/out' > /dev/null")
    awk -v n="$n" -v t="$t" -v c="$cat_time" \
        'BEGIN { printf "N=%d: deinterleave %.3f s, ratio to cat %.2f\n", n, t, t / c }'
done
