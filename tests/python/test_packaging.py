"""Packaging: the sdist carries every file the CMake build reads. (What the wheels
carry is checked by scripts/check_wheels.py when they are built.)"""

import os
import pathlib
import re
import shutil
import subprocess
import tarfile

import pytest
from conftest import ROOT

BUILD = pathlib.Path(os.environ.get("QBO_BUILD_DIR", ROOT / "build" / "release"))


def sdist_members(tmp_path: pathlib.Path) -> set[str]:
    backend = pytest.importorskip("scikit_build_core.build")
    cwd = os.getcwd()
    os.chdir(ROOT)
    try:
        name = backend.build_sdist(str(tmp_path))
    finally:
        os.chdir(cwd)
    with tarfile.open(tmp_path / name) as sdist:
        return {member.name.split("/", 1)[1] for member in sdist.getmembers() if member.isfile()}


@pytest.mark.skipif(not shutil.which("ninja") or not (BUILD / "build.ninja").exists(),
                    reason=f"needs ninja and a configured Ninja build in {BUILD}")
def test_sdist_carries_every_file_the_module_build_reads(tmp_path):
    ninja = ["ninja", "-C", str(BUILD)]
    read = subprocess.run(ninja + ["-t", "inputs", "quorvex_bo_fx_native"], check=True,
                          capture_output=True, text=True).stdout.split()
    deps = subprocess.run(ninja + ["-t", "deps"], check=True, capture_output=True, text=True)
    for block in deps.stdout.split("\n\n"):  # the headers each object of the module read
        if block.startswith("CMakeFiles/quorvex_bo_"):
            read += block.split()[7:]
    read += re.search(r"^build build\.ninja[^:]*: RERUN_CMAKE [^|]*\|(.*)$",
                      (BUILD / "build.ninja").read_text(), re.M).group(1).split()
    read = {(BUILD / path).resolve() for path in read}
    in_tree = {str(p.relative_to(ROOT)) for p in read if p.is_relative_to(ROOT)
               and not p.is_relative_to(BUILD.resolve()) and p.is_file()
               and p.name != "_native.abi3.so"}  # the build's product, not an input
    assert {"CMakeLists.txt", "pyproject.toml", "native/module.cpp", "native/exports.map",
            "core/include/quorvex_bo/core/json.hpp", "fx/src/ops.cpp"} <= in_tree
    members = sdist_members(tmp_path)
    assert in_tree - members == set()
    # The cross build's toolchain comes along; no built module does.
    assert "scripts/cross/zig.cmake" in members
    assert not [m for m in members if m.endswith(".so")]
