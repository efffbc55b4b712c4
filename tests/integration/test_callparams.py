"""Binding against a real server: a binding the library refuses fails the call with the
library's own reason; a binding that waits for a page read ahead lets other Python
threads run; a float at a NUMERIC position reaches the server as the value execute
sends."""

import decimal
import math
import threading
import time

import pytest

import _pyztdb

IN, OUT = 1, 2


# method, parameters, directions, the library's message
@pytest.mark.parametrize("method, params, directions, message", [
    ("callproc", [1], [7], r"^\[22023\] unsupported parameter direction 7$"),
    ("callproc", [1, "a"], [1, 9], r"^\[22023\] unsupported parameter direction 9$"),
    ("callfunc", [1, 2], [-1, 1], r"^\[22023\] unsupported parameter direction -1$"),
])
def test_refused_binding_reports_the_library_reason(cur, method, params, directions, message):
    with pytest.raises(_pyztdb.OperationalError, match=message):
        getattr(cur, method)("p_never_called", params, directions)
    cur.execute("select 1")
    assert cur.fetchall() == [(1,)]


def run_during_page_wait(cur, path):
    """Runs `path` on cur while the server still makes the page its session asked for
    ahead (each of its ten rows takes 100 ms); another thread wakes after 200 ms and
    runs if it can. Returns when that thread ran and when the call ended."""
    _pyztdb.cursor.execute(cur, "begin")
    _pyztdb.cursor.execute(cur, "declare c_ahead cursor for select i from "
                                "generate_series(1, 20) i where i <= 10 "
                                "or pg_sleep(0.1) is not null")
    rows, sent = _pyztdb.cursor.fetchpage(cur, "c_ahead", 1, 10, True)
    assert len(rows) == 10 and sent
    ran = []
    helper = threading.Thread(target=lambda: (time.sleep(0.2), ran.append(time.monotonic())))
    helper.start()
    try:
        path(cur)
    finally:
        ended = time.monotonic()
        helper.join(10)
    return ran[0], ended


PATHS = {
    "execute": lambda c: _pyztdb.cursor.execute(c, "select ?::int", [5]),
    "callproc": lambda c: _pyztdb.cursor.callproc(c, "pg_temp.p_wait", [5]),
    "callfunc": lambda c: _pyztdb.cursor.callfunc(c, "abs", [-5]),
    "executebatch": lambda c: _pyztdb.cursor.executebatch(
        c, "insert into t_page_wait values (?)", [[1, 2, 3]]),
}


@pytest.mark.parametrize("path", sorted(PATHS))
def test_binding_waits_for_a_page_without_the_interpreter_lock(cur, path):
    cur.execute("create temp table t_page_wait (x int)")
    cur.execute("create or replace procedure pg_temp.p_wait(a int) "
                "language sql as $$ select a $$")
    ran, ended = run_during_page_wait(cur, PATHS[path])
    # Held back, the other thread would run only as the call returns (microseconds
    # before its end); it ran while the server still made the page.
    assert ended - ran > 0.3
    # The page read ahead is still the cursor's next one.
    assert _pyztdb.cursor.fetchpage(cur, "c_ahead", 1, 10, False)[0] == [
        (i,) for i in range(11, 21)]
    cur.execute("rollback")


@pytest.mark.parametrize("value", [0.1, 1e-20, 1e22, 3.14159265, -0.0, 2.5e-7,
                                   123456789.123, 1 / 3, float("nan"), float("inf"),
                                   float("-inf")])
def test_float_at_numeric_reaches_the_server_as_execute_sends_it(cur, value):
    cur.execute("create or replace procedure pg_temp.p_num(in a numeric, out b text) "
                "language plpgsql as $$ begin b := a::text; end $$")
    cur.execute("select ?::numeric::text", [value])
    (by_execute,) = cur.fetchone()
    cur.setinputtype([9, 2])
    back, by_call = cur.callproc("pg_temp.p_num", [value, ""], [IN, OUT])
    cur.cleartype()
    assert decimal.Decimal(by_call) == decimal.Decimal(by_execute) or \
        by_call == by_execute == "NaN"
    if not math.isnan(value):
        assert float(by_call) == value and back == value
