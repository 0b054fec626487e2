"""Where the tests find the built programs and the streams; outside programs they may use."""

import os
import pathlib
import shutil
import subprocess

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DATA = pathlib.Path(os.environ.get("L3_TEST_DATA", REPO / "tests" / "data"))
BIN = pathlib.Path(os.environ.get("L3_BIN_DIR", REPO / "build" / "release" / "bin"))

# Every stream in the repository: the test streams, the example and the benchmark streams.
STREAMS = sorted(
    p
    for p in [*DATA.rglob("*.mp3"), *DATA.rglob("*.bit"), *REPO.glob("examples/*.mp3"), *REPO.glob("bench/data/*.mp3")]
    if p.is_file()
)
LAME_STREAMS = sorted((DATA / "lame").glob("*.mp3"))


def stream_id(path):
    return path.name


def program(name):
    """A built program of this project; the tests are run after a build."""
    path = BIN / name
    if not path.exists():
        pytest.skip(f"{path} is not built")
    return str(path)


def require_tool(name, package):
    """Skips unless an outside program is installed, naming the Debian package that brings it."""
    if shutil.which(name) is None:
        pytest.skip(f"{name} is not installed; the Debian package '{package}' brings it")


def run(*args, **kwargs):
    return subprocess.run([str(a) for a in args], capture_output=True, check=True, **kwargs)
