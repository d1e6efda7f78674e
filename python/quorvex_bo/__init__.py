"""Client library for the gateway's cross-border QR payment service.

The FX product lives in :mod:`quorvex_bo.fx`.
"""

__all__: list[str] = []
