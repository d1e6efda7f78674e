"""Tokens that tie a form to the session and the person it was shown to.

A token is an HMAC-SHA256 of the session and the subject (an operator's name) under a
server key: nothing is stored, a token from another session or for another operator is
refused, and comparison takes the same time however much of a guess is right.
"""

from __future__ import annotations

import base64
import hashlib
import hmac

_MIN_KEY = 16  # bytes: below this a key can be searched for


class CsrfTokens:
    def __init__(self, key: bytes) -> None:
        if not isinstance(key, bytes) or len(key) < _MIN_KEY:
            raise ValueError(f"the CSRF key must be at least {_MIN_KEY} random bytes "
                             "(for example secrets.token_bytes(32))")
        self._key = key

    def __repr__(self) -> str:
        return "CsrfTokens(key=<hidden>)"

    def issue(self, session: str, subject: str) -> str:
        """The token to put in the forms shown to `subject` in `session`."""
        # Lengths first, so ("ab", "c") and ("a", "bc") sign different messages.
        parts = [text.encode("utf-8", "surrogatepass") for text in (session, subject)]
        message = b"csrf\0" + b"".join(len(part).to_bytes(4, "big") + part for part in parts)
        digest = hmac.new(self._key, message, hashlib.sha256).digest()
        return base64.urlsafe_b64encode(digest).rstrip(b"=").decode()

    def valid(self, token: object, session: str, subject: str) -> bool:
        """True only for the token `issue` gives for this session and subject."""
        if not isinstance(token, str) or not token.isascii():
            return False
        return hmac.compare_digest(token.encode(), self.issue(session, subject).encode())
