"""Per-payment webhook secrets, kept at rest only as a keyed digest.

Each payment gets its own random secret (256 bits), sent to the gateway once with the
generation and never stored. The database keeps HMAC-SHA256 of it, keyed by the
payment's reference: a dump of the database does not give a header value that
passes, and a secret that leaks opens only its own payment. An incoming header is
digested the same way and the core compares the two digests in constant time.
"""

from __future__ import annotations

import hashlib
import hmac
import secrets

__all__ = ["HEADER", "digest", "new_reference", "new_secret"]

#: The header the gateway sends the payment's secret in.
HEADER = "X-Quorvex-Book-Secret"
_DOMAIN = b"quorvex-bo book webhook secret\x00"


def new_secret() -> str:
    return secrets.token_urlsafe(32)


def digest(reference: str, secret: str) -> str:
    """The value stored for ``secret``, and compared for an incoming header."""
    key = _DOMAIN + reference.encode()
    return hmac.new(key, secret.encode("utf-8", "surrogateescape"), hashlib.sha256).hexdigest()


def new_reference() -> str:
    """A fresh gateway reference: 10 random digits (the Binance rail's longest), no
    leading zero. The database's unique constraint catches the rare repeat."""
    return str(secrets.randbelow(9 * 10**9) + 10**9)
