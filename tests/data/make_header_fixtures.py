#!/usr/bin/env python3
"""Regenerates tests/data/headers/: LAME streams made without a tag (lame -t, in
tests/data/lame/) with a VBR header put in front that no encoder here writes: a VBRI frame
(as Fraunhofer's encoders lead a stream with) or a Xing/Info frame without a LAME extension
(as the Xing encoder did). Written apart from the library, from the layouts alone, so that
the edits' tests read headers this toolkit did not write.

VBRI frame: an ordinary frame of the stream's version, rate and mode, no CRC, all zero
after the header but for the tag at byte 36: "VBRI", version 1, delay, quality 75, bytes
and frames (both counting the VBRI frame itself, as mp3val checks them), the table's entry
count, scale 1, 2-byte entries, frames per entry, then each entry: the bytes of its run of
audio frames. Xing/Info frame: the tag after the side information (frames, bytes, TOC,
quality), nothing after it.

Usage: tests/data/make_header_fixtures.py   (from anywhere)
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
BITRATES = {True: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
            False: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}
RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def frame_length(h):
    mpeg1 = (h >> 19) & 3 == 3
    kbps = BITRATES[mpeg1][(h >> 12) & 15]
    rate = RATES[(h >> 19) & 3][(h >> 10) & 3]
    return (144 if mpeg1 else 72) * kbps * 1000 // rate + ((h >> 9) & 1)


def frames_of(data):
    at, frames = 0, []
    while at + 4 <= len(data):
        h = struct.unpack(">I", data[at:at + 4])[0]
        if h >> 21 != 0x7FF:
            break
        n = frame_length(h)
        frames.append((at, n, h))
        at += n
    return frames


def side_bytes(h):
    mpeg1, mono = (h >> 19) & 3 == 3, (h >> 6) & 3 == 3
    return (17 if mono else 32) if mpeg1 else (9 if mono else 17)


def tag_frame(h, needed):
    """An empty frame of the stream's kind, without CRC, at the lowest rate that holds needed bytes."""
    for index in range(1, 15):
        t = (h & ~0xF000 & ~0x200) | (index << 12) | 0x10000
        if frame_length(t) >= needed:
            frame = bytearray(frame_length(t))
            frame[0:4] = struct.pack(">I", t)
            return frame
    raise ValueError("no frame holds the tag")


def vbri(frames, delay):
    entries = min(100, len(frames))
    per_entry = -(-len(frames) // entries)
    frame = tag_frame(frames[0][2], 36 + 26 + 2 * entries)
    sizes = [sum(f[1] for f in frames[i * per_entry:(i + 1) * per_entry]) for i in range(entries)]
    total = len(frame) + sum(f[1] for f in frames)
    tag = b"VBRI" + struct.pack(">HHHIIHHHH", 1, delay, 75, total, len(frames) + 1, entries, 1, 2,
                                per_entry)
    tag += b"".join(struct.pack(">H", s) for s in sizes)
    frame[36:36 + len(tag)] = tag
    return bytes(frame)


def xing(frames, magic):
    h = frames[0][2]
    at = 4 + side_bytes(h)
    frame = tag_frame(h, at + 120)
    total = len(frame) + sum(f[1] for f in frames)
    starts = [len(frame)]
    for f in frames[:-1]:
        starts.append(starts[-1] + f[1])
    toc = bytes(min(255, starts[i * len(frames) // 100] * 256 // total) for i in range(100))
    tag = magic + struct.pack(">III", 15, len(frames), total) + toc + struct.pack(">I", 50)
    frame[at:at + len(tag)] = tag
    return bytes(frame)


FIXTURES = [
    # output, input (tests/data/lame), header
    ("m1_44k_joint_vbr5_vbri.mp3", "m1_44k_joint_vbr5_notag.mp3", "vbri"),
    ("m1_44k_msforced_cbr96_vbri.mp3", "m1_44k_msforced_cbr96_notag.mp3", "vbri"),
    ("m2_16k_joint_silence_abr96_vbri.mp3", "m2_16k_joint_silence_abr96_notag.mp3", "vbri"),
    ("m25_11k_joint_cbr32_crc_vbri.mp3", "m25_11k_joint_cbr32_crc_notag.mp3", "vbri"),
    ("m1_44k_joint_vbr5_xing.mp3", "m1_44k_joint_vbr5_notag.mp3", "Xing"),
    ("m2_16k_mono_cbr8_info.mp3", "m2_16k_mono_cbr8.mp3", "Info"),
    ("m25_11k_joint_cbr32_crc_info.mp3", "m25_11k_joint_cbr32_crc_notag.mp3", "Info"),
]

os.makedirs(os.path.join(HERE, "headers"), exist_ok=True)
for out, source, header in FIXTURES:
    with open(os.path.join(HERE, "lame", source), "rb") as f:
        data = f.read()
    frames = frames_of(data)
    head = vbri(frames, 576) if header == "vbri" else xing(frames, header.encode())
    with open(os.path.join(HERE, "headers", out), "wb") as f:
        f.write(head + data)
