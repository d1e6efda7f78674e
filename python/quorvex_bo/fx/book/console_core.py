"""What the console reads and the actions a person takes, as the core's effects.

Both books run these generators (the blocking one for its WSGI console and the CLI,
the async one for its ASGI console), and the actions reuse the core's own decisions:
verify, an event put back in line, a stored notification applied. Each action is
recorded in the audit under the nonce of the form (or command) that asked for it: a
second submission of that nonce finds the first's entry and does nothing again. An
action that only writes to the database is taken in the transaction that records it
with its outcome; verify asks the gateway, so its entry is written before it and
completed after. Whatever the book refuses (not late-paid, not dead) is recorded too,
with why.
"""

from __future__ import annotations

import enum
import re
import unicodedata
from typing import Any, TypeVar

from quorvex_bo.fx.book import console_store as statements
from quorvex_bo.fx.book.console_store import Filter, OrderView, Overview
from quorvex_bo.fx.book.core import BookCore, Steps, Tx, check_order_id
from quorvex_bo.fx.book.store import Body
from quorvex_bo.fx.book.errors import ForbiddenError
from quorvex_bo.fx.book.records import AuditEntry, Event, Operator, Payment
from quorvex_bo.fx.book.states import LIVE, Resolution
from quorvex_bo.fx.errors import QuorvexError, ValidationError

__all__ = ["Action", "Console", "MAX_AUDIT", "MAX_REASON", "check_id"]

#: The longest reason, in characters.
MAX_REASON = 500
#: The most audit entries one read returns.
MAX_AUDIT = 1000
_NONCE = re.compile(r"[A-Za-z0-9_-]{16,64}")
_ID = re.compile(r"[0-9]{1,18}")
T = TypeVar("T")


class Action(str, enum.Enum):
    """What a person may do; the value is the audit's word for it."""

    VERIFY = "verify"  # target: an order id
    RETRY = "retry"  # target: a dead event's id
    REAPPLY = "reapply"  # target: an authenticated notification's id
    REFUNDED_OUTSIDE = "resolve:refunded_outside"  # target: a late payment's reference
    KEPT = "resolve:kept"

    def __str__(self) -> str:
        return self.value


def _reason(reason: object, required: bool) -> str:
    if not isinstance(reason, str):
        raise TypeError(f"reason must be str, not {type(reason).__name__}")
    reason = reason.strip()
    if required and not reason:
        raise ValidationError("a reason is required", field="reason")
    if len(reason) > MAX_REASON:
        raise ValidationError(f"must be at most {MAX_REASON} characters", field="reason")
    if any(unicodedata.category(c) in ("Cc", "Zl", "Zp") for c in reason):
        raise ValidationError("must be one line, without control characters", field="reason")
    return reason


def check_id(text: str, field: str) -> int:
    """A row id from outside: 1 to 18 ASCII digits (it fits the databases' integers)."""
    if not _ID.fullmatch(text):
        raise ValidationError("must be the digits of an id", field=field)
    return int(text)


def check_target(action: Action, target: object) -> str:
    """The action's target as stored: an order id, or the digits of an id or reference."""
    if action is Action.VERIFY:
        return check_order_id(target)
    if not isinstance(target, str) or not _ID.fullmatch(target):
        raise ValidationError("must be the digits of an id or a reference", field="target")
    return target


class Console:
    """The console's reads and actions over one book's core."""

    def __init__(self, core: BookCore) -> None:
        self.core = core

    # --- reading --------------------------------------------------------------------

    def overview(self) -> Steps[Overview]:
        return (yield from self.core.read(statements.overview(self.core.s.clock(),
                                                              self.core.s.grace)))

    def payments(self, where: Filter) -> Steps[list[tuple[int, Payment]]]:
        return (yield from self.core.read(statements.payments(where)))

    def order(self, order_id: str) -> Steps[OrderView | None]:
        return (yield from self.core.read(statements.order(check_order_id(order_id))))

    def events(self, *, dead: bool) -> Steps[list[Event]]:
        return (yield from self.core.read(statements.events(dead=dead)))

    def audit(self, *, before: int | None = None, limit: int = statements.PAGE_SIZE
              ) -> Steps[list[AuditEntry]]:
        if isinstance(limit, bool) or not isinstance(limit, int) or not 0 < limit <= MAX_AUDIT:
            raise ValidationError(f"must be 1 to {MAX_AUDIT}", field="limit")
        return (yield from self.core.read(statements.audit(before=before, limit=limit)))

    # --- acting -----------------------------------------------------------------------

    def act(self, operator: Operator, action: Action, target: str, reason: str, nonce: str
            ) -> Steps[AuditEntry]:
        """Takes ``action`` on ``target`` once per ``nonce``, recorded in the audit with
        its outcome; a repeated nonce returns the first entry. An operator who may only
        read gets :class:`ForbiddenError`, and nothing is recorded."""
        if not isinstance(operator, Operator):
            raise TypeError(f"operator must be an Operator, not {type(operator).__name__}")
        if not operator.may_act:
            raise ForbiddenError(f"operator {operator.name!r} may only read")
        action = Action(action)
        target = check_target(action, target)
        reason = _reason(reason, required=action in (Action.REFUNDED_OUTSIDE, Action.KEPT))
        if not isinstance(nonce, str) or not _NONCE.fullmatch(nonce):
            raise ValidationError("must be 16 to 64 letters, digits, - or _", field="nonce")
        order_id = target if action is Action.VERIFY else (yield Tx(statements.order_of(
            {Action.RETRY: "event", Action.REAPPLY: "notification"}.get(action, "reference"),
            target if action in (Action.REFUNDED_OUTSIDE, Action.KEPT) else int(target)),
            write=False))
        now = self.core.s.clock()
        if action is not Action.VERIFY:
            try:
                return (yield Tx(statements.taken(  # type: ignore[no-any-return]
                    nonce, now, operator.name, action.value, target, reason, order_id,
                    self._change(action, target)), write=True))
            except QuorvexError as error:  # rolled back whole: recorded as failed
                return (yield Tx(statements.taken(  # type: ignore[no-any-return]
                    nonce, now, operator.name, action.value, target, reason, order_id,
                    _known(_failed(error))), write=True))
        entry, fresh = yield Tx(statements.begin(nonce, now, operator.name, action.value,
                                                 target, reason, order_id), write=True)
        if not fresh:
            return entry  # type: ignore[no-any-return]
        try:
            done, outcome = yield from self._verify(target)
        except QuorvexError as error:  # the gateway or the database: recorded as failed
            done, outcome = _failed(error)
        return (yield Tx(statements.finish(entry.id, outcome, done),  # type: ignore[no-any-return]
                         write=True))

    def _verify(self, order_id: str) -> Steps[tuple[bool, str]]:
        core = self.core
        before = yield from core.get(order_id)
        if before is None:
            return False, "no payment for this order"
        if before.state not in LIVE:
            return False, f"nothing to verify: the payment is {before.state}"
        payment = yield from core.verify(order_id)
        assert payment is not None
        return True, f"the gateway was asked: the payment is {payment.state}"

    def _change(self, action: Action, target: str) -> Body[tuple[bool, str]]:
        """An action that only writes to the database, as a transaction's body."""
        core = self.core
        if action is Action.RETRY:
            if (yield from core.store.revive(int(target))):
                return True, f"event {target} is back in line"
            return False, f"no dead event {target}"
        if action is Action.REAPPLY:
            found = yield from statements.stored_notification(int(target))
            if found is None:
                return False, f"no notification {target}"
            reference, body, outcome = found
            if outcome not in ("received", "applied", "unchanged"):
                return False, f"refused: notification {target} was not authenticated"
            payment, moved = yield from core.apply_stored(reference, body, int(target),
                                                          again=True)
            return bool(moved), (f"applied: the payment is now {payment.state}" if moved else
                                 f"nothing changed: the payment is {payment.state}")
        resolution = Resolution.KEPT if action is Action.KEPT else Resolution.REFUNDED_OUTSIDE
        return (yield from statements.resolve(target, resolution, core.s.clock(),
                                              core.store.for_update, core.store.on_event))


def _failed(error: QuorvexError) -> tuple[bool, str]:
    return False, f"failed: {error.kind}: {error.message}"


def _known(result: T) -> Body[T]:
    """A transaction body without statements: its result is known already."""
    return result
    yield  # a generator


def resolution_action(resolution: Any) -> Action:
    """The action that resolves a late payment as ``resolution`` (its value or name)."""
    try:
        return {Resolution.KEPT: Action.KEPT,
                Resolution.REFUNDED_OUTSIDE: Action.REFUNDED_OUTSIDE}[Resolution(resolution)]
    except ValueError:
        raise ValidationError("must be refunded_outside or kept", field="resolution") from None
