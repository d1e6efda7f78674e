"""The payer page in a real browser: headless Chromium, driven by Selenium."""

from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.wait import WebDriverWait


def test_paying_on_the_page_notifies_the_merchant_and_updates_the_page(
        quorvex_sandbox, generate, webhook_inbox, browser, tmp_path):
    reference = generate("pix").reference
    browser.get(quorvex_sandbox.payer_url("pix", reference))
    shown = browser.execute_script("const i = document.getElementById('qr');"
                                   "return i.complete && i.naturalWidth > 0;")
    text = {name: browser.find_element(By.ID, name).text for name in ("amount", "status")}
    assert (shown, text) == (True, {"amount": "100.50 BOB", "status": "pending"})

    browser.find_element(By.ID, "pay").click()
    webhook_inbox.wait(1)
    WebDriverWait(browser, 10, ignored_exceptions=[StaleElementReferenceException]).until(
        lambda page: page.find_element(By.ID, "delivery").text == "delivered")
    rows = browser.find_elements(By.CSS_SELECTOR, "#attempts tbody tr td:nth-child(3)")
    assert (browser.find_element(By.ID, "status").text, [row.text for row in rows]) == (
        "paid", ["200"])
    assert browser.find_elements(By.ID, "pay") == []
    browser.save_screenshot(str(tmp_path / "payer-page.png"))
