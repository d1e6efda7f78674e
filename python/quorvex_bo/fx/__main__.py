"""``python -m quorvex_bo.fx``: see :mod:`quorvex_bo.fx.cli`."""

import sys

from quorvex_bo.fx.cli import main

sys.exit(main())
