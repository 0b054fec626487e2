#!/bin/sh
# Regenerates examples/example.mp3 (2.5 s of a two-tone sine mix, LAME 3.100, 128 kbit/s joint
# stereo; SoX 14.4.2) and its records: examples/example.records and examples/example.ancillary.
# Usage: examples/make_example.sh BUILD_DIR   (e.g. build/release)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: make_example.sh BUILD_DIR}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
sox -R -q -n -r 44100 -c 2 -b 16 "$tmp/ex.wav" synth 2.5 sine 392 sine 587 synth 2.5 sine amod 2 gain -8
lame --quiet -b 128 -m j "$tmp/ex.wav" "$here/example.mp3"
"$build/bin/l3disassemble" "$here/example.mp3" "$here/example.records" "$here/example.ancillary"
