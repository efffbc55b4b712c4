"""The ztcondb package against PEP 249: module globals, exceptions, connection and
cursor methods and attributes, fetch semantics, type objects and constructors."""
import datetime
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402


@pytest.fixture
def db(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    try:
        yield conn
    finally:
        conn.close()


@pytest.fixture
def table(db, table_name):
    cur = db.cursor()
    cur.execute(f"create table {table_name} (id integer primary key, name varchar(20))")
    db.commit()
    try:
        yield table_name
    finally:
        db.rollback()
        cur.execute(f"drop table if exists {table_name}")
        db.commit()
        cur.close()


def test_module_globals():
    assert ztcondb.apilevel == "2.0"
    assert ztcondb.threadsafety == 2
    assert ztcondb.paramstyle == "qmark"
    assert isinstance(ztcondb.__version__, str)


@pytest.mark.parametrize("name, base", [
    ("Warning", Exception), ("Error", Exception), ("InterfaceError", "Error"),
    ("DatabaseError", "Error"), ("DataError", "DatabaseError"),
    ("OperationalError", "DatabaseError"), ("IntegrityError", "DatabaseError"),
    ("InternalError", "DatabaseError"), ("ProgrammingError", "DatabaseError"),
    ("NotSupportedError", "DatabaseError"),
])
def test_exceptions_reexported_with_hierarchy(name, base, db):
    cls = getattr(ztcondb, name)
    # The package's own classes: not the module's, which derive from UnicodeError.
    assert cls.__module__ == "ztcondb.errors" and not issubclass(cls, ValueError)
    base = getattr(ztcondb, base) if isinstance(base, str) else base
    assert issubclass(cls, base)
    assert getattr(db, name) is cls


def test_connect_turns_transactions_on(db, pg, table):
    cur = db.cursor()
    cur.execute(f"insert into {table} values (1, 'a')")
    other = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                            user=pg["user"])
    try:
        ocur = other.cursor()
        ocur.execute(f"select count(*) from {table}")
        assert ocur.fetchone() == (0,)
        db.commit()
        ocur.execute(f"select count(*) from {table}")
        assert ocur.fetchone() == (1,)
    finally:
        other.close()


def test_rollback_discards(db, table):
    cur = db.cursor()
    cur.execute(f"insert into {table} values (1, 'a')")
    db.rollback()
    cur.execute(f"select count(*) from {table}")
    assert cur.fetchone() == (0,)


def test_autocommit_true_commits_each_statement(db, pg, table):
    db.autocommit = True
    db.cursor().execute(f"insert into {table} values (2, 'b')")
    other = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                            user=pg["user"])
    try:
        ocur = other.cursor()
        ocur.execute(f"select name from {table} where id = ?", (2,))
        assert ocur.fetchall() == [("b",)]
    finally:
        other.close()


def test_host_list_connects_to_a_working_host(pg):
    conn = ztcondb.connect(host=f"{pg['host']},{pg['host']}", port=pg["port"],
                           database=pg["db"], user=pg["user"])
    try:
        cur = conn.cursor()
        cur.execute("select 1")
        assert cur.fetchone() == (1,)
    finally:
        conn.close()


def test_connection_and_cursor_types(db):
    assert isinstance(db, ztcondb.Connection)
    assert isinstance(db, _pyztdb.connection)
    cur = db.cursor()
    assert isinstance(cur, ztcondb.Cursor)
    assert isinstance(cur, _pyztdb.cursor)
    assert cur.connection is db


def test_closed_connection_refuses_work(db):
    cur = db.cursor()
    db.close()
    with pytest.raises(ztcondb.OperationalError):
        db.cursor()
    with pytest.raises(ztcondb.OperationalError):
        db.commit()
    with pytest.raises(ztcondb.OperationalError):
        cur.execute("select 1")


def test_with_connection_closes_it(pg):
    with ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                         user=pg["user"]) as conn:
        conn.cursor().execute("select 1")
    with pytest.raises(ztcondb.OperationalError):
        conn.cursor()


def test_with_cursor_closes_it(db):
    with db.cursor() as cur:
        cur.execute("select 1")
    with pytest.raises(ztcondb.InterfaceError, match="cursor already closed"):
        cur.fetchone()


def test_description_and_rowcount(db, table):
    cur = db.cursor()
    assert cur.description is None
    assert cur.arraysize == 1
    cur.execute(f"insert into {table} values (1, 'a'), (2, 'b'), (3, 'c')")
    assert cur.rowcount == 3
    assert cur.description is None
    cur.execute(f"select id, name from {table} order by id")
    names = [d[0] for d in cur.description]
    assert names == ["id", "name"]
    assert all(len(d) == 7 for d in cur.description)
    assert cur.description[0][1] == ztcondb.NUMBER
    assert cur.description[1][1] == ztcondb.STRING


def test_fetch_semantics_at_the_end(db, table):
    cur = db.cursor()
    cur.execute(f"insert into {table} values (1, 'a'), (2, 'b'), (3, 'c')")
    cur.execute(f"select id from {table} order by id")
    assert cur.rownumber == 0
    assert cur.fetchone() == (1,)
    assert cur.rownumber == 1
    assert cur.fetchmany(5) == [(2,), (3,)]
    assert cur.fetchone() is None
    assert cur.fetchmany() == []
    assert cur.fetchall() == []


def test_fetchmany_uses_arraysize(db, table):
    cur = db.cursor()
    cur.execute(f"insert into {table} values (1, 'a'), (2, 'b'), (3, 'c')")
    cur.execute(f"select id from {table} order by id")
    cur.arraysize = 2
    assert cur.fetchmany() == [(1,), (2,)]
    assert cur.fetchmany() == [(3,)]


def test_fetch_without_result_set_is_an_error(db):
    cur = db.cursor()
    for fetch in (cur.fetchone, cur.fetchall, cur.fetchmany):
        with pytest.raises(ztcondb.Error):
            fetch()
    cur.execute("create temporary table t_nores (a int)")
    with pytest.raises(ztcondb.Error):
        cur.fetchall()


def test_iteration(db, table):
    cur = db.cursor()
    cur.execute(f"insert into {table} values (1, 'a'), (2, 'b')")
    cur.execute(f"select id, name from {table} order by id")
    assert list(cur) == [(1, "a"), (2, "b")]


def test_executemany_and_callproc(db, table):
    cur = db.cursor()
    cur.executemany(f"insert into {table} values (?, ?)", [(1, "a"), (2, "b"), (3, None)])
    cur.execute(f"select id, name from {table} order by id")
    assert cur.fetchall() == [(1, "a"), (2, "b"), (3, None)]
    cur.execute("create or replace procedure pep249_double(inout x integer) "
                "language plpgsql as $$ begin x := x * 2; end $$")
    cur.setinputtype([5])
    assert cur.callproc("pep249_double", [21], [3]) == [42]
    cur.cleartype()


def test_null_round_trip(db):
    cur = db.cursor()
    cur.execute("select ?::integer, ?::text", (None, None))
    assert cur.fetchone() == (None, None)


def test_setinputsizes_and_setoutputsize_accepted(db):
    cur = db.cursor()
    cur.setinputsizes([None, 10])
    cur.setoutputsize(1000)
    cur.setoutputsize(1000, 1)


def test_nextset(db):
    cur = db.cursor()
    cur.execute("select 1; select 2")
    assert cur.fetchone() == (1,)
    assert cur.nextset() is True
    assert cur.fetchone() == (2,)
    assert cur.nextset() is None


@pytest.mark.parametrize("obj, names", [
    (ztcondb.STRING, ["VARCHAR", "CHAR", "CLOB"]),
    (ztcondb.BINARY, ["BINARY", "BLOB"]),
    (ztcondb.NUMBER, ["INTEGER", "BIGINT", "SMALLINT", "NUMERIC", "DOUBLE", "FLOAT"]),
    (ztcondb.DATETIME, ["DATE", "TIME", "DATETIME"]),
    (ztcondb.ROWID, ["ROWID"]),
])
def test_type_objects_compare_equal_to_type_names(obj, names):
    for name in names:
        assert obj == name
        assert name == obj
    assert obj != "NO SUCH TYPE"


def test_type_constructors():
    assert ztcondb.Date(2024, 1, 5) == datetime.date(2024, 1, 5)
    assert ztcondb.Time(7, 8, 9) == datetime.time(7, 8, 9)
    assert ztcondb.Timestamp(2024, 1, 5, 7, 8, 9) == datetime.datetime(2024, 1, 5, 7, 8, 9)
    assert ztcondb.Binary(b"\x00\x01") == b"\x00\x01"
    ticks = 1_700_000_000
    assert ztcondb.TimestampFromTicks(ticks) == datetime.datetime.fromtimestamp(ticks)
    assert ztcondb.DateFromTicks(ticks) == datetime.date.fromtimestamp(ticks)
    assert ztcondb.TimeFromTicks(ticks) == datetime.datetime.fromtimestamp(ticks).time()


def test_constructed_values_round_trip(db):
    cur = db.cursor()
    ts = ztcondb.Timestamp(2024, 1, 5, 7, 8, 9)
    cur.execute("select ?::timestamp, ?::bytea", (ts, ztcondb.Binary(b"ab\x00c")))
    value, blob = cur.fetchone()
    assert value == ts
    assert blob == b"ab\x00c"
