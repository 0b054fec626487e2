#!/usr/bin/env python3
"""Rebuilds the seed corpora in fuzz/corpus/ from the test fixtures.

Usage: fuzz/make_corpus.py BUILD_DIR   (BUILD_DIR holds the built l3disassemble)

assemble_fuzz: the first frames of a few fixtures, cut from the stream and split by
l3disassemble, each prefixed by the fuzz input's 2-byte ancillary length and the ancillary
bytes; plus hand-made records (raw, coded without main data bits, MPEG-2, CRC).
disassemble_fuzz: the same cuts of the streams.
inspect_fuzz: the same cuts, and one of them between an ID3v2 tag and APEv2 and ID3v1 tags.
frame_scan_fuzz: the same as inspect_fuzz.
deinterleave_fuzz: small interleaved inputs with their N text and option byte.
"""
import os
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LAME = os.path.join(ROOT, "tests", "data", "lame")
CORPUS = os.path.join(ROOT, "fuzz", "corpus")

MPEG1_RATES = [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0]
LSF_RATES = [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0]
SAMPLING = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def frame_length(b):
    version = (b[1] >> 3) & 3
    rate_index = b[2] >> 4
    sampling_index = (b[2] >> 2) & 3
    if version == 1 or sampling_index == 3 or rate_index in (0, 15) or (b[1] >> 1) & 3 != 1:
        return 0
    rate = (MPEG1_RATES if version == 3 else LSF_RATES)[rate_index] * 1000
    slots = 144 if version == 3 else 72
    return slots * rate // SAMPLING[version][sampling_index] + ((b[2] >> 1) & 1)


def first_frames(data, count):
    """The bytes of the first `count` frames after any leading tag."""
    at = 0
    if data[:3] == b"ID3":
        size = data[6] << 21 | data[7] << 14 | data[8] << 7 | data[9]
        at = 10 + size
    while at + 4 <= len(data) and not (data[at] == 0xFF and (data[at + 1] & 0xE0) == 0xE0
                                       and frame_length(data[at:at + 4])):
        at += 1
    start = at
    for _ in range(count):
        n = frame_length(data[at:at + 4])
        if not n or at + n > len(data):
            break
        at += n
    return data[start:at]


def record(header, raw, mdb=0, ancillary_bits=0, edit=None):
    r = bytearray(5610)
    struct.pack_into("<I", r, 0, header)
    struct.pack_into("<i", r, 6, mdb)
    struct.pack_into("<i", r, 54, 1 if raw else 0)
    if edit:
        edit(r)
    return bytes(r) + struct.pack("<i", ancillary_bits)


def record_file(records):
    return struct.pack("<iIi", len(records), 0, -1) + b"".join(records)


def assemble_input(ancillary, records):
    return struct.pack("<H", len(ancillary)) + ancillary + records


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def tagged(stream):
    """stream between a small ID3v2 tag and a footer-only APEv2 tag followed by ID3v1."""
    id3v2 = b"ID3\x04\x00\x00\x00\x00\x00\x04" + b"abcd"
    ape = b"item" + b"APETAGEX" + struct.pack("<IIII", 2000, 36, 0, 0) + bytes(8)
    return id3v2 + stream + ape + b"TAG" + bytes(125)


def main():
    disassembler = os.path.join(sys.argv[1], "src", "disassemble", "l3disassemble")
    cuts = {
        "m1_44k_joint_cbr128": 3, "m1_44k_mono_clicks_cbr64_crc": 3,
        "m2_22k_joint_vbr5": 3, "m25_8k_mono_cbr8": 2, "m1_48k_stereo_clicks_cbr256": 2,
    }
    with tempfile.TemporaryDirectory() as tmp:
        for name, frames in cuts.items():
            with open(os.path.join(LAME, name + ".mp3"), "rb") as f:
                cut = first_frames(f.read(), frames + 1)  # the tag frame and `frames` more
            write("disassemble_fuzz", name + ".mp3", cut)
            for target in ("inspect_fuzz", "frame_scan_fuzz"):
                write(target, name + ".mp3", cut)
                if name == "m25_8k_mono_cbr8":
                    write(target, name + "_tags.mp3", tagged(cut))
            mp3 = os.path.join(tmp, "cut.mp3")
            with open(mp3, "wb") as f:
                f.write(cut)
            rec, anc = os.path.join(tmp, "rec"), os.path.join(tmp, "anc")
            subprocess.run([disassembler, "--quiet", mp3, rec, anc], check=True)
            with open(rec, "rb") as f:
                records = f.read()
            with open(anc, "rb") as f:
                ancillary = f.read()
            write("assemble_fuzz", name + ".in", assemble_input(ancillary, records))

    def lsf_coded(r):
        struct.pack_into("<i", r, 58 + 8, 40)        # part2_3_length
        struct.pack_into("<i", r, 58 + 12, 4)        # big_values
        struct.pack_into("<i", r, 58 + 36, 1)        # table_select[0]
        struct.pack_into("<h", r, 1002, 1)           # spectrum line 0

    hand = {
        "raw_frames": [record(0xFFFB9064, True, ancillary_bits=64)] * 2,
        "coded_no_bits": [record(0xFFFB9064, False), record(0xFFFA92C4, False, mdb=20)],
        "lsf_coded": [record(0xFFF39064, False, edit=lsf_coded)],
    }
    for name, records in hand.items():
        write("assemble_fuzz", name + ".in", assemble_input(bytes(range(16)), record_file(records)))

    for name, text, options, data in [
        ("n1", b"1", 0, bytes(range(40))), ("n3_seq", b"3", 1, bytes(range(100))),
        ("n2_tiles", b" +2", 6, bytes(range(256)) * 2), ("n7_tail", b"7", 9, bytes(range(60))),
        ("n_big", b"99999999999999999999999", 0, b"abc"),
    ]:
        write("deinterleave_fuzz", name, text + b"\n" + bytes([options]) + data)


if __name__ == "__main__":
    main()
