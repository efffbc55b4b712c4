"""What the rows cannot show, checked where the server shows it: how many statements a
session has prepared (pg_prepared_statements) after each run of a text, that a prepared
statement another session's DDL made stale is never reused inside a transaction, and
that dates sharing a slot of the driver's date cache still come back as themselves."""
import datetime
import os
import sys

import pytest

from conftest import connect

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402

# Statements prepared over the protocol (not by PREPARE) in this session.
PREPARED = "select count(*) from pg_prepared_statements where not from_sql"


def prepared_count(cur):
    cur.execute(PREPARED)
    return cur.fetchall()[0][0]


# Runs of one text with markers -> statements the session holds prepared: a text is
# prepared on its third run, never earlier, and once only.
@pytest.mark.parametrize("runs, prepared", [(1, 0), (2, 0), (3, 1), (4, 1), (7, 1)])
def test_a_text_is_prepared_on_its_third_run(conn, runs, prepared):
    conn.autocommit(True)
    cur = conn.cursor()
    before = prepared_count(cur)
    for i in range(runs):
        cur.execute("select ?::int + 1", (i,))
        assert cur.fetchall() == [(i + 1,)]
    assert prepared_count(cur) - before == prepared


@pytest.mark.parametrize("texts, prepared", [
    (["select ?::int", "select ?::int", "select ?::text", "select ?::int"], 1),
    (["select ?::int", "select ?::text"] * 3, 2),
    (["select ?::int"] * 3 + ["select ?::text"] * 2, 1),
])
def test_each_text_counts_its_own_runs(conn, texts, prepared):
    conn.autocommit(True)
    cur = conn.cursor()
    before = prepared_count(cur)
    for text in texts:
        cur.execute(text, ("7",) if "text" in text else (7,))
        cur.fetchall()
    assert prepared_count(cur) - before == prepared


def _add_column(other, name):
    other.execute("alter table %s add column extra text default 'x'" % name)


def _retype_column(other, name):
    other.execute("alter table %s alter column id type bigint" % name)


def _replace_table(other, name):
    other.execute("drop table %s" % name)
    other.execute("create table %s (id int, extra text default 'x')" % name)
    other.execute("insert into %s values (1)" % name)


# Another session changes the table under a prepared text; inside a transaction the
# first run after it may fail (the server refuses the stale plan, and the transaction is
# lost), but once rolled back every later transaction runs the text as it now reads.
@pytest.mark.parametrize("change, columns, row", [
    (_add_column, ["id", "extra"], (1, "x")),
    (_retype_column, ["id"], (1,)),
    (_replace_table, ["id", "extra"], (1, "x")),
])
def test_stale_statement_is_not_reused_in_a_transaction(pg, conn, cur, table, change, columns, row):
    name = table("id int")
    cur.execute("insert into %s values (1)" % name)
    conn.autocommit(False)
    sql = "select * from %s where id = ?" % name
    for _ in range(4):
        cur.execute(sql, (1,))
        assert cur.fetchall() == [(1,)]
    conn.commit()
    other = connect(pg)
    try:
        other.autocommit(True)
        change(other.cursor(), name)
    finally:
        other.close()
    try:
        cur.execute(sql, (1,))
        assert cur.fetchall() == [row]
    except Exception as exc:   # the class differs between the module and ztcondb
        assert "[0A000]" in str(exc) and "cached plan" in str(exc)
    conn.rollback()
    for _ in range(3):
        cur.execute(sql, (1,))
        assert [d[0] for d in cur.description] == columns
        assert cur.fetchall() == [row]
        conn.commit()
    conn.autocommit(True)


# A statement deallocated behind the cache (by a function a query calls: no command tag
# tells): in autocommit the next run still succeeds; in a transaction it may fail once,
# and after the rollback it runs again.
@pytest.mark.parametrize("autocommit", [True, False])
def test_statement_deallocated_behind_the_cache_runs_again(conn, cur, autocommit):
    conn.autocommit(True)
    cur.execute("create function pg_temp.drop_prepared() returns int language plpgsql "
                "as $$ begin execute 'deallocate all'; return 1; end $$")
    conn.autocommit(autocommit)
    sql = "select ?::int * 2"
    for i in range(4):
        cur.execute(sql, (i,))
        assert cur.fetchall() == [(2 * i,)]
    cur.execute("select pg_temp.drop_prepared()")
    assert prepared_count(cur) == 0
    if not autocommit:
        try:
            cur.execute(sql, (5,))
            assert cur.fetchall() == [(10,)]
        except Exception as exc:   # the class differs between the module and ztcondb
            assert "[26000]" in str(exc)
        conn.rollback()
    for i in range(3):
        cur.execute(sql, (i,))
        assert cur.fetchall() == [(2 * i,)]
    conn.autocommit(True)


# The session's own DDL (or DEALLOCATE) inside a transaction: the next run of a prepared
# text must read the table as it now is, at once (no failure: the transaction would be
# lost).
@pytest.mark.parametrize("ddl, columns, row", [
    ("alter table {} add column extra text default 'x'", ["id", "extra"], (1, "x")),
    ("alter table {} alter column id type bigint", ["id"], (1,)),
    ("alter table {} rename column id to key", ["key"], (1,)),
    ("deallocate all", ["id"], (1,)),
    ("/* {} */ DEALLOCATE ALL", ["id"], (1,)),
])
def test_own_ddl_in_a_transaction_reprepares(conn, cur, table, ddl, columns, row):
    name = table("id int")
    cur.execute("insert into %s values (1)" % name)
    conn.autocommit(False)
    sql = "select * from %s where 1 = ?" % name
    for _ in range(4):
        cur.execute(sql, (1,))
        assert cur.fetchall() == [(1,)]
    cur.execute(ddl.format(name))
    for _ in range(2):
        cur.execute(sql, (1,))
        assert [d[0] for d in cur.description] == columns
        assert cur.fetchall() == [row]
    conn.commit()
    conn.autocommit(True)


# Dates whose cache keys are 16384 days of key apart take the same slot: each must still
# come back as itself (ztcondb reads dates as date objects), read as text (a plain query)
# and in binary (a prepared text).
SAME_SLOT = [
    (datetime.date(2000, 1, 1), datetime.date(2044, 1, 17)),
    (datetime.date(1970, 3, 5), datetime.date(2014, 3, 21)),
    (datetime.date(2044, 1, 17), datetime.date(2000, 1, 1)),
]


@pytest.mark.parametrize("first, second", SAME_SLOT, ids=str)
def test_dates_sharing_a_cache_slot_stay_apart(pg, first, second):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    cur = conn.cursor()
    cur.execute("select d from (values (date '%s'), (date '%s'), (date '%s')) v(d)"
                % (first, second, first))
    assert cur.fetchall() == [(first,), (second,), (first,)]
    for _ in range(5):
        cur.execute("select ?::date, ?::date, ?::date", (first, second, first))
        assert cur.fetchall() == [(first, second, first)]
    conn.close()
