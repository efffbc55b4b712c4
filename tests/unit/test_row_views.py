"""Rows built from the double's row views (ZTC_GetRowValues) against rows read value by
value (ZTC_GetData): the same Python values, for the module's own forms and for Python
types, and the values a view serves are read without a ZTC_GetData call."""
import pytest

from ztdouble import Cell, Column, Result

# (type code, modifier, cell, served from the view: (the module's forms, Python types))
CASES = [
    (4, 0, -32768, (True, True)),
    (5, 0, 2 ** 31 - 1, (True, True)),
    (6, 0, -2 ** 63, (True, True)),
    (7, 0, 1.5, (True, True)),
    (8, 0, 0.1, (True, True)),
    (1, 0, True, (False, True)),
    (1, 0, False, (False, True)),
    (2, -1, "ünïcode", (True, True)),
    (2, 10, "abc", (True, True)),
    (2, -1, "", (True, True)),
    (2, -1, "a\x00b", (True, True)),
    (62, 3, "xyz", (True, True)),
    (9, 0, "12.50", (False, True)),
    (10, 0, "2024-01-05", (False, True)),
    (2, -1, None, (True, True)),
    (5, 0, None, (True, True)),
    (9, 0, None, (False, True)),
    # Cells a view does not give: a length word of its own, a tinyint, a width other than
    # the code's, a boolean byte, a date-time count, an interval.
    (2, -1, Cell(b"abcdef", 3), (False, False)),
    (3, 0, b"\xff", (False, False)),
    (5, 0, Cell(b"\x01\x00", 2), (False, False)),
    (1, 0, Cell(b"\x01", 1), (False, False)),
    (28, 0, 14, (False, False)),
    (31, 0, 90061000001, (False, False)),
]


def fetch(zd, conn, code, modi, cell, views):
    zd.row_views(views)
    zd.queue_execution(Result([Column("c", code, modi), Column("n", 5, 0)], [[cell, 7]]))
    before = len(zd.calls_of("ZTC_GetData"))
    cur = conn.cursor()
    cur.execute("select c, n from t")
    row = cur.fetchone()
    return row, len(zd.calls_of("ZTC_GetData")) - before


@pytest.mark.parametrize("pytypes", [False, True], ids=["forms", "pytypes"])
@pytest.mark.parametrize("code, modi, cell, served", CASES)
def test_view_builds_what_get_data_builds(zd, conn, pytypes, code, modi, cell, served):
    conn.pytypes = pytypes
    slow, slow_calls = fetch(zd, conn, code, modi, cell, False)
    fast, fast_calls = fetch(zd, conn, code, modi, cell, True)
    assert [type(v) for v in fast] == [type(v) for v in slow]
    assert fast == slow
    assert slow_calls == 2
    # The integer column beside it is always served; the value under test when its view
    # gives it.
    assert fast_calls == (0 if served[pytypes] else 1)


def test_views_follow_the_row_and_the_result(zd, conn):
    zd.queue_execution(Result([Column("a", 6, 0), Column("b", 2, -1)],
                              [[1, "one"], [2, None], [None, "three"]]),
                       Result([Column("x", 8, 0)], [[2.5]]))
    cur = conn.cursor()
    cur.execute("select a, b from t")
    assert cur.fetchall() == [(1, "one"), (2, None), (None, "three")]
    assert cur.nextset()
    assert cur.fetchall() == [(2.5,)]
    assert zd.calls_of("ZTC_GetData") == []
