#!/bin/sh
# Times l3assemble against reading the same record file with dd, for three kinds of stream,
# then runs the writeFrame micro-benchmark. Needs the bench preset built:
#   cmake --preset bench && cmake --build --preset bench && bench/run_assemble_bench.sh
#
# Usage: bench/run_assemble_bench.sh [FRAMES] [BUILD_DIR]
#   FRAMES     records per file (default 100000; about 560 MB each)
#   BUILD_DIR  default build/bench
# Each record file repeats the records disassembled from a committed stream (bench/data). The
# page cache is warm; each figure is the median of 5 runs (hyperfine when installed, else
# date). The output goes to /dev/null through the program's normal output path.
set -eu

frames=${1:-100000}
build=${2:-build/bench}
runs=5
here=$(cd "$(dirname "$0")" && pwd)
assemble=$build/bin/l3assemble
make=$build/bench/make_bench_records
micro=$build/bench/writeframe_bench
for exe in "$assemble" "$make" "$micro"; do
    if [ ! -x "$exe" ]; then
        echo "no executable at $exe; build the bench preset first" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/assemble_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

median_seconds() {
    if command -v hyperfine >/dev/null 2>&1; then
        hyperfine --warmup 1 --runs "$runs" --style none --export-json "$work/t.json" "$1" \
            >/dev/null 2>&1
        sed -n 's/.*"median": *\([0-9.eE+-]*\).*/\1/p' "$work/t.json" | head -n 1
    else
        sh -c "$1" >/dev/null 2>&1
        i=0
        while [ "$i" -lt "$runs" ]; do
            start=$(date +%s%N)
            sh -c "$1" >/dev/null 2>&1
            end=$(date +%s%N)
            echo $((end - start))
            i=$((i + 1))
        done | sort -n | sed -n "$(((runs + 1) / 2))p" | awk '{ printf "%.6f\n", $1 / 1e9 }'
    fi
}

printf '%-24s %9s %10s %10s %7s %12s\n' stream frames "dd (s)" "l3asm (s)" ratio "ns/frame"
for stream in m1_44k_stereo_cbr128 m1_44k_joint_cbr320 m2_22k_mono_cbr64; do
    "$make" "$here/data/$stream.mp3" "$frames" "$work/rec" "$work/anc"
    count=$(od -An -t d4 -N 4 "$work/rec" | tr -d ' ')
    cat "$work/rec" "$work/anc" >/dev/null  # warm the page cache
    dd_time=$(median_seconds "dd if='$work/rec' of=/dev/null bs=128k")
    asm_time=$(median_seconds "'$assemble' '$work/rec' '$work/anc' /dev/null")
    awk -v s="$stream" -v n="$count" -v d="$dd_time" -v a="$asm_time" 'BEGIN {
        printf "%-24s %9d %10.3f %10.3f %7.2f %12.0f\n", s, n, d, a, a / d, a / n * 1e9 }'
    rm -f "$work/rec" "$work/anc"
done
echo
"$micro"
