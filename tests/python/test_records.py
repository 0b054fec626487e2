"""Record files and streams: l3.record_dtype against the files l3disassemble writes, and
to_records / from_records / read_records / write_records bit-exact with the programs."""

import subprocess

import numpy as np
import pytest
from conftest import DATA, REPO, program, run, stream_id

import l3

ROUND_TRIP = [
    DATA / "lame" / "m1_44k_joint_abr96.mp3",
    DATA / "lame" / "m1_44k_mono_id3v1.mp3",
    DATA / "lame" / "m2_24k_stereo_cbr160_crc.mp3",
    DATA / "lame" / "m25_12k_stereo_clicks_vbr0.mp3",
    DATA / "vectors" / "l3-si_block.bit",
    DATA / "vectors" / "l3-nonstandard-id3v1-apetag.bit",
]


def test_record_dtype_is_the_file_layout():
    assert l3.record_dtype.itemsize == 5614
    assert l3.record_head_dtype.itemsize == 12
    fields = l3.record_dtype.fields
    assert [fields[name][1] for name in ("header", "main_data_begin", "private_bits", "scfsi", "raw_main_data", "side", "scalefactors", "spectrum", "ancillary_bits")] == [0, 6, 14, 18, 54, 58, 378, 1002, 5610]
    side = l3.record_dtype["side"].subdtype[0]
    assert side.itemsize == 80
    assert [side.fields[n][1] for n in ("part2_3_length", "global_gain", "table_select", "count1table_select")] == [8, 16, 36, 76]


@pytest.mark.parametrize("path", ROUND_TRIP, ids=stream_id)
def test_to_records_is_what_l3disassemble_writes(path, tmp_path):
    records, ancillary = tmp_path / "r.rec", tmp_path / "r.anc"
    run(program("l3disassemble"), "--quiet", path, records, ancillary)
    record_file = l3.read(path).to_records()
    assert record_file.to_bytes() == records.read_bytes()
    assert record_file.ancillary == ancillary.read_bytes()
    mine = tmp_path / "mine.rec"
    l3.write_records(mine, record_file, tmp_path / "mine.anc")
    assert mine.read_bytes() == records.read_bytes()
    assert (tmp_path / "mine.anc").read_bytes() == ancillary.read_bytes()


@pytest.mark.parametrize("path", ROUND_TRIP, ids=stream_id)
def test_from_records_is_what_l3assemble_writes(path, tmp_path):
    records, ancillary, out = tmp_path / "r.rec", tmp_path / "r.anc", tmp_path / "out.mp3"
    run(program("l3disassemble"), "--quiet", path, records, ancillary)
    run(program("l3assemble"), records, ancillary, out)
    stream = l3.from_records(l3.read_records(records, ancillary))
    assert stream.to_bytes() == out.read_bytes()


def test_memmap_opens_a_record_file_and_agrees_with_the_stream(tmp_path):
    path = DATA / "lame" / "m1_44k_joint_cbr128_crc.mp3"
    records, ancillary = tmp_path / "r.rec", tmp_path / "r.anc"
    run(program("l3disassemble"), "--quiet", path, records, ancillary)
    mapped = np.memmap(records, dtype=l3.record_dtype, mode="r", offset=12)
    opened = l3.read_records(records)
    assert isinstance(opened.records, np.memmap)
    assert opened.records.tobytes() == mapped.tobytes()
    stream = l3.read(path)
    audio = [f for f in stream.frames if not f.is_tag]
    # The entries are the stream's frames (the Xing/Info frame first), then the closing record.
    assert len(mapped) in (len(stream.frames), len(stream.frames) + 1)
    coded = [k for k in range(len(stream.frames)) if mapped["raw_main_data"][k] == 0 and not stream.frames[k].is_tag]
    assert len(coded) > len(audio) // 2
    for k in coded:
        frame = stream.frames[k]
        assert mapped["header"][k] == frame.header
        g, c = frame.granules, frame.channels
        assert np.array_equal(mapped["side"]["global_gain"][k, :g, :c], frame.global_gain)
        assert np.array_equal(mapped["side"]["big_values"][k, :g, :c], frame.big_values)
        assert np.array_equal(mapped["spectrum"][k, :g, :c], frame.spectrum)
        assert np.array_equal(mapped["scalefactors"][k, :g, :c], frame.scalefactors)


def test_changed_records_give_the_assembled_stream(tmp_path):
    # A record file changed through numpy and assembled by l3assemble and by from_records.
    path = DATA / "lame" / "m1_44k_joint_cbr128.mp3"
    record_file = l3.read(path).to_records()
    records = record_file.records.copy()
    records["side"]["global_gain"][3:6] -= 1
    changed = l3.RecordFile(records, record_file.ancillary, record_file.output_limit)
    l3.write_records(tmp_path / "c.rec", changed, tmp_path / "c.anc")
    run(program("l3assemble"), tmp_path / "c.rec", tmp_path / "c.anc", tmp_path / "c.mp3")
    stream = l3.from_records(changed)
    assert stream.to_bytes() == (tmp_path / "c.mp3").read_bytes()
    assert stream.frames[4].global_gain[0, 0] == l3.read(path).frames[4].global_gain[0, 0] - 1


@pytest.mark.parametrize(
    "content, message",
    [
        (b"\x01\x00", "shorter than its 12-byte head"),
        (np.array([(3, 0, -1)], dtype=l3.record_head_dtype).tobytes() + bytes(5614), "record file ends after 1 of 3 frames"),
    ],
)
def test_a_cut_record_file_raises(tmp_path, content, message):
    path = tmp_path / "cut.rec"
    path.write_bytes(content)
    with pytest.raises(ValueError, match=message):
        l3.read_records(path)


def test_errors_carry_the_programs_messages(tmp_path):
    with pytest.raises(ValueError, match="not a Layer III stream|no Layer III frame"):
        l3.read(b"\x00" * 4000).to_records()
    record_file = l3.read(DATA / "lame" / "m1_44k_joint_cbr128.mp3").to_records()
    records = record_file.records.copy()
    records["side"]["big_values"][2, 0, 1] = 300
    bad = l3.RecordFile(records, record_file.ancillary, record_file.output_limit)
    l3.write_records(tmp_path / "bad.rec", bad, tmp_path / "bad.anc")
    program_message = run_failing(program("l3assemble"), tmp_path / "bad.rec", tmp_path / "bad.anc", tmp_path / "x.mp3")
    with pytest.raises(ValueError) as error:
        l3.from_records(bad)
    assert "frame 2, granule 0, channel 1: big_values 300" in str(error.value)
    assert str(error.value) in program_message


def test_write_records_never_puts_both_files_in_one(tmp_path):
    record_file = l3.read(DATA / "lame" / "m1_44k_joint_cbr128.mp3").to_records()
    (tmp_path / "x.rec").write_bytes(b"kept")
    (tmp_path / "link.anc").symlink_to("x.rec")
    with pytest.raises(OSError, match="names the same file"):
        l3.write_records(tmp_path / "x.rec", record_file, tmp_path / "link.anc")
    assert (tmp_path / "x.rec").read_bytes() == b"kept"
    l3.write_records(tmp_path / "x.rec", record_file, tmp_path / "x.anc")
    assert (tmp_path / "x.rec").read_bytes() == record_file.to_bytes()
    assert (tmp_path / "x.anc").read_bytes() == record_file.ancillary


def run_failing(*args):
    result = subprocess.run([str(a) for a in args], capture_output=True, text=True)
    assert result.returncode == 4
    return result.stderr


def test_example_record_file_rebuilds_the_example():
    record_file = l3.read_records(REPO / "examples" / "example.records", REPO / "examples" / "example.ancillary")
    assert l3.from_records(record_file).to_bytes() == (REPO / "examples" / "example.mp3").read_bytes()
