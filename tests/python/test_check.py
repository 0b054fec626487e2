"""l3.check against `l3 check --json` on every stream here and on damaged copies, its errors
as l3.read raises them, and the Dask library audit example against `l3 check -r` on a tree."""

import json
import os
import subprocess
import sys

import pytest
from conftest import DATA, LAME_STREAMS, REPO, STREAMS, program, stream_id

import l3

AUDIT = REPO / "examples" / "python" / "library_audit.py"
SONG = DATA / "lame" / "m1_44k_joint_cbr128.mp3"
LAYER2 = DATA / "other" / "layer2.mp2"


def l3_check_json(*paths):
    out = subprocess.run([program("l3"), "check", "--json", *map(str, paths)], capture_output=True)
    return json.loads(out.stdout)


@pytest.mark.parametrize("path", STREAMS, ids=stream_id)
def test_report_is_what_l3_check_says(path):
    expected = l3_check_json(path)[0]
    try:
        report = l3.check(path)
    except ValueError:
        # Refused where l3.read refuses: no Layer III frame to read.
        assert expected["frames"] == 0
        with pytest.raises(ValueError):
            l3.read(path)
        return
    assert report.as_dict() == expected
    assert report.ok == (expected["verdict"] == "ok")
    for item in report.faults + report.notes:
        assert item.frame is None or isinstance(item.frame, int)


def damaged_copies(data):
    """(name, bytes) of copies that each break the stream another way."""
    n = len(data)
    flipped = bytearray(data)
    for k in range(n * 3 // 5, n * 3 // 5 + 40):
        flipped[k] ^= 0x5A
    return [
        ("cut", data[: n - 100]),
        ("junk", data[: n // 2] + b"\0" * 37 + data[n // 2 :]),
        ("flipped", bytes(flipped)),
        ("doubled", data + data),
    ]


@pytest.mark.parametrize("path", LAME_STREAMS[:8], ids=stream_id)
def test_damaged_copies_as_l3_check_says(path, tmp_path):
    files = []
    for name, data in damaged_copies(path.read_bytes()):
        files.append(tmp_path / f"{name}.mp3")
        files[-1].write_bytes(data)
    # A gain change with its undo information leaves the music CRC behind on purpose: not a
    # fault, with the undo exact or not.
    for steps in ("3", "-200"):
        files.append(tmp_path / f"gain{steps}.mp3")
        subprocess.run([program("l3"), "gain", "-g", steps, path, files[-1]], capture_output=True, check=True)
    expected = l3_check_json(*files)
    assert [l3.check(f).as_dict() for f in files] == expected
    assert any(e["verdict"] == "damaged" for e in expected)


def test_errors_are_those_of_read(tmp_path):
    text = tmp_path / "notes.mp3"
    text.write_text("not a song\n")
    cases = [(text, ValueError, "no Layer III frame"), (LAYER2, ValueError, "Layer II"), (tmp_path / "missing.mp3", FileNotFoundError, "missing"), (tmp_path, IsADirectoryError, "")]
    for path, error, words in cases:
        with pytest.raises(error, match=words):
            l3.check(path)
        with pytest.raises(error):
            l3.read(path)


def test_check_takes_str_and_path():
    by_str, by_path = l3.check(str(SONG)), l3.check(SONG)
    assert by_str.as_dict() == by_path.as_dict()
    assert by_str.verdict == "ok" and by_str.frames == 40 and by_str.faults == [] and by_str.unsupported is None


def require_module(name, package):
    try:
        __import__(name)
    except ImportError:
        pytest.skip(f"{name} is not installed; the Debian package '{package}' brings it")


def test_library_audit_on_a_local_cluster(tmp_path):
    require_module("dask", "python3-dask")
    require_module("dask.distributed", "python3-distributed")
    lib = tmp_path / "lib"
    (lib / "a" / "deep").mkdir(parents=True)
    (lib / "b").mkdir()
    songs = sorted(LAME_STREAMS)[:5]
    for k, song in enumerate(songs):
        (lib / ("a" if k % 2 else "b") / f"s{k}.mp3").write_bytes(song.read_bytes())
    (lib / "a" / "deep" / "CUT.MP3").write_bytes(SONG.read_bytes()[:-300])
    (lib / "b" / "l2.mp3").write_bytes(LAYER2.read_bytes())
    (lib / "b" / "text.mp3").write_text("not a song\n")
    (lib / "b" / "notes.txt").write_text("not a song\n")
    os.symlink(lib / "a", lib / "link")

    log = tmp_path / "l3.jsonl"
    checked = subprocess.run([program("l3"), "check", "-r", "--jsonl", log, lib], capture_output=True)
    assert checked.returncode == 3
    walked = [json.loads(line) for line in log.read_text().splitlines()]
    assert len(walked) == 8

    out = tmp_path / "audit.jsonl"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    run = subprocess.run([sys.executable, AUDIT, "--workers", "2", "--batch", "3", "--jsonl", out, lib], capture_output=True, text=True, env=env, timeout=300)
    assert run.returncode == 3, run.stderr
    audited = {d["file"]: d for d in map(json.loads, out.read_text().splitlines())}
    assert sorted(audited) == sorted(d["file"] for d in walked)  # each file once
    for expected in walked:
        got = audited[expected["file"]]
        assert (got["size"], got["mtime_ns"]) == (expected["size"], expected["mtime_ns"])
        if expected["frames"] == 0:  # refused by l3.check, as by l3.read
            assert got["verdict"] == "unsupported"
            continue
        del expected["status"]
        assert got == expected
    verdicts = {v: sum(d["verdict"] == v for d in audited.values()) for v in ("ok", "damaged", "unsupported")}
    assert f"files: 8\n  ok           {verdicts['ok']}\n  damaged      {verdicts['damaged']}\n" in run.stdout
    assert f"  {lib / 'a' / 'deep' / 'CUT.MP3'}\n" in run.stdout.split("damaged:\n")[1]

    # The same on a cluster already running, named by its scheduler's address.
    from dask.distributed import LocalCluster

    with LocalCluster(n_workers=1, threads_per_worker=2, dashboard_address=None) as cluster:
        again = tmp_path / "again.jsonl"
        args = [sys.executable, AUDIT, "--scheduler", cluster.scheduler_address, "--batch", "1", "--jsonl", again, lib]
        rerun = subprocess.run(args, capture_output=True, text=True, env=env, timeout=300)
    assert rerun.returncode == 3, rerun.stderr
    assert rerun.stdout == run.stdout
    assert {d["file"]: d for d in map(json.loads, again.read_text().splitlines())} == audited
