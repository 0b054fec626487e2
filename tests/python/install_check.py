"""Builds the package as `pip install ./python` does (setup.py running the project's CMake),
into a temporary folder, and checks that what it built imports and works: l3.info of a
stream is what the built l3 prints, and the stubs and py.typed are installed beside it.
Exit 77 (skipped) without setuptools, or unless L3_LONG_TESTS=1 (a whole build)."""

import json
import os
import pathlib
import subprocess
import sys
import tempfile

REPO = pathlib.Path(__file__).resolve().parents[2]
STREAM = REPO / "tests" / "data" / "lame" / "m1_44k_joint_cbr128.mp3"

if os.environ.get("L3_LONG_TESTS") != "1":
    print("skipped: a whole build; set L3_LONG_TESTS=1")
    sys.exit(77)
try:
    import setuptools  # noqa: F401
except ImportError:
    print("skipped: no setuptools; the Debian package 'python3-setuptools' brings it")
    sys.exit(77)

with tempfile.TemporaryDirectory() as tmp:
    build = pathlib.Path(tmp) / "build"
    subprocess.run([sys.executable, "setup.py", "-q", "build", "--build-base", str(build)], cwd=REPO / "python", check=True)
    lib = next(p.parent.parent for p in build.glob("lib*/l3/__init__.py"))
    package = lib / "l3"
    for name in ("__init__.pyi", "py.typed", "_errors.py", "_edits.py"):
        assert (package / name).is_file(), f"{name} is not in the built package"
    probe = "import json, sys, l3; print(l3.__file__); print(json.dumps(l3.info(sys.argv[1])))"
    out = subprocess.run([sys.executable, "-c", probe, str(STREAM)], env={**os.environ, "PYTHONPATH": str(lib)}, capture_output=True, text=True, check=True)
    where, got = out.stdout.splitlines()
    assert pathlib.Path(where).parent == package, f"imported {where}, not the built package"
    expected = subprocess.run([os.environ["L3_PROGRAM"], "info", "--json", str(STREAM)], capture_output=True, text=True, check=True).stdout
    assert json.loads(got) == json.loads(expected), "l3.info differs from l3 info --json"
print("built, imported and checked")
