"""Fetching against a real PostgreSQL server: scripts of several statements, large
results, server cursors opened by a procedure."""
import pytest

import _pyztdb

ROWS = 100000


def test_script_read_with_nextset(cur, table_name):
    cur.execute("select 1 as a, 'x' as b; "
                "create temp table %s (v int); "
                "insert into %s values (1), (2), (3); "
                "select v from %s order by v" % ((table_name,) * 3))
    assert [d[0] for d in cur.description] == ["a", "b"]
    assert cur.fetchall() == [(1, "x")]
    assert cur.nextset() == "TRUE"          # create table: no rows
    assert cur.description is None
    with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
        cur.fetchone()
    assert cur.nextset() == "TRUE"          # insert: three rows affected
    assert cur.rowcount == 3
    assert cur.nextset() == "TRUE"
    assert cur.description[0][:2] == ("v", "INTEGER")
    assert cur.rowcount == 3
    assert cur.fetchone() == (1,)
    assert cur.fetchmany(5) == [(2,), (3,)]
    assert cur.nextset() is None
    assert cur.nextset() is None


def test_several_queries_read_by_every_fetch(cur):
    cur.execute("select 1; select 2, 3; select 4")
    assert cur.fetchone() == (1,)
    assert cur.nextset() == "TRUE"
    assert cur.fetchmany() == [(2, 3)]
    assert cur.nextset() == "TRUE"
    assert cur.fetchall() == [(4,)]
    assert cur.nextset() is None


def large_query(cur):
    cur.execute("select g, 'row ' || g, g * 0.5::float8 from generate_series(1, %d) g"
                % ROWS)


def test_fetchall_large_result(cur):
    large_query(cur)
    assert cur.rowcount == ROWS
    rows = cur.fetchall()
    assert len(rows) == ROWS
    assert rows[0] == (1, "row 1", 0.5)
    assert rows[-1] == (ROWS, "row %d" % ROWS, ROWS * 0.5)
    assert sum(r[0] for r in rows) == ROWS * (ROWS + 1) // 2
    assert cur.fetchall() == []


@pytest.mark.parametrize("size", [1, 999, 5000])
def test_fetchmany_large_result(cur, size):
    large_query(cur)
    seen = 0
    while True:
        batch = cur.fetchmany(size)
        assert len(batch) <= size
        if not batch:
            break
        assert batch[0][0] == seen + 1
        seen += len(batch)
    assert seen == ROWS


def test_no_result_set_after_ddl(cur, table_name):
    cur.execute("create temp table %s (a int)" % table_name)
    for method in (cur.fetchone, cur.fetchall):
        with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
            method()
    assert cur.fetchmany() is None


@pytest.fixture
def refcursor_procedure(cur, table_name):
    name = "p_" + table_name
    cur.execute("create procedure %s(inout c refcursor, n int) language plpgsql as $$ "
                "begin open c for select g, 'v' || g from generate_series(1, n) g; end $$"
                % name)
    try:
        yield name
    finally:
        cur.execute("drop procedure %s" % name)


@pytest.mark.parametrize("n", [4500, 2000, 1])
def test_server_cursor_rowsets_fetchall(cur, refcursor_procedure, n):
    cur.setinputtype([58, 5])
    out = cur.callproc(refcursor_procedure, ["", n], [3, 1])
    assert isinstance(out[0], str) and out[0]
    assert [d[:2] for d in cur.description] == [("g", "INTEGER"), ("?column?", "VARCHAR")]
    rows = cur.fetchall()
    assert rows == [(g, "v%d" % g) for g in range(1, n + 1)]
    with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
        cur.fetchone()
    # The server cursor is closed and its transaction ended: the session works on.
    cur.execute("select 1")
    assert cur.fetchone() == (1,)


def test_server_cursor_fetchone_and_fetchmany(cur, refcursor_procedure):
    cur.setinputtype([58, 5])
    cur.callproc(refcursor_procedure, ["", 4100], [3, 1])
    assert cur.fetchone() == (1, "v1")
    batch = cur.fetchmany(2500)               # crosses the first rowset boundary
    assert [r[0] for r in batch] == list(range(2, 2502))
    rest = cur.fetchmany(-1)
    assert [r[0] for r in rest] == list(range(2502, 4101))
    assert cur.fetchmany() is None
