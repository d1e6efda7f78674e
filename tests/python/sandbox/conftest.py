"""Fixtures of the sandbox's end-to-end tests: the public ones, and a generation helper."""

import pytest

from quorvex_bo.fx import Client
from quorvex_bo.fx.testing import quorvex_sandbox, sandbox_client, webhook_inbox  # noqa: F401

from .payments import generation


@pytest.fixture
def generate(sandbox_client: Client, webhook_inbox):  # noqa: F811
    """Generates a QR on a rail through the client, notifications to the inbox."""
    def run(rail: str, client: Client = sandbox_client, **changes):
        webhook = changes.pop("webhook", webhook_inbox.target())
        return getattr(client, rail).generate(**generation(rail, webhook, **changes))
    return run
