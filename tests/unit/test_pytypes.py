"""The opt-in `pytypes` of a connection against the double: the codes values are bound
with, the row builder's Python values (empty apart from NULL), whole column names, and
error attributes. With the attribute off everything stays as the module specifies."""
import datetime
import decimal
import struct

import pytest

import _pyztdb
from ztdouble import Cell, Column, Result


class Money(decimal.Decimal):
    """A Decimal subclass: bound as a Decimal is, by every path."""


@pytest.fixture
def cur(conn):
    conn.pytypes = True
    return conn.cursor()


def bound(zd, cur, value, via="execute"):
    if via == "execute":
        cur.execute("select ?", [value])
    else:
        getattr(cur, via)("f", [value])
    call = zd.calls_of("ZTC_BindParamByPos")[0 if via != "execute" else -1]
    return call["type"], call["data"][:call["length"]] if call["length"] > 0 else b""


@pytest.mark.parametrize("value, code, data", [
    (True, 1, b"\x01"),
    (False, 1, b"\x00"),
    (30000, 70, struct.pack("=q", 30000)),
    (-(2 ** 63), 70, struct.pack("=q", -(2 ** 63))),
    (2 ** 63, 9, b"9223372036854775808"),
    (0.1, 8, struct.pack("=d", 0.1)),
    (datetime.timedelta(days=-1, microseconds=5), 31, struct.pack("=q", -86399999995)),
    (datetime.timedelta(days=999999999), 2, b"999999999 days 0.000000 seconds"),
    (datetime.time(1, 2, 3, tzinfo=datetime.timezone(-datetime.timedelta(hours=5, minutes=30))),
     2, b"01:02:03.000000-05:30:00"),
    (decimal.Decimal("1.50"), 9, b"1.50"),
    (Money("-2.250"), 9, b"-2.250"),
])
@pytest.mark.parametrize("via", ["execute", "callproc", "callfunc"])
def test_values_bound_with_python_types(zd, cur, value, code, data, via):
    assert bound(zd, cur, value, via) == (code, data)


def test_defaults_without_the_attribute(zd, conn):
    assert conn.pytypes is False
    cur = conn.cursor()
    assert bound(zd, cur, True)[0] == 5 and bound(zd, cur, 7)[0] == 6
    with pytest.raises(TypeError):
        conn.pytypes = 1


def row(zd, cur, columns, cells):
    zd.queue_execution(Result([Column(n, code) for n, code in columns], [cells]))
    cur.execute("select 1")
    return cur.fetchone()


@pytest.mark.parametrize("code, cell, expected", [
    (1, True, True), (1, None, None),
    (2, "", ""), (2, None, None), (62, Cell(b"", 0), ""),
    (9, "12345678901234567890.5", decimal.Decimal("12345678901234567890.5")),
    (9, "NaN", "NaN"), (10, "2024-01-05", datetime.date(2024, 1, 5)),
    (12, "07:08:09.5", datetime.time(7, 8, 9, 500000)), (12, None, None),
    (58, None, None), (58, "c1", "c1"),
    (31, -1, datetime.timedelta(microseconds=-1)), (28, 14, datetime.timedelta(days=420)),
])
@pytest.mark.parametrize("via", ["row", "callproc", "callfunc"])
def test_row_values(zd, cur, code, cell, expected, via):
    """The same conversions for result rows, a procedure's output and a function's value
    (the library hands those over as a row of the server's types)."""
    if via == "row":
        (value,) = row(zd, cur, [("c", code)], [cell])
    else:
        zd.queue_execution(Result([Column("c", code)], [[cell]]))
        cur.setinputtype([2, 2])
        value = cur.callproc("p", [""], [2])[0] if via == "callproc" else cur.callfunc("f")[0]
    if expected == "NaN":
        assert value.is_nan()
    else:
        assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize("text", ["0044-03-15 BC", "10000-01-01", "infinity"])
def test_dates_python_cannot_hold(zd, cur, text):
    with pytest.raises(_pyztdb.DataError, match="column 1 \\(the_day\\): date value '%s'" % text):
        row(zd, cur, [("the_day", 10)], [text])


def test_whole_column_names(zd, conn, cur):
    zd.queue_execution(Result([Column("a.b%c", 5)], [[1]]))
    cur.execute("select 1")
    assert cur.description[0][0] == "a.b%c"
    conn.pytypes = False
    zd.queue_execution(Result([Column("a.b%c", 5)], [[1]]))
    cur.execute("select 1")
    assert cur.description[0][0] == "c"


def test_library_errors_carry_the_sqlstate(zd, cur):
    zd.fail("ZTC_ExecwithDataReader", -1, "[23505] duplicate key")
    with pytest.raises(_pyztdb.OperationalError) as info:
        cur.execute("select 1")
    e = info.value
    assert e.args == ("[23505] duplicate key",) and e.sqlstate == "23505"
    assert (e.detail, e.hint, e.context) == (None, None, None)


def test_getnotices_is_empty_without_notices(conn):
    assert conn.getnotices() == []
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="Connection does not exist"):
        conn.getnotices()
