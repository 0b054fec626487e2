"""The example script: its histograms count every long-block line once, in its band."""

import os
import subprocess
import sys

import numpy as np
from conftest import DATA, REPO

import l3

SCRIPT = REPO / "examples" / "python" / "band_histogram.py"
STREAM = DATA / "lame" / "m1_44k_joint_cbr128.mp3"
MPEG2_STREAM = DATA / "lame" / "m2_22k_joint_vbr5.mp3"


def test_band_edges_of_44100_and_22050_hz():
    edges_44k = [0, 4, 8, 12, 16, 20, 24, 30, 36, 44, 52, 62, 74, 90, 110, 134, 162, 196, 238, 288, 342, 418, 576]
    edges_22k = [0, 6, 12, 18, 24, 30, 36, 44, 54, 66, 80, 96, 116, 140, 168, 200, 238, 284, 336, 396, 464, 522, 576]
    assert list(l3.read(STREAM).frames[1].band_edges) == edges_44k
    assert list(l3.read(MPEG2_STREAM).frames[1].band_edges) == edges_22k


def test_histograms_count_every_long_block_line(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    plot = tmp_path / "bits.png"
    out = subprocess.run([sys.executable, str(SCRIPT), str(STREAM), str(plot)], capture_output=True, text=True, env=env, check=True)
    rows = [line.split() for line in out.stdout.splitlines()[1:] if line.strip() and not line.startswith("plot")]
    assert len(rows) == 22
    stream = l3.read(STREAM)
    audio = [f for f in stream.frames if not f.is_tag]
    long_lines = np.concatenate([f.spectrum[f.block_type != 2] for f in audio])
    edges = audio[0].band_edges
    for band, row in enumerate(rows):
        counts = [int(c) for c in row[-10:]]
        values = long_lines[:, edges[band] : edges[band + 1]]
        assert sum(counts) == values.size
        assert counts[4] == np.count_nonzero(values == 0)
        assert counts[-1] == np.count_nonzero(np.abs(values) > 4)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert plot.read_bytes().startswith(b"\x89PNG")
