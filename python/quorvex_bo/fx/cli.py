"""``python -m quorvex_bo.fx`` (also installed as ``quorvex-bo``): the client from a shell.

    quorvex-bo version
    quorvex-bo describe
    quorvex-bo call pix.verify.build '{"config": …, "input": …}'   # raw core call
    quorvex-bo pix generate --reference 1001 --amount 100.50 --glosa '…' …
    quorvex-bo pix verify 1001 --json

The client id and token come from ``--client-id``/``--token`` or, better (a command
line is visible to other users), from ``QUORVEX_CLIENT_ID``/``QUORVEX_TOKEN``.
Failures print their kind and message on stderr and exit with status 1 (2 for a
wrong command line).
"""

from __future__ import annotations

import argparse
import dataclasses
import enum
import inspect
import json
import logging
import os
import sys
from decimal import Decimal
from typing import Any, Callable, Sequence

from quorvex_bo.fx import _native
from quorvex_bo.fx.book import command as book_commands
from quorvex_bo.fx.client import BinanceRail, Client, CryptoRail, PixRail
from quorvex_bo.fx.errors import QuorvexError
from quorvex_bo.fx.models import WebhookTarget

__all__ = ["main"]

class UsageError(Exception):
    """A missing setting of the command line itself."""


_RAILS: dict[str, type[Any]] = {"pix": PixRail, "crypto": CryptoRail, "binance": BinanceRail}
_ENV = {
    "client_id": "QUORVEX_CLIENT_ID",
    "token": "QUORVEX_TOKEN",
    "environment": "QUORVEX_ENVIRONMENT",
    "base_url": "QUORVEX_BASE_URL",
    "webhook_value": "QUORVEX_WEBHOOK_VALUE",
}


def _plain(value: Any) -> Any:
    """JSON-ready form of a result (amounts as exact text, statuses as their word)."""
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: _plain(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if isinstance(value, enum.Enum):
        return value.value
    if isinstance(value, Decimal):
        return str(value)
    if isinstance(value, dict):
        return {key: _plain(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_plain(item) for item in value]
    return value


def _show(result: Any, as_json: bool) -> None:
    fields = _plain(result)
    if as_json:
        print(json.dumps(fields, ensure_ascii=False))
        return
    image = fields.pop("image_base64", None)
    for name, value in fields.items():
        if value is not None:
            text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
            print(f"{name}: {text}")
    if image is not None:
        print(f"image: {len(image)} base64 characters")


def _option(name: str) -> str:
    return "--" + name.replace("_", "-")


def _add_operations(commands: Any) -> None:
    """One sub-command per operation, its options read from the method's signature."""
    for rail, cls in _RAILS.items():
        rail_parser = commands.add_parser(rail, help=f"{rail} QR operations")
        actions = rail_parser.add_subparsers(dest="action", required=True)
        for action in ("generate", "verify", "cancel"):
            method = getattr(cls, action, None)
            if method is None:
                continue
            doc = (inspect.getdoc(method) or "").splitlines()[0]
            parser = actions.add_parser(action, help=doc, description=doc)
            for param in inspect.signature(method).parameters.values():
                if param.name == "self":
                    continue
                if param.kind is param.POSITIONAL_OR_KEYWORD:
                    parser.add_argument(param.name)
                elif param.name == "webhook":
                    parser.add_argument("--webhook-url")
                    parser.add_argument("--webhook-key", default="X-Quorvex-Webhook")
                    parser.add_argument(
                        "--webhook-value", default=os.environ.get(_ENV["webhook_value"]),
                        help=f"the secret header value (default: ${_ENV['webhook_value']})",
                    )
                else:
                    required = param.default is param.empty
                    parser.add_argument(
                        _option(param.name), dest=param.name, required=required,
                        type=int if param.name == "expires_in" else str,
                        default=None if required else param.default,
                    )
            if action == "generate":
                parser.add_argument("--save-image", metavar="PATH", help="write the QR image")
            parser.set_defaults(rail=rail)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quorvex-bo", description="Cross-border QR payments from the command line."
    )
    for name in ("client_id", "token", "environment", "base_url"):
        parser.add_argument(
            _option(name), dest=name, default=os.environ.get(_ENV[name]),
            help=f"(default: ${_ENV[name]})",
        )
    parser.add_argument("--allow-insecure-http", action="store_true",
                        help="accept a plain http base URL on a non-loopback host")
    parser.add_argument("--max-retries", type=int, default=2)
    parser.add_argument("--json", action="store_true", help="print results as one JSON object")
    parser.add_argument("-v", "--verbose", action="store_true", help="log every attempt")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("version", help="versions of the library, core and protocol")
    commands.add_parser("describe", help="the operations of the core")
    raw = commands.add_parser("call", help="one raw call of the core (JSON in, JSON out)")
    raw.add_argument("op")
    raw.add_argument("payload", nargs="?", default="", help="JSON text, or - for stdin")
    _add_operations(commands)
    book_commands.add_commands(commands)
    return parser


def _raw(op: str, payload: str) -> int:
    text = sys.stdin.read() if payload == "-" else payload
    result = json.loads(_native.call(op, text))
    print(json.dumps(result, indent=2, ensure_ascii=False))
    if not result["ok"]:
        error = result["error"]
        print(f"error: {error.get('kind')}: {error.get('message')}", file=sys.stderr)
        return 1
    return 0


def _operate(args: argparse.Namespace) -> int:
    options = {k: v for k, v in vars(args).items() if k not in _GLOBAL_KEYS}
    save = options.pop("save_image", None)
    url = options.pop("webhook_url", None)
    key = options.pop("webhook_key", None)
    secret = options.pop("webhook_value", None)
    if url is not None:
        options["webhook"] = WebhookTarget(url, key or "", secret or "")
    with _client(args) as client:
        method: Callable[..., Any] = getattr(getattr(client, args.rail), args.action)
        result = method(**options)
    _show(result, args.json)
    if save:
        result.save(save)
    return 0


def _client(args: argparse.Namespace) -> Client:
    if not args.client_id:
        raise UsageError(f"--client-id or ${_ENV['client_id']} is required")
    return Client(
        args.client_id, environment=args.environment or "sandbox", base_url=args.base_url,
        token=args.token or None, max_retries=args.max_retries,
        allow_insecure_http=args.allow_insecure_http,
    )


_GLOBAL_KEYS = {
    "client_id", "token", "environment", "base_url", "allow_insecure_http", "max_retries",
    "json", "verbose", "command", "rail", "action",
}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    args = _parser().parse_args(argv)
    if args.verbose:
        logging.basicConfig(level=logging.DEBUG, format="%(name)s: %(message)s")
    try:
        if args.command == "version":
            core = json.loads(_native.call("version", ""))["value"]
            _show({"library": _native.__version__, **core}, args.json)
            return 0
        if args.command == "describe":
            return _raw("describe", "")
        if args.command == "call":
            return _raw(args.op, args.payload)
        if args.command == "book":
            return book_commands.run(args, lambda: _client(args), args.json)
        return _operate(args)
    except QuorvexError as error:
        print(f"error: {error.kind}: {error}", file=sys.stderr)
        return 1
    except (UsageError, TypeError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2 if isinstance(error, UsageError) else 1
