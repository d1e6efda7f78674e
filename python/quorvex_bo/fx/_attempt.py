"""How one operation runs, without doing any I/O itself.

An operation is a generator that yields *effects* (send this request, sleep this long,
fetch a token) and receives their results; :class:`~quorvex_bo.fx.client.Client`
performs them with blocking calls and :class:`~quorvex_bo.fx.client.AsyncClient` with
awaits. Everything else (asking the native core to build and parse, choosing whether
and when to try again, refreshing tokens) lives here once, and tests drive it with a
fake clock and a fake random source.
"""

from __future__ import annotations

import email.utils
import json
import logging
from dataclasses import dataclass, field
from decimal import Decimal
from typing import Any, Callable, Generator, Mapping, Union
from urllib.parse import urlsplit

from quorvex_bo.fx import _native
from quorvex_bo.fx.errors import (
    AmbiguousError,
    ApiFieldError,
    AuthenticationError,
    NetworkError,
    QuorvexError,
    RequestTimeoutError,
    ValidationError,
    from_core,
)
from quorvex_bo.fx.models import AccessToken

log = logging.getLogger("quorvex_bo")
log.addHandler(logging.NullHandler())  # the application decides where log lines go

#: A token is asked for again this many seconds before it expires.
REFRESH_MARGIN = 30.0


@dataclass(frozen=True)
class Backoff:
    """Exponential backoff with full jitter, and how far ``Retry-After`` is honoured.

    The n-th retry (n = 0, 1, …) waits a random time in ``[0, min(cap, base * 2**n))``,
    or the gateway's ``Retry-After`` (at most ``retry_after_cap`` seconds) when it sent one.
    """

    base: float = 0.5
    cap: float = 8.0
    retry_after_cap: float = 30.0

    def delay(self, retry: int, retry_after: float | None, random: Callable[[], float]) -> float:
        """Seconds to wait before retry number ``retry`` (0-based)."""
        if retry_after is not None:
            return min(max(retry_after, 0.0), self.retry_after_cap)
        return random() * min(self.cap, self.base * 2.0**retry)


def retry_after_seconds(value: str | None, now: float) -> float | None:
    """Reads a ``Retry-After`` header: delay seconds or an HTTP date (``now`` is Unix time)."""
    if value is None:
        return None
    text = value.strip()
    if text.isascii() and text.isdigit():  # `isdigit` alone takes "²", which `float` refuses
        return float(text)
    try:
        when = email.utils.parsedate_to_datetime(text)
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if when.tzinfo is None:  # an HTTP date is always GMT
        return None
    return max(when.timestamp() - now, 0.0)


@dataclass(frozen=True)
class Request:
    """One HTTP request as the native core described it."""

    method: str
    url: str
    headers: Mapping[str, str] = field(repr=False)
    body: str | None = field(repr=False)

    @property
    def path(self) -> str:
        """The URL path (what the log shows; it holds no secret)."""
        return urlsplit(self.url).path


@dataclass(frozen=True)
class Received:
    """The gateway's answer to one attempt."""

    status: int
    body: str = field(repr=False)
    retry_after: str | None
    elapsed: float


@dataclass(frozen=True)
class Failed:
    """An attempt that got no answer.

    ``sent`` is false only when the connection was never established (nothing can
    have reached the gateway); ``timeout`` tells a timeout from a broken connection;
    ``answered`` tells an answer that could not be read (a body that fails to
    decompress) from no answer at all.
    """

    error: Exception
    sent: bool
    timeout: bool
    elapsed: float
    answered: bool = False


@dataclass(frozen=True)
class Send:
    """Effect: send ``request`` and resume with :class:`Received` or :class:`Failed`."""

    request: Request


@dataclass(frozen=True)
class Sleep:
    """Effect: wait ``seconds``, resume with ``None``; ``kind`` is the error kind of
    the attempt that is tried again."""

    seconds: float
    kind: str = ""


@dataclass(frozen=True)
class FetchToken:
    """Effect: ask the token provider, resume with an :class:`AccessToken` or a ``str``."""


Effect = Union[Send, Sleep, FetchToken]
Operation = Generator[Effect, Any, Any]


def core_call(op: str, payload: str) -> Any:
    """Runs one native call; returns its value or raises the error it reported."""
    result = json.loads(_native.call(op, payload), parse_float=Decimal)
    if not result["ok"]:
        raise from_core(result["error"])
    return result["value"]


@dataclass
class Tokens:
    """The current access token and where a new one comes from.

    ``refreshable`` is false for a fixed token: asking again would give the same one.
    """

    refreshable: bool
    clock: Callable[[], float]
    current: AccessToken | None = None

    def usable(self) -> AccessToken | None:
        """The held token if it is not about to expire."""
        token = self.current
        if token is None or self._expiring(token, REFRESH_MARGIN if self.refreshable else 0.0):
            return None
        return token

    def accept(self, answer: object) -> AccessToken:
        """Checks and keeps what the provider returned."""
        token = AccessToken(answer) if isinstance(answer, str) else answer
        if not isinstance(token, AccessToken):
            raise TypeError(
                f"token_provider must return str or AccessToken, not {type(answer).__name__}"
            )
        if not token.access_token.strip():
            raise ValidationError("the access token is empty", field="token")
        if self._expiring(token, 0.0):
            raise ValidationError("the access token has expired", field="token")
        self.current = token
        return token

    def _expiring(self, token: AccessToken, margin: float) -> bool:
        return token.expires_at is not None and token.expires_at - margin <= self.clock()


def _token_json(token: AccessToken | None) -> Any:
    if token is None:
        return None
    return {
        "access_token": token.access_token,
        "token_type": "Bearer",
        # Informative only; whole seconds, since a caller's `time.time() + 3600` is a float.
        "expires_at": int(token.expires_at or 0),
    }


@dataclass(frozen=True)
class Call:
    """One operation to run: its name, its input and what the client knows."""

    op: str
    input: Mapping[str, Any] = field(repr=False)  # the webhook value, the payer's data
    config: Mapping[str, Any]
    idempotent: bool
    max_retries: int
    backoff: Backoff
    random: Callable[[], float]

    def build(self, token: AccessToken | None) -> Request:
        """Asks the core for the request; an input it cannot read is blamed on its argument."""
        head = json.dumps({"config": self.config, "token": _token_json(token)})[:-1]
        members, spans = [], []
        offset = len(head) + len(',"input":{')
        for name, value in self.input.items():
            member = f"{json.dumps(name)}:{json.dumps(value)}"
            spans.append((offset, offset + len(member), name))
            members.append(member)
            offset += len(member) + 1
        payload = head + ',"input":{' + ",".join(members) + "}}"
        try:
            value = core_call(f"{self.op}.build", payload)
        except QuorvexError as error:
            if error.kind != "ffi":
                raise _hide(error, self.secrets(token))
            raise _hide(_blame(error, spans), self.secrets(token)) from None
        return Request(value["method"], value["url"], value["headers"], value["body"])

    def parse(self, answer: Received) -> Any:
        """Asks the core what the answer means: the result, or the error it raises."""
        payload = {"input": self.input, "response": {"status": answer.status, "body": answer.body}}
        return core_call(f"{self.op}.parse", json.dumps(payload))

    def secrets(self, token: AccessToken | None) -> tuple[str, ...]:
        """What must never be shown: the token and the webhook value this call sends."""
        hook = self.input.get("webhook")
        value = hook.get("value") if isinstance(hook, Mapping) else None
        found = (token.access_token if token else None, value)
        return tuple(secret for secret in found if isinstance(secret, str) and secret)


def _blame(error: QuorvexError, spans: list[tuple[int, int, str]]) -> QuorvexError:
    """Turns the core's "cannot read the input" into a validation error naming the argument.

    The core reports where reading stopped ("… at line 1 column C"); the payload is one
    line of ASCII written here, so the column falls inside (or just after) one member.
    """
    _, _, column = error.message.rpartition(" column ")
    if not (column.isascii() and column.isdigit()):
        return error
    stop = int(column) - 1
    for start, end, name in spans:
        if start <= stop <= end:
            return ValidationError(error.message, field=name)
    return error


def run(call: Call, tokens: Tokens) -> Operation:
    """Runs ``call``: check, obtain a token, send, parse, retry when that is safe."""
    try:
        call.build(None)
    except ValidationError as error:
        if error.field != "token":  # every input rule passed when only the token is missing
            raise
    token = tokens.usable()
    if token is None:
        answer = yield FetchToken()
        if answer is None:  # neither a token nor a provider: the core's "token required"
            call.build(None)
        token = tokens.accept(answer)
    request = call.build(token)
    retries = 0
    refreshed = False
    attempt = 0
    while True:
        attempt += 1
        outcome = yield Send(request)
        if isinstance(outcome, Failed):
            log.debug(
                "%s %s %s failed: %s (attempt %d, %.3f s)", call.op, request.method,
                request.path, type(outcome.error).__name__, attempt, outcome.elapsed,
            )
            failure = _transport_error(call, outcome)
            if not call.idempotent or retries >= call.max_retries:
                raise failure from outcome.error
            delay, kind = call.backoff.delay(retries, None, call.random), failure.kind
        else:
            log.debug(
                "%s %s %s -> %d (attempt %d, %.3f s)", call.op, request.method,
                request.path, outcome.status, attempt, outcome.elapsed,
            )
            try:
                return _parse(call, outcome, token)
            except AuthenticationError:
                # A refused request was not processed: one new token, one more try.
                if refreshed or not tokens.refreshable:
                    raise
                refreshed = True
                log.warning("%s: credentials refused, asking for a new token", call.op)
                token = tokens.accept((yield FetchToken()))
                request = call.build(token)
                continue
            except QuorvexError as error:
                if not (error.retryable and call.idempotent and retries < call.max_retries):
                    raise
                wait = retry_after_seconds(outcome.retry_after, tokens.clock())
                delay, kind = call.backoff.delay(retries, wait, call.random), error.kind
        retries += 1
        log.warning("%s: retry %d of %d in %.2f s", call.op, retries, call.max_retries, delay)
        yield Sleep(delay, kind)


def _parse(call: Call, answer: Received, token: AccessToken) -> Any:
    """The core's verdict on an answer; a gateway that echoes the request leaks no secret."""
    try:
        return call.parse(answer)
    except QuorvexError as error:
        raise _hide(error, call.secrets(token))


#: Shortest start of a secret hidden where a text ends (the core cuts long answers short).
_CUT_SECRET = 4


def _hide(error: QuorvexError, secrets: tuple[str, ...]) -> QuorvexError:
    """``error`` with every secret replaced in all it shows: message, field and items.

    A secret is sought as sent and as a JSON text quotes it, since gateways echo bodies.
    """
    forms = sorted({form for secret in secrets for form in (
        secret, json.dumps(secret)[1:-1], json.dumps(secret, ensure_ascii=False)[1:-1])},
        key=len, reverse=True)

    def clean(text: str) -> str:
        for form in forms:
            text = text.replace(form, "[hidden]")
        for form in forms:
            for n in range(len(form) - 1, _CUT_SECRET - 1, -1):
                if text.endswith(form[:n]):
                    return text[:-n] + "[hidden]"
        return text

    def maybe(text: str | None) -> str | None:
        return None if text is None else clean(text)

    if forms:
        error.message = clean(error.message)
        error.field = maybe(error.field)
        error.errors = tuple(
            ApiFieldError(maybe(item.field), clean(item.message), maybe(item.code))
            for item in error.errors
        )
        error.args = (error.message,)
    return error


def _transport_error(call: Call, failed: Failed) -> QuorvexError:
    if failed.sent and not call.idempotent:
        return AmbiguousError(
            f"{call.op}: the request may have reached the gateway but no readable answer came back; "
            "the outcome is unknown - call verify with the same reference to learn it"
        )
    what = (
        "did not answer in time" if failed.timeout
        else "sent an answer that could not be read" if failed.answered
        else "dropped the connection" if failed.sent
        else "could not be reached"
    )
    cls = RequestTimeoutError if failed.timeout else NetworkError
    return cls(f"{call.op}: the gateway {what} ({type(failed.error).__name__})")
