"""The FX product: Pix, virtual-asset and Binance QR payments.

Everything runs through :func:`call`, which takes an operation name and a JSON
payload and returns a JSON call result: ``{"ok": true, "value": ...}`` or
``{"ok": false, "error": {...}}``. ``call("describe", "")`` lists the operations.
"""

from quorvex_bo.fx._native import PROTOCOL_VERSION, PanicException, __version__, call

__all__ = ["call", "__version__", "PROTOCOL_VERSION", "PanicException"]
