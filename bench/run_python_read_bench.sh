#!/bin/sh
# Times l3.read (the Python module: a stream into numpy arrays) against l3disassemble
# (the same stream into a record file) on a 4-minute 128 kbit/s stereo stream made here by
# lame from a synthetic signal, and prints the ratio. Needs a release build with the Python
# module, sox and lame:
#   cmake --preset release && cmake --build --preset release
#   bench/run_python_read_bench.sh
#
# Usage: bench/run_python_read_bench.sh [BUILD_DIR]   (default build/release)
# Each time is the median of 5 runs of wall time with a warm page cache: l3disassemble
# as a process writing a real record file and ancillary file (to TMPDIR); l3.read inside
# one interpreter (its start and the import not counted), so that a ratio of 1 means the
# module reads a file as fast as the program takes one apart.
set -eu

build=${1:-build/release}
runs=5
dis=$build/bin/l3disassemble
package=$build/python
for tool in sox lame; do
    if ! command -v $tool >/dev/null 2>&1; then
        echo "$tool is not installed (Debian package $tool)" >&2
        exit 1
    fi
done
if [ ! -x "$dis" ] || [ ! -d "$package/l3" ]; then
    echo "build l3disassemble and the Python module in $build first" >&2
    exit 1
fi
python=$(sed -n 's/^Python3_EXECUTABLE:FILEPATH=//p' "$build/CMakeCache.txt")
python=${python:-python3}

work=$(mktemp -d "${TMPDIR:-/tmp}/python_read_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# Four minutes of two tones swept against each other and some noise: a spectrum that keeps
# the encoder busy in every band.
sox -n -r 44100 -c 2 -b 16 "$work/in.wav" synth 240 sine 200-3000 sine 330-5000 \
    synth 240 pinknoise mix remix 1 2 gain -6 2>/dev/null
lame --quiet -b 128 "$work/in.wav" "$work/in.mp3"
cat "$work/in.mp3" >/dev/null

"$python" - "$dis" "$work" "$package" "$runs" <<'PY'
import statistics, subprocess, sys, time
dis, work, package, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
sys.path.insert(0, package)
import l3

def median_seconds(action):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times)

path = f"{work}/in.mp3"
stream = l3.read(path)
frames = len(stream.frames)
del stream
dis_time = median_seconds(lambda: subprocess.run([dis, "--quiet", path, f"{work}/rec", f"{work}/anc"], check=True))
read_time = median_seconds(lambda: l3.read(path))
print(f"stream: 4:00, 128 kbit/s stereo, {frames} frames")
print(f"l3disassemble: {dis_time * 1000:.1f} ms   l3.read: {read_time * 1000:.1f} ms   "
      f"ratio l3.read / l3disassemble: {read_time / dis_time:.2f}")
PY
