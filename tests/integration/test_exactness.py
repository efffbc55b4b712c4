"""Values and states that a small fault would change without any other test noticing,
checked on the server side where the driver's own read-back could hide the fault."""
import datetime
import decimal
import hashlib
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402

# Texts the COPY text format must escape: backslash, tab, newline, carriage return, and
# the texts COPY itself gives a meaning (\N is its NULL, \. its end of data).
AWKWARD_TEXTS = ["C:\\temp\\new", "a\tb", "line1\nline2", "cr\rlf", "\\N", "\\.",
                 "\\", "end\\", "\t\n\\\r", "", " "]

# A column of one of these types makes the batch go as text COPY.
TEXT_COPY_COLUMNS = [
    ("numeric(10, 2)", [decimal.Decimal("1.25")]),
    ("json", ['{"k": 1}']),
    ("time", [datetime.time(12, 34, 56)]),
]


def md5s(cur, sql):
    cur.execute(sql)
    return [row[0] for row in cur.fetchall()]


@pytest.mark.parametrize("forcing_type, forcing_value", TEXT_COPY_COLUMNS,
                         ids=[c[0].split("(")[0] for c in TEXT_COPY_COLUMNS])
def test_text_copy_batch_keeps_escapable_characters(cur, table, forcing_type, forcing_value):
    t = table("id integer, v text, f %s" % forcing_type)
    n = len(AWKWARD_TEXTS)
    cur.executebatch("insert into %s values (?, ?, ?)" % t,
                     [list(range(n)), AWKWARD_TEXTS, forcing_value * n])
    assert cur.rowcount == n
    # The server's digest of what it stored, beside the digest of what was sent.
    stored = md5s(cur, "select md5(v) from %s order by id" % t)
    assert stored == [hashlib.md5(s.encode()).hexdigest() for s in AWKWARD_TEXTS]
    # An empty text reads back as None (a documented limit), so only the others.
    cur.execute("select v from %s where v <> '' order by id" % t)
    assert [row[0] for row in cur.fetchall()] == [s for s in AWKWARD_TEXTS if s]


def test_rownumber_restarts_after_nextset(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    try:
        cur = conn.cursor()
        cur.execute("select 1 union all select 2; select 3 union all select 4")
        assert cur.fetchone() == (1,) and cur.rownumber == 1
        assert cur.nextset() is True
        assert cur.rownumber == 0
        assert cur.fetchall() == [(3,), (4,)] and cur.rownumber == 2
        assert cur.nextset() is None
    finally:
        conn.close()


@pytest.mark.parametrize("value, is_null, is_empty", [
    ("", b"F", b"T"),
    (None, b"T", None),
    (" ", b"F", b"F"),
])
def test_empty_text_and_null_differ_on_the_server(cur, value, is_null, is_empty):
    cur.execute("select ?::text is null, ?::text = ''", (value, value))
    assert cur.fetchone() == (is_null, is_empty)


@pytest.mark.parametrize("statement", [
    "insert into {t} values (?, ?)",                 # COPY
    "insert into {t} select ?::integer, ?::integer",  # one statement per row
])
def test_none_in_an_integer_batch_column_is_null(cur, table, statement):
    t = table("id integer, n integer")
    cur.executebatch(statement.format(t=t), [[1, 2, 3, 4], [10, None, 0, None]])
    cur.execute("select id from %s where n is null order by id" % t)
    assert cur.fetchall() == [(2,), (4,)]
    cur.execute("select id from %s where n = 0" % t)
    assert cur.fetchall() == [(3,)]


@pytest.mark.parametrize("literal, expected", [
    ("timestamptz '2020-01-01 00:00:00-05:30'", datetime.datetime(2020, 1, 1, 5, 30)),
    ("timestamptz '2020-01-01 00:00:00+05:30'", datetime.datetime(2019, 12, 31, 18, 30)),
    ("timestamptz '2020-06-30 23:00:00-01'", datetime.datetime(2020, 7, 1, 0, 0)),
    ("'12:34:56-05:30'::timetz", "12:34:56-05:30"),
    ("'12:34:56+05:30'::timetz", "12:34:56+05:30"),
])
@pytest.mark.parametrize("zone", ["UTC", "America/St_Johns", "Asia/Kolkata"])
def test_time_zone_offset_sign(cur, zone, literal, expected):
    cur.execute("set time zone '%s'" % zone)
    cur.execute("select %s" % literal)
    assert cur.fetchone() == (expected,)


def test_commit_of_a_failed_transaction_reports_failure(pg, table_name):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    try:
        cur = conn.cursor()
        cur.execute("create table %s (id integer primary key)" % table_name)
        conn.commit()
        cur.execute("insert into %s values (1)" % table_name)
        with pytest.raises(ztcondb.IntegrityError):
            cur.execute("insert into %s values (1)" % table_name)
        # The server answers COMMIT of an aborted transaction with a rollback: the
        # driver must not report that as a success.
        with pytest.raises(ztcondb.DatabaseError, match="Commit failed"):
            conn.commit()
        cur.execute("select count(*) from %s" % table_name)
        assert cur.fetchone() == (0,)
        # The session is usable again, outside the failed transaction.
        cur.execute("insert into %s values (2)" % table_name)
        conn.commit()
        cur.execute("select id from %s" % table_name)
        assert cur.fetchall() == [(2,)]
    finally:
        conn.rollback()
        conn.cursor().execute("drop table if exists %s" % table_name)
        conn.commit()
        conn.close()
    with pytest.raises(ztcondb.OperationalError):
        conn.commit()
