from typing import Final

__all__ = ["call", "__version__", "PROTOCOL_VERSION"]

__version__: Final[str]
PROTOCOL_VERSION: Final[int]

class PanicException(BaseException):
    """A fault escaped the native core (never raised for an operation's own failure)."""

def call(op: str, payload: str) -> str:
    """Runs an FX operation; `payload` and the result are JSON strings."""
