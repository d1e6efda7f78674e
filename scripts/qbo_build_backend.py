"""The package's own build backend (PEP 517): builds the extension module with the
project's CMake build and writes the sdist and the wheel with the standard library
alone, so building needs nothing from a package index (not even setuptools or
wheel), in a fresh virtual environment of any CPython >= 3.10.

The sdist carries every file the CMake build reads (SDIST_PATHS); the wheel holds
the Python package and the stripped module, tagged cp310-abi3 (one binary for
every CPython from 3.10) for the glibc its symbol versions ask for.
"""

import base64
import hashlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

try:
    import tomllib
except ImportError:  # CPython 3.10
    import tomli as tomllib

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE_DIR = ROOT / "python"
MODULE = PACKAGE_DIR / "quorvex_bo" / "fx" / "_native.abi3.so"
# What the sdist carries: the build's inputs and the package, nothing else.
SDIST_PATHS = ["CMakeLists.txt", "pyproject.toml", "README.md", "scripts/qbo_build_backend.py",
               "core", "fx", "native", "python"]
SKIPPED = re.compile(r"(__pycache__|\.pyc$|\.so$|\.egg-info)")


def _project() -> dict:
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def _dist_name() -> str:
    return re.sub(r"[-_.]+", "_", _project()["name"]).lower()


def _metadata() -> str:
    project = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {project['name']}",
             f"Version: {project['version']}", f"Summary: {project['description']}",
             f"Requires-Python: {project['requires-python']}"]
    lines += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    lines += [f"Requires-Dist: {d}" for d in project.get("dependencies", [])]
    for extra, needs in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in needs]
    lines += ["Description-Content-Type: text/markdown", "", (ROOT / "README.md").read_text()]
    return "\n".join(lines)


def _files(paths):
    for name in paths:
        path = ROOT / name
        for file in sorted(path.rglob("*")) if path.is_dir() else [path]:
            if file.is_file() and not SKIPPED.search(str(file.relative_to(ROOT))):
                yield file


# ---- sdist ------------------------------------------------------------------

def sdist_members() -> list[str]:
    """The paths of the sdist, relative to its top directory."""
    return [str(f.relative_to(ROOT)) for f in _files(SDIST_PATHS)] + ["PKG-INFO"]


def build_sdist(sdist_directory, config_settings=None):
    base = f"{_dist_name()}-{_project()['version']}"
    name = base + ".tar.gz"
    path = pathlib.Path(sdist_directory) / name
    with tarfile.open(path, "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for file in _files(SDIST_PATHS):
            tar.add(file, f"{base}/{file.relative_to(ROOT)}", recursive=False)
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        data = _metadata().encode()
        info.size, info.mode = len(data), 0o644
        tar.addfile(info, io.BytesIO(data))
    return name


# ---- wheel ------------------------------------------------------------------

def _build_module() -> None:
    with tempfile.TemporaryDirectory(prefix="qbo-wheel-") as build_dir:
        configure = ["cmake", "-S", str(ROOT), "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                     "-DQBO_TESTS=OFF", "-DQBO_PYTHON=ON", f"-DPython3_EXECUTABLE={sys.executable}",
                     f"-DPython3_ROOT_DIR={sys.base_prefix}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True, stdout=sys.stderr)
        subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count() or 1),
                        "--target", "quorvex_bo_fx_native"], check=True, stdout=sys.stderr)


def glibc_needed(module: pathlib.Path) -> tuple[int, int]:
    """The highest GLIBC_x.y symbol version the module asks for (objdump), else the
    glibc of this machine, which is never lower."""
    versions = []
    if shutil.which("objdump"):
        dump = subprocess.run(["objdump", "-T", str(module)], capture_output=True, text=True)
        versions = [tuple(map(int, v)) for v in re.findall(r"GLIBC_(\d+)\.(\d+)", dump.stdout)]
    if not versions:
        versions = [tuple(map(int, os.confstr("CS_GNU_LIBC_VERSION").split()[1].split(".")[:2]))]
    return max(versions)


def wheel_tag(module: pathlib.Path) -> str:
    major, minor = glibc_needed(module)
    machine = os.uname().machine
    return f"cp310-abi3-manylinux_{major}_{minor}_{machine}"


def _entry_points() -> str:
    scripts = _project().get("scripts", {})
    return "".join(["[console_scripts]\n"] + [f"{k} = {v}\n" for k, v in scripts.items()])


def _record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    _build_module()
    version = _project()["version"]
    tag = wheel_tag(MODULE)
    name = f"{_dist_name()}-{version}-{tag}.whl"
    dist_info = f"{_dist_name()}-{version}.dist-info"
    entries = [(str(f.relative_to(PACKAGE_DIR)), f.read_bytes())
               for f in _files(["python/quorvex_bo"])]
    entries.append((str(MODULE.relative_to(PACKAGE_DIR)), MODULE.read_bytes()))
    entries.append((f"{dist_info}/METADATA", _metadata().encode()))
    entries.append((f"{dist_info}/entry_points.txt", _entry_points().encode()))
    entries.append((f"{dist_info}/WHEEL", (
        f"Wheel-Version: 1.0\nGenerator: qbo_build_backend\nRoot-Is-Purelib: false\nTag: {tag}\n"
    ).encode()))
    record = [_record_line(n, d) for n, d in entries] + [f"{dist_info}/RECORD,,"]
    entries.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    with zipfile.ZipFile(pathlib.Path(wheel_directory) / name, "w", zipfile.ZIP_DEFLATED) as whl:
        for entry, data in entries:
            info = zipfile.ZipInfo(entry, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o755 if entry.endswith(".so") else 0o644) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(info, data)
    return name
