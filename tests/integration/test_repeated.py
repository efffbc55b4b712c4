"""A text executed again and again runs from a statement the library prepared on the
server: its results must stay those of a first execution, whatever the values' types and
whatever changed on the server in between."""
import datetime

import pytest

from conftest import connect

RUNS = 6    # more than the executions after which a text is prepared


def outcome(cur, sql, params):
    cur.execute(sql, params)
    rows = cur.fetchall() if cur.description else None
    return rows, [d[:2] for d in cur.description or []], cur.rowcount


# (text, the parameters of successive calls): each call must give what the same call
# gives on a fresh connection, where the text runs unprepared.
CALLS = [
    ("select ?::int", [(i,) for i in range(RUNS)]),
    ("select ?", [(1,), ("a",), (None,), (2.5,), (2 ** 40,), (True,), (b"\x00x",)]),
    ("select ?, ?", [(1, None), (None, 1), (1, 2), ("x", None), (1, 2)]),
    ("select ?::bigint + 1", [(-2 ** 63 + 1,), (2 ** 62,), (0,), (None,), (7,)]),
    ("select ?::float8", [(1e308,), (-0.0,), (float("inf"),), (3,), (1.5,)]),
    ("select ?::text", [("",), ("\u00e9\u4e2d",), ("x" * 10000,), (None,), ("y",)]),
    ("select ?::timestamp",
     [(datetime.datetime(2024, 1, 1, 0, 0, 0, i),) for i in range(RUNS)]),
    ("select ?::date", [(datetime.date(1, 1, 1),), (datetime.date(9999, 12, 31),)] * 3),
    ("select generate_series(1, ?)", [(n,) for n in (3, 0, 1, 5, 2, 4)]),
]


@pytest.mark.parametrize("sql, calls", CALLS, ids=[c[0] for c in CALLS])
def test_repeated_calls_match_a_first_execution(pg, cur, sql, calls):
    for params in calls * 2:
        fresh = connect(pg)
        try:
            expected = outcome(fresh.cursor(), sql, params)
        finally:
            fresh.close()
        assert outcome(cur, sql, params) == expected, params


def add_column_here(cur, other, table):
    cur.execute("alter table %s add column extra text default 'x'" % table)


def add_column_elsewhere(cur, other, table):
    other.execute("alter table %s add column extra text default 'x'" % table)


def replace_table_elsewhere(cur, other, table):
    other.execute("drop table %s" % table)
    other.execute("create table %s (id int, extra text default 'x')" % table)
    other.execute("insert into %s values (1)" % table)


def deallocate_here(cur, other, table):
    cur.execute("deallocate all")


def discard_here(cur, other, table):
    cur.execute("discard all")


def search_path_here(cur, other, table):
    cur.execute("drop schema if exists repeated_s cascade")
    cur.execute("create schema repeated_s")
    cur.execute("create table repeated_s.%s (id int, extra text default 'x')" % table)
    cur.execute("insert into repeated_s.%s values (1)" % table)
    cur.execute("set search_path = repeated_s, public")


# What may happen between executions, and the columns the next execution must show.
CHANGES = [
    (add_column_here, ["id", "extra"]),
    (add_column_elsewhere, ["id", "extra"]),
    (replace_table_elsewhere, ["id", "extra"]),
    (deallocate_here, ["id"]),
    (discard_here, ["id"]),
    (search_path_here, ["id", "extra"]),
]


@pytest.mark.parametrize("change, columns", CHANGES, ids=[c[0].__name__ for c in CHANGES])
def test_repeated_text_follows_server_changes(pg, conn, cur, table, change, columns):
    name = table("id int")
    cur.execute("insert into %s values (1)" % name)
    sql = "select * from %s where id = ?" % name
    for _ in range(RUNS):
        cur.execute(sql, (1,))
        assert cur.fetchall() == [(1,)]
    other_conn = connect(pg)
    try:
        change(cur, other_conn.cursor(), name)
        for _ in range(2):
            cur.execute(sql, (1,))
            assert [d[0] for d in cur.description] == columns
            assert cur.fetchall() == [(1,) + ("x",) * (len(columns) - 1)]
    finally:
        other_conn.close()
        cur.execute("set search_path = public")
        cur.execute("drop schema if exists repeated_s cascade")
