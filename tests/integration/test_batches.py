"""executemany and executebatch against a real server."""

import datetime
import decimal

import pytest

import _pyztdb


def scalar(cur, sql):
    cur.execute(sql)
    return cur.fetchone()[0]


def test_executemany_thousand_rows(cur, table):
    t = table("id bigint primary key, name text, score double precision")
    rows = [(i, "name %d" % i, i / 4) for i in range(1000)]
    cur.executemany("insert into %s values (?, ?, ?)" % t, rows)
    assert cur.rowcount == 1  # the last row's count, not the sum
    assert scalar(cur, "select count(*) from %s" % t) == 1000
    assert scalar(cur, "select sum(id) from %s" % t) == sum(range(1000))
    assert scalar(cur, "select count(*) from %s where score * 4 = id" % t) == 1000


def test_executemany_flat_values_one_row(cur, table):
    t = table("a bigint, b text, c double precision, d date")
    cur.executemany("insert into %s values (?, ?, ?, ?)" % t, [5, "x", 0.1, datetime.date(2020, 2, 29)])
    cur.execute("select a, b, c, d::text from %s" % t)
    assert cur.fetchone() == (5, "x", 0.1, "2020-02-29")


def test_executemany_failing_row_keeps_the_others(cur, table):
    t = table("id bigint primary key")
    with pytest.raises(_pyztdb.OperationalError, match="error execute2"):
        cur.executemany("insert into %s values (?)" % t, [(1,), (2,), (1,), (3,)])
    # Autocommit: every row is its own statement, so only the duplicate is missing.
    assert scalar(cur, "select count(*) from %s" % t) == 3


def batch_rows(n):
    """n rows of every kind executebatch sends, with NULLs in places (never first)."""
    base = datetime.datetime(2001, 2, 3, 4, 5, 6)
    cols = {k: [] for k in "abcdefgh"}
    for i in range(n):
        null = i % 97 == 5
        cols["a"].append(i)
        cols["b"].append(None if null else i * 0.25 - 1000.5)
        cols["c"].append(None if null else "row %d é ✓" % i)
        # Microseconds in whole milliseconds: timestamps come back as millisecond counts.
        cols["d"].append(None if null else base + datetime.timedelta(seconds=i * 37, microseconds=(i % 1000) * 1000))
        cols["e"].append(None if null else datetime.date(1990, 1, 1) + datetime.timedelta(days=i % 20000))
        cols["f"].append(None if null else bytes([i % 256, 0, (i * 7) % 256]))
        cols["g"].append(None if null else decimal.Decimal(i) / 16)
        cols["h"].append(None if null else i % 3 == 0)
    return [cols[k] for k in "abcdefgh"]


def test_executebatch_hundred_thousand_rows_read_back(cur, table):
    t = table(
        "a bigint primary key, b double precision, c text, d timestamp, e date, "
        "f bytea, g numeric(20,4), h boolean"
    )
    n = 100_000
    columns = batch_rows(n)
    cur.executebatch("insert into %s values (?, ?, ?, ?, ?, ?, ?, ?)" % t, columns)
    assert cur.rowcount == n
    cur.execute(
        "select a, b, c, to_char(d, 'YYYY-MM-DD HH24:MI:SS.US'), e::text, encode(f, 'hex'), "
        "g::text, h::text from %s order by a" % t
    )
    got = cur.fetchall()
    assert len(got) == n
    a, b, c, d, e, f, g, h = columns
    for i, row in enumerate(got):
        expected = (
            a[i],
            b[i],
            c[i],
            None if d[i] is None else d[i].strftime("%Y-%m-%d %H:%M:%S.%f"),
            None if e[i] is None else e[i].isoformat(),
            None if f[i] is None else f[i].hex(),
            None if g[i] is None else g[i],
            None if h[i] is None else ("true" if h[i] else "false"),
        )
        actual = row[:6] + (None if row[6] is None else decimal.Decimal(row[6]), row[7])
        assert actual == expected, "row %d" % i


def test_executebatch_duplicate_key_leaves_nothing(cur, table):
    t = table("id bigint primary key, v text")
    ids = list(range(100))
    ids[50] = 10
    with pytest.raises(_pyztdb.OperationalError) as e:
        cur.executebatch("insert into %s values (?, ?)" % t, [ids, ["v%d" % i for i in ids]])
    assert "23505" in str(e.value)
    assert scalar(cur, "select count(*) from %s" % t) == 0


def test_executebatch_update_by_rows(cur, table):
    t = table("id bigint primary key, v text")
    cur.executebatch("insert into %s values (?, ?)" % t, [[1, 2, 3], ["a", "b", "c"]])
    cur.executebatch("update %s set v = ? where id = ?" % t, [["x", "z"], [1, 3]])
    assert cur.rowcount == 0  # only single-row inserts report a batch count
    cur.execute("select v from %s order by id" % t)
    assert [r[0] for r in cur.fetchall()] == ["x", "b", "z"]


def test_executebatch_time_column(cur, table):
    t = table("id bigint, tm time")
    cur.executebatch(
        "insert into %s values (?, ?)" % t,
        [[1, 2], [datetime.time(4, 5, 6, 7), None]],
    )
    cur.execute("select tm::text from %s order by id" % t)
    assert [r[0] for r in cur.fetchall()] == ["04:05:06.000007", None]


def test_executebatch_refusal_sends_nothing(cur, table):
    t = table("id bigint, v text")
    with pytest.raises(_pyztdb.ProgrammingError, match="column 2, row 2: expected str, got int"):
        cur.executebatch("insert into %s values (?, ?)" % t, [[1, 2], ["a", 2]])
    assert scalar(cur, "select count(*) from %s" % t) == 0


DATETIMES = [
    datetime.datetime(2024, 2, 29, 12, 0, 0, 1),
    None,
    datetime.datetime(1, 1, 1),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999999),
    datetime.datetime(1969, 12, 31, 23, 59, 59, 999999),
    datetime.datetime(2020, 1, 2, 3, 4, 5, 6, tzinfo=datetime.timezone(datetime.timedelta(hours=5))),
]


# Datetimes handed over as microsecond counts store what their texts store, on every path:
# binary COPY (timestamp, timestamptz read as UTC, text), COPY in text (timestamptz in another
# zone, date), and the statement path (a view, an UPDATE).
@pytest.mark.parametrize("column, zone, statement", [
    ("timestamp", "UTC", "insert into {t} values (?, ?)"),
    ("timestamptz", "UTC", "insert into {t} values (?, ?)"),
    ("timestamptz", "America/New_York", "insert into {t} values (?, ?)"),
    ("text", "UTC", "insert into {t} (id, v) values (?, ?)"),
    ("varchar(40)", "UTC", "insert into {t} values (?, ?)"),
    ("date", "UTC", "insert into {t} values (?, ?)"),
    ("timestamp", "UTC", "insert into {t}_view values (?, ?)"),
    ("timestamptz", "Asia/Kolkata", "update {t} set v = ? where id = ?"),
])
def test_executebatch_datetime_counts_store_what_texts_store(cur, table, column, zone, statement):
    t = table("id bigint, v %s" % column)
    cur.execute("create or replace view %s_view as select * from %s" % (t, t))
    cur.execute("set timezone = '%s'" % zone)
    ids = list(range(len(DATETIMES)))
    stored = []
    try:
        for counts in (False, True):
            cur.execute("delete from %s" % t)
            if statement.startswith("update"):
                cur.executebatch("insert into %s (id) values (?)" % t, [ids])
                cur.executebatch(statement.format(t=t), [DATETIMES, ids], datetime_counts=counts)
            else:
                cur.executebatch(statement.format(t=t), [ids, DATETIMES], datetime_counts=counts)
            cur.execute("select v::text from %s order by id" % t)
            stored.append([r[0] for r in cur.fetchall()])
    finally:
        cur.execute("drop view %s_view" % t)
    assert stored[1] == stored[0]
    assert stored[0][1] is None and stored[0][0].startswith("2024-02-29")
