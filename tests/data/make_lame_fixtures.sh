#!/bin/sh
# Regenerates the Layer III fixtures in tests/data/lame/ from fixed synthetic
# signals. Made with LAME 3.100 (Debian), SoX 14.4.2; checked with mpg123 1.31.2.
# The signals are deterministic (sox -R seeds its noise generator), so a rerun with
# the same tool versions gives byte-identical files.
# Usage: tests/data/make_lame_fixtures.sh   (from anywhere)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
out="$here/lame"
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

SOX="sox -R -q"

# --- signals -------------------------------------------------------------
# tones RATE CH DUR NAME : sine mix; stereo channels are correlated (mid/side friendly)
tones() {
  $SOX -n -r "$1" -c 2 -b 16 "$tmp/t2.wav" synth "$3" sine 440 sine 660 \
    synth "$3" sine amod 3 gain -8
  if [ "$2" = 1 ]; then $SOX "$tmp/t2.wav" "$tmp/$4.wav" remix -
  else $SOX "$tmp/t2.wav" "$tmp/$4.wav" remix 1,2v0.9 1v0.8,2; fi
}
# wide RATE DUR NAME : stereo with unrelated channels (L: 330 Hz + 2.2 kHz, R: pink noise)
wide() {
  $SOX -n -r "$1" -c 1 -b 16 "$tmp/wl.wav" synth "$2" sine 330 synth "$2" sine mix 2200 gain -9
  $SOX -n -r "$1" -c 1 -b 16 "$tmp/wr.wav" synth "$2" pinknoise gain -14
  $SOX -M "$tmp/wl.wav" "$tmp/wr.wav" "$tmp/$3.wav"
}
# clicks RATE CH NAME : silence with short noise bursts and single-sample-ish impulses
# (sharp attacks after silence make the encoder switch to short blocks)
clicks() {
  $SOX -n -r "$1" -c "$2" -b 16 "$tmp/sil.wav" trim 0 0.09
  $SOX -n -r "$1" -c "$2" -b 16 "$tmp/clk.wav" synth 0.004 whitenoise gain -4
  $SOX -n -r "$1" -c "$2" -b 16 "$tmp/imp.wav" synth 0.0005 square 1000 gain -1
  $SOX "$tmp/sil.wav" "$tmp/clk.wav" "$tmp/sil.wav" "$tmp/imp.wav" "$tmp/sil.wav" \
       "$tmp/clk.wav" "$tmp/sil.wav" "$tmp/imp.wav" "$tmp/sil.wav" "$tmp/clk.wav" \
       "$tmp/sil.wav" "$tmp/imp.wav" "$tmp/sil.wav" "$tmp/$3.wav"
}
# bursts RATE CH NAME : tone, silence stretch, noise burst, silence, tone
bursts() {
  $SOX -n -r "$1" -c "$2" -b 16 "$tmp/b1.wav" synth 0.25 sine 523 gain -6
  $SOX -n -r "$1" -c "$2" -b 16 "$tmp/b0.wav" trim 0 0.35
  $SOX -n -r "$1" -c "$2" -b 16 "$tmp/b2.wav" synth 0.08 whitenoise gain -4
  $SOX "$tmp/b1.wav" "$tmp/b0.wav" "$tmp/b2.wav" "$tmp/b0.wav" "$tmp/b1.wav" "$tmp/$3.wav"
}

# enc NAME INPUT KHZ LAME-OPTIONS... : encode INPUT at sampling rate KHZ
enc() {
  name=$1; in=$2; khz=$3; shift 3
  lame --quiet --resample "$khz" "$@" "$tmp/$in.wav" "$out/$name.mp3"
}

# --- MPEG-1 --------------------------------------------------------------
tones 44100 2 1.0 t44s;  tones 44100 1 1.0 t44m
tones 48000 2 0.6 t48s;  tones 32000 1 1.2 t32m
wide 44100 0.8 w44;      wide 32000 0.8 w32
clicks 44100 2 c44s;     clicks 44100 1 c44m;   clicks 48000 2 c48s
bursts 44100 2 b44s;     bursts 32000 2 b32s

enc m1_44k_joint_cbr128            t44s 44.1 -m j -b 128
enc m1_44k_joint_cbr128_crc        t44s 44.1 -m j -b 128 -p
enc m1_44k_msforced_cbr96_notag    t44s 44.1 -m f -b 96 -t
enc m1_48k_stereo_cbr320_crc       t48s 48   -m s -b 320 -p
enc m1_32k_mono_cbr32              t32m 32   -m m -b 32
enc m1_44k_dual_cbr192             w44  44.1 -m d -b 192
enc m1_32k_stereo_vbr0_crc         w32  32   -m s -V 0 -p
enc m1_44k_joint_vbr5_notag        t44s 44.1 -m j -V 5 -t
enc m1_44k_joint_abr96             t44s 44.1 -m j --abr 96
enc m1_44k_joint_clicks_vbr0       c44s 44.1 -m j -V 0
enc m1_44k_mono_clicks_cbr64_crc   c44m 44.1 -m m -b 64 -p
enc m1_48k_stereo_clicks_cbr256    c48s 48   -m s -b 256
enc m1_44k_joint_nores_cbr128      t44s 44.1 -m j -b 128 --nores
enc m1_44k_joint_silence_cbr128    b44s 44.1 -m j -b 128
enc m1_32k_joint_silence_vbr5_crc  b32s 32   -m j -V 5 -p
enc m1_44k_mono_id3v2              t44m 44.1 -m m -b 64 --id3v2-only --tt "lame fixture v2"
enc m1_44k_mono_id3v1              t44m 44.1 -m m -b 64 --id3v1-only --tt "lame fixture v1"
enc m1_44k_mono_id3v1v2            t44m 44.1 -m m -b 64 --add-id3v2 --tt "lame fixture both"

# --- MPEG-2 --------------------------------------------------------------
tones 16000 1 1.0 t16m;  tones 22050 2 1.0 t22s;  tones 24000 2 0.8 t24s
clicks 22050 2 c22s;     bursts 16000 2 b16s

enc m2_16k_mono_cbr8               t16m 16    -m m -b 8
enc m2_22k_joint_vbr5              t22s 22.05 -m j -V 5
enc m2_24k_stereo_cbr160_crc       t24s 24    -m s -b 160 -p
enc m2_22k_joint_clicks_cbr64_crc  c22s 22.05 -m j -b 64 -p
enc m2_16k_joint_silence_abr96_notag b16s 16  -m j --abr 96 -t

# --- MPEG-2.5 ------------------------------------------------------------
tones 8000 1 1.5 t8m;    tones 11025 2 1.2 t11s;  clicks 12000 2 c12s
bursts 11025 1 b11m

enc m25_8k_mono_cbr8               t8m  8      -m m -b 8
enc m25_11k_joint_cbr32_crc_notag  t11s 11.025 -m j -b 32 -p -t
enc m25_12k_stereo_clicks_vbr0     c12s 12     -m s -V 0
enc m25_11k_mono_silence_cbr24_crc b11m 11.025 -m m -b 24 -p

du -sh "$out"
