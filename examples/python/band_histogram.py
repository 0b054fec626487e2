#!/usr/bin/env python3
"""Steganalysis-style features of an MP3 file from its quantised values.

    PYTHONPATH=build/release/python python3 examples/python/band_histogram.py FILE.mp3 [PLOT.png]

Prints, for each long-block scalefactor band, the histogram of the quantised values of
long-block granules (how often each value from -4 to 4 occurs, and how many lie beyond),
pooled over channels. With a second argument and matplotlib installed, also plots the
bits each frame's granules take (part2_3_length) and main_data_begin against the frame.
"""

import sys

import numpy as np

import l3

LIMIT = 4  # values -LIMIT .. LIMIT get a bin each; the rest are counted beyond


def band_histograms(stream):
    """Per band, counts of the values -LIMIT..LIMIT and of |value| > LIMIT."""
    audio = [f for f in stream.frames if not f.is_tag]
    edges = audio[0].band_edges
    counts = np.zeros((len(edges) - 1, 2 * LIMIT + 2), dtype=np.int64)
    for frame in audio:
        long_blocks = frame.block_type != 2  # short blocks order their lines by window
        lines = frame.spectrum[long_blocks]  # (long granule-channels, 576)
        for band in range(len(edges) - 1):
            values = lines[:, edges[band] : edges[band + 1]].ravel()
            inside = values[np.abs(values) <= LIMIT]
            counts[band, : 2 * LIMIT + 1] += np.bincount(inside + LIMIT, minlength=2 * LIMIT + 1)
            counts[band, -1] += values.size - inside.size
    return edges, counts


def plot_bits(stream, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (Debian package python3-matplotlib): no plot", file=sys.stderr)
        return
    audio = [f for f in stream.frames if not f.is_tag]
    bits = [int(f.part2_3_length.sum()) for f in audio]
    reservoir = [8 * f.main_data_begin for f in audio]
    fig, ax = plt.subplots(figsize=(10, 4))
    ax.plot(bits, label="main data bits (part2_3_length, all granules)")
    ax.plot(reservoir, label="main_data_begin (bits)")
    ax.set_xlabel("frame")
    ax.set_ylabel("bits")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    print(f"plot: {path}")


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 1
    stream = l3.read(sys.argv[1])
    edges, counts = band_histograms(stream)
    header = "band  lines    " + " ".join(f"{v:>7d}" for v in range(-LIMIT, LIMIT + 1)) + "  beyond"
    print(header)
    for band, row in enumerate(counts):
        print(f"{band:4d}  {edges[band]:3d}-{edges[band + 1] - 1:3d}  " + " ".join(f"{c:7d}" for c in row))
    if len(sys.argv) == 3:
        plot_bits(stream, sys.argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main())
