"""QR code images: a PNG that any phone camera or scanner reads."""

from __future__ import annotations

import base64
import functools
import io

import segno


def png(text: str) -> bytes:
    """A PNG of a QR code holding `text`, with a quiet zone a scanner needs."""
    buffer = io.BytesIO()
    segno.make(text, error="m", micro=False).save(buffer, kind="png", scale=6, border=4)
    return buffer.getvalue()


@functools.lru_cache(maxsize=256)
def png_base64(text: str) -> str:
    """The PNG as base64 text; a page shown again reuses it."""
    return base64.b64encode(png(text)).decode("ascii")
