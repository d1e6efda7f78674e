"""Writes each ```python block of README.md to its own file, for mypy --strict.

Usage: readme_examples.py README.md OUT_DIR
"""

import pathlib
import re
import sys

readme, out = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
out.mkdir(parents=True, exist_ok=True)
for old in out.glob("readme_example_*.py"):
    old.unlink()
blocks = re.findall(r"^```python\n(.*?)^```", readme.read_text(), re.S | re.M)
for number, block in enumerate(blocks, 1):
    (out / f"readme_example_{number}.py").write_text(block)
print(f"{len(blocks)} examples in {out}")
