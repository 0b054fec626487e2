#!/usr/bin/env python3
"""Every edit, judged by three real decoders.

Runs each `l3` edit over a corpus of streams and decodes the input and the output with
mpg123, ffmpeg and madplay, as a player does (each decoder's default, gapless where it is
gapless). An edit passes when every decoder plays the output exactly as it plays the input
(for cut, split and join: the samples of the range, in the gapless decoders mpg123 and
ffmpeg), or when it is refused with a message and nothing written.

  judge_edits.py --l3 PATH [--python PY --pythonpath DIR] [--jobs N] CORPUS...

CORPUS names files or folders of streams (*.mp3, *.bit). Exit status: 0 every case passed,
1 a case failed, 77 no decoder installed (the ctest skip code).
"""

import argparse
import concurrent.futures
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

DECODERS = {
    # name: (command prefix, gapless?)
    "mpg123": (["mpg123", "-q", "-s"], True),
    "ffmpeg": (["ffmpeg", "-v", "error", "-nostdin", "-i"], True),
    "madplay": (["madplay", "-q", "-d", "-b", "16", "-o", "raw:-"], False),
}
DECODER_PACKAGES = {"mpg123": "mpg123", "ffmpeg": "ffmpeg", "madplay": "madplay"}
MPG123_XING_TRIM = 529  # mpg123 trims this at the start of a Xing/Info frame without LAME


# Two channels forced, for streams whose channel count changes: mpg123 and madplay write each
# frame with its own count, and ffmpeg sets its output's count at the first frame and mixes
# later frames down or up to it, so a piece that starts elsewhere would be heard in another
# layout. Forced to two, every decoder writes every frame's channels as they are.
FORCE_STEREO = {"mpg123": ["--stereo"], "ffmpeg": ["-ac", "2"], "madplay": ["-S"]}


def decode(decoder, path, stereo=False):
    """Raw signed 16-bit PCM a decoder plays for path, or None when it plays nothing."""
    prefix, _ = DECODERS[decoder]
    force = FORCE_STEREO[decoder] if stereo else []
    if decoder == "ffmpeg":
        command = prefix + [str(path)] + force + ["-f", "s16le", "-"]
    else:
        command = prefix[:1] + force + prefix[1:] + [str(path)]
    run = subprocess.run(command, capture_output=True, timeout=120)
    return run.stdout if run.stdout else None


class Case:
    def __init__(self, stream, edit, decoder, verdict, detail=""):
        self.stream, self.edit, self.decoder = stream, edit, decoder
        self.verdict, self.detail = verdict, detail


def first_difference(a, b):
    n = min(len(a), len(b))
    for i in range(0, n, 4096):
        if a[i:i + 4096] != b[i:i + 4096]:
            for j in range(i, min(i + 4096, n)):
                if a[j] != b[j]:
                    return j // 2
    return n // 2


def compare(expected, got):
    if expected == got:
        return ""
    if expected is None or got is None:
        return "one of them plays nothing"
    return "%d samples against %d, first difference at sample %d" % (
        len(expected) // 2, len(got) // 2, first_difference(expected, got))


class Judge:
    def __init__(self, args, decoders):
        self.l3 = str(Path(args.l3).resolve())
        self.python = args.python
        self.pythonpath = args.pythonpath
        self.decoders = decoders
        self.root = Path(tempfile.mkdtemp(prefix="l3-judges-"))

    def l3run(self, *words, cwd=None):
        return subprocess.run([self.l3] + [str(w) for w in words], capture_output=True,
                              timeout=300, cwd=cwd)

    def info(self, path):
        run = self.l3run("info", "--json", path)
        return json.loads(run.stdout) if run.returncode == 0 else None

    def judge_stream(self, stream):
        work = self.root / ("%d-%s" % (abs(hash(str(stream))), stream.name))
        work.mkdir()
        cases = []
        info = self.info(stream)
        if info is None:
            return cases
        modes = info["channel_modes"]
        stereo = "mono" in modes and any(m != "mono" for m in modes)
        played = {d: decode(d, stream, stereo) for d in self.decoders}

        def plays_same(edit, output, which=None):
            for d in which or self.decoders:
                detail = compare(played[d], decode(d, output, stereo))
                cases.append(Case(stream, edit, d, "fail" if detail else "pass", detail))

        def refused(edit, run, outputs):
            left = [o for o in outputs if Path(o).exists()]
            verdict = "refused" if run.stderr and not left else "fail"
            detail = run.stderr.decode(errors="replace").strip().splitlines()
            cases.append(Case(stream, edit, "-", verdict,
                              (detail[-1] if detail else "no message") +
                              ("; left " + ", ".join(map(str, left)) if left else "")))

        # Rewrites of the whole stream.
        for name, options in [("repack", []), ("repack --huffman", ["--huffman"]),
                              ("repack --cbr min", ["--cbr", "min"]),
                              ("repack --crc add", ["--crc", "add"]),
                              ("repack --crc drop", ["--crc", "drop"])]:
            out = work / ("r%d.mp3" % len(cases))
            run = self.l3run("repack", *options, stream, out)
            if run.returncode == 0:
                plays_same(name, out)
            else:
                refused(name, run, [out])

        # A gain and its undo.
        gained, back = work / "g.mp3", work / "u.mp3"
        run = self.l3run("gain", "-g", "2", stream, gained)
        # A gain held at the ends of global_gain's range cannot be undone exactly; it says so.
        clamped = b"held at" in run.stderr
        if run.returncode == 0:
            run = self.l3run("gain", "--undo", gained, back)
            if run.returncode == 0 and clamped:
                cases.append(Case(stream, "gain -g 2, --undo", "-", "inexact",
                                  "values held at 0 or 255"))
            elif run.returncode == 0:
                plays_same("gain -g 2, --undo", back)
            else:
                refused("gain --undo", run, [back])
        else:
            refused("gain -g 2", run, [gained])

        gapless = [d for d in self.decoders if DECODERS[d][1]]
        samples = info["samples"]["gapless"]
        channels = 2 if any(m != "mono" for m in info["channel_modes"]) else 1
        xing = info.get("xing") or {}
        trim = {d: 0 for d in gapless}
        if "mpg123" in trim and xing.get("type") in ("Xing", "Info") and not xing.get("lame"):
            trim["mpg123"] = MPG123_XING_TRIM

        # The middle half, cut.
        a, b = samples // 4, 3 * samples // 4
        piece = work / "cut.mp3"
        run = self.l3run("cut", "--from-sample", a, "--to-sample", b, stream, piece)
        if run.returncode == 0:
            for d in gapless:
                if played[d] is None:
                    continue
                width = 2 * channels
                start, end = (a - trim[d]) * width, (b - trim[d]) * width
                want = played[d][start:end] if start >= 0 else None
                detail = compare(want, decode(d, piece, stereo))
                cases.append(Case(stream, "cut middle half", d, "fail" if detail else "pass",
                                  detail))
        else:
            refused("cut middle half", run, [piece])

        # Split in three and joined back.
        every = max(1, samples // 3 + 1)
        run = self.l3run("split", "--every", every, "--samples", stream, "p-%d.mp3", cwd=work)
        pieces = sorted(work.glob("p-*.mp3"), key=lambda p: int(p.stem[2:]))
        if run.returncode == 0 and pieces:
            whole = work / "joined.mp3"
            run = self.l3run("join", "-o", whole, *pieces)
            if run.returncode == 0:
                plays_same("split + join", whole, gapless)
            else:
                refused("join", run, [whole])
        else:
            refused("split", run, pieces)

        if self.python:
            self.python_edit(stream, work, cases, played, channels, stereo)
        shutil.rmtree(work, ignore_errors=True)
        return cases

    def python_edit(self, stream, work, cases, played, channels, stereo):
        """One spectral value of a frame in the middle changed through the Python module:
        every sample outside the granules that value reaches must stay."""
        out = work / "py.mp3"
        script = r"""
import sys, l3
s = l3.read(sys.argv[1])
audio = [f for f in s.frames if not f.is_tag and f.problem is None]
if len(audio) < 8:
    sys.exit(0)
f = audio[len(audio) // 2]
# The largest value of the frame, doubled (or raised by 8): loud enough to hear.
g, c, line = (int(i) for i in
              __import__("numpy").unravel_index(abs(f.spectrum).argmax(), f.spectrum.shape))
v = int(f.spectrum[g, c, line])
f.spectrum[g, c, line] = max(-4000, min(4000, 2 * v if abs(v) >= 8 else v + 8))
s.write(sys.argv[2])
"""
        env = dict(os.environ, PYTHONPATH=self.pythonpath)
        run = subprocess.run([self.python, "-c", script, str(stream), str(out)],
                             capture_output=True, timeout=300, env=env)
        if run.returncode != 0:
            detail = run.stderr.decode(errors="replace").strip().splitlines()
            verdict = "refused" if not out.exists() else "fail"
            cases.append(Case(stream, "python edit", "-", verdict, detail[-1] if detail else ""))
            return
        if not out.exists():
            return  # too short to judge
        # A granule's values reach its own 576 samples and, through the overlap and the
        # synthesis filter, part of the next two: at most three granules change.
        limit = 3 * 576
        for d in self.decoders:
            before, after = played[d], decode(d, out, stereo)
            if before is None or after is None or len(before) != len(after):
                cases.append(Case(stream, "python edit", d, "fail",
                                  compare(before, after) or "lengths differ"))
                continue
            changed = [i for i in range(0, len(before), 2) if before[i:i + 2] != after[i:i + 2]]
            if not changed:  # the frame is too quiet for the change to reach the samples
                cases.append(Case(stream, "python edit", d, "inaudible", ""))
                continue
            span = (changed[-1] - changed[0]) // (2 * channels)
            verdict = "pass" if span <= limit else "fail"
            cases.append(Case(stream, "python edit", d, verdict,
                              "" if verdict == "pass" else "samples changed over %d" % span))


def corpus(paths):
    """Every stream named, each content once (the repo keeps copies of shared streams)."""
    seen = set()
    for p in unique_files(paths):
        digest = hashlib.sha1(p.read_bytes()).hexdigest()
        if digest not in seen:
            seen.add(digest)
            yield p


def unique_files(paths):
    for p in paths:
        p = Path(p)
        if p.is_dir():
            for f in sorted(p.iterdir()):
                if f.suffix in (".mp3", ".bit") and f.is_file():
                    yield f.resolve()
        elif p.is_file():
            yield p.resolve()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--l3", required=True)
    parser.add_argument("--python")
    parser.add_argument("--pythonpath", default="")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("corpus", nargs="+")
    args = parser.parse_args()

    decoders = [d for d in DECODERS if shutil.which(d)]
    for d in DECODERS:
        if d not in decoders:
            print("%s is not installed (Debian package '%s'): not judged" %
                  (d, DECODER_PACKAGES[d]))
    if not decoders:
        return 77
    streams = list(corpus(args.corpus))
    judge = Judge(args, decoders)
    results = []
    try:
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for cases in pool.map(judge.judge_stream, streams):
                results.extend(cases)
    finally:
        shutil.rmtree(judge.root, ignore_errors=True)

    failed = [c for c in results if c.verdict == "fail"]
    for c in results:
        if c.verdict == "fail" or (args.verbose and c.verdict != "pass"):
            print("%-7s %-18s %-8s %s: %s" % (c.verdict, c.edit, c.decoder, c.stream, c.detail))
    counts = {}
    for c in results:
        counts[c.verdict] = counts.get(c.verdict, 0) + 1
    print("%d streams, %d judgements: %s" % (
        len(streams), len(results), ", ".join("%d %s" % (n, v) for v, n in sorted(counts.items()))))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
