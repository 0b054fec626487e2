#!/bin/sh
# l3 repack against mpg123 -t (a full decode to nowhere) on the bench streams repeated to a
# few MB each (their audio frames again and again) and on a quiet CBR 320 kbit/s stream made
# here with sox and lame (a tone one second in four): bytes before, after, after --huffman,
# the main data before and after --huffman (the sum of part2_3_length, in bytes), and the
# time of each against mpg123's: median CPU seconds (every thread) of 3 runs, median elapsed
# seconds of 5 runs each, and the median elapsed seconds of 5 runs of each on one processor
# (taskset -c 0: --huffman's work on one thread), warm cache.
# Targets: at most 0.25 of mpg123's time without --huffman, 1.0 with it (on one processor
# too); the quiet stream at least 60 % smaller. The bound column is a size no layout can go
# below: the bytes around the audio frames, plus the larger of every audio frame at the
# smallest legal size and every head with all main data bits packed end to end.
#
# Usage: bench/run_repack_bench.sh [MEGABYTES] [BUILD_DIR]
set -eu
megabytes=${1:-8}
build=${2:-build/release}
here=$(cd "$(dirname "$0")" && pwd)
l3=$build/bin/l3
for exe in "$l3" mpg123 lame sox taskset; do
    command -v "$exe" >/dev/null 2>&1 || { echo "no $exe (build l3; apt-get install mpg123 lame sox util-linux)" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/repack_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Before each run the previous run's output is removed: replacing it would add the deletion of
# a file of megabytes (several milliseconds here) to the repack's time.
cpu() {  # median CPU seconds of three runs of "$@"
    for i in 1 2 3; do
        rm -f "$work/out.mp3"
        /usr/bin/time -f "%U %S" "$@" 2>&1 >/dev/null | tail -n 1 | awk '{print $1 + $2}'
    done | sort -n | sed -n 2p
}
ratio() {  # $1 / $2, or 0 when $2 is too small to time
    echo "$1 $2" | awk '{ print ($2 > 0 ? $1 / $2 : 0) }'
}
wall() {  # median elapsed seconds of five runs of "$@", timed to the microsecond (runs of
          # a tenth of a second are too short for time's hundredths)
    for i in 1 2 3 4 5; do
        rm -f "$work/out.mp3"
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        echo "$start $end" | awk '{ printf "%.6f\n", ($2 - $1) / 1e9 }'
    done | sort -n | sed -n 3p
}

for name in m1_44k_stereo_cbr128 m1_44k_joint_cbr320 m2_22k_mono_cbr64; do
    # The frames after the Info frame, repeated: one consistent stream.
    "$l3" info --frames "$here/data/$name.mp3" | awk '$1 == "1" {print $2; exit}' > "$work/skip"
    skip=$(cat "$work/skip")
    tail -c +"$((skip + 1))" "$here/data/$name.mp3" > "$work/frames"
    : > "$work/$name.mp3"
    while [ "$(wc -c < "$work/$name.mp3")" -lt $((megabytes * 1048576)) ]; do
        cat "$work/frames" >> "$work/$name.mp3"
    done
done
sox -D -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 1 sine 440 gain -6
sox -D -n -r 44100 -c 2 -b 16 "$work/rest.wav" trim 0 3
set -- "$work/tone.wav" "$work/rest.wav"
sox -D "$@" "$@" "$@" "$@" "$@" "$work/quiet.wav"
lame --quiet -b 320 "$work/quiet.wav" "$work/quiet_cbr320.mp3"

# The lower bound of a stream from l3 info --frames (see above); a Xing/Info frame counts
# at the smallest legal size that holds its tag (156 bytes with the LAME extension).
bound() {
    size=$(wc -c < "$1")
    "$l3" info --frames "$1" | awk -v size="$size" '
        function smallestHolding(bytes,    i, n, r) {
            n = split(mpeg1 ? "32 40 48 56 64 80 96 112 128 160 192 224 256 320" \
                            : "8 16 24 32 40 48 56 64 80 96 112 128 144 160", r, " ")
            for (i = 1; i <= n; ++i) if (int(unit * r[i] / rate) >= bytes) return int(unit * r[i] / rate)
            return int(unit * r[n] / rate)
        }
        /^stream:/ { mpeg1 = $2 == "MPEG-1"; rate = $5; mono = $NF == "mono"
                     unit = mpeg1 ? 144000 : 72000; side = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17) }
        /^CRC:/ { crc = $2 == "yes" }
        $1 ~ /^[0-9]+$/ && NF >= 7 && $2 ~ /^[0-9]+$/ {
            frames += int(unit * $3 / rate) + $4
            # The tag starts right after the side information, with or without a CRC.
            if ($0 ~ /tag frame/) { tag = smallestHolding(4 + side + 156); next }
            heads += 4 + (crc ? 2 : 0) + side
            for (i = 6; i <= NF && $i ~ /^[0-9]+$/; ++i) bits += $i
            smallest += smallestHolding(0)
        }
        END { packed = heads + int((bits + 7) / 8)
              printf "%d", size - frames + tag + (packed > smallest ? packed : smallest) }'
}

# The main data of a stream in bytes: the sum of every granule's part2_3_length.
mainbytes() {
    "$l3" info --frames "$1" | awk '
        $1 ~ /^[0-9]+$/ && NF >= 7 && $2 ~ /^[0-9]+$/ && $0 !~ /tag frame/ {
            for (i = 6; i <= NF && $i ~ /^[0-9]+$/; ++i) bits += $i
        }
        END { printf "%d", bits / 8 }'
}

printf '%-22s %10s %10s %10s %10s %9s %9s %7s %7s %7s %7s %7s %7s %7s\n' stream bytes repacked \
    huffman bound main main-huff mpg123 ratio huff wall wall-huff 1cpu 1cpu-huff
for f in "$work"/m1_44k_stereo_cbr128.mp3 "$work"/m1_44k_joint_cbr320.mp3 \
         "$work"/m2_22k_mono_cbr64.mp3 "$work"/quiet_cbr320.mp3; do
    m=$(cpu mpg123 -q -t "$f")
    r=$(cpu "$l3" repack -q "$f" "$work/out.mp3")
    plain=$(wc -c < "$work/out.mp3")
    h=$(cpu "$l3" repack -q --huffman "$f" "$work/out.mp3")
    huff=$(wc -c < "$work/out.mp3")
    mainHuff=$(mainbytes "$work/out.mp3")
    mw=$(wall mpg123 -q -t "$f")
    rw=$(wall "$l3" repack -q "$f" "$work/out.mp3")
    hw=$(wall "$l3" repack -q --huffman "$f" "$work/out.mp3")
    m1=$(wall taskset -c 0 mpg123 -q -t "$f")
    r1=$(wall taskset -c 0 "$l3" repack -q "$f" "$work/out.mp3")
    h1=$(wall taskset -c 0 "$l3" repack -q --huffman "$f" "$work/out.mp3")
    printf '%-22s %10d %10d %10d %10d %9d %9d %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f\n' \
        "$(basename "$f" .mp3)" "$(wc -c < "$f")" "$plain" "$huff" "$(bound "$f")" \
        "$(mainbytes "$f")" "$mainHuff" "$m" "$(ratio "$r" "$m")" "$(ratio "$h" "$m")" \
        "$(ratio "$rw" "$mw")" "$(ratio "$hw" "$mw")" "$(ratio "$r1" "$m1")" "$(ratio "$h1" "$m1")"
done
