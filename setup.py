"""Builds `quorvex_bo.fx._native` with the project's CMake build.

The metadata is in pyproject.toml; this file only teaches setuptools to run CMake
for the extension and to tag the wheel for the stable ABI (cp310-abi3), since the
one binary loads in every CPython from 3.10 on.
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
# Where the CMake target writes the module.
BUILT_MODULE = ROOT / "python" / "quorvex_bo" / "fx" / "_native.abi3.so"


class CMakeExtension(Extension):
    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[], py_limited_api=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQBO_TESTS=OFF",
            "-DQBO_PYTHON=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
            f"-DPython3_ROOT_DIR={sys.base_prefix}",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        jobs = str(os.cpu_count() or 1)
        subprocess.run(configure, check=True)
        subprocess.run(
            ["cmake", "--build", str(build_dir), "-j", jobs, "--target", "quorvex_bo_fx_native"],
            check=True,
        )
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(BUILT_MODULE, target)


setup(
    ext_modules=[CMakeExtension("quorvex_bo.fx._native")],
    cmdclass={"build_ext": CMakeBuild},
    options={"bdist_wheel": {"py_limited_api": "cp310"}},
)
