"""check_wheels.py WHEEL...: each wheel must be what its name claims.

auditwheel must find it consistent with manylinux_2_17 for its architecture, and
the module must export its init function alone and carry no symbol table. A wheel
that fails is named with the reason: the glibc symbols newer than 2.17 that it
needs, or what else is wrong. Exits 1 if any wheel fails.
"""

import io
import re
import subprocess
import sys
import zipfile

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

GLIBC_FLOOR = (2, 17)


def glibc_needs(elf: ELFFile) -> dict[str, set[str]]:
    """The GLIBC_x.y versions the module needs above the floor, with the symbols
    that need each."""
    versions: dict[int, str] = {}
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    versions[aux.entry["vna_other"]] = aux.name
    symbols = elf.get_section_by_name(".dynsym")
    table = elf.get_section_by_name(".gnu.version")
    needs: dict[str, set[str]] = {}
    for index, symbol in enumerate(symbols.iter_symbols()):
        if symbol["st_shndx"] != "SHN_UNDEF" or table is None:
            continue
        name = versions.get(table.get_symbol(index).entry["ndx"], "")
        match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
        if match and tuple(map(int, match.groups())) > GLIBC_FLOOR:
            needs.setdefault(name, set()).add(symbol.name)
    return needs


def problems(wheel: str) -> list[str]:
    arch = re.search(r"_(x86_64|aarch64)\.whl$", wheel)
    if not arch:
        return ["its name names neither x86_64 nor aarch64"]
    found = []
    with zipfile.ZipFile(wheel) as archive:
        module = archive.read("quorvex_bo/fx/_native.abi3.so")
    elf = ELFFile(io.BytesIO(module))
    machine = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}[arch.group(1)]
    if elf["e_machine"] != machine:
        found.append(f"the module is built for {elf['e_machine']}, not {machine}")
    for version, names in sorted(glibc_needs(elf).items()):
        found.append(f"needs {version} for {', '.join(sorted(names))}")
    exported = sorted(s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                      if s["st_shndx"] != "SHN_UNDEF" and s.name)
    if exported != ["PyInit__native"]:
        found.append(f"exports {exported}, not PyInit__native alone")
    if elf.get_section_by_name(".symtab") is not None:
        found.append("carries a symbol table (not stripped)")
    verdict = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel],
                             capture_output=True, text=True)
    expected = f'"manylinux_2_17_{arch.group(1)}"'
    if verdict.returncode != 0 or f"consistent with the following platform tag:\n{expected}" \
            not in verdict.stdout:
        found.append("auditwheel: " + " ".join((verdict.stdout + verdict.stderr).split()))
    return found


def main() -> int:
    failed = False
    for wheel in sys.argv[1:]:
        found = problems(wheel)
        failed |= bool(found)
        print(f"{wheel}: " + ("; ".join(found) if found else "manylinux_2_17, init only, stripped"))
    return 1 if failed or not sys.argv[1:] else 0


if __name__ == "__main__":
    sys.exit(main())
