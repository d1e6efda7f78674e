"""Fixtures of the sandbox's end-to-end tests: the public ones, a generation helper and
a headless Chromium."""

import shutil

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

from quorvex_bo.fx import Client
from quorvex_bo.fx.testing import (pytest_configure, quorvex_sandbox,  # noqa: F401
                                   sandbox_client, webhook_inbox)

from .payments import generation


@pytest.fixture
def generate(sandbox_client: Client, webhook_inbox):  # noqa: F811
    """Generates a QR on a rail through the client, notifications to the inbox."""
    def run(rail: str, client: Client = sandbox_client, **changes):
        webhook = changes.pop("webhook", webhook_inbox.target())
        return getattr(client, rail).generate(**generation(rail, webhook, **changes))
    return run


FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--window-size=1200,1000"]


@pytest.fixture
def browser(tmp_path):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "chromium"
    for flag in [*FLAGS, f"--user-data-dir={tmp_path / 'profile'}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "chromedriver"),
                              options=options)
    yield driver
    driver.quit()
