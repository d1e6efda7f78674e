"""The gateway client: one method per operation, grouped by rail.

:class:`Client` blocks and :class:`AsyncClient` awaits; both run the same operation
logic (:mod:`quorvex_bo.fx._attempt`) and differ only in how they send, sleep and ask
for tokens. The native core checks every input and builds every request; nothing is
sent before it has accepted the input and a token is in hand.
"""

from __future__ import annotations

import asyncio
import functools
import inspect
import ipaddress
import random
import time
import zlib
from decimal import Decimal
from typing import Any, Awaitable, Callable, Generic, Literal, TypeVar, Union
from urllib.parse import SplitResult, urlsplit

import httpx

from quorvex_bo.fx._attempt import (
    Backoff,
    Call,
    Failed,
    Operation,
    Received,
    Request,
    Send,
    Sleep,
    Tokens,
    core_call,
    run,
)
from quorvex_bo.fx.errors import CoreError, DecodeError, ValidationError
from quorvex_bo.fx.models import (
    AccessToken,
    Amount,
    Currency,
    FxQr,
    FxStatusInfo,
    VirtualAsset,
    WebhookTarget,
    from_core,
)
from quorvex_bo.fx.telemetry import Gateway, GatewayCall

__all__ = [
    "AsyncClient",
    "Client",
    "Environment",
    "TokenProvider",
    "AsyncTokenProvider",
    "DEFAULT_TIMEOUT",
    "MAX_RESPONSE_BYTES",
]

#: The gateway environment whose default address is used when ``base_url`` is not given.
Environment = Literal["development", "sandbox", "production"]
#: Returns the current access token (text, or an :class:`AccessToken` with its expiry).
TokenProvider = Callable[[], Union[str, AccessToken]]
#: Like :data:`TokenProvider`, and may also be a coroutine function.
AsyncTokenProvider = Callable[[], Union[str, AccessToken, Awaitable[Union[str, AccessToken]]]]

#: 10 s to connect, 30 s for each read or write.
DEFAULT_TIMEOUT = httpx.Timeout(30.0, connect=10.0)
#: Larger answers are refused: a gateway answer is a few kilobytes (a QR image included).
MAX_RESPONSE_BYTES = 1 << 20
# The encodings asked for: the client inflates answers itself, and refuses any other.
_ACCEPT_ENCODING = "gzip, deflate"
_ENCODINGS = ("gzip", "x-gzip", "deflate")

_Qr = TypeVar("_Qr")
_Info = TypeVar("_Info")
_Runner = Callable[[str, dict[str, Any], type], Any]


@functools.lru_cache(maxsize=1)
def _idempotent() -> dict[str, bool]:
    """Which operations may be repeated safely, as the core declares them."""
    return {
        entry["name"]: entry["idempotent"]
        for entry in core_call("describe", "")
        if entry["kind"] == "operation"
    }


# --- arguments -------------------------------------------------------------------------


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")
    return value


def _amount(name: str, value: object) -> str:
    """Exact text of an amount; a float is its shortest repr (what ``json.dumps`` writes)."""
    if isinstance(value, bool) or not isinstance(value, (Decimal, int, str, float)):
        raise TypeError(f"{name} must be Decimal, int, str or float, not {type(value).__name__}")
    return value if isinstance(value, str) else repr(value) if isinstance(value, float) else str(value)


def _seconds(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be int (seconds), not {type(value).__name__}")
    return value


def _webhook(value: object) -> dict[str, str]:
    if not isinstance(value, WebhookTarget):
        raise TypeError(f"webhook must be WebhookTarget, not {type(value).__name__}")
    return {
        "url": _text("webhook.url", value.url),
        "key": _text("webhook.key", value.key),
        "value": _text("webhook.value", value.value),
    }


def _input(**members: Any) -> dict[str, Any]:
    """The input record, type-checked, without the members left at their default."""
    checks: dict[str, Callable[[str, Any], Any]] = {
        "amount": _amount,
        "expires_in": _seconds,
        "webhook": lambda _, value: _webhook(value),
    }
    return {
        name: checks.get(name, _text)(name, value)
        for name, value in members.items()
        if value is not None
    }


# --- rails -----------------------------------------------------------------------------


class _Rail(Generic[_Qr, _Info]):
    def __init__(self, run: _Runner, rail: str) -> None:
        self._run = run
        self._rail = rail

    def verify(self, reference: str) -> _Info:
        """Asks the gateway for the payment state of ``reference`` (safe to repeat).

        Args:
            reference: the reference given at generation (digits only).

        Returns:
            :class:`FxStatusInfo`; on :class:`AsyncClient`, an awaitable of it.
        """
        result: _Info = self._run(f"{self._rail}.verify", _input(reference=reference), FxStatusInfo)
        return result


class PixRail(_Rail[_Qr, _Info]):
    """Pix QR codes: ``client.pix``."""

    def generate(
        self,
        *,
        reference: str,
        amount: Amount,
        glosa: str,
        payer_cpf: str,
        payer_phone: str,
        webhook: WebhookTarget | None = None,
        currency: Currency = "BOB",
        channel: str = "WEB",
        expires_in: int | None = None,
        payer_email: str | None = None,
        extra: str | None = None,
    ) -> _Qr:
        """Creates a Pix QR code (never retried: a repeat could charge twice).

        Args:
            reference: your reference, digits only.
            amount: greater than zero, at most 2 decimal places.
            glosa: ``"branch_code|branch_name|category|description"``.
            payer_cpf: 11 digits.
            payer_phone: ``+`` followed by 13 digits.
            webhook: where the gateway posts notifications (required).
            currency: ``"BOB"`` or ``"USD"``.
            channel: letters, digits and ``_`` (sent upper case).
            expires_in: validity in seconds, 1 to 86399.
            payer_email: at most 80 bytes, with an ``@``.
            extra: free text passed to the gateway.

        Returns:
            :class:`FxQr`; on :class:`AsyncClient`, an awaitable of it.
        """
        result: _Qr = self._run("pix.generate", _input(
            reference=reference, glosa=glosa, amount=amount, currency=currency,
            channel=channel, expires_in=expires_in, payer_cpf=payer_cpf,
            payer_phone=payer_phone, payer_email=payer_email, extra=extra, webhook=webhook,
        ), FxQr)
        return result

    def cancel(self, reference: str) -> _Info:
        """Cancels the Pix QR code of ``reference`` (never retried).

        Returns:
            :class:`FxStatusInfo`; on :class:`AsyncClient`, an awaitable of it.
        """
        result: _Info = self._run("pix.cancel", _input(reference=reference), FxStatusInfo)
        return result


class CryptoRail(_Rail[_Qr, _Info]):
    """Virtual-asset QR codes: ``client.crypto``."""

    def generate(
        self,
        *,
        reference: str,
        amount: Amount,
        glosa: str,
        asset: VirtualAsset,
        expires_in: int,
        webhook: WebhookTarget | None = None,
        currency: Currency = "BOB",
        channel: str = "WEB",
        extra: str | None = None,
    ) -> _Qr:
        """Creates a virtual-asset QR code (never retried).

        Args:
            reference: your reference, digits only.
            amount: greater than zero, at most 2 decimal places; at least 50 in ``BOB``.
            glosa: ``"branch_code|branch_name|category|description"``.
            asset: ``"usdt"``, ``"usdc"`` or ``"bk"``.
            expires_in: validity in seconds, 180 to 600.
            webhook: where the gateway posts notifications (required).
            currency: ``"BOB"`` or ``"USD"``.
            channel: letters, digits and ``_`` (sent upper case).
            extra: free text passed to the gateway.

        Returns:
            :class:`FxQr`; on :class:`AsyncClient`, an awaitable of it.
        """
        result: _Qr = self._run("crypto.generate", _input(
            reference=reference, glosa=glosa, amount=amount, currency=currency, asset=asset,
            channel=channel, expires_in=expires_in, extra=extra, webhook=webhook,
        ), FxQr)
        return result


class BinanceRail(_Rail[_Qr, _Info]):
    """Binance QR codes: ``client.binance``."""

    def generate(
        self,
        *,
        reference: str,
        amount: Amount,
        glosa: str,
        webhook: WebhookTarget | None = None,
        currency: Currency = "BOB",
        channel: str = "WEB",
        expires_in: int | None = None,
        extra: str | None = None,
    ) -> _Qr:
        """Creates a Binance QR code (never retried).

        Args:
            reference: your reference, digits only, at most 10.
            amount: greater than zero, at most 2 decimal places.
            glosa: ``"branch_code|branch_name|category|description"``.
            webhook: where the gateway posts notifications (required).
            currency: ``"BOB"`` or ``"USD"``.
            channel: letters, digits and ``_`` (sent upper case).
            expires_in: validity in seconds, 1 to 300.
            extra: free text passed to the gateway.

        Returns:
            :class:`FxQr`; on :class:`AsyncClient`, an awaitable of it.
        """
        result: _Qr = self._run("binance.generate", _input(
            reference=reference, glosa=glosa, amount=amount, currency=currency,
            channel=channel, expires_in=expires_in, extra=extra, webhook=webhook,
        ), FxQr)
        return result


# --- clients ---------------------------------------------------------------------------


def _is_loopback(host: str | None) -> bool:
    if host == "localhost":
        return True
    try:
        return host is not None and ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _usable_url(url: str) -> SplitResult:
    """The parts of ``url``, once httpx has shown it can make a request to it (a bad
    IPv6 literal or port, a control character or a host IDNA refuses fail here, not
    at the first call)."""
    try:
        httpx.Request("GET", url)
        return urlsplit(url)
    except (httpx.InvalidURL, ValueError) as error:
        raise ValidationError(f"is not a usable URL: {error}", field="base_url") from None


class _Base(Generic[_Qr, _Info]):
    """Settings and operation logic shared by both clients."""

    pix: PixRail[_Qr, _Info]
    crypto: CryptoRail[_Qr, _Info]
    binance: BinanceRail[_Qr, _Info]

    def __init__(
        self,
        client_id: str,
        *,
        environment: Environment,
        base_url: str | None,
        token: str | AccessToken | None,
        provider: Callable[[], Any] | None,
        timeout: float | httpx.Timeout,
        max_retries: int,
        allow_insecure_http: bool,
    ) -> None:
        if not _text("client_id", client_id).strip():
            raise ValidationError("must not be empty", field="client_id")
        if token is not None and provider is not None:
            raise ValidationError("give token or token_provider, not both", field="token")
        if isinstance(max_retries, bool) or not isinstance(max_retries, int) or max_retries < 0:
            raise ValidationError("must be an int of 0 or more", field="max_retries")
        if base_url is not None:
            parts = _usable_url(_text("base_url", base_url))
            plain_ok = allow_insecure_http or _is_loopback(parts.hostname)
            if not parts.hostname or not (
                parts.scheme == "https" or (parts.scheme == "http" and plain_ok)
            ):
                raise ValidationError(
                    "must be an https URL (plain http only for a loopback host, "
                    "or with allow_insecure_http=True)", field="base_url",
                )
        self._config: dict[str, Any] = {"client_id": client_id, "environment": environment}
        if base_url is not None:
            self._config["base_url"] = base_url
        try:  # the core reads the settings now, so a bad one fails here, not at first use
            Call("pix.verify", {"reference": "0"}, self._config, True, 0, Backoff(),
                 random.random).build(None)
        except ValidationError as error:
            if error.field != "token":
                raise
        except CoreError as error:  # an unreadable setting: an unknown environment
            raise ValidationError(str(error), field="environment") from None
        self._base_url = base_url
        self._timeout = timeout
        self._max_retries = max_retries
        self._provider = provider if provider is not None else (lambda: token)
        self._tokens = Tokens(refreshable=provider is not None, clock=time.time)
        if token is not None:
            self._tokens.accept(token)
        self._random: Callable[[], float] = random.random
        self._backoff = Backoff()
        self._gateway = Gateway()  # the attributes this client's spans and metrics share
        self.pix = PixRail(self._start, "pix")
        self.crypto = CryptoRail(self._start, "crypto")
        self.binance = BinanceRail(self._start, "binance")

    def __repr__(self) -> str:
        where = self._base_url or self._config["environment"]
        return f"{type(self).__name__}(client_id={self._config['client_id']!r}, at={where!r})"

    @property
    def longest_call(self) -> float:
        """The longest one operation can take, in seconds: every attempt to its
        connect, write and read timeouts, and the longest waits between them."""
        limits = self._timeout if isinstance(self._timeout, httpx.Timeout) \
            else httpx.Timeout(self._timeout)
        attempt = sum(part if part is not None else _UNBOUNDED_STEP
                      for part in (limits.connect, limits.write, limits.read))
        return attempt * (self._max_retries + 1) + \
            max(self._backoff.retry_after_cap, self._backoff.cap) * self._max_retries

    def check(self, operation: str, **arguments: Any) -> None:
        """Checks an operation's input exactly as calling it would, without a token and
        without sending anything: ``client.check("pix.generate", reference=…, …)``.

        Raises:
            ValidationError, TypeError: what the call would raise for this input; an
                operation this client does not have is a ``ValidationError`` of field
                ``operation``.
        """
        rail, _, action = operation.partition(".") if isinstance(operation, str) else ("", "", "")
        kind = {"pix": PixRail, "crypto": CryptoRail, "binance": BinanceRail}.get(rail)
        method = getattr(kind, action, None) if kind and not action.startswith("_") else None
        if method is None:
            raise ValidationError(f"unknown operation {operation!r}", field="operation")
        method(kind(self._check_input, rail), **arguments)  # type: ignore[misc]

    def _check_input(self, op: str, input: dict[str, Any], result: type) -> None:
        # The core builds the request as it would to send it; it goes nowhere.
        Call(op, input, self._config, True, 0, self._backoff, self._random).build(_CHECK_TOKEN)

    def _operation(self, op: str, input: dict[str, Any]) -> Operation:
        call = Call(
            op, input, self._config, _idempotent()[op], self._max_retries,
            self._backoff, self._random,
        )
        return run(call, self._tokens)

    def _start(self, op: str, input: dict[str, Any], result: type) -> Any:
        raise NotImplementedError


# What `longest_call` counts for a step httpx lets wait forever.
_UNBOUNDED_STEP = 300.0
# Stands in for the token when an input is only checked: the request is never sent.
_CHECK_TOKEN = AccessToken("input-check")


def _received(response: httpx.Response, data: bytes, started: float) -> Received:
    return Received(
        response.status_code,
        data.decode("utf-8", errors="replace"),
        response.headers.get("Retry-After"),
        time.monotonic() - started,
    )


def _failed(error: httpx.RequestError, started: float) -> Failed:
    # Only these fail before a byte of the request can have left this machine.
    unsent = (httpx.ConnectError, httpx.ConnectTimeout, httpx.PoolTimeout, httpx.ProxyError,
              httpx.UnsupportedProtocol, httpx.LocalProtocolError)
    return Failed(
        error,
        sent=not isinstance(error, unsent),
        timeout=isinstance(error, httpx.TimeoutException),
        elapsed=time.monotonic() - started,
        answered=isinstance(error, httpx.DecodingError),
    )


class _Body:
    """Collects a response body and refuses one larger than :data:`MAX_RESPONSE_BYTES`.

    The body is inflated here, a bounded step at a time, so the limit counts memory
    before it is spent (httpx inflates each chunk whole, and a few hundred bytes of
    nested gzip inflate to gigabytes). An answer the transport has already read (a
    mock's) arrives inflated.
    """

    def __init__(self, response: httpx.Response) -> None:
        self.status = response.status_code
        self.loaded = response.is_stream_consumed
        self.data = bytearray()
        codings = [] if self.loaded else [
            coding.strip().lower()
            for coding in response.headers.get_list("Content-Encoding", split_commas=True)
        ]
        codings = [coding for coding in codings if coding not in ("", "identity")]
        if len(codings) > 1 or (codings and codings[0] not in _ENCODINGS):
            raise DecodeError(
                "the gateway's answer has a content encoding this client does not read",
                status=self.status,
            )
        self._coding = codings[0] if codings else None
        self._head = b""  # the first bytes of a deflate body, until they show its form
        self._inflate: Any = None
        if self._coding in ("gzip", "x-gzip"):
            self._inflate = zlib.decompressobj(zlib.MAX_WBITS | 16)

    def add(self, chunk: bytes) -> None:
        if self._coding is None:
            self._keep(chunk)
            return
        if self._inflate is None:  # deflate, with its zlib header or bare (as some servers send it)
            self._head += chunk
            if len(self._head) < 2:
                return
            chunk, self._head = self._head, b""
            wrapped = chunk[0] & 0x0F == 8 and int.from_bytes(chunk[:2], "big") % 31 == 0
            self._inflate = zlib.decompressobj(zlib.MAX_WBITS if wrapped else -zlib.MAX_WBITS)
        while chunk and not self._inflate.eof:  # each step stops one byte past the limit
            try:
                step = self._inflate.decompress(chunk, MAX_RESPONSE_BYTES + 1 - len(self.data))
            except zlib.error as error:  # read as the transport's own decoding failure
                raise httpx.DecodingError(str(error)) from None
            self._keep(step)
            chunk = self._inflate.unconsumed_tail

    def finish(self) -> bytes:
        if self._inflate is not None:
            try:
                self._keep(self._inflate.flush())
            except zlib.error as error:
                raise httpx.DecodingError(str(error)) from None
        return bytes(self.data)

    def _keep(self, data: bytes) -> None:
        self.data += data
        if len(self.data) > MAX_RESPONSE_BYTES:
            raise DecodeError(
                f"the gateway's answer is larger than {MAX_RESPONSE_BYTES} bytes", status=self.status
            )


def _headers(request: Request) -> dict[str, str]:
    return {**request.headers, "Accept-Encoding": _ACCEPT_ENCODING}


class Client(_Base[FxQr, FxStatusInfo]):
    """A blocking client of the gateway.

    Use it as a context manager, or call :meth:`close`; one client keeps one pool of
    connections and is safe to share between threads.

    Args:
        client_id: your gateway client identifier (not empty).
        environment: ``"development"``, ``"sandbox"`` (default) or ``"production"``.
        base_url: the gateway address, replacing the environment's; must be ``https``
            unless the host is a loopback address or ``allow_insecure_http`` is true.
        token: a fixed access token (text or :class:`AccessToken`).
        token_provider: a callable returning the current token; asked again shortly
            before the token expires and once more when the gateway refuses it.
        timeout: seconds, or an ``httpx.Timeout`` (default 10 s connect, 30 s read).
        max_retries: extra attempts for operations that are safe to repeat (default 2).
        http_client: your own ``httpx.Client`` (proxies, certificates, a mock
            transport); it is not closed by this client, and never follows a redirect
            of the gateway's, whatever its own setting.
        allow_insecure_http: allow a plain ``http`` ``base_url`` on any host.
    """

    _sleep: Callable[[float], None] = staticmethod(time.sleep)

    def __init__(
        self,
        client_id: str,
        *,
        environment: Environment = "sandbox",
        base_url: str | None = None,
        token: str | AccessToken | None = None,
        token_provider: TokenProvider | None = None,
        timeout: float | httpx.Timeout = DEFAULT_TIMEOUT,
        max_retries: int = 2,
        http_client: httpx.Client | None = None,
        allow_insecure_http: bool = False,
    ) -> None:
        super().__init__(
            client_id, environment=environment, base_url=base_url, token=token,
            provider=token_provider, timeout=timeout, max_retries=max_retries,
            allow_insecure_http=allow_insecure_http,
        )
        self._owns_http = http_client is None
        self._http = http_client if http_client is not None else httpx.Client(
            timeout=timeout, verify=True, follow_redirects=False
        )

    def __enter__(self) -> Client:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Closes the connection pool (not an ``http_client`` you passed in)."""
        if self._owns_http:
            self._http.close()

    def _start(self, op: str, input: dict[str, Any], result: type) -> Any:
        operation = self._operation(op, input)
        effect = operation.send(None)  # a wrong argument raises here, before any span
        with GatewayCall(self._gateway, op, input) as call:
            while True:
                call.step(effect)
                if isinstance(effect, Send):
                    answer: Any = self._send(effect.request)
                    call.answered(answer)
                elif isinstance(effect, Sleep):
                    self._sleep(effect.seconds)
                    answer = None
                else:
                    answer = self._provider()
                try:
                    effect = operation.send(answer)
                except StopIteration as stop:
                    return from_core(result, stop.value)

    def _send(self, request: Request) -> Received | Failed:
        started = time.monotonic()
        try:
            # Never redirected, whatever the given http_client does: httpx drops
            # Authorization on another host but would carry the access_token header.
            with self._http.stream(
                request.method, request.url, headers=_headers(request),
                content=request.body, timeout=self._timeout, follow_redirects=False,
            ) as response:
                body = _Body(response)
                for chunk in (response.content,) if body.loaded else response.iter_raw():
                    body.add(chunk)
                return _received(response, body.finish(), started)
        except httpx.RequestError as error:  # the transport's, decompression
            return _failed(error, started)


class AsyncClient(_Base[Awaitable[FxQr], Awaitable[FxStatusInfo]]):
    """The awaiting twin of :class:`Client`: the same arguments, methods and errors.

    ``token_provider`` may also be a coroutine function, and ``http_client`` an
    ``httpx.AsyncClient``. Use it with ``async with``, or call :meth:`aclose`.
    """

    _sleep: Callable[[float], Awaitable[None]] = staticmethod(asyncio.sleep)

    def __init__(
        self,
        client_id: str,
        *,
        environment: Environment = "sandbox",
        base_url: str | None = None,
        token: str | AccessToken | None = None,
        token_provider: AsyncTokenProvider | None = None,
        timeout: float | httpx.Timeout = DEFAULT_TIMEOUT,
        max_retries: int = 2,
        http_client: httpx.AsyncClient | None = None,
        allow_insecure_http: bool = False,
    ) -> None:
        super().__init__(
            client_id, environment=environment, base_url=base_url, token=token,
            provider=token_provider, timeout=timeout, max_retries=max_retries,
            allow_insecure_http=allow_insecure_http,
        )
        self._owns_http = http_client is None
        self._http = http_client if http_client is not None else httpx.AsyncClient(
            timeout=timeout, verify=True, follow_redirects=False
        )

    async def __aenter__(self) -> AsyncClient:
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Closes the connection pool (not an ``http_client`` you passed in)."""
        if self._owns_http:
            await self._http.aclose()

    def _start(self, op: str, input: dict[str, Any], result: type) -> Any:
        # Checked and started now, so a wrong argument raises at the call, not at the await.
        operation = self._operation(op, input)
        effect = operation.send(None)
        return self._finish(operation, effect, GatewayCall(self._gateway, op, input), result)

    async def _finish(self, operation: Operation, effect: Any, call: GatewayCall,
                      result: type) -> Any:
        with call:
            while True:
                call.step(effect)
                if isinstance(effect, Send):
                    answer: Any = await self._send(effect.request)
                    call.answered(answer)
                elif isinstance(effect, Sleep):
                    await self._sleep(effect.seconds)
                    answer = None
                else:
                    answer = self._provider()
                    if inspect.isawaitable(answer):
                        answer = await answer
                try:
                    effect = operation.send(answer)
                except StopIteration as stop:
                    return from_core(result, stop.value)

    async def _send(self, request: Request) -> Received | Failed:
        started = time.monotonic()
        try:
            async with self._http.stream(
                request.method, request.url, headers=_headers(request),
                content=request.body, timeout=self._timeout, follow_redirects=False,
            ) as response:
                body = _Body(response)
                if body.loaded:
                    body.add(response.content)
                else:
                    async for chunk in response.aiter_raw():
                        body.add(chunk)
                return _received(response, body.finish(), started)
        except httpx.RequestError as error:  # the transport's, decompression
            return _failed(error, started)
