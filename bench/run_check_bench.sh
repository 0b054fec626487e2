#!/bin/sh
# Times l3 check (every frame decoded down to its Huffman data) against mpg123 -t (a full
# decode to nowhere) on the three bench streams repeated to a few MB each, and on the long
# CBR 320 kbit/s stream of the shared vectors when it is there. The target: l3 check
# takes at most 0.3 of mpg123's time.
#
# Usage: bench/run_check_bench.sh [MEGABYTES] [BUILD_DIR] [VECTORS_DIR]
#   MEGABYTES    size of each repeated stream (default 4)
#   BUILD_DIR    holds bin/l3 (default build/release)
#   VECTORS_DIR  default ../shared/vectors from the repository
# Each repeated stream is its audio frames (the Info frame left out) again and again, so
# it checks ok. Each figure is the median of 5 runs with a warm page cache, in wall time
# and in CPU time (user and system).
set -eu

megabytes=${1:-4}
build=${2:-build/release}
here=$(cd "$(dirname "$0")" && pwd)
vectors=${3:-$here/../../shared/vectors}
l3=$build/bin/l3
runs=5
for exe in "$l3" mpg123; do
    if ! command -v "$exe" >/dev/null 2>&1; then
        echo "no $exe; build l3 (cmake --build --preset release --target l3) and install mpg123" >&2
        exit 1
    fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/check_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Median over the runs of the wall time, or with cpu as second argument of the user and
# system time (steadier when other work shares the machine; needs /usr/bin/time).
median_seconds() {
    i=0
    while [ "$i" -lt "$runs" ]; do
        if [ "${2:-}" = cpu ]; then
            /usr/bin/time -f "%U %S" -o "$work/time" sh -c "$1" >/dev/null 2>&1 || true
            awk '{ printf "%d\n", ($1 + $2) * 1e9 }' "$work/time"
        else
            start=$(date +%s%N)
            sh -c "$1" >/dev/null 2>&1 || true
            end=$(date +%s%N)
            echo $((end - start))
        fi
        i=$((i + 1))
    done | sort -n | sed -n "$(((runs + 1) / 2))p" | awk '{ printf "%.6f\n", $1 / 1e9 }'
}

# The stream's audio frames: from frame 1 when frame 0 is a Xing/Info frame.
audio_frames() {
    skip=$("$l3" info --frames "$1" | awk 'prev ~ /tag frame/ && $1 == 1 { print $2 } { prev = $0 }')
    tail -c +"$((${skip:-0} + 1))" "$1"
}

measure() {
    name=$1 file=$2
    "$l3" check "$file" >/dev/null || echo "note: $name does not check ok" >&2
    check=$(median_seconds "'$l3' check '$file'")
    decode=$(median_seconds "mpg123 -q -t '$file'")
    cpu_check=$(median_seconds "'$l3' check '$file'" cpu)
    cpu_decode=$(median_seconds "mpg123 -q -t '$file'" cpu)
    bytes=$(wc -c <"$file")
    awk -v s="$name" -v b="$bytes" -v c="$check" -v d="$decode" -v cc="$cpu_check" \
        -v cd="$cpu_decode" 'BEGIN {
        printf "%-22s %5.1f %9.3f %9.3f %6.2f %9.3f %9.3f %6.2f\n", s, b / 1048576, c, d, c / d,
               cc, cd, (cd > 0 ? cc / cd : 0) }'
}

printf '%-22s %5s %9s %9s %6s %9s %9s %6s\n' stream MB "check" "mpg123" ratio "check" \
    "mpg123" ratio
printf '%-22s %5s %26s %26s\n' "" "" "(wall seconds)" "(CPU seconds)"
for stream in m1_44k_stereo_cbr128 m1_44k_joint_cbr320 m2_22k_mono_cbr64; do
    audio_frames "$here/data/$stream.mp3" >"$work/one.mp3"
    : >"$work/long.mp3"
    while [ "$(wc -c <"$work/long.mp3")" -lt $((megabytes * 1048576)) ]; do
        cat "$work/one.mp3" >>"$work/long.mp3"
    done
    measure "$stream" "$work/long.mp3"
done
if [ -f "$vectors/performance/MEANDR_PHASE0.mp3" ]; then
    measure MEANDR_PHASE0 "$vectors/performance/MEANDR_PHASE0.mp3"
fi
