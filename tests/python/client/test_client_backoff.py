"""The waiting rules between attempts, with a fake clock and random source."""

import email.utils

from hypothesis import given
from hypothesis import strategies as st

from quorvex_bo.fx._attempt import Backoff, retry_after_seconds

NOW = 1_800_000_000.0


@given(retry=st.integers(0, 40), draw=st.floats(0, 1, exclude_max=True),
       retry_after=st.one_of(st.none(), st.floats(-5, 1e6)))
def test_full_jitter_below_the_doubling_cap_unless_the_gateway_says_when(retry, draw, retry_after):
    delay = Backoff().delay(retry, retry_after, lambda: draw)
    if retry_after is None:
        assert delay == draw * min(8.0, 0.5 * 2**retry)
    else:
        assert delay == min(max(retry_after, 0.0), 30.0)


def test_retry_after_is_read_as_seconds_or_as_an_http_date():
    date = email.utils.formatdate(NOW + 7, usegmt=True)
    past = email.utils.formatdate(NOW - 7, usegmt=True)
    cases = {"12": 12.0, " 3 ": 3.0, date: 7.0, past: 0.0, None: None, "soon": None, "-1": None,
             "Sun, 06 Dec 2026 13:00:00": None}  # a date without zone is not an HTTP date
    assert {value: retry_after_seconds(value, NOW) for value in cases} == cases
