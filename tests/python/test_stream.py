"""l3.read and Stream writing: byte-exact round trips, in-place changes against `l3 gain`,
recoded spectra judged by a real decoder, and the values the format cannot code."""

import json
import os
import subprocess

import numpy as np
import pytest
from conftest import DATA, LAME_STREAMS, STREAMS, program, require_tool, run, stream_id

import l3

CBR128 = DATA / "lame" / "m1_44k_joint_cbr128.mp3"
CRC_STEREO = DATA / "lame" / "m1_44k_joint_cbr128_crc.mp3"
MPEG2 = DATA / "lame" / "m2_22k_joint_clicks_cbr64_crc.mp3"
MONO_ID3 = DATA / "lame" / "m1_44k_mono_id3v1v2.mp3"


def audio_frames(stream):
    return [f for f in stream.frames if not f.is_tag]


@pytest.mark.parametrize("path", STREAMS, ids=stream_id)
def test_unchanged_stream_is_written_byte_for_byte(path, tmp_path):
    data = path.read_bytes()
    if subprocess.run([program("l3disassemble"), path, "nul", "nul"], capture_output=True).returncode == 3:
        with pytest.raises(ValueError):  # no Layer III frame, as the programs say
            l3.read(path)
        return
    stream = l3.read(path)
    assert stream.to_bytes() == data
    out = tmp_path / "out.mp3"
    stream.write(out)
    assert out.read_bytes() == data
    # Read from bytes as from the path: the same frames and values.
    again = l3.read(data)
    assert len(again.frames) == len(stream.frames)
    assert again.values.tobytes() == stream.values.tobytes()


@pytest.mark.parametrize("path", LAME_STREAMS, ids=stream_id)
def test_header_fields_agree_with_l3_info(path):
    info = json.loads(run(program("l3"), "info", "--json", path).stdout)
    stream = l3.read(path)
    audio = audio_frames(stream)
    assert len(audio) == info["frames"]
    assert {f.version for f in audio} == {info["version"]}
    assert {f.sample_rate for f in audio} == {info["sampling_rate"]}
    assert sorted({f.mode for f in audio}) == sorted(info["channel_modes"])
    assert sum(f.crc for f in audio) == info["crc_frames"]
    assert stream.frames[0].is_tag == (info["xing"] is not None)
    rates = [f.bitrate for f in audio]
    assert (min(rates), max(rates)) == (info["bitrate"]["min"], info["bitrate"]["max"])
    assert max(f.main_data_begin for f in audio) == info["reservoir"]["max_main_data_begin"]
    short = sum(int(np.sum((f.block_type == 2) & (f.mixed_block == 0))) for f in audio)
    assert short == info["block_types"]["short"]
    for f in audio:
        assert f.problem is None
        assert f.global_gain.shape == (f.granules, f.channels)
        assert f.table_select.shape == (f.granules, f.channels, 3)
        assert f.scalefactors.shape == (f.granules, f.channels, 78)
        assert f.spectrum.shape == (f.granules, f.channels, 576)
        assert f.scfsi.shape == (f.channels, 4)
        assert (f.granules, f.channels) == ((2 if f.version == "MPEG-1" else 1), (1 if f.mode == "mono" else 2))


def test_frame_arrays_are_views_of_the_stream():
    stream = l3.read(CBR128)
    frame = stream.frames[7]
    assert np.shares_memory(frame.spectrum, stream.values)
    assert np.shares_memory(frame.global_gain, stream.values)
    frame.spectrum[1, 0, 3] = 5
    frame.global_gain[0, 1] = 77
    assert stream.values["spectrum"][7, 1, 0, 3] == 5
    assert stream.values["side"]["global_gain"][7, 0, 1] == 77
    assert stream.frames[7].spectrum[1, 0, 3] == 5


def test_bytes_around_the_frames_are_kept():
    stream = l3.read(MONO_ID3)
    data = MONO_ID3.read_bytes()
    assert stream.leading.startswith(b"ID3")
    assert stream.trailing[-128:-125] == b"TAG"
    first, last = stream.frames[0], stream.frames[-1]
    assert len(stream.leading) == first.offset
    assert first.offset + sum(f.size for f in stream.frames) + len(stream.trailing) == len(data)
    assert last.offset + last.size == len(data) - len(stream.trailing)


@pytest.mark.parametrize("path", LAME_STREAMS, ids=stream_id)
def test_global_gain_plus_two_matches_l3_gain(path, tmp_path):
    stream = l3.read(path)
    audio = audio_frames(stream)
    if any(int(f.global_gain.max()) > 253 for f in audio):
        pytest.skip("a global_gain would pass 255, which l3 gain holds there")
    for f in audio:
        f.global_gain += 2
    expected = tmp_path / "gain.mp3"
    run(program("l3"), "gain", "-g", "2", "--no-tag", path, expected)
    assert stream.to_bytes() == expected.read_bytes()


def test_writing_over_the_file_read_keeps_its_mode_and_attributes(tmp_path):
    path = tmp_path / "song.mp3"
    path.write_bytes(CBR128.read_bytes())
    os.chmod(path, 0o640)
    os.setxattr(path, "user.note", b"mine")
    stream = l3.read(path)
    for f in audio_frames(stream):
        f.global_gain += 2
    stream.write(path)
    expected = tmp_path / "gain.mp3"
    run(program("l3"), "gain", "-g", "2", "--no-tag", CBR128, expected)
    assert path.read_bytes() == expected.read_bytes()
    assert os.stat(path).st_mode & 0o7777 == 0o640
    assert os.getxattr(path, "user.note") == b"mine"
    # A file with a second name is not replaced: neither name's bytes change.
    os.link(path, tmp_path / "second.mp3")
    with pytest.raises(OSError, match="hard links"):
        l3.read(CBR128).write(path)
    assert path.read_bytes() == expected.read_bytes()


def test_in_place_change_touches_only_that_frames_head():
    data = CRC_STEREO.read_bytes()
    stream = l3.read(CRC_STEREO)
    frame = stream.frames[9]
    frame.scalefac_scale[1, 0] ^= 1
    frame.subblock_gain[...] = np.where(frame.window_switching[..., None] == 1, 3, 0)
    out = stream.to_bytes()
    assert len(out) == len(data)
    changed = np.flatnonzero(np.frombuffer(out, np.uint8) != np.frombuffer(data, np.uint8))
    head_end = frame.offset + 6 + 32  # header, CRC, MPEG-1 stereo side information
    assert changed.min() >= frame.offset + 4 and changed.max() < head_end
    back = l3.read(out)
    assert back.frames[9].scalefac_scale[1, 0] == frame.scalefac_scale[1, 0]
    assert back.values["spectrum"].tobytes() == l3.read(data).values["spectrum"].tobytes()
    # Every frame decodes and every CRC is right; only the LAME tag's CRC of the audio
    # bytes, kept as it was (as `l3 gain` keeps it), no longer matches.
    check = subprocess.run([program("l3"), "check", "--json", "/dev/stdin"], input=out, capture_output=True)
    faults = json.loads(check.stdout)[0]["faults"]
    assert [f["kind"] for f in faults] == ["music_crc"]


def pcm(path_or_bytes, tmp_path):
    """mpg123's samples of a stream, failing on any error or warning it reports."""
    require_tool("mpg123", "mpg123")
    if isinstance(path_or_bytes, bytes):
        path = tmp_path / "decode.mp3"
        path.write_bytes(path_or_bytes)
    else:
        path = path_or_bytes
    result = run("mpg123", "-q", "-s", path)
    assert b"error" not in result.stderr.lower() and b"warning" not in result.stderr.lower(), result.stderr
    return np.frombuffer(result.stdout, np.int16)


@pytest.mark.parametrize("path", [CBR128, CRC_STEREO, MPEG2, MONO_ID3, DATA / "lame" / "m1_44k_joint_abr96.mp3"], ids=stream_id)
def test_zeroed_spectrum_of_ten_frames_plays_with_the_same_samples(path, tmp_path):
    original = l3.read(path)
    stream = l3.read(path)
    audio = audio_frames(stream)
    chosen = [f.index for f in audio[5:15]]
    for k in chosen:
        stream.frames[k].spectrum[...] = 0
    out = stream.to_bytes()
    back = l3.read(out)
    assert len(back.frames) == len(stream.frames)
    for k, f in enumerate(back.frames):
        if f.is_tag:
            continue
        assert f.problem is None
        want = 0 if k in chosen else original.frames[k].spectrum
        assert np.array_equal(f.spectrum, np.broadcast_to(want, f.spectrum.shape)), f"frame {k}"
        assert np.array_equal(f.scalefactors, original.frames[k].scalefactors), f"frame {k}"
        assert np.array_equal(f.global_gain, original.frames[k].global_gain), f"frame {k}"
    assert back.leading == original.leading and back.trailing == original.trailing
    assert len(pcm(out, tmp_path)) == len(pcm(path, tmp_path))


@pytest.mark.parametrize("path", sorted((DATA / "headers").glob("*.mp3")), ids=stream_id)
def test_a_recoded_stream_keeps_its_vbr_headers_kind(path, tmp_path):
    """A VBRI frame stays one, a Xing/Info frame without LAME extension stays one: what
    the decoders play of it stays."""
    stream = l3.read(path)
    for f in audio_frames(stream)[5:15]:
        f.spectrum[...] = 0
    out = tmp_path / "out.mp3"
    stream.write(out)
    before = json.loads(run(program("l3"), "info", "--json", path).stdout)["xing"]
    after = json.loads(run(program("l3"), "info", "--json", out).stdout)["xing"]
    family = {"Xing": "Xing", "Info": "Xing", "VBRI": "VBRI"}
    assert family[after["type"]] == family[before["type"]]
    assert after["lame"] is None and after["frames"] == before["frames"]
    assert len(pcm(out, tmp_path)) == len(pcm(path, tmp_path))


def test_changed_values_are_read_back_exactly():
    rng = np.random.default_rng(16)
    stream = l3.read(CBR128)
    frame = stream.frames[12]
    # Values that need other tables than the frame had: escapes, a longer big-values region.
    frame.spectrum[0, 0, :40] = rng.integers(-600, 600, 40)
    frame.spectrum[1, 1, 500:520] = rng.integers(-1, 2, 20)
    frame.scalefactors[0, 0, :11] = 15
    expected_spectrum = frame.spectrum.copy()
    expected_sf = frame.scalefactors.copy()
    back = l3.read(stream.to_bytes())
    assert np.array_equal(back.frames[12].spectrum, expected_spectrum)
    assert np.array_equal(back.frames[12].scalefactors, expected_sf)
    assert back.frames[12].part2_3_length.sum() > stream.frames[12].part2_3_length.sum()


def test_block_type_change_is_recoded():
    stream = l3.read(CBR128)
    frame = next(f for f in audio_frames(stream) if np.all(f.window_switching == 0))
    frame.window_switching[0, 0] = 1
    frame.block_type[0, 0] = 2
    frame.scalefactors[0, 0] = 0
    frame.spectrum[0, 0, 300:] = 0
    back = l3.read(stream.to_bytes()).frames[frame.index]
    assert back.block_type[0, 0] == 2 and back.window_switching[0, 0] == 1
    assert np.array_equal(back.spectrum, frame.spectrum)


def change(frame, field, value, where):
    getattr(frame, field)[where] = value


@pytest.mark.parametrize(
    "path, frame, field, where, value, expected",
    [
        (CBR128, 3, "global_gain", (0, 1), 256, "frame 3, granule 0, channel 1: global_gain 256 does not fit 8 bits"),
        (CBR128, 3, "global_gain", (1, 0), -1, "frame 3, granule 1, channel 0: global_gain -1 does not fit 8 bits"),
        (CBR128, 4, "scalefac_scale", (0, 0), 2, "frame 4, granule 0, channel 0: scalefac_scale 2 does not fit 1 bit"),
        (CBR128, 5, "spectrum", (1, 1, 20), 9000, "frame 5, granule 1, channel 1: spectrum line 20 value 9000 is beyond"),
        (CBR128, 5, "spectrum", (0, 0, 575), -8207, "frame 5, granule 0, channel 0: spectrum line 575 value -8207"),
        (CBR128, 6, "scalefactors", (0, 1, 15), 40, "frame 6, granule 0, channel 1: scalefactor entry 15 value 40"),
        (CBR128, 7, "big_values", (1, 1), 100, "frame 7, granule 1, channel 1: big_values 100 is chosen by the writer"),
        (CBR128, 7, "table_select", (0, 0, 2), 4, "frame 7, granule 0, channel 0: table_select entry 2 value 4 is chosen"),
        (CBR128, 8, "part2_3_length", (0, 0), 10, "frame 8, granule 0, channel 0: part2_3_length 10 is chosen"),
        (CBR128, 8, "scfsi", (1, 2), 1, "frame 8, channel 1: scfsi entry 2 value 1 is chosen"),
        (MPEG2, 2, "preflag", (0, 0), 1, "frame 2, granule 0, channel 0: preflag 1 is implied by scalefac_compress"),
        (CBR128, 9, "block_type", (0, 0), 2, "frame 9, granule 0, channel 0: block_type 2 needs window_switching_flag 1"),
    ],
)
def test_a_value_that_cannot_be_written_raises_and_writes_nothing(path, frame, field, where, value, expected, tmp_path):
    stream = l3.read(path)
    if field == "block_type":
        assert stream.frames[frame].window_switching[where] == 0
    change(stream.frames[frame], field, value, where)
    target = tmp_path / "out.mp3"
    with pytest.raises(ValueError) as error:
        stream.write(target)
    assert str(error.value).startswith(expected)
    assert not target.exists()
    kept = tmp_path / "kept.mp3"
    kept.write_bytes(b"old")
    with pytest.raises(ValueError):
        stream.write(kept)
    assert kept.read_bytes() == b"old"
    with pytest.raises(ValueError):
        stream.to_bytes()


def test_header_and_layout_fields_are_read_only():
    stream = l3.read(CBR128)
    stream.values["header"][4] ^= 0x200
    with pytest.raises(ValueError, match="frame 4: header .* is read only"):
        stream.to_bytes()
    stream = l3.read(CBR128)
    stream.values["main_data_begin"][4] += 1
    with pytest.raises(ValueError, match="frame 4: main_data_begin"):
        stream.to_bytes()


def test_a_tag_frames_values_are_not_written():
    stream = l3.read(DATA / "lame" / "m1_44k_joint_abr96.mp3")
    assert stream.frames[0].is_tag
    stream.frames[0].global_gain[...] = 9
    assert stream.to_bytes() == stream.source


def test_reading_errors():
    with pytest.raises(FileNotFoundError):
        l3.read(DATA / "no such file.mp3")


# What holds no Layer III frame raises, with the message l3disassemble gives (it exits 3).
@pytest.mark.parametrize(
    "content",
    [b"not a stream at all", b"", bytes(4000), bytes([0xFF, 0xFD, 0x90, 0x00]) * 300],
    ids=["text", "empty", "zeros", "layer2"],
)
def test_what_holds_no_frame_raises_with_the_programs_message(content, tmp_path):
    path = tmp_path / "text.mp3"
    path.write_bytes(content)
    refused = subprocess.run([program("l3disassemble"), path, "nul", "nul"], capture_output=True, text=True)
    assert refused.returncode == 3
    message = refused.stderr.strip().split(f"{path}: ", 1)[1]
    with pytest.raises(ValueError) as from_path:
        l3.read(path)
    assert str(from_path.value) == f"{path}: {message}"
    with pytest.raises(ValueError) as from_bytes:
        l3.read(content)
    assert str(from_bytes.value) == message


def sin1k0db_without_its_cut_last_frame():
    data = (DATA / "vectors" / "l3-sin1k0db.bit").read_bytes()
    return data[: len(data) - len(l3.read(data).trailing)]


# l3-sin1k0db.bit starts with two frames whose main data lies before the stream; they and
# the frames up to 3 (whose main data starts in their bytes) are kept as they are.
@pytest.mark.parametrize(
    "frame, message",
    [
        (0, "frame 0: its main data does not decode (main_data_begin reaches before the stream)"),
        (2, "frame 2 (offset 1051): cannot be edited: it is kept as it is"),
    ],
)
def test_a_kept_start_cannot_be_changed(frame, message):
    stream = l3.read(sin1k0db_without_its_cut_last_frame())
    assert stream.frames[0].problem == "main_data_begin reaches before the stream"
    stream.frames[frame].spectrum[0, 0, 0] += 1
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        stream.to_bytes()


def test_values_after_a_kept_start_are_written():
    stream = l3.read(sin1k0db_without_its_cut_last_frame())
    stream.frames[5].spectrum[0, 0, 0] += 1
    changed = l3.read(stream.to_bytes())
    assert changed.frames[0].problem == "main_data_begin reaches before the stream"
    assert changed.frames[5].spectrum[0, 0, 0] == stream.frames[5].spectrum[0, 0, 0]
    assert np.array_equal(changed.frames[6].spectrum, stream.frames[6].spectrum)


def test_a_cut_last_frame_is_kept_in_place_and_refused_on_a_new_layout():
    # ffmpeg plays part of a cut last frame, mpg123 and madplay none: a new layout, which
    # cannot keep it, is refused (the Info frame, whose counts no longer hold, first).
    data = CBR128.read_bytes()
    first = l3.read(data).frames[1]
    cut = data + data[first.offset : first.offset + 100]
    stream = l3.read(cut)
    assert stream.trailing == cut[-100:]
    stream.frames[3].global_gain += 1
    assert len(stream.to_bytes()) == len(cut)
    stream.frames[3].spectrum[0, 0, 0] += 1
    with pytest.raises(ValueError, match="^frame 0 .*: xing_mismatch: .* the stream has 41"):
        stream.to_bytes()


def test_frames_whose_values_need_more_bits_than_any_layout_gives_raise():
    stream = l3.read(DATA / "lame" / "m1_44k_joint_abr96.mp3")
    for k in range(3, 9):
        stream.frames[k].spectrum[...] = np.where(np.arange(576) % 2 == 0, 7, -7)
    with pytest.raises(ValueError, match="^frame 3 cannot fit at any rate"):
        stream.to_bytes()


@pytest.mark.parametrize("path", LAME_STREAMS, ids=stream_id)
def test_random_changes_to_values_read_back_exactly(path):
    # Spectral values nudged by one here and there and some scalefactors lowered, in five
    # frames: each granule recoded, the stream laid out again, every value read back.
    rng = np.random.default_rng(sum(path.name.encode()))
    stream = l3.read(path)
    audio = audio_frames(stream)
    for i in rng.choice(len(audio), size=min(5, len(audio)), replace=False):
        frame = audio[i]
        nudged = rng.random(frame.spectrum.shape) < 0.03
        frame.spectrum[nudged] += rng.choice(np.array([-1, 1], dtype=np.int16), nudged.sum())
        lowered = (rng.random(frame.scalefactors.shape) < 0.2) & (frame.scalefactors > 0)
        frame.scalefactors[lowered] -= 1
    back = l3.read(stream.to_bytes())
    assert len(back.frames) == len(stream.frames)
    for frame in audio:
        again = back.frames[frame.index]
        assert np.array_equal(again.spectrum, frame.spectrum), f"frame {frame.index}"
        assert np.array_equal(again.scalefactors, frame.scalefactors), f"frame {frame.index}"
        assert np.array_equal(again.block_type, frame.block_type), f"frame {frame.index}"
        assert np.array_equal(again.global_gain, frame.global_gain), f"frame {frame.index}"
