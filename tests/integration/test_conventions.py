"""ztcondb connections and cursors as DB-API users expect them: the autocommit
property, closed, `with conn:`, cursor close, rowcount, arraysize, executemany as one
atomic batch, callproc of a function."""
import contextlib
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402


def open_db(pg):
    return ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])


@pytest.fixture
def db(pg):
    conn = open_db(pg)
    yield conn
    if not conn.closed:
        conn.close()


@pytest.fixture
def tbl(pg, db, table_name):
    """A committed table (id int primary key, name text, weight, born), dropped
    afterwards (after `db` has let go of it)."""
    conn = open_db(pg)
    cur = conn.cursor()
    cur.execute(f"drop table if exists {table_name}")
    cur.execute(f"create table {table_name} (id integer primary key, name text, "
                "weight double precision, born date)")
    conn.commit()
    yield table_name
    if not db.closed:
        db.rollback()
    cur.execute(f"drop table if exists {table_name}")
    conn.commit()
    conn.close()


def count(pg, table):
    conn = open_db(pg)
    try:
        cur = conn.cursor()
        cur.execute(f"select count(*) from {table}")
        return cur.fetchone()[0]
    finally:
        conn.close()


@pytest.mark.parametrize("mode, kept", [(True, 1), (False, 0)])
def test_autocommit_property_reads_and_switches(pg, db, tbl, mode, kept):
    assert db.autocommit is False
    db.autocommit = mode
    assert db.autocommit is mode
    db.cursor().execute(f"insert into {tbl} (id) values (1)")
    db.close()
    assert count(pg, tbl) == kept
    # The module's method stays reachable.
    assert callable(_pyztdb.connection.autocommit)


@pytest.mark.parametrize("fail, kept", [(False, 1), (True, 0)])
def test_with_connection_commits_or_rolls_back_then_closes(pg, tbl, fail, kept):
    conn = open_db(pg)
    with pytest.raises(KeyError) if fail else contextlib.nullcontext():
        with conn:
            conn.cursor().execute(f"insert into {tbl} (id) values (1)")
            if fail:
                raise KeyError("boom")
    assert conn.closed is True
    assert count(pg, tbl) == kept


def test_closed_cursor_refuses_every_call(db):
    cur = db.cursor()
    cur.execute("select 1")
    assert cur.closed is False
    cur.close()
    cur.close()
    assert cur.closed is True
    calls = [lambda: cur.execute("select 1"), lambda: cur.executemany("select ?", [(1,)]),
             cur.fetchone, cur.fetchall, cur.fetchmany, lambda: cur.callproc("lower", ("A",)),
             cur.nextset, lambda: next(iter(cur))]
    for call in calls:
        with pytest.raises(ztcondb.InterfaceError, match="cursor already closed"):
            call()


@pytest.mark.parametrize("statement, expected", [
    (None, -1),
    ("create temporary table t_rc (a int)", -1),
    ("select generate_series(1, 3)", 3),
    ("values (1), (2)", 2),
    ("set search_path = public", -1),
])
def test_rowcount_is_minus_one_when_unknown(db, statement, expected):
    cur = db.cursor()
    if statement:
        cur.execute(statement)
    assert cur.rowcount == expected
    assert (cur.description is None) == (expected == -1)


def test_rowcount_of_changes_and_arraysize(db, tbl):
    cur = db.cursor()
    cur.execute(f"insert into {tbl} (id) select generate_series(1, 5)")
    assert cur.rowcount == 5
    cur.execute(f"update {tbl} set name = 'x' where id > 10")
    assert cur.rowcount == 0
    cur.execute(f"select id from {tbl} order by id")
    assert cur.arraysize == 1
    assert cur.fetchmany() == [(1,)]
    cur.arraysize = 3
    assert cur.fetchmany() == [(2,), (3,), (4,)]
    assert cur.fetchmany() == [(5,)]
    assert cur.fetchmany() == []


def rows_gen(n):
    for i in range(n):
        yield (i, "n%d" % i if i % 3 else None, i * 0.5 if i % 2 else i, None)


@pytest.mark.parametrize("autocommit", [True, False])
def test_executemany_batch_of_any_iterable(pg, db, tbl, autocommit):
    db.autocommit = autocommit
    cur = db.cursor()
    cur.executemany(f"insert into {tbl} values (?, ?, ?, ?)", rows_gen(1000))
    assert cur.rowcount == 1000
    cur.executemany(f"update {tbl} set name = ? where id < ?", [("a", 10), ("b", 20)])
    assert cur.rowcount == 10 + 20
    cur.executemany(f"delete from {tbl} where id = ?", iter([]))
    assert cur.rowcount == 0
    db.commit()
    cur.execute(f"select id, name, weight, born from {tbl} where id in (3, 4, 25) "
                "order by id")
    assert cur.fetchall() == [(3, "b", 1.5, None), (4, "b", 4.0, None), (25, "n25", 12.5, None)]


@pytest.mark.parametrize("autocommit", [True, False])
def test_executemany_is_atomic_with_the_servers_message(pg, db, tbl, autocommit):
    db.autocommit = autocommit
    cur = db.cursor()
    rows = [(1, "a", None, None), (2, "b", None, None), (1, "dup", None, None)]
    for sql in (f"insert into {tbl} values (?, ?, ?, ?)",
                f"insert into {tbl} select ?, ?, ?::float8, ?::date"):
        with pytest.raises(ztcondb.DatabaseError, match=r"row 3: \[23505\] duplicate key"):
            cur.executemany(sql, rows)
        db.rollback()
    assert count(pg, tbl) == 0


@pytest.mark.parametrize("rows, message", [
    ([(1, 2), (3,)], "row 2 has 1 parameters"),
    ([(1, 2), "ab"], "row 2 is not a sequence"),
    # A dict is a jsonb value; a value no adapter takes is refused by its column.
    ([(1, object()), (2, 3)], "column 2"),
])
def test_executemany_refuses_malformed_rows(db, rows, message):
    with pytest.raises(ztcondb.ProgrammingError, match=message):
        db.cursor().executemany("select ?, ?", rows)


# The markers are positional: a mapping is refused by name, where the module would have
# read a dict by the keys 0, 1, ... (KeyError, or {0: 5} taken as a sequence).
@pytest.mark.parametrize("named", [False, True])
@pytest.mark.parametrize("parameters", [{"a": 1}, {0: 5}])
def test_execute_refuses_a_mapping(db, named, parameters):
    cur = db.cursor(name="mapped") if named else db.cursor()
    with pytest.raises(ztcondb.ProgrammingError, match="parameters must be a sequence, not dict"):
        cur.execute("select ?", parameters)
    db.rollback()


def test_callproc_of_a_function_gives_its_rows_and_procedures_keep_working(db):
    cur = db.cursor()
    assert cur.callproc("lower", ("FOO",)) == ["FOO"]
    assert cur.fetchall() == [("foo",)]
    cur.execute("create or replace function conv_series(n integer) returns setof integer "
                "language sql as $$ select generate_series(1, n) $$")
    assert cur.callproc("conv_series", (3,)) == [3]
    assert cur.fetchall() == [(1,), (2,), (3,)]
    cur.execute("create or replace procedure conv_proc(inout x integer) "
                "language plpgsql as $$ begin x := x + 1; end $$")
    cur.setinputtype([5])
    assert cur.callproc("conv_proc", [41], [3]) == [42]
    cur.cleartype()
    # Without directions, a procedure is still called (inside the open transaction).
    cur.execute("create or replace procedure conv_noop(a integer) language plpgsql "
                "as $$ begin end $$")
    cur.callproc("conv_noop", [1])
    cur.execute("select 7")
    assert cur.fetchone() == (7,)
    with pytest.raises(ztcondb.DatabaseError, match="42883"):
        cur.callproc("no_such_function", [1])
