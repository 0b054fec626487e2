#!/usr/bin/env bash
# Regenerates the benchmark streams: two seconds of gliding tones over pink noise, the
# kind of dense spectrum music gives, encoded by lame (3.100) at the three benchmark
# settings. Needs sox and lame.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
sox -n -r 44100 -c 2 tones.wav synth 4 sine 220-880 sine 330-660 tremolo 3 40 vol 0.5
sox -n -r 44100 -c 2 noise.wav synth 4 pinknoise pinknoise vol 0.15
sox -m tones.wav noise.wav mix44.wav
sox mix44.wav -r 22050 -c 1 mix22m.wav
sox mix44.wav mix44_2s.wav trim 0 2
sox mix22m.wav mix22m_2s.wav trim 0 2
lame --quiet -m s -b 128 mix44_2s.wav "$out/m1_44k_stereo_cbr128.mp3"
lame --quiet -m j -b 320 mix44_2s.wav "$out/m1_44k_joint_cbr320.mp3"
lame --quiet -m m -b 64 mix22m_2s.wav "$out/m2_22k_mono_cbr64.mp3"
