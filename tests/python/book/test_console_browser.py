"""The console in a real browser (headless Chromium through Selenium), served by wsgiref.

With QBO_DOCS_SCREENSHOTS set to a directory, the order page's screenshot is also saved
there (``QBO_DOCS_SCREENSHOTS=docs`` refreshes the README's picture).
"""

import os
import pathlib

from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select
from selenium.webdriver.support.wait import WebDriverWait

from quorvex_bo.fx import Client
from quorvex_bo.fx.book import PaymentBook
from quorvex_bo.fx.sandbox import DEFAULT_CLIENT_ID, DEFAULT_TOKEN

from sandbox.conftest import browser  # noqa: F401 - the sandbox's headless Chromium

from .test_console import OPERATORS, late_paid


def test_an_operator_resolves_a_late_payment_and_a_reader_cannot(
        gateway, clock, endpoint, tmp_path, browser):  # noqa: F811
    hooks, app = endpoint
    with Client(DEFAULT_CLIENT_ID, base_url=gateway.base_url, token=DEFAULT_TOKEN) as client, \
            PaymentBook(f"sqlite:///{tmp_path / 'book.db'}", client, webhook_url=hooks,
                        clock=clock) as book:
        console = book.console_app(base_path="/console", authorize=lambda request: OPERATORS.get(
            request.cookies.get("operator", "")))
        webhooks = book.wsgi_app()
        app[0] = lambda environ, start: (console if environ["PATH_INFO"].startswith(
            "/console") else webhooks)(environ, start)
        reference = late_paid(book, gateway, clock)
        late_paid(book, gateway, clock, "o-other")
        site = hooks.rsplit("/", 1)[0] + "/console/"
        browser.get(site)
        assert browser.find_element(By.TAG_NAME, "h1").text == "Sign in to use the console"
        browser.add_cookie({"name": "operator", "value": "ana", "path": "/"})
        browser.get(site)
        browser.find_element(By.CSS_SELECTOR, "#late-list").find_element(
            By.LINK_TEXT, "o-late").click()
        timeline = [row.text for row in browser.find_elements(By.CSS_SELECTOR, "tr.transition")]
        assert [line.split(" ", 1)[1] for line in timeline][-2:] == [
            "pending → expired reconcile: verify: EXPIRED",
            "expired → paid webhook: notification: PAGADO"]
        Select(browser.find_element(By.ID, f"resolution-{reference}")).select_by_value(
            "refunded_outside")
        reason = browser.find_element(By.ID, f"reason-{reference}")
        reason.send_keys("refunded by bank transfer")
        browser.set_window_size(1100, 1000)
        browser.save_screenshot(str(tmp_path / "book-console.png"))
        if docs := os.environ.get("QBO_DOCS_SCREENSHOTS"):
            browser.save_screenshot(str(pathlib.Path(docs) / "book-console.png"))
        reason.send_keys(Keys.ENTER)  # from the keyboard
        audit = WebDriverWait(browser, 10).until(lambda page: page.find_elements(
            By.CSS_SELECTOR, "#audit-list tr.audit-entry"))
        assert audit[0].text.split(" ", 1)[1] == ("ana resolve:refunded_outside "
                                                  f"{reference} refunded by bank transfer "
                                                  "resolved as refunded_outside")
        assert browser.find_element(By.CSS_SELECTOR, "[role=alert]").text == \
            "resolve:refunded_outside: resolved as refunded_outside"
        browser.save_screenshot(str(tmp_path / "resolved.png"))
        browser.add_cookie({"name": "operator", "value": "rita", "path": "/"})
        browser.get(site + "order?id=o-other")
        assert "Signed in as rita (read only)" in browser.find_element(By.TAG_NAME, "nav").text
        assert browser.find_elements(By.TAG_NAME, "form") == []
        assert book.audit()[0].operator == "ana" and len(book.audit()) == 1
