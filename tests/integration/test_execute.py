"""execute against a real server: parameters of every Python type reach the table
intact, rowcount after each kind of statement, server errors, large texts."""

import datetime
import decimal

import pytest

import _pyztdb


def server_text(cur, name):
    cur.execute("select c::text from %s" % name)
    return cur.fetchone()[0]


# value, column type, the server's text of the stored value, the value read back
ROUND_TRIPS = [
    (True, "boolean", "true", b"T"),
    (False, "boolean", "false", b"F"),
    (0, "bigint", "0", 0),
    (-2 ** 63, "bigint", "-9223372036854775808", -2 ** 63),
    (2 ** 63 - 1, "bigint", "9223372036854775807", 2 ** 63 - 1),
    (7, "integer", "7", 7),
    (-3, "smallint", "-3", -3),
    (1.5, "double precision", "1.5", 1.5),
    (-0.1, "double precision", "-0.1", -0.1),
    (1.0 / 3, "double precision", "0.3333333333333333", 1.0 / 3),
    (1e-20, "double precision", "1e-20", 1e-20),
    (1e100, "double precision", "1e+100", 1e100),
    (float("inf"), "double precision", "Infinity", float("inf")),
    (float("-inf"), "double precision", "-Infinity", float("-inf")),
    ("plain text", "text", "plain text", "plain text"),
    ("h\u00e9 \u20ac \U0001F600 \u4e2d", "text", "h\u00e9 \u20ac \U0001F600 \u4e2d",
     "h\u00e9 \u20ac \U0001F600 \u4e2d"),
    ("quote ' and \\ backslash", "varchar(40)", "quote ' and \\ backslash",
     "quote ' and \\ backslash"),
    ("2.5", "numeric", "2.5", 2.5),
    (b"\x00\x01\xfe\xff", "bytea", "\\x0001feff", b"\x00\x01\xfe\xff"),
    (bytearray(b"abc"), "bytea", "\\x616263", b"abc"),
    (memoryview(b"xyz"), "bytea", "\\x78797a", b"xyz"),
    (decimal.Decimal("12345678901234567890.123456789"), "numeric",
     "12345678901234567890.123456789", 12345678901234567890.123456789),
    (decimal.Decimal("-0.000001"), "numeric(10,6)", "-0.000001", -0.000001),
    (datetime.datetime(2021, 3, 7, 4, 5, 6, 7000), "timestamp",
     "2021-03-07 04:05:06.007", datetime.datetime(2021, 3, 7, 4, 5, 6, 7000)),
    (datetime.date(2021, 3, 7), "date", "2021-03-07", "2021-03-07"),
    (datetime.date(5, 3, 7), "date", "0005-03-07", "0005-03-07"),
    (datetime.time(4, 5, 6, 120000), "time", "04:05:06.12", "04:05:06.12"),
]


@pytest.mark.parametrize("value, column, text, back", ROUND_TRIPS,
                         ids=[repr(r[0])[:40] for r in ROUND_TRIPS])
def test_round_trip(cur, table, value, column, text, back):
    name = table("c %s" % column)
    cur.execute("insert into %s values (?)" % name, [value])
    assert cur.rowcount == 1
    assert server_text(cur, name) == text
    cur.execute("select c from %s" % name)
    got = cur.fetchone()[0]
    assert got == back
    assert type(got) is type(back)


def test_null_round_trip(cur, table):
    name = table("a integer, b text, c bytea")
    cur.execute("insert into %s values (?, ?, ?)" % name, (None, None, None))
    cur.execute("select a, b, c, a is null and b is null and c is null from %s" % name)
    assert cur.fetchone() == (None, None, None, b"T")


def test_several_parameters_land_in_their_columns(cur, table):
    name = table("i bigint, t text, f double precision, d date, b boolean")
    cur.execute("insert into %s values (?, ?, ?, ?, ?)" % name,
                (42, "x", 2.25, datetime.date(2000, 1, 2), True))
    cur.execute("select i, t, f, d::text, b from %s where i = ? and t = ?" % name, [42, "x"])
    assert cur.fetchall() == [(42, "x", 2.25, "2000-01-02", b"T")]


def test_rowcount_after_each_kind_of_statement(cur, table):
    name = table("id integer, v text")
    for i in range(5):
        cur.execute("insert into %s values (?, ?)" % name, (i, "v%d" % i))
        assert cur.rowcount == 1
    cur.execute("insert into %s select g, 'x' from generate_series(10, 12) g" % name)
    assert cur.rowcount == 3
    cur.execute("update %s set v = ? where id < ?" % name, ("u", 3))
    assert cur.rowcount == 3
    cur.execute("delete from %s where id >= 10" % name)
    assert cur.rowcount == 3
    cur.execute("select id from %s order by id" % name)
    assert cur.rowcount == 5
    assert [r[0] for r in cur.fetchall()] == [0, 1, 2, 3, 4]
    cur.execute("select id from %s where id > 100" % name)
    assert cur.rowcount == 0
    assert cur.fetchall() == []
    cur.execute("create index on %s (id)" % name)
    assert cur.rowcount == 0
    assert cur.description is None


def test_description_after_a_query(cur):
    cur.execute("select 1::integer as one, 'x'::text as two")
    assert [d[0] for d in cur.description] == ["one", "two"]


@pytest.mark.parametrize("sql, params, message", [
    ("select * from no_such_table_here", None, 'relation "no_such_table_here" does not exist'),
    ("select ?::integer", ["abc"], "22P02"),
    ("selec 1", None, "42601"),
])
def test_server_errors_carry_the_server_message(cur, sql, params, message):
    with pytest.raises(_pyztdb.OperationalError) as info:
        if params is None:
            cur.execute(sql)
        else:
            cur.execute(sql, params)
    assert message in str(info.value)
    # the cursor stays usable
    cur.execute("select 2")
    assert cur.fetchone() == (2,)


def test_refused_values_never_reach_the_server(cur, table):
    name = table("a integer, b integer")
    for bad in ([1, (2,)], [1, 2 ** 64], [1, object()], [1, datetime.timedelta(1)]):
        with pytest.raises((_pyztdb.Error, OverflowError)):
            cur.execute("insert into %s values (?, ?)" % name, bad)
    cur.execute("select count(*) from %s" % name)
    assert cur.fetchone() == (0,)


def test_one_megabyte_of_text_comes_back_whole(cur, table):
    name = table("c text")
    big = "".join(chr(0x41 + i % 26) for i in range(1 << 20)) + "\u20ac" * 1000
    cur.execute("insert into %s values (?)" % name, [big])
    cur.execute("select c, length(c) from %s" % name)
    got, length = cur.fetchone()
    assert length == len(big)
    assert got == big


def test_execute_without_parameters_runs_several_statements(cur, table):
    name = table("a integer")
    cur.execute("insert into %s values (1); insert into %s values (2)" % (name, name))
    cur.execute("select count(*) from %s" % name)
    assert cur.fetchone() == (2,)
