"""Stored procedures, stored functions, RefCursors and column metadata against a real
server."""

import datetime

import pytest

import _pyztdb

from conftest import connect

IN, OUT, INOUT = 1, 2, 3


@pytest.fixture
def routines(cur):
    """Creates routines from their DDL; drops them afterwards (`kind name(args)`)."""
    made = []

    def create(ddl, drop):
        cur.execute(ddl)
        made.append(drop)

    yield create
    for drop in made:
        try:
            cur.execute("drop " + drop)
        except _pyztdb.Error:
            pass


# sql type, type code, declared size, input, in-out input, value read back for the
# input, value read back for an output holding the input, for the in-out holding it
PROC_TYPES = [
    ("integer", 5, None, 7, 0, 7, 7),
    ("bigint", 6, None, 2 ** 40, 0, 2 ** 40, 2 ** 40),
    ("double precision", 8, None, 2.5, 0.0, 2.5, 2.5),
    ("numeric", 9, None, "12.50", "0", 12.5, 12.5),
    ("numeric", 9, None, 3.14159265, "0", 3.14159265, 3.14159265),
    ("varchar", 2, None, "héllo", "", "héllo", "héllo"),
    ("date", 10, None, datetime.date(2024, 1, 5), datetime.date(2000, 1, 1),
     "2024-01-05", "2024-01-05"),
    ("timestamp", 13, None, datetime.datetime(2024, 1, 5, 7, 8, 9, 123000),
     datetime.datetime(2000, 1, 1), "2024-01-05 07:08:09.123000", "2024-01-05 07:08:09.123"),
    ("boolean", 1, None, True, False, b"T", b"T"),
    ("bytea", 15, 64, b"a\x00b\xff", b"", b"a\x00b\xff", b"a\x00b\xff"),
]


@pytest.mark.parametrize("sqltype, code, size, value, start, back_in, back_out", PROC_TYPES,
                         ids=["integer", "bigint", "double", "numeric-str", "numeric-float",
                              "varchar", "date", "timestamp", "boolean", "bytea"])
def test_procedure_in_out_inout(cur, routines, sqltype, code, size, value, start,
                                back_in, back_out):
    """b (OUT) receives c's input, c (INOUT) receives a: all three directions move data."""
    name = "p_io_" + sqltype.split()[0]
    routines("create procedure %s(in a %s, out b %s, inout c %s) language plpgsql as "
             "$$ begin b := c; c := a; end $$" % (name, sqltype, sqltype, sqltype),
             "procedure %s" % name)
    cur.setinputtype([code, code, code])
    if size is not None:
        cur.setinputsizes([None, size, size])
    got = cur.callproc(name, [value, start, value], [IN, OUT, INOUT])
    assert got[0] == back_in
    assert got[1] == back_out
    assert got[2] == back_out


def test_procedures_without_declarations(cur, routines, table_name):
    """Inferred inputs reach the table; no parameters send no brackets; errors surface."""
    cur.execute("create table %s (a bigint, b text, c double precision)" % table_name)
    try:
        routines("create procedure p_ins(a bigint, b text, c double precision) language sql "
                 "as $$ insert into %s values (a, b, c) $$" % table_name, "procedure p_ins")
        routines("create procedure p_none() language sql as $$ select 1 $$", "procedure p_none")
        assert cur.callproc("p_ins", [5, "five", 5.5]) == [5, "five", 5.5]
        cur.execute("select a, b, c from %s" % table_name)
        assert cur.fetchall() == [(5, "five", 5.5)]
        assert cur.callproc("p_none") == cur.callproc("p_none", []) == []
        with pytest.raises(_pyztdb.OperationalError, match="p_missing"):
            cur.callproc("p_missing", [1])
    finally:
        cur.execute("drop table %s" % table_name)


def test_procedure_output_left_null(cur, routines):
    routines("create procedure p_null(in a integer, out b varchar) language plpgsql as "
             "$$ begin b := null; end $$", "procedure p_null")
    cur.setinputtype([5, 2])
    cur.setinputsizes([None, 20])
    assert cur.callproc("p_null", [1, ""], [IN, OUT]) == [1, None]


@pytest.mark.parametrize("value, back", [(None, "null"), (4, "not null")])
def test_procedure_null_input_with_declared_types(cur, routines, value, back):
    """None at a declared INTEGER input reaches the server as NULL, next to an output."""
    routines("create procedure p_isnull(in a integer, out b varchar) language plpgsql as "
             "$$ begin b := case when a is null then 'null' else 'not null' end; end $$",
             "procedure p_isnull")
    cur.setinputtype([5, 2])
    cur.setinputsizes([None, 20])
    assert cur.callproc("p_isnull", [value, ""], [IN, OUT]) == [value, back]


# sql type, type code for the return, argument, the return value converted
FUNC_TYPES = [
    ("integer", 5, 42, 42),
    ("bigint", 6, -(2 ** 40), -(2 ** 40)),
    ("smallint", 4, -7, -7),
    ("double precision", 8, 2.5, 2.5),
    ("real", 7, 0.25, 0.25),
    ("numeric", 9, "1.125", 1.125),
    ("varchar", 2, "héllo", "héllo"),
    ("text", 2, "x" * 1000, "x" * 1000),
    ("date", 10, datetime.date(2024, 1, 5), "2024-01-05"),
    ("timestamp", 13, datetime.datetime(2024, 1, 5, 7, 8, 9), "2024-01-05 07:08:09"),
    ("boolean", 1, True, b"T"),
    ("boolean", 1, False, b"F"),
    ("bytea", 15, b"a\x00b\xff", "\\x610062ff"),     # all bytes reach the server
]


@pytest.mark.parametrize("sqltype, code, arg, ret", FUNC_TYPES,
                         ids=["%s-%r" % (t[0], t[2])[:40] for t in FUNC_TYPES])
def test_function_returns_each_type(cur, routines, sqltype, code, arg, ret):
    name = "f_" + sqltype.split()[0]
    routines("create function %s(a %s) returns %s language sql as $$ select a $$"
             % (name, sqltype, sqltype), "function %s" % name)
    cur.setinputtype([code, code])
    got = cur.callfunc(name, [arg])
    assert got[-1] == ret
    assert type(got[-1]) is type(ret)


def test_functions_null_and_undeclared(cur, routines):
    routines("create function f_nothing(a integer) returns integer language sql as "
             "$$ select null::integer $$", "function f_nothing")
    routines("create function f_add(a bigint, b bigint) returns bigint language sql as "
             "$$ select a + b $$", "function f_add")
    cur.setinputtype([5, 5])
    assert cur.callfunc("f_nothing", [1]) == [1, None]
    cur.cleartype()
    assert cur.callfunc("f_add", [2, 40]) == [2, 40, "42"]      # text without declarations


# ---- RefCursor ----

ROWS = 5000


@pytest.fixture
def refcursor_proc(cur, routines, table_name):
    """A table of ROWS rows and a procedure that opens a cursor over it; the procedure
    also writes a row into a log table, to see what the call's transaction kept."""
    cur.execute("create table %s (id integer, name text)" % table_name)
    cur.execute("insert into %s select g, 'n' || g from generate_series(1, %d) g"
                % (table_name, ROWS))
    cur.execute("create table %s_log (at timestamp)" % table_name)
    routines("create procedure p_rows(out c refcursor) language plpgsql as $$ begin "
             "insert into %s_log values (now()); "
             "open c for select id, name from %s order by id; end $$"
             % (table_name, table_name), "procedure p_rows")
    yield table_name
    cur.execute("drop table %s" % table_name)
    cur.execute("drop table %s_log" % table_name)


def open_rows(cur):
    cur.setinputtype([58])
    (name,) = cur.callproc("p_rows", [""], [OUT])
    assert isinstance(name, str) and name
    return name


EXPECTED = [(i, "n%d" % i) for i in range(1, ROWS + 1)]


def test_refcursor_fetchall(cur, refcursor_proc):
    open_rows(cur)
    assert [d[0] for d in cur.description] == ["id", "name"]
    assert cur.fetchall() == EXPECTED


def test_refcursor_fetchone(cur, refcursor_proc):
    open_rows(cur)
    rows = []
    while True:
        row = cur.fetchone()
        if row is None:
            break
        rows.append(row)
    assert rows == EXPECTED


def test_refcursor_fetchmany(cur, refcursor_proc):
    open_rows(cur)
    rows, sizes = [], []
    while True:
        batch = cur.fetchmany(700)
        if not batch:
            break
        sizes.append(len(batch))
        rows.extend(batch)
    assert rows == EXPECTED
    assert all(s == 700 for s in sizes[:-1])


def session_state(pg, pid):
    other = connect(pg)
    try:
        c = other.cursor()
        c.execute("select state from pg_stat_activity where pid = ?", [pid])
        return c.fetchone()[0]
    finally:
        other.close()


def backend_pid(cur):
    cur.execute("select pg_backend_pid()")
    return cur.fetchone()[0]


def log_rows(pg, table):
    other = connect(pg)
    try:
        c = other.cursor()
        c.execute("select count(*) from %s_log" % table)
        return c.fetchone()[0]
    finally:
        other.close()


def test_transaction_clean_with_autocommit(pg, conn, cur, refcursor_proc):
    pid = backend_pid(cur)
    open_rows(cur)
    assert len(cur.fetchall()) == ROWS
    assert session_state(pg, pid) == "idle"
    assert log_rows(pg, refcursor_proc) == 1
    cur.execute("select count(*) from pg_cursors")
    assert cur.fetchone()[0] == 0


def test_transaction_clean_after_close_with_autocommit(pg, conn, cur, refcursor_proc):
    """A cursor closed before its rows are read still ends the library's transaction."""
    pid = backend_pid(cur)
    open_rows(cur)
    cur.fetchone()
    cur.close()
    assert session_state(pg, pid) == "idle"
    assert log_rows(pg, refcursor_proc) == 1


@pytest.mark.parametrize("finish, kept", [("commit", 1), ("rollback", 0)])
def test_transaction_without_autocommit(pg, conn, cur, refcursor_proc, finish, kept):
    pid = backend_pid(cur)
    conn.autocommit(False)
    try:
        open_rows(cur)
        assert len(cur.fetchall()) == ROWS
        # The user's transaction is still the user's to end.
        assert session_state(pg, pid) == "idle in transaction"
        getattr(conn, finish)()
        assert session_state(pg, pid) == "idle"
        assert log_rows(pg, refcursor_proc) == kept
    finally:
        conn.autocommit(True)


def test_refcursor_then_plain_statements(cur, refcursor_proc):
    open_rows(cur)
    cur.fetchmany(10)
    cur.execute("select 41 + 1")
    assert cur.fetchall() == [(42,)]


# ---- column metadata ----

def test_metadata_of_aliased_columns(cur):
    cur.execute('select 1 as "First", \'x\'::varchar(20) as second, '
                '1.5::numeric(10,2) as third, now() as "when"')
    assert [cur.getResultcolname(n) for n in (1, 2, 3, 4)] == ["First", "second", "third", "when"]
    assert cur.getResultcolseq("second") == 2
    assert cur.getResultcolseq("First") == 1
    assert cur.getResultcolsize(2) == 20
    assert (cur.getResultcolsize(3), cur.getResultcolscale(3)) == (10, 2)
    assert cur.getResultcolsize(1) == 4
    with pytest.raises(_pyztdb.OperationalError, match="The serial number abnormality"):
        cur.getResultcolname(5)
    with pytest.raises(_pyztdb.OperationalError, match="The specified column was not found"):
        cur.getResultcolseq("fifth")
    with pytest.raises(_pyztdb.OperationalError, match="The serial number abnormality"):
        cur.getResultcolsize(5)
    assert cur.getResultcolisnull(1) is None
    assert cur.getResultcoldefault(1) is None
    assert cur.getResulttable() is None
