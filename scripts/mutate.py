"""Mutation testing: are the suites sharp enough to notice a changed line?

C++ (universalmutator): a fixed random sample of the mutants of core/src and
fx/src, each built into a copy of the tree at -O1 (only the changed object, the
test binary and the module are rebuilt). A mutant whose object file equals the
original one is equivalent by construction; otherwise the oracle is qbo_tests
(one process, with a timeout), then the module tests. Python (mutmut): the
package python/quorvex_bo/fx, the sandbox and the book included, against tests/python
(the book on SQLite: its PostgreSQL rows, its crash tests and its command's run
in a child process, which mutmut cannot follow, stay with `make test`).

Results go to DIR/cpp-results.jsonl (one line per mutant, so a run resumes where
it stopped) and DIR/mutmut.log; the survivors with their diffs to
DIR/cpp-survivors.txt. Slow: run it under `nice`, not in CI, except a small
sample (--sample 20).
"""

from __future__ import annotations

import argparse
import difflib
import hashlib
import json
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
CPP_DIRS = ("core/src", "fx/src")
# The module tests: what the core answers through `call` (not the packaging checks).
MODULE_TESTS = ("tests/python/test_module.py", "tests/python/test_properties.py",
                "tests/python/test_stories.py")
TARGETS = ("qbo_tests", "quorvex_bo_fx_native")
# Lines whose mutants are noise: blank, comments, includes, braces, namespaces.
SKIPPED_LINE_STARTS = ("//", "#include", "#pragma", "namespace", "}  // namespace", "/*", "*")


def run(cmd, cwd, timeout=None, env=None) -> tuple[int, str]:
    try:
        done = subprocess.run(cmd, cwd=cwd, timeout=timeout, env=env, text=True, errors="replace",
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    except subprocess.TimeoutExpired:
        return -1, "timeout"
    return done.returncode, done.stdout


def copy_tree(dest: pathlib.Path) -> None:
    """The tracked and new files of the checkout, with their times, so that only
    what changed since the last copy is rebuilt."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT,
                            check=True, stdout=subprocess.PIPE).stdout
    dest.mkdir(parents=True, exist_ok=True)
    for name in filter(None, listed.decode().split("\0")):
        source, target = ROOT / name, dest / name
        if not source.is_file():
            continue
        if target.exists() and target.read_bytes() == source.read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)


def configure(tree: pathlib.Path, build: pathlib.Path, python: str) -> None:
    env = dict(os.environ, CCACHE_BASEDIR=str(tree), CCACHE_NOHASHDIR="1")
    cmd = ["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja",
           f"-DPython3_EXECUTABLE={python}", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
           "-DCMAKE_BUILD_TYPE=Mutate", "-DCMAKE_CXX_FLAGS_MUTATE=-O1 -DNDEBUG -D_GLIBCXX_ASSERTIONS",
           "-DQBO_WERROR=OFF"]
    code, out = run(cmd, tree, env=env)
    if code:
        sys.exit("configure failed:\n" + out)


def build(tree: pathlib.Path, build_dir: pathlib.Path, target: str) -> tuple[int, str]:
    env = dict(os.environ, CCACHE_BASEDIR=str(tree), CCACHE_NOHASHDIR="1")
    return run(["ninja", "-C", str(build_dir), "-j", "1", target], tree, timeout=600, env=env)


def objects(build_dir: pathlib.Path) -> dict[str, str]:
    """The digest of every library object, by source file."""
    found = {}
    for obj in build_dir.glob("CMakeFiles/quorvex_bo_*.dir/**/*.cpp.o"):
        source = str(obj.relative_to(build_dir)).split(".dir/", 1)[1][: -len(".o")]
        found[source] = hashlib.sha256(obj.read_bytes()).hexdigest()
    return found


def oracle(tree: pathlib.Path, build_dir: pathlib.Path, python: str) -> str:
    """killed_cpp, killed_module or survived, once the test binary is built."""
    code, _ = run([str(build_dir / "qbo_tests"), "--gtest_brief=1"], tree, timeout=20)
    if code:
        return "killed_cpp" if code != -1 else "timeout"
    code, out = build(tree, build_dir, "quorvex_bo_fx_native")
    if code:
        return "invalid"
    code, _ = run([python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                   "--hypothesis-seed=0", *MODULE_TESTS], tree, timeout=30)
    if code == -1:
        return "timeout"
    return "killed_module" if code else "survived"


def generate(tree: pathlib.Path, mutants: pathlib.Path) -> list[dict]:
    """Every mutant of every C++ source, as {"id", "file", "path"}, in a fixed order."""
    found = []
    for directory in CPP_DIRS:
        for source in sorted((tree / directory).glob("*.cpp")):
            out = mutants / source.stem
            if not out.exists():
                out.mkdir(parents=True)
                run([shutil.which("mutate") or str(pathlib.Path(sys.executable).parent / "mutate"),
                     str(source), "cpp", "--noCheck", "--mutantDir", str(out)], out)
            rel = str(source.relative_to(tree))
            for path in sorted(out.glob("*.mutant.*.cpp"),
                               key=lambda p: int(p.name.split(".")[-2])):
                found.append({"id": f"{rel}#{path.name.split('.')[-2]}", "file": rel,
                              "path": str(path)})
    return found


def changed_line(original: str, mutant: str) -> tuple[int, str, str]:
    """The first changed line: its number, its text before and after."""
    before, after = original.splitlines(), mutant.splitlines()
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, before, after).get_opcodes():
        if tag != "equal":
            return i1 + 1, "\n".join(before[i1:i2]), "\n".join(after[j1:j2])
    return 0, "", ""


# Mutants that cannot compile, known without compiling: a number changed inside a
# name or a hex literal, an increment split into two operators, a commented-out
# line that opens or closes a block.
LIKELY_INVALID = re.compile("|".join([
    r"\w\(\d+[-+]1\)", r"\(\d+[-+]1\)\w",         # 0x(80+1), uint(8+1)_t
    r"[-+][/%*][\w)]", r"[/%*][-+][\w)]",           # +/i, n/-
    r"^/\*.*\{\*/$", r"^/\*\}",                   # a block opened or closed in a comment
    r"(::\w+|<\w+)(==|!=|<=|>=)", r"\w(<=|>=|==|!=|<|>)\"", r"put(?!<\")\W+\"",  # templates
]))


def worth_trying(original: str, mutant: str) -> bool:
    line, before, _ = changed_line(original, mutant)
    text = before.strip()
    return bool(line) and bool(text) and not text.startswith(SKIPPED_LINE_STARTS) \
        and text not in ("{", "}", "};", "} else {", "public:", "private:")


def cpp(args, python: str) -> None:
    work = args.dir.resolve()
    tree, build_dir, results = work / "tree", work / "build", work / "cpp-results.jsonl"
    copy_tree(tree)
    # The JSON conformance vectors sit beside the checkout; beside the copy too.
    if (ROOT.parent / "shared").is_dir() and not (work / "shared").exists():
        (work / "shared").symlink_to(ROOT.parent / "shared")
    configure(tree, build_dir, python)
    for target in TARGETS:
        code, out = build(tree, build_dir, target)
        if code:
            sys.exit(f"the unmutated tree does not build:\n{out}")
    if oracle(tree, build_dir, python) != "survived":
        sys.exit("the unmutated tree fails its tests")
    baseline = objects(build_dir)

    done = {}
    if results.exists():
        for line in results.read_text().splitlines():
            record = json.loads(line)
            done[record["id"]] = record
    # Mutants of the same sources are the same: a retest reuses the earlier run's.
    every = generate(tree, (args.retest_from.parent if args.retest_from else work) / "mutants")
    sources = {m["file"]: (tree / m["file"]).read_text() for m in every}
    candidates = [m for m in every
                  if worth_trying(sources[m["file"]], pathlib.Path(m["path"]).read_text())]
    random.Random(args.seed).shuffle(candidates)
    # Shard k of n takes every n-th mutant of the sample, so that n runs in their
    # own directories share the work (merge their results files afterwards).
    shard, shards = args.shard
    candidates = candidates[shard::shards]

    retest = {i for i, r in done.items() if r["status"] == "survived"} if args.retest else set()
    if args.retest_from:  # the survivors of a run in another directory, tried here
        for line in args.retest_from.read_text().splitlines():
            record = json.loads(line)
            if record["status"] == "survived" and record["id"] not in done:
                retest.add(record["id"])
    evaluated = sum(r["status"] not in ("invalid",) for r in done.values())
    print(f"{len(every)} mutants, {len(candidates)} on code lines; {evaluated} evaluated before",
          flush=True)
    with results.open("a") as log:
        for mutant in candidates:
            if mutant["id"] in done and mutant["id"] not in retest:
                continue
            if not retest and evaluated >= args.sample:
                break
            if retest and mutant["id"] not in retest:
                continue
            target = tree / mutant["file"]
            original = sources[mutant["file"]]
            text = pathlib.Path(mutant["path"]).read_text()
            if LIKELY_INVALID.search(changed_line(original, text)[2].strip()):
                continue
            started = time.monotonic()
            target.write_text(text)
            try:
                code, _ = build(tree, build_dir, "qbo_tests")
                if code:
                    status = "invalid"
                elif objects(build_dir).get(mutant["file"]) == baseline.get(mutant["file"]):
                    status = "equivalent_object"
                else:
                    status = oracle(tree, build_dir, python)
            finally:
                target.write_text(original)
            line, before, after = changed_line(original, text)
            record = {"id": mutant["id"], "file": mutant["file"], "line": line,
                      "before": before.strip(), "after": after.strip(), "status": status,
                      "seconds": round(time.monotonic() - started, 1)}
            log.write(json.dumps(record) + "\n")
            log.flush()
            done[mutant["id"]] = record
            if status != "invalid" and not retest:
                evaluated += 1
            print(f"[{evaluated}/{args.sample}] {status:17} {mutant['id']}: {before.strip()!r}"
                  f" -> {after.strip()!r}", flush=True)
    summarize(done, work / "cpp-survivors.txt")


def summarize(done: dict, survivors_path: pathlib.Path) -> None:
    counts: dict[str, int] = {}
    for record in done.values():
        counts[record["status"]] = counts.get(record["status"], 0) + 1
    killed = sum(v for k, v in counts.items() if k.startswith("killed") or k == "timeout")
    survived = counts.get("survived", 0)
    equivalent = counts.get("equivalent_object", 0)
    print("C++ mutants:", json.dumps(counts, sort_keys=True))
    if killed + survived:
        print(f"C++ score: {killed}/{killed + survived} = {killed / (killed + survived):.1%} "
              f"(killed / (killed + survived); {equivalent} equivalent by object)")
    with survivors_path.open("w") as out:
        for record in sorted(done.values(), key=lambda r: r["id"]):
            if record["status"] == "survived":
                out.write(f"{record['id']} line {record['line']}\n  - {record['before']}\n"
                          f"  + {record['after']}\n")


def python_mutants(args, python: str) -> None:
    """mutmut in a copy of the tree that holds its own configuration."""
    work = args.dir.resolve() / "py"
    copy_tree(work)
    # mutmut names modules after their path: the package goes where it looks, src/.
    shutil.rmtree(work / "src", ignore_errors=True)
    (work / "python").rename(work / "src")
    shutil.copy2(ROOT / "python/quorvex_bo/fx/_native.abi3.so",
                 work / "src/quorvex_bo/fx/_native.abi3.so")
    # The copy's pyproject.toml gets mutmut's section (the test of the version reads it).
    pyproject = work / "pyproject.toml"
    text = pyproject.read_text().split("\n[tool.mutmut]\n")[0]
    pyproject.write_text(text + """
[tool.mutmut]
source_paths = ["src/quorvex_bo/fx"]
also_copy = ["src/quorvex_bo/fx/_native.abi3.so", "src/quorvex_bo/__init__.py", "CMakeLists.txt", "native", "core", "fx",
             "scripts", "examples", "README.md"]
pytest_add_cli_args = ["-p", "no:cacheprovider", "--hypothesis-seed=0",
                       "--ignore=tests/python/sandbox/test_payer_page.py",
                       "--ignore=tests/python/test_packaging.py",
                       "--ignore=tests/python/book/test_processes.py",
                       "--ignore=tests/python/book/test_cli.py", "-k", "not postgresql"]
pytest_add_cli_args_test_selection = ["tests/python/client", "tests/python/sandbox",
                                      "tests/python/book", "tests/python/test_module.py",
                                      "tests/python/test_stories.py"]
""")
    mutmut = str(pathlib.Path(python).parent / "mutmut")
    code, out = run([mutmut, "run", "--max-children", str(args.children), *args.mutmut_only], work,
                    timeout=args.python_timeout)
    (args.dir / "mutmut.log").write_text(out)
    _, results = run([mutmut, "results", "--all", "true"], work)
    (args.dir / "mutmut-results.txt").write_text(results)
    print(out[-2000:])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", type=pathlib.Path, default=ROOT / "build/mutate")
    parser.add_argument("--sample", type=int, default=300, help="C++ mutants to evaluate")
    parser.add_argument("--seed", type=int, default=19)
    parser.add_argument("--shard", type=lambda t: tuple(map(int, t.split("/"))), default=(0, 1),
                        metavar="K/N", help="this run's share of the sample (0-based K)")
    parser.add_argument("--retest", action="store_true",
                        help="evaluate the survivors of the earlier run again")
    parser.add_argument("--retest-from", type=pathlib.Path,
                        help="evaluate the survivors listed in this results file")
    parser.add_argument("--mutmut-only", nargs="*", default=[],
                        help="mutmut's mutant names or globs (quorvex_bo.fx.client*) to run")
    # The Python tests mostly wait on sockets, so several mutants fit on a core.
    parser.add_argument("--children", type=int, default=4, help="mutmut's processes")
    parser.add_argument("--no-cpp", action="store_true")
    parser.add_argument("--no-python", action="store_true")
    parser.add_argument("--python-timeout", type=int, default=4 * 3600)
    args = parser.parse_args()
    python = sys.executable
    if not args.no_cpp:
        cpp(args, python)
    if not args.no_python:
        python_mutants(args, python)


if __name__ == "__main__":
    main()
