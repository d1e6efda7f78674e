"""Times `call` through two builds of the extension module in one process, row by
row, alternating between them: the development build (g++, libstdc++) and the
module of a wheel (zig, libc++).

    PYTHONPATH=python python bench/compare_builds.py GXX_MODULE WHEEL_OR_MODULE [--quick]

Nothing here is a test: figures depend on the machine and on its load.
"""

from __future__ import annotations

import importlib.util
import json
import pathlib
import sys
import tempfile
import zipfile
from types import ModuleType

from call_bench import rows, show, timed


def load(path: str, name: str) -> ModuleType:
    """The module at `path` (or inside the wheel at `path`) under its own name."""
    if path.endswith(".whl"):
        folder = pathlib.Path(tempfile.mkdtemp())
        with zipfile.ZipFile(path) as wheel:
            path = wheel.extract("quorvex_bo/fx/_native.abi3.so", folder)
    found = importlib.util.spec_from_file_location(f"{name}._native", path)
    assert found and found.loader
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def main() -> None:
    quick = "--quick" in sys.argv
    paths = [a for a in sys.argv[1:] if a != "--quick"]
    gxx, zig = load(paths[0], "gxx"), load(paths[1], "zig")
    budget = 0.2 if quick else 0.5
    print(f"{'workload':28} {'g++':>11} {'zig':>11} {'zig/g++':>8}")
    for name, op, payload in rows():
        assert gxx.call(op, payload) == zig.call(op, payload), name
        assert json.loads(gxx.call(op, payload))["ok"], name
        # Alternate three times and keep each build's best median.
        ours = {"g++": [], "zig": []}
        for _ in range(3):
            for label, module in (("g++", gxx), ("zig", zig)):
                ours[label].append(timed(lambda: module.call(op, payload), budget).median)
        a, b = min(ours["g++"]), min(ours["zig"])
        print(f"{name:28} {show(a)} {show(b)} {b / a:8.2f}")


if __name__ == "__main__":
    main()
