"""Builds and installs the l3 package through the project's CMake: `pip install ./python`
(or `python3 setup.py build`). The extension module is configured and built in the build
folder with the interpreter that runs this file, and copied with the package's Python files
into the package that is installed. Needs cmake, a C++20 compiler, pybind11 and numpy (on
Debian: cmake g++ python3-dev python3-pybind11 python3-numpy)."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = pathlib.Path(__file__).resolve().parent
PROJECT = HERE.parent
# The version the project's CMakeLists.txt gives.
VERSION = re.search(r"project\(l3 VERSION ([0-9.]+)", (PROJECT / "CMakeLists.txt").read_text()).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    """Configures the project in build_temp and builds only the module's target."""

    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        build.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["cmake", "-S", str(PROJECT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", f"-DPython3_EXECUTABLE={sys.executable}"],
            check=True,
        )
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "l3_python_module", "-j", jobs], check=True)
        built = build / "python" / "l3"
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        extension = next(built.glob("_l3*" + (".pyd" if os.name == "nt" else ".so")))
        shutil.copyfile(extension, target)


setup(
    name="l3",
    version=VERSION,
    description="MPEG audio Layer III streams as numpy arrays, read, checked, edited and written bit-exactly",
    packages=["l3"],
    package_data={"l3": ["__init__.pyi", "py.typed"]},
    ext_modules=[CMakeExtension("l3._l3")],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    python_requires=">=3.9",
    zip_safe=False,
)
