"""Makes the in-tree package importable and keeps property tests stable on busy machines.

Set QBO_TEST_INSTALLED=1 to test an installed package (a wheel) instead.
"""

import os
import pathlib
import sys

from hypothesis import settings

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"
if not os.environ.get("QBO_TEST_INSTALLED") and str(PYTHON_DIR) not in sys.path:
    sys.path.insert(0, str(PYTHON_DIR))

# Calls are fast, but a loaded CI machine must not turn timing into failures.
settings.register_profile("qbo", deadline=None)
settings.load_profile("qbo")
