"""Packaging: the sdist carries every file the CMake build reads, and the built
module exports its init function only and ships without a symbol table."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
from conftest import ROOT

from quorvex_bo.fx import _native

sys.path.insert(0, str(ROOT / "scripts"))
import qbo_build_backend  # noqa: E402

BUILD = pathlib.Path(os.environ.get("QBO_BUILD_DIR", ROOT / "build" / "release"))


@pytest.mark.skipif(not shutil.which("ninja") or not (BUILD / "build.ninja").exists(),
                    reason=f"needs ninja and a configured Ninja build in {BUILD}")
def test_sdist_carries_every_file_the_module_build_reads():
    ninja = ["ninja", "-C", str(BUILD)]
    read = subprocess.run(ninja + ["-t", "inputs", "quorvex_bo_fx_native"], check=True,
                          capture_output=True, text=True).stdout.split()
    deps = subprocess.run(ninja + ["-t", "deps"], check=True, capture_output=True, text=True)
    for block in deps.stdout.split("\n\n"):  # the headers each object of the module read
        if block.startswith("CMakeFiles/quorvex_bo_"):
            read += block.split()[7:]
    read += re.search(r"^build build\.ninja: RERUN_CMAKE [^|]*\|(.*)$",
                      (BUILD / "build.ninja").read_text(), re.M).group(1).split()
    read = {(BUILD / path).resolve() for path in read}
    in_tree = {str(p.relative_to(ROOT)) for p in read if p.is_relative_to(ROOT)
               and not p.is_relative_to(BUILD.resolve()) and p.is_file()}
    assert {"CMakeLists.txt", "pyproject.toml", "native/module.cpp", "native/exports.map",
            "core/include/quorvex_bo/core/json.hpp", "fx/src/ops.cpp"} <= in_tree
    assert in_tree - set(qbo_build_backend.sdist_members()) == set()


@pytest.mark.skipif(not shutil.which("nm"), reason="needs nm (binutils)")
def test_module_exports_only_its_init_function_and_is_stripped():
    module = _native.__file__
    exported = subprocess.run(["nm", "-D", "--defined-only", module], check=True,
                              capture_output=True, text=True).stdout.split()[2::3]
    assert exported == ["PyInit__native"]
    assert "no symbols" in subprocess.run(["nm", module], capture_output=True, text=True).stderr
    assert re.fullmatch(r"cp310-abi3-manylinux_2_\d+_x86_64",
                        qbo_build_backend.wheel_tag(pathlib.Path(module)))
