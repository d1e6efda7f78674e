"""What the sandbox refuses, as errors of the library's own family."""

from __future__ import annotations

from quorvex_bo.fx.errors import QuorvexError


class SandboxError(QuorvexError):
    """A request to the sandbox itself (not to its gateway) that it cannot carry out."""

    kind = "sandbox"
