"""``quorvex-bo book reconcile`` as a worker and ``quorvex-bo book show``."""

from __future__ import annotations

import json
import os
import pathlib
import signal
import subprocess
import sys

import quorvex_bo

from .conftest import PIX, rows
from .test_console import late_paid

PYTHON_DIR = str(pathlib.Path(quorvex_bo.__file__).resolve().parents[1])  # the package tested


def cli(gateway, *args: str, db: str = "", base: bool = True, **popen) -> subprocess.Popen:
    """The CLI's book command (``base=False``: ``args`` hold the command and its own
    options, the gateway comes from $QUORVEX_BASE_URL)."""
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR, QUORVEX_CLIENT_ID="sandbox-client",
               QUORVEX_TOKEN="sandbox-token", QUORVEX_BOOK_DB=db,
               QUORVEX_BASE_URL=gateway.base_url)
    return subprocess.Popen([sys.executable, "-m", "quorvex_bo.fx",
                             *(("book",) if base else ()), *args], env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **popen)


def test_worker_logs_each_change_and_stops_on_sigterm(book, gateway, db_url, endpoint):
    payment = book.create("o-cli", **PIX)
    endpoint[1][0] = lambda environ, start: start("503 Unavailable", []) or [b""]
    gateway.pay("pix", payment.reference)
    gateway.wait_for_delivery("pix", payment.reference)  # the webhook was missed
    rows(book, "UPDATE book_payments SET next_check_at = 0")  # due now, not in 10 s
    worker = cli(gateway, "reconcile", "--db", db_url, "--every", "0.05")
    assert worker.stdout.readline().split()[1:] == [
        "o-cli", payment.reference, "pix", "10.50", "BOB", "paid"]
    worker.send_signal(signal.SIGTERM)
    assert worker.wait(10) == 0
    shown = cli(gateway, "show", "o-cli", "--db", db_url).communicate(timeout=30)[0]
    assert shown.splitlines()[0] == f"payment 1: o-cli {payment.reference} pix 10.50 BOB paid"
    assert [line.split()[2:5] for line in shown.splitlines()[1:]] == [
        ["-", "->", "creating"], ["creating", "->", "pending"], ["pending", "->", "paid"]]
    shown = json.loads(cli(gateway, "show", "o-cli", "--json", db=db_url).communicate(timeout=30)[0])
    assert [(p["reference"], p["state"]) for p in shown["payments"]] == [(payment.reference, "paid")]
    pending = cli(gateway, "events", db=db_url).communicate(timeout=30)[0].splitlines()
    assert [line.split()[2:] for line in pending] == [
        ["'o-cli'", payment.reference, "creating", "->", "pending", "attempts=0"],
        ["'o-cli'", payment.reference, "pending", "->", "paid", "attempts=0"]]
    assert cli(gateway, "retry", pending[0].split()[0], db=db_url).wait(30) == 1  # not dead
    missing = cli(gateway, "show", "nobody", db=db_url)  # the URL from the environment
    assert missing.wait(30) == 1 and "no payment" in missing.stderr.read()
    assert cli(gateway).wait(30) == 2  # the action is required


def test_a_late_payment_is_resolved_from_the_shell_once_and_audited(book, gateway, clock, db_url):
    reference = late_paid(book, gateway, clock)
    resolve = ("resolve", reference, "--as", "refunded", "--operator", "ana", "--reason")
    ran = [(p.returncode, out.split(" ", 2)[2:], err) for p, (out, err) in (
        (p, p.communicate(timeout=30)) for p in (
            cli(gateway, *resolve, reason, db=db_url) for reason in ("bank transfer", "again", " ")))]
    assert ran == [
        (0, [f"'ana' resolve:refunded_outside {reference} 'resolved as refunded_outside' "
             "reason: 'bank transfer'\n"], ""),
        (1, [f"'ana' resolve:refunded_outside {reference} 'already resolved as "
             "refunded_outside' reason: 'again'\n"], ""),
        (1, [], "error: validation: reason: a reason is required\n")]
    audit = cli(gateway, "audit", "--json", db=db_url).communicate(timeout=30)[0].splitlines()
    assert [json.loads(line)["outcome"] for line in audit] == [
        "already resolved as refunded_outside", "resolved as refunded_outside"]
    assert [cli(gateway, *args, db=db_url).wait(30) for args in (
        (*resolve[:3], "maybe"), ("audit", "--limit", "-1"), ("recount",))] == [2, 2, 0]
