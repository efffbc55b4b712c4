"""description: one 7-item tuple per result column, built from what the library
reports (name, type code, modifier)."""
import pytest

from ztdouble import Column, Result


@pytest.fixture
def cur(conn):
    return conn.cursor()


def describe(zd, cur, *columns):
    zd.queue_execution(Result(columns=list(columns), rows=[]))
    cur.execute("select 1")
    return cur.description


@pytest.mark.parametrize("name, shown", [
    ("T1.ID", "ID"),
    ("X%Y.Z", "Y.Z"),
    ("ID", "ID"),
    ("S.T.C", "T.C"),
    ("a%b%c", "b%c"),
    ("%x", "x"),
    ("", ""),
    ("名字.列", "列"),
])
def test_column_name_trimmed_once(zd, cur, name, shown):
    assert describe(zd, cur, Column(name, 5))[0][0] == shown


@pytest.mark.parametrize("code, modi, type_name, size, scale", [
    (0, 7, "NULL", 0, 0),
    (1, 9, "BOOLEAN", 1, 0),
    (2, -1, "VARCHAR", 65535, 0),
    (2, 100, "VARCHAR", 100, 0),
    (2, -2, "VARCHAR", -2, 0),
    (3, 0, "TINYINT", 1, 0),
    (4, 0, "SMALLINT", 2, 0),
    (5, 99, "INTEGER", 4, 0),
    (6, 0, "BIGINT", 8, 0),
    (7, 0, "FLOAT", 4, 0),
    (8, 0, "DOUBLE", 8, 0),
    (9, (10 << 16) | 2, "NUMERIC", 10, 2),
    (9, -1, "NUMERIC", -1, -1),
    (9, (12 << 16) | 20, "NUMERIC", 12, 4),
    (10, 10, "DATE", 3, 0),
    (11, 8, "TIME", 8, 0),
    (12, -1, "TIME", -1, 0),
    (13, 20, "DATETIME", 20, 0),
    (14, 19, "DATETIME", 19, 0),
    (23, 26, "DATETIME", 26, 0),
    (15, -1, "BINARY", -1, 0),
    (18, 5, "BINARY", 5, 0),
    (28, 0, "INTERVAL YEAR TO MONTH", 4, 0),
    (31, 0, "INTERVAL DAY TO SECOND", 8, 0),
    (40, -1, "CLOB", -1, 0),
    (41, 3, "CLOB", 3, 0),
    (42, -1, "BLOB", -1, 0),
    (58, -1, "RefCursor", -1, 0),
    (62, 10, "CHAR", 10, 0),
    (63, -1, "CHAR", -1, 0),
    (20, 77, "", 77, 0),
])
def test_type_name_table(zd, cur, code, modi, type_name, size, scale):
    desc = describe(zd, cur, Column("c", code, modi))
    assert desc == [("c", type_name, None, None, size, scale, None)]


def test_every_column_in_order(zd, cur):
    desc = describe(zd, cur, Column("a", 5), Column("b", 2, 30), Column("c", 23, 26))
    assert isinstance(desc, list)
    assert [d[:2] for d in desc] == [("a", "INTEGER"), ("b", "VARCHAR"), ("c", "DATETIME")]
    assert all(isinstance(d, tuple) and len(d) == 7 for d in desc)


def test_no_columns_gives_none(zd, cur):
    zd.queue_execution(Result(columns=[], rows=[], sql_type=3))
    cur.execute("create table t (a int)")
    assert cur.description is None


def test_failed_type_query_keeps_previous_column_type(zd, cur):
    # The library's answers are taken as they come: an unanswered type query
    # leaves the code of the column before.
    zd.fail("ZTC_getResultcolType", nth=2)
    desc = describe(zd, cur, Column("a", 6), Column("b", 5))
    assert desc[1][:2] == ("b", "BIGINT")


def test_description_replaced_by_next_result(zd, cur):
    zd.queue_execution(Result([Column("a", 5)], [[1]]), Result([Column("b", 8)], [[1.0]]))
    cur.execute("select 1; select 2")
    first = cur.description
    assert cur.nextset() == "TRUE"
    assert cur.description == [("b", "DOUBLE", None, None, 8, 0, None)]
    assert first == [("a", "INTEGER", None, None, 4, 0, None)]


def test_name_not_utf8_raises(zd, cur):
    zd.queue_execution(Result(columns=[Column(b"\xff\xfe", 5)], rows=[]))
    with pytest.raises(UnicodeDecodeError):
        cur.execute("select 1")
