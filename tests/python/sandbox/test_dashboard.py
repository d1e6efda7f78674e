"""The dashboard in a real browser: headless Chromium, driven by Selenium.

With QBO_DOCS_SCREENSHOTS set to a directory, the dashboard's screenshot is also
saved there (``QBO_DOCS_SCREENSHOTS=docs`` refreshes the README's picture).
"""

import os
import pathlib

import pytest
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.select import Select
from selenium.webdriver.support.wait import WebDriverWait

from quorvex_bo.fx import ApiError, PaymentStatus


def until(browser, condition):
    return WebDriverWait(browser, 10, ignored_exceptions=[StaleElementReferenceException]
                         ).until(condition)


def listed(browser):
    return {(row.get_attribute("data-rail"), row.get_attribute("data-reference")):
            row.find_element(By.CSS_SELECTOR, "td.state").text
            for row in browser.find_elements(By.CSS_SELECTOR, "#payment-list tbody tr")}


def test_a_new_payment_appears_and_the_filters_stay(quorvex_sandbox, generate, browser,
                                                     tmp_path):
    pix = generate("pix").reference
    browser.get(quorvex_sandbox.base_url + "/")
    Select(browser.find_element(By.ID, "filter-state")).select_by_value("pending")
    browser.find_element(By.ID, "filter").click()
    until(browser, lambda page: page.current_url.endswith("state=pending"))
    crypto = generate("crypto").reference
    quorvex_sandbox.pay("pix", pix)
    until(browser, lambda page: listed(page) == {("crypto", crypto): "pending"})
    generate("binance")
    until(browser, lambda page: len(listed(page)) == 2)
    browser.get(quorvex_sandbox.base_url + "/")
    browser.save_screenshot(str(tmp_path / "dashboard.png"))
    if os.environ.get("QBO_DOCS_SCREENSHOTS"):
        browser.set_window_size(1100, 820)
        browser.save_screenshot(str(pathlib.Path(os.environ["QBO_DOCS_SCREENSHOTS"]) /
                                    "sandbox-dashboard.png"))


def test_the_timeline_shows_the_call_and_after_pay_the_webhook_attempt(
        quorvex_sandbox, generate, webhook_inbox, browser, tmp_path):
    reference = generate("pix").reference
    browser.get(quorvex_sandbox.base_url + "/")
    browser.find_element(By.LINK_TEXT, reference).click()
    calls = until(browser, lambda page: page.find_elements(By.CSS_SELECTOR, "tr.call td"))
    assert [cell.text for cell in calls[2:5:2]] == ["pix.generate", "200"]
    webhook_inbox.fail_next(1)
    browser.find_element(By.ID, "pay").click()
    until(browser, lambda page: [row.find_element(By.CLASS_NAME, "answer").text for row in
                                 page.find_elements(By.CSS_SELECTOR, "tr.webhook")] ==
          ["500", "200"])
    assert browser.find_element(By.ID, "state").text == "paid"
    browser.save_screenshot(str(tmp_path / "payment-page.png"))


def test_expire_now_expires_the_payment(quorvex_sandbox, sandbox_client, generate, browser):
    reference = generate("crypto").reference
    browser.get(quorvex_sandbox.payment_url("crypto", reference))
    browser.find_element(By.ID, "expire").send_keys(Keys.ENTER)  # from the keyboard
    until(browser, lambda page: page.find_element(By.ID, "state").text == "expired")
    assert sandbox_client.crypto.verify(reference).status is PaymentStatus.EXPIRED


def test_advancing_the_clock_expires_a_payment(quorvex_sandbox, sandbox_client, generate,
                                               browser):
    soon, later = (generate("pix", expires_in=seconds).reference for seconds in (900, 7200))
    browser.get(quorvex_sandbox.base_url + "/")
    before = browser.find_element(By.ID, "now").get_attribute("datetime")
    browser.find_element(By.CSS_SELECTOR, "button[name=advance][value='3600']").click()
    until(browser, lambda page: listed(page).get(("pix", soon)) == "expired")
    assert listed(browser)[("pix", later)] == "pending"
    assert browser.find_element(By.ID, "now").get_attribute("datetime") > before
    assert sandbox_client.pix.verify(soon).status is PaymentStatus.EXPIRED


def test_the_faults_panel_plans_a_fault_the_next_call_meets(quorvex_sandbox, sandbox_client,
                                                            generate, browser):
    reference = generate("binance").reference
    browser.get(quorvex_sandbox.base_url + "/")
    Select(browser.find_element(By.ID, "fault-operation")).select_by_value("binance.verify")
    Select(browser.find_element(By.ID, "fault-kind")).select_by_value("unavailable")
    times = browser.find_element(By.ID, "fault-times")
    times.clear()
    times.send_keys("3")
    browser.find_element(By.ID, "add-fault").click()
    until(browser, lambda page: page.find_element(By.ID, "fault-list").text ==
          "binance.verify: unavailable, unavailable, unavailable")
    with pytest.raises(ApiError, match="503"):
        sandbox_client.binance.verify(reference)
    assert [c.status for c in quorvex_sandbox.calls()][-3:] == [503, 503, 503]
