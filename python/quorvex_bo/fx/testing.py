"""pytest fixtures for testing code that takes payments, against the local sandbox.

Enable them in your ``conftest.py`` with ``pytest_plugins = ["quorvex_bo.fx.testing"]``:

``quorvex_sandbox``
    a running :class:`~quorvex_bo.fx.sandbox.Sandbox` (fresh for each test); mark a test
    ``@pytest.mark.quorvex_sandbox(auto="pay", clock_start=0, ...)`` to start it with
    those arguments;
``sandbox_client``
    a :class:`~quorvex_bo.fx.Client` connected to it;
``webhook_inbox``
    a :class:`WebhookInbox`: a receiver on 127.0.0.1 that keeps every notification.

A test then reads like the payment it checks::

    def test_order_is_paid(sandbox_client, quorvex_sandbox, webhook_inbox):
        qr = sandbox_client.pix.generate(..., webhook=webhook_inbox.target("X-Hook", "s3cret"))
        quorvex_sandbox.pay("pix", qr.reference)
        [note] = webhook_inbox.wait(1)
"""

from __future__ import annotations

import collections
import http.server
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from types import TracebackType
from typing import Any

import pytest

from quorvex_bo.fx import Client, WebhookTarget
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN, Sandbox

__all__ = ["WebhookInbox", "Delivered", "quorvex_sandbox", "sandbox_client", "webhook_inbox"]


@dataclass(frozen=True)
class Delivered:
    """One notification as the receiver got it."""

    path: str
    headers: list[tuple[str, str]]
    body: bytes


class WebhookInbox:
    """A webhook receiver on 127.0.0.1 that keeps what it is sent.

    It answers 200 with `answer`, except for the answers planned with :meth:`fail_next`.
    """

    def __init__(self, answer: bytes = b'{"received":true}') -> None:
        self.answer = answer
        self._planned: collections.deque[int] = collections.deque()
        self._received: list[Delivered] = []
        self._arrived = threading.Condition()
        inbox = self

        class Receiver(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                with inbox._arrived:
                    status = inbox._planned.popleft() if inbox._planned else 200
                    inbox._received.append(Delivered(self.path, list(self.headers.items()), body))
                    inbox._arrived.notify_all()
                self.send_response(status)
                self.send_header("Content-Length", str(len(inbox.answer)))
                self.end_headers()
                self.wfile.write(inbox.answer)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self._server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True,
                                        kwargs={"poll_interval": 0.05})

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self._server.server_address[1]}/webhook"

    def target(self, key: str = "X-Quorvex-Signature", value: str = "sandbox-secret"
               ) -> WebhookTarget:
        """The webhook argument of a generation that points here."""
        return WebhookTarget(self.url, key, value)

    def fail_next(self, times: int, status: int = 500) -> None:
        """Answers the next `times` notifications with `status`."""
        with self._arrived:
            self._planned.extend([status] * times)

    @property
    def received(self) -> list[Delivered]:
        with self._arrived:
            return list(self._received)

    def wait(self, count: int, timeout: float = 10.0) -> list[Delivered]:
        """Waits until at least `count` notifications arrived; returns all of them."""
        with self._arrived:
            if not self._arrived.wait_for(lambda: len(self._received) >= count, timeout):
                raise TimeoutError(f"{len(self._received)} of {count} notifications arrived "
                                   f"within {timeout} s")
            return list(self._received)

    def start(self) -> WebhookInbox:
        self._thread.start()
        return self

    def close(self) -> None:
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self) -> WebhookInbox:
        return self.start()

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line("markers", "quorvex_sandbox(**options): the arguments of the "
                                       "test's Sandbox (auto, auto_delay, clock_start, db, ...)")


@pytest.fixture
def quorvex_sandbox(request: pytest.FixtureRequest) -> Iterator[Sandbox]:
    """A sandbox gateway for one test, retrying notifications quickly, started with the
    arguments of the test's ``quorvex_sandbox`` mark."""
    marker = request.node.get_closest_marker("quorvex_sandbox")
    options: dict[str, Any] = {"delivery_backoff": 0.05, **(marker.kwargs if marker else {})}
    with Sandbox(**options) as sandbox:
        yield sandbox


@pytest.fixture
def sandbox_client(quorvex_sandbox: Sandbox) -> Iterator[Client]:
    """A client of the test's sandbox with its default credentials."""
    with Client(DEFAULT_CLIENT_ID, base_url=quorvex_sandbox.base_url,
                token=DEFAULT_TOKEN) as client:
        yield client


@pytest.fixture
def webhook_inbox() -> Iterator[WebhookInbox]:
    with WebhookInbox() as inbox:
        yield inbox
