"""The column-metadata methods against the test double."""

import pytest

import _pyztdb
from ztdouble import Column, Result

Oper = _pyztdb.OperationalError
NO_DESCRIPTION = "^The result set does not exist and the column width cannot be obtained$"
ABNORMAL = "^The serial number abnormality$"


@pytest.fixture
def cur(conn):
    return conn.cursor()


def run_query(zd, cur, *columns):
    zd.queue_execution(Result(columns=list(columns), rows=[]))
    cur.execute("select 1")


def test_colname_and_colseq(zd, cur):
    # The library's own names: not trimmed like description's, up to 255 bytes.
    run_query(zd, cur, Column("T.ID", 5), Column("X%Y.Z", 2), Column("n" * 255, 5))
    assert [cur.getResultcolname(n) for n in (1, 2, 3)] == ["T.ID", "X%Y.Z", "n" * 255]
    assert [d[0] for d in cur.description[:2]] == ["ID", "Y.Z"]
    assert cur.getResultcolseq("X%Y.Z") == 2
    for n in (0, 4, -1):
        with pytest.raises(Oper, match=ABNORMAL):
            cur.getResultcolname(n)
    with pytest.raises(Oper, match="^The specified column was not found$"):
        cur.getResultcolseq("C")


@pytest.mark.parametrize("method, arg", [("getResultcolname", 1), ("getResultcolseq", "A")])
def test_no_result(zd, cur, method, arg):
    with pytest.raises(Oper, match="^Result is NONE$"):
        getattr(cur, method)(arg)


@pytest.mark.parametrize("column, size, scale", [
    (Column("V", 2, -1), 65535, 0),
    (Column("V", 2, 100), 100, 0),
    (Column("N", 9, (10 << 16) | 2), 10, 2),
    (Column("D", 10, 99), 3, 0),
])
def test_size_and_scale(zd, cur, column, size, scale):
    run_query(zd, cur, column)
    assert (cur.getResultcolsize(1), cur.getResultcolscale(1)) == (size, scale)
    for method in (cur.getResultcolsize, cur.getResultcolscale):
        for n in (0, 2):
            with pytest.raises(Oper, match=ABNORMAL):
                method(n)


def test_size_without_description(zd, cur):
    with pytest.raises(Oper, match=NO_DESCRIPTION):
        cur.getResultcolscale(1)
    zd.queue_execution(Result(columns=[], rows=[], sql_type=3))
    cur.execute("create table t (a int)")
    with pytest.raises(Oper, match=ABNORMAL):      # description None: no columns
        cur.getResultcolsize(1)
    run_query(zd, cur, Column("A", 5))
    cur.close()
    with pytest.raises(Oper, match=NO_DESCRIPTION):
        cur.getResultcolsize(1)


@pytest.mark.parametrize("value", [5, "abc", [1, 2], [("x",)]])
def test_size_with_a_replaced_description_does_not_crash(zd, cur, value):
    run_query(zd, cur, Column("A", 5))
    cur.description = value
    try:
        cur.getResultcolsize(1)
    except Exception:
        pass


@pytest.mark.parametrize("method, args, text", [
    ("getResultcolname", ("1",), "getResultcolname  Parameter mismatch"),
    ("getResultcolname", (), "getResultcolname  Parameter mismatch"),
    ("getResultcolseq", (1,), "getResultcolseq Parameter mismatch"),
    ("getResultcolsize", ("x",), "getResultcolsize Parameter mismatch"),
    ("getResultcolscale", (1, 2), "getResultcolscale Parameter mismatch"),
])
def test_parse_mismatch(zd, cur, method, args, text):
    with pytest.raises(_pyztdb.ProgrammingError, match="^%s$" % text):
        getattr(cur, method)(*args)


def test_closed_connection(zd, conn):
    cur = conn.cursor()
    conn.close()
    for method, arg in [("getResultcolname", 1), ("getResultcolseq", "A"),
                        ("getResultcolsize", 1), ("getResultcolscale", 1)]:
        with pytest.raises(Oper, match="^The cursor object does not exist$"):
            getattr(cur, method)(arg)
    # The placeholders make no check.
    assert cur.getResultcolisnull(1) is None
    assert cur.getResultcoldefault("x", 2) is None
    assert cur.getResulttable() is None
