"""l3.info and the edits against the built l3 on the same streams: the same bytes (or the
same object for info), and on failures the same exit code and message, raised as the
exception class of the failure's kind; nothing written where the command writes nothing."""

import json
import subprocess
import warnings

import pytest
from conftest import DATA, LAME_STREAMS, program, stream_id

import l3

EDIT = DATA / "regressions" / "edit"
STREAMS = [DATA / "lame" / n for n in ("m1_44k_joint_cbr128.mp3", "m1_44k_dual_cbr192.mp3", "m1_44k_joint_clicks_vbr0.mp3", "m1_44k_mono_id3v1v2.mp3", "m25_11k_joint_cbr32_crc_notag.mp3", "m2_22k_joint_vbr5.mp3")]


def l3_run(*args):
    return subprocess.run([program("l3"), *map(str, args)], capture_output=True, text=True)


@pytest.mark.parametrize("path", LAME_STREAMS + sorted(EDIT.glob("*.mp3")), ids=stream_id)
def test_info_is_what_l3_info_prints(path):
    for frames in (False, True):
        out = l3_run("info", "--json", *(["--frames"] if frames else []), path)
        assert l3.info(path, frames=frames) == json.loads(out.stdout)


# (name, Python call of (src, dst), the same as l3's arguments after IN OUT)
ONE_OUTPUT = [
    ("repack", lambda s, d: l3.repack(s, d), ["repack"]),
    ("repack_huffman_cbr", lambda s, d: l3.repack(s, d, huffman=True, cbr="min"), ["repack", "--huffman", "--cbr", "min"]),
    ("repack_floor_crc", lambda s, d: l3.repack(s, d, min_bitrate=64, crc="add"), ["repack", "--min-bitrate", "64", "--crc", "add"]),
    ("repack_vbr_drop", lambda s, d: l3.repack(s, d, vbr=True, crc="drop"), ["repack", "--vbr", "--crc", "drop"]),
    ("gain_up", lambda s, d: l3.gain(s, d, steps=3), ["gain", "-g", "3"]),
    ("gain_channel_no_tag", lambda s, d: l3.gain(s, d, steps=-2, channel=1, tag=False), ["gain", "-g", "-2", "--channel", "1", "--no-tag"]),
    ("cut_seconds", lambda s, d: l3.cut(s, d, start=0.2, end="0:00.75"), ["cut", "--from", "0.2", "--to", "0:00.75"]),
    ("cut_samples_length", lambda s, d: l3.cut(s, d, start=1001, length=9999, samples=True), ["cut", "--from-sample", "1001", "--length-samples", "9999"]),
    ("cut_from_end", lambda s, d: l3.cut(s, d, start=-0.3), ["cut", "--from", "-0.3"]),
]


@pytest.mark.parametrize("path", STREAMS, ids=stream_id)
@pytest.mark.parametrize("name,call,args", ONE_OUTPUT, ids=[c[0] for c in ONE_OUTPUT])
def test_edit_writes_what_l3_writes(path, name, call, args, tmp_path):
    expected = tmp_path / "cli.mp3"
    cli = l3_run(*args, path, expected)
    got = tmp_path / "python.mp3"
    if cli.returncode != 0:  # --channel on a joint stereo or mono stream: refused alike
        with pytest.raises(l3.Error) as e:
            call(path, got)
        assert (e.value.exit_code, f"l3 {args[0]}: {e.value}") == (cli.returncode, cli.stderr.splitlines()[-1])
        assert "--channel" in args and not got.exists()
        return
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert call(path, got) == got
    assert got.read_bytes() == expected.read_bytes()
    # A note the command prints is a warning, with the same words.
    assert [str(w.message) for w in caught] == [line.removeprefix(f"l3 {args[0]}: ") for line in cli.stderr.splitlines()]


@pytest.mark.filterwarnings("ignore:.*global_gain values")  # compared above
@pytest.mark.parametrize("path", STREAMS, ids=stream_id)
def test_gain_undo_split_and_join_as_l3(path, tmp_path):
    gained = l3.gain(path, tmp_path / "g.mp3", steps=4)
    l3.gain(gained, tmp_path / "undone.mp3", undo=True)
    assert l3_run("gain", "--undo", gained, tmp_path / "undone_cli.mp3").returncode == 0
    assert (tmp_path / "undone.mp3").read_bytes() == (tmp_path / "undone_cli.mp3").read_bytes()

    pieces = l3.split(path, [0.1, "0:00.25", -0.1], str(tmp_path / "p%%%02d.mp3"))
    assert pieces == [str(tmp_path / f"p%{k:02d}.mp3") for k in (1, 2, 3, 4)]
    assert l3_run("split", "--at", "0.1,0:00.25,-0.1", path, tmp_path / "c%%%02d.mp3").returncode == 0
    for k in (1, 2, 3, 4):
        assert (tmp_path / f"p%{k:02d}.mp3").read_bytes() == (tmp_path / f"c%{k:02d}.mp3").read_bytes()
    l3.split(path, every=11025, samples=True, pattern=tmp_path / "e%3d.mp3")
    assert l3_run("split", "--every", "11025", "--samples", path, tmp_path / "f%3d.mp3").returncode == 0
    for piece in tmp_path.glob("e*.mp3"):
        assert piece.read_bytes() == (tmp_path / ("f" + piece.name[1:])).read_bytes()

    l3.join(pieces, tmp_path / "joined.mp3")
    assert l3_run("join", "-o", tmp_path / "joined_cli.mp3", *pieces).returncode == 0
    assert (tmp_path / "joined.mp3").read_bytes() == (tmp_path / "joined_cli.mp3").read_bytes()


def junk_between_frames(tmp_path):
    data = (DATA / "lame" / "m1_44k_joint_cbr128.mp3").read_bytes()
    path = tmp_path / "junk.mp3"
    path.write_bytes(data[: len(data) // 2] + b"\0" * 37 + data[len(data) // 2 :])
    return path


SONG = DATA / "lame" / "m1_44k_joint_cbr128.mp3"
MONO = DATA / "lame" / "m1_32k_mono_cbr32.mp3"

# (error class, Python call of tmp_path, the same command's arguments given tmp_path)
FAILURES = [
    (l3.FileError, lambda t: l3.repack(t / "missing.mp3", t / "out.mp3"), lambda t: ["repack", t / "missing.mp3", t / "out.mp3"]),
    (l3.FileError, lambda t: l3.cut(SONG, SONG, end=0.5), lambda t: ["cut", "--to", "0.5", SONG, SONG]),
    (l3.NotLayer3Error, lambda t: l3.repack(DATA / "other" / "layer2.mp2", t / "out.mp3"), lambda t: ["repack", DATA / "other" / "layer2.mp2", t / "out.mp3"]),
    (l3.DamagedError, lambda t: l3.repack(junk_between_frames(t), t / "out.mp3"), lambda t: ["repack", junk_between_frames(t), t / "out.mp3"]),
    (l3.NoUndoError, lambda t: l3.gain(SONG, t / "out.mp3", undo=True), lambda t: ["gain", "--undo", SONG, t / "out.mp3"]),
    (l3.CannotFitError, lambda t: l3.repack(SONG, t / "out.mp3", cbr=32), lambda t: ["repack", "--cbr", "32", SONG, t / "out.mp3"]),
    (l3.BadRangeError, lambda t: l3.cut(SONG, t / "out.mp3", start=3), lambda t: ["cut", "--from", "3", SONG, t / "out.mp3"]),
    (l3.BadRangeError, lambda t: l3.split(SONG, [0.5, 0.25], t / "p%d.mp3"), lambda t: ["split", "--at", "0.5,0.25", SONG, t / "p%d.mp3"]),
    (l3.MismatchError, lambda t: l3.join([SONG, MONO], t / "out.mp3"), lambda t: ["join", "-o", t / "out.mp3", SONG, MONO]),
    (l3.InexactError, lambda t: l3.gain(EDIT / "gain_completes_a_frame_header.mp3", t / "out.mp3", steps=-1), lambda t: ["gain", "-g", "-1", EDIT / "gain_completes_a_frame_header.mp3", t / "out.mp3"]),
]


# The library's status (l3/status.h) each class carries, by name.
STATUS_OF = {l3.FileError: "io", l3.NotLayer3Error: "notLayer3", l3.DamagedError: "damaged", l3.NoUndoError: "noUndo",
             l3.CannotFitError: "cannotFit", l3.BadRangeError: "outOfRange", l3.MismatchError: "mismatch",
             l3.InexactError: "inexact"}


@pytest.mark.parametrize("cls,call,args", FAILURES, ids=[f"{c[0].__name__}{k}" for k, c in enumerate(FAILURES)])
def test_failure_raises_its_class_with_l3s_code_and_message(cls, call, args, tmp_path):
    cli = l3_run(*args(tmp_path))
    with pytest.raises(cls) as raised:
        call(tmp_path)
    e = raised.value
    assert isinstance(e, l3.Error) and (e.exit_code, type(e).exit_code) == (cli.returncode, cli.returncode)
    assert e.status == STATUS_OF[cls]
    command = args(tmp_path)[0]
    assert f"l3 {command}: {e.message}" == cli.stderr.splitlines()[-1]
    assert not (tmp_path / "out.mp3").exists() and not list(tmp_path.glob("p*.mp3"))


def test_exists_needs_force_and_usage_errors(tmp_path):
    out = tmp_path / "out.mp3"
    out.write_bytes(b"kept")
    with pytest.raises(l3.FileError, match="exists; force=True replaces it") as e:
        l3.repack(SONG, out)
    assert e.value.exit_code == l3_run("repack", SONG, out).returncode == 2 and out.read_bytes() == b"kept"
    assert e.value.status == "io"
    l3.repack(SONG, out, force=True)
    assert out.read_bytes() != b"kept"
    # A missing input is also the OSError subclass its errno gives.
    with pytest.raises(FileNotFoundError) as e:
        l3.cut(tmp_path / "missing.mp3", tmp_path / "x.mp3")
    assert isinstance(e.value, l3.FileError) and e.value.filename == str(tmp_path / "missing.mp3")
    for call in (
        lambda: l3.cut(SONG, tmp_path / "x.mp3", start="1:75"),
        lambda: l3.cut(SONG, tmp_path / "x.mp3", length=-1),
        lambda: l3.repack(SONG, tmp_path / "x.mp3", crc="maybe"),
        lambda: l3.repack(SONG, tmp_path / "x.mp3", cbr=0),
        lambda: l3.gain(SONG, tmp_path / "x.mp3"),
        lambda: l3.gain(SONG, tmp_path / "x.mp3", steps=256),
        lambda: l3.split(SONG, [0.5], tmp_path / "no-number.mp3"),
        lambda: l3.split(SONG, [0.5], tmp_path / "two-%d-%d.mp3"),
    ):
        with pytest.raises(l3.UsageError) as e:
            call()
        assert e.value.exit_code == 1 and isinstance(e.value, ValueError)
    assert not (tmp_path / "x.mp3").exists()


def test_stream_write_raises_bad_value(tmp_path):
    s = l3.read(SONG)
    s.frames[3].big_values[0, 0] += 1
    with pytest.raises(l3.BadValueError, match="frame 3") as e:
        s.write(tmp_path / "out.mp3")
    assert (e.value.exit_code, e.value.status) == (7, "badValue") and not (tmp_path / "out.mp3").exists()
