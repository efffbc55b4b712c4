"""The column-metadata methods against the test double."""

import pytest

import _pyztdb
from ztdouble import Column, Result

NO_DESCRIPTION = "The result set does not exist and the column width cannot be obtained"


@pytest.fixture
def cur(conn):
    return conn.cursor()


def run_query(zd, cur, *columns):
    zd.queue_execution(Result(columns=list(columns), rows=[]))
    cur.execute("select 1")


def test_colname_is_not_trimmed(zd, cur):
    run_query(zd, cur, Column("T.ID", 5), Column("X%Y.Z", 2))
    assert cur.getResultcolname(1) == "T.ID"
    assert cur.getResultcolname(2) == "X%Y.Z"
    assert [d[0] for d in cur.description] == ["ID", "Y.Z"]


def test_colname_of_255_bytes(zd, cur):
    """The library may write 255 bytes and a zero: the whole name comes back."""
    name = "n" * 255
    run_query(zd, cur, Column(name, 5))
    assert cur.getResultcolname(1) == name


@pytest.mark.parametrize("n", [0, 3, -1])
def test_colname_out_of_range(zd, cur, n):
    run_query(zd, cur, Column("A", 5), Column("B", 5))
    with pytest.raises(_pyztdb.OperationalError, match="^The serial number abnormality$"):
        cur.getResultcolname(n)


def test_colseq(zd, cur):
    run_query(zd, cur, Column("A", 5), Column("B", 5))
    assert cur.getResultcolseq("B") == 2
    with pytest.raises(_pyztdb.OperationalError, match="^The specified column was not found$"):
        cur.getResultcolseq("C")


@pytest.mark.parametrize("method, arg", [("getResultcolname", 1), ("getResultcolseq", "A")])
def test_no_result(zd, cur, method, arg):
    with pytest.raises(_pyztdb.OperationalError, match="^Result is NONE$"):
        getattr(cur, method)(arg)


@pytest.mark.parametrize("column, size, scale", [
    (Column("V", 2, -1), 65535, 0),
    (Column("V", 2, 100), 100, 0),
    (Column("N", 9, (10 << 16) | 2), 10, 2),
    (Column("D", 10, 99), 3, 0),
    (Column("I", 5, 99), 4, 0),
])
def test_size_and_scale(zd, cur, column, size, scale):
    run_query(zd, cur, column)
    assert cur.getResultcolsize(1) == size
    assert cur.getResultcolscale(1) == scale


@pytest.mark.parametrize("method", ["getResultcolsize", "getResultcolscale"])
@pytest.mark.parametrize("n", [0, 2, -5])
def test_size_out_of_range(zd, cur, method, n):
    run_query(zd, cur, Column("A", 5))
    with pytest.raises(_pyztdb.OperationalError, match="^The serial number abnormality$"):
        getattr(cur, method)(n)


@pytest.mark.parametrize("method", ["getResultcolsize", "getResultcolscale"])
def test_size_without_description(zd, cur, method):
    with pytest.raises(_pyztdb.OperationalError, match="^%s$" % NO_DESCRIPTION):
        getattr(cur, method)(1)


@pytest.mark.parametrize("method", ["getResultcolsize", "getResultcolscale"])
def test_size_after_statement_without_columns(zd, cur, method):
    zd.queue_execution(Result(columns=[], rows=[], sql_type=3))
    cur.execute("create table t (a int)")
    assert cur.description is None
    with pytest.raises(_pyztdb.OperationalError, match="^The serial number abnormality$"):
        getattr(cur, method)(1)


def test_size_after_close(zd, cur):
    run_query(zd, cur, Column("A", 5))
    cur.close()
    with pytest.raises(_pyztdb.OperationalError, match="^%s$" % NO_DESCRIPTION):
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
    ("getResultcolseq", ("a", "b"), "getResultcolseq Parameter mismatch"),
    ("getResultcolsize", ("x",), "getResultcolsize Parameter mismatch"),
    ("getResultcolscale", (), "getResultcolscale Parameter mismatch"),
])
def test_parse_mismatch(zd, cur, method, args, text):
    with pytest.raises(_pyztdb.ProgrammingError, match="^%s$" % text):
        getattr(cur, method)(*args)


@pytest.mark.parametrize("method, arg", [
    ("getResultcolname", 1), ("getResultcolseq", "A"),
    ("getResultcolsize", 1), ("getResultcolscale", 1),
])
def test_closed_connection(zd, conn, method, arg):
    cur = conn.cursor()
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
        getattr(cur, method)(arg)


def test_placeholders(zd, conn):
    cur = conn.cursor()
    conn.close()
    assert cur.getResultcolisnull(1) is None
    assert cur.getResultcoldefault("x", 2) is None
    assert cur.getResulttable() is None
