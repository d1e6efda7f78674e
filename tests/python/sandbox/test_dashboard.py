"""The dashboard in a real browser: headless Chromium, driven by Selenium.

With QBO_DOCS_SCREENSHOTS set to a directory, the dashboard's screenshot is also
saved there (``QBO_DOCS_SCREENSHOTS=docs`` refreshes the README's picture).
"""

import os
import pathlib
import re
from decimal import Decimal

import pytest
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select
from selenium.webdriver.support.wait import WebDriverWait

from quorvex_bo.fx import ApiError
from quorvex_bo.fx.sandbox import dashboard
from quorvex_bo.fx.sandbox.ledger import (Attempt, Delivery, GatewayCall, Payment, Rail, State,
                                          Webhook)


def until(browser, condition):
    return WebDriverWait(browser, 10, ignored_exceptions=[StaleElementReferenceException]
                         ).until(condition)


def listed(browser):
    return {(row.get_attribute("data-rail"), row.get_attribute("data-reference")):
            row.find_element(By.CSS_SELECTOR, "td.state").text
            for row in browser.find_elements(By.CSS_SELECTOR, "#payment-list tbody tr")}


def test_the_home_page_lists_and_filters_payments_plans_faults_and_moves_the_clock(
        quorvex_sandbox, sandbox_client, generate, browser):
    pix = generate("pix").reference
    browser.get(quorvex_sandbox.base_url + "/")
    Select(browser.find_element(By.ID, "filter-state")).select_by_value("pending")
    browser.find_element(By.ID, "filter").click()
    until(browser, lambda page: page.current_url.endswith("state=pending"))
    crypto = generate("crypto").reference
    quorvex_sandbox.pay("pix", pix)
    until(browser, lambda page: listed(page) == {("crypto", crypto): "pending"})
    binance = generate("binance").reference
    until(browser, lambda page: len(listed(page)) == 2)
    browser.get(quorvex_sandbox.base_url + "/")
    if docs := os.environ.get("QBO_DOCS_SCREENSHOTS"):
        browser.set_window_size(1100, 820)
        browser.save_screenshot(str(pathlib.Path(docs) / "sandbox-dashboard.png"))
    Select(browser.find_element(By.ID, "fault-operation")).select_by_value("binance.verify")
    Select(browser.find_element(By.ID, "fault-kind")).select_by_value("unavailable")
    times = browser.find_element(By.ID, "fault-times")
    times.clear()
    times.send_keys("3")
    browser.find_element(By.ID, "add-fault").click()
    until(browser, lambda page: page.find_element(By.ID, "fault-list").text ==
          "binance.verify: unavailable, unavailable, unavailable")
    with pytest.raises(ApiError, match="503"):
        sandbox_client.binance.verify(binance)
    assert [c.status for c in quorvex_sandbox.calls()][-3:] == [503, 503, 503]
    soon, later = (generate("pix", expires_in=seconds).reference for seconds in (3000, 4200))
    before = browser.find_element(By.ID, "now").get_attribute("datetime")
    browser.find_element(By.CSS_SELECTOR, "button[name=advance][value='3600']").click()
    until(browser, lambda page: listed(page).get(("pix", soon)) == "expired")
    assert listed(browser)[("pix", later)] == "pending"
    assert browser.find_element(By.ID, "now").get_attribute("datetime") > before


def test_the_payment_page_shows_the_timeline_and_pays_or_expires_the_payment(
        quorvex_sandbox, generate, webhook_inbox, browser):
    reference = generate("pix").reference
    browser.get(quorvex_sandbox.base_url + "/")
    browser.find_element(By.LINK_TEXT, reference).click()
    calls = until(browser, lambda page: page.find_elements(By.CSS_SELECTOR, "tr.call td"))
    assert [cell.text for cell in calls[2:5:2]] == ["pix.generate", "200"]
    webhook_inbox.fail_next(1)
    browser.find_element(By.ID, "pay").click()
    until(browser, lambda page: [cell.text for cell in page.find_elements(
        By.CSS_SELECTOR, "tr.webhook td.answer")] == ["500", "200"])
    assert browser.find_element(By.ID, "state").text == "paid"
    crypto = generate("crypto").reference
    browser.get(quorvex_sandbox.payment_url("crypto", crypto))
    browser.find_element(By.ID, "expire").send_keys(Keys.ENTER)  # from the keyboard
    until(browser, lambda page: page.find_element(By.ID, "state").text == "expired")


HOOK = Webhook("https://shop.test/h", "X-Hook", "hook-SECRET")
PAID = Payment(Rail.PIX, "10 01", Decimal("10.5"), "BOB", 0, 900, HOOK, State.PAID,
               "paid by the payer", 60, Delivery.DELIVERED,
               (Attempt(1, 60, None, "connection refused"), Attempt(2, 61, 500, ""),
                Attempt(3, 62, 200, "ok", "resend")))


def part(page, ident):
    return re.search(f'id="{ident}"[^>]*>(.*?)</div>', page).group(1)


def texts(page):
    """The visible text of the page's main part, options other than the "all" one left out."""
    main = re.sub(r'<option value="[^"]+".*?</option>', "", page.split("<main>")[1])
    return [text for text in re.split(r"<[^>]*>", main.split("</main>")[0]) if text.strip()]


def test_the_payment_page_shows_its_summary_and_every_event_in_order():
    calls = [GatewayCall("pix.generate", Rail.PIX, "10 01", 200, 0),
             GatewayCall("pix.verify", Rail.PIX, "10 01", 0, 30)]
    page = dashboard.payment_page(PAID, calls, now=120)
    assert '<body class="wide">' in page and '<a href="/pay/pix/10%2001">' in page
    assert part(page, "summary") == (
        '<dl><dt>Amount</dt><dd id="amount">10.50 BOB</dd><dt>State</dt><dd id="state">paid</dd>'
        '<dt>Detail</dt><dd id="detail">paid by the payer</dd><dt>Created</dt><dd id="created">'
        '1970-01-01T00:00:00Z</dd><dt>Expires</dt><dd id="expires">1970-01-01T00:15:00Z</dd><dt>'
        'Notification</dt><dd id="delivery">delivered</dd><dt>Webhook</dt><dd id="webhook">'
        'https://shop.test/h</dd><dt>Sandbox time</dt><dd id="now">1970-01-01T00:02:00Z</dd></dl>')
    assert [re.findall(r"<t[dh][^>]*>(.*?)</t[dh]>", row) for row in
            re.findall(r"<tr[^>]*>(.*?)</tr>", part(page, "timeline"))] == [
        ["Time", "Kind", "What", "Detail", "Answer"],
        ["1970-01-01T00:00:00Z", "call", "pix.generate", "", "200"],
        ["1970-01-01T00:00:00Z", "state", "pending", "QR generated", ""],
        ["1970-01-01T00:00:30Z", "call", "pix.verify", "", "dropped, no answer"],
        ["1970-01-01T00:01:00Z", "state", "paid", "paid by the payer", ""],
        ["1970-01-01T00:01:00Z", "webhook", "notification, try 1",
         "to https://shop.test/h: connection refused", "no answer"],
        ["1970-01-01T00:01:01Z", "webhook", "notification, try 2", "to https://shop.test/h", "500"],
        ["1970-01-01T00:01:02Z", "webhook", "resend, try 3", "to https://shop.test/h, answered ok",
         "200"]]


def test_the_home_page_shows_the_filtered_payments_and_its_forms():
    crypto = Payment(Rail.CRYPTO, "7", Decimal("1"), "USD", 100, 1000, HOOK)
    page = dashboard.index([crypto, PAID], dashboard.View(state="paid"), 120, {})
    assert '<body class="wide">' in page and "<title>Quorvex sandbox</title>" in page
    assert texts(page) == [
        "Quorvex sandbox", "Clock", "Sandbox time ", "1970-01-01T00:02:00Z",
        "Seconds to advance ", "Advance the clock", "+1 minute", "+1 hour", "+1 day", "Payments",
        "Rail ", "all rails", "State ", "all states", "Filter", "1 of 2 payments, newest first",
        "Rail", "Reference", "Amount", "Currency", "State", "Created", "Expires", "pix", "10 01",
        "10.50", "BOB", "paid", "1970-01-01T00:00:00Z", "1970-01-01T00:15:00Z", "Faults",
        "No faults planned.", "Plan a fault", "Operation ", "choose", "Kind ", "choose", "Times ",
        "Retry-After (s) ", "Delay (s) ", "Add fault", "Clear all faults"]
    assert re.findall(r'<option value="([^"]*)" selected>', page) == [
        "", "paid", "pix.generate", "unavailable"]
    assert re.findall(r'name="(\w+)"', page)[-4:] == ["times", "retry_after", "delay", "clear"]
    filtered = dashboard.index([PAID], dashboard.View(rail="crypto"), 120, {})
    assert part(filtered, "payments") == "<p>No payment matches.</p>"
