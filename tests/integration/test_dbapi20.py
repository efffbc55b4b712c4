"""DB-API 2.0 compliance checks for ztcondb, one per check of the public compliance
suite (dbapi20.py, run itself by test_dbapi20_public.py where it is installed), against a
real server, with ztcondb's answers where the suite allows several: module
globals, exceptions, connection and cursor methods, description, rowcount, callproc,
executemany, the fetch methods, arraysize, and the type constructors and objects.
nextset is left out, as every PostgreSQL driver does."""
import os
import sys
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402

BEERS = ["Carlton Cold", "Carlton Draft", "Mountain Goat", "Redback", "Victoria Bitter",
         "XXXX"]


@pytest.fixture
def con(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    yield conn
    if not conn.closed:
        conn.rollback()
        conn.cursor().execute("drop table if exists dbapi20test_booze, dbapi20test_barflys")
        conn.commit()
        conn.close()


def ddl(con, table="booze"):
    cur = con.cursor()
    cur.execute("create table dbapi20test_%s (name varchar(20))" % table)
    return cur


def populate(cur):
    for beer in BEERS:
        cur.execute("insert into dbapi20test_booze values ('%s')" % beer)


def test_module_globals():
    assert ztcondb.apilevel == "2.0"
    assert ztcondb.threadsafety in (0, 1, 2, 3)
    assert ztcondb.paramstyle in ("qmark", "numeric", "named", "format", "pyformat")


def test_exceptions_hierarchy_and_connection_attributes(con):
    tree = {"Warning": Exception, "Error": Exception, "InterfaceError": ztcondb.Error,
            "DatabaseError": ztcondb.Error, "DataError": ztcondb.DatabaseError,
            "OperationalError": ztcondb.DatabaseError,
            "IntegrityError": ztcondb.DatabaseError, "InternalError": ztcondb.DatabaseError,
            "ProgrammingError": ztcondb.DatabaseError,
            "NotSupportedError": ztcondb.DatabaseError}
    for name, base in tree.items():
        assert issubclass(getattr(ztcondb, name), base)
        assert getattr(con, name) is getattr(ztcondb, name)


def test_commit_rollback_cursor_and_isolation(con):
    con.commit()
    con.rollback()
    cur1 = ddl(con)
    cur2 = con.cursor()
    cur1.execute("insert into dbapi20test_booze values ('Victoria Bitter')")
    cur2.execute("select name from dbapi20test_booze")
    assert len(cur2.fetchall()) == 1


def test_description(con):
    cur = ddl(con)
    assert cur.description is None
    cur.execute("select name from dbapi20test_booze")
    assert len(cur.description) == 1
    assert len(cur.description[0]) == 7
    assert cur.description[0][0].lower() == "name"
    assert cur.description[0][1] == ztcondb.STRING
    cur.execute("create table dbapi20test_barflys (name varchar(20))")
    assert cur.description is None


def test_rowcount(con):
    cur = ddl(con)
    assert cur.rowcount == -1
    cur.execute("insert into dbapi20test_booze values ('Victoria Bitter')")
    assert cur.rowcount in (-1, 1)
    cur.execute("insert into dbapi20test_booze select 'x' where false")
    assert cur.rowcount == 0
    cur.execute("insert into dbapi20test_booze select 'First' union all select 'second'")
    assert cur.rowcount == 2
    cur.execute("select name from dbapi20test_booze")
    assert cur.rowcount in (-1, 3)
    cur.execute("create table dbapi20test_barflys (name varchar(20))")
    assert cur.rowcount == -1


def test_callproc(con):
    cur = con.cursor()
    assert list(cur.callproc("lower", ("FOO",))) == ["FOO"]
    rows = cur.fetchall()
    assert rows == [("foo",)]


def test_close(con):
    cur = con.cursor()
    con.close()
    for call in (lambda: cur.execute("select 1"), con.commit, con.cursor):
        with pytest.raises(ztcondb.Error):
            call()


def test_execute_with_parameters_and_none(con):
    cur = ddl(con)
    cur.execute("insert into dbapi20test_booze values (?)", ("Cooper's",))
    cur.execute("insert into dbapi20test_booze values (?)", (None,))
    assert cur.rowcount in (-1, 1)
    cur.execute("select name from dbapi20test_booze order by name")
    assert cur.fetchall() == [("Cooper's",), (None,)]


def test_executemany(con):
    cur = ddl(con)
    cur.executemany("insert into dbapi20test_booze values (?)", [("Cooper's",), ("Boag's",)])
    assert cur.rowcount in (-1, 2)
    cur.execute("select name from dbapi20test_booze order by name")
    assert cur.fetchall() == [("Boag's",), ("Cooper's",)]


def test_fetchone(con):
    cur = ddl(con)
    with pytest.raises(ztcondb.Error):
        cur.fetchone()
    cur.execute("select name from dbapi20test_booze")
    assert cur.fetchone() is None
    assert cur.rowcount in (-1, 0)
    cur.execute("insert into dbapi20test_booze values ('Victoria Bitter')")
    with pytest.raises(ztcondb.Error):
        cur.fetchone()
    cur.execute("select name from dbapi20test_booze")
    assert cur.fetchone() == ("Victoria Bitter",)
    assert cur.fetchone() is None
    assert cur.rowcount in (-1, 1)


def test_fetchmany_and_arraysize(con):
    cur = ddl(con)
    with pytest.raises(ztcondb.Error):
        cur.fetchmany(4)
    populate(cur)
    cur.execute("select name from dbapi20test_booze")
    assert len(cur.fetchmany()) == 1
    cur.arraysize = 10
    assert len(cur.fetchmany(3)) == 3
    assert len(cur.fetchmany(4)) == 2
    assert cur.fetchmany(4) == []
    assert cur.rowcount in (-1, 6)
    cur.arraysize = 4
    cur.execute("select name from dbapi20test_booze")
    assert len(cur.fetchmany()) == 4
    assert len(cur.fetchmany()) == 2
    assert cur.fetchmany() == []
    cur.arraysize = 6
    cur.execute("select name from dbapi20test_booze")
    assert sorted(r[0] for r in cur.fetchmany()) == BEERS
    assert cur.fetchmany() == []
    cur.execute("create table dbapi20test_barflys (name varchar(20))")
    cur.execute("select name from dbapi20test_barflys")
    assert cur.fetchmany() == []
    assert cur.rowcount in (-1, 0)


def test_fetchall_and_mixedfetch(con):
    cur = ddl(con)
    with pytest.raises(ztcondb.Error):
        cur.fetchall()
    populate(cur)
    with pytest.raises(ztcondb.Error):
        cur.fetchall()
    cur.execute("select name from dbapi20test_booze")
    assert sorted(r[0] for r in cur.fetchall()) == BEERS
    assert cur.rowcount in (-1, len(BEERS))
    assert cur.fetchall() == []
    cur.execute("select name from dbapi20test_booze order by name")
    one, many, rest = cur.fetchone(), cur.fetchmany(2), cur.fetchall()
    assert [one] + many + rest == [(b,) for b in BEERS]


def test_arraysize_default_and_setsizes(con):
    cur = con.cursor()
    assert cur.arraysize == 1
    cur.setinputsizes([25])
    cur.setoutputsize(1000)
    cur.setoutputsize(1000, 0)


def test_type_constructors_and_objects():
    assert ztcondb.Date(2002, 12, 25)
    assert ztcondb.DateFromTicks(time.mktime((2002, 12, 25, 0, 0, 0, 0, 0, 0)))
    assert ztcondb.Time(13, 45, 30)
    assert ztcondb.TimeFromTicks(time.mktime((2001, 1, 1, 13, 45, 30, 0, 0, 0)))
    assert ztcondb.Timestamp(2002, 12, 25, 13, 45, 30)
    assert ztcondb.TimestampFromTicks(time.mktime((2002, 12, 25, 13, 45, 30, 0, 0, 0)))
    assert ztcondb.Binary(b"Something")
    assert ztcondb.Binary(b"") == b""
    for name in ("STRING", "BINARY", "NUMBER", "DATETIME", "ROWID"):
        assert hasattr(ztcondb, name)
