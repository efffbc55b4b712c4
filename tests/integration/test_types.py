"""Every column type of the library's mapping, described and read back converted,
against a real PostgreSQL server."""
import datetime

import pytest

# (column definition, SQL literal, expected Python value, type name, size, scale)
TYPES = [
    ("c_bool boolean", "true", b"T", "BOOLEAN", 1, 0),
    ("c_small smallint", "-32768", -32768, "SMALLINT", 2, 0),
    ("c_int integer", "2147483647", 2147483647, "INTEGER", 4, 0),
    ("c_big bigint", "-9223372036854775808", -9223372036854775808, "BIGINT", 8, 0),
    ("c_real real", "1.5", 1.5, "FLOAT", 4, 0),
    ("c_double double precision", "0.1", 0.1, "DOUBLE", 8, 0),
    ("c_num numeric(10,2)", "12.50", 12.5, "NUMERIC", 10, 2),
    ("c_numfree numeric", "-0.000123", -0.000123, "NUMERIC", -1, -1),
    ("c_varchar varchar(20)", "'grüße'", "grüße", "VARCHAR", 20, 0),
    ("c_char char(5)", "'ab'", "ab   ", "CHAR", 5, 0),
    ("c_text text", "'any text'", "any text", "VARCHAR", 65535, 0),
    ("c_date date", "'2024-02-29'", "2024-02-29", "DATE", 3, 0),
    ("c_time time", "'12:34:56'", "12:34:56", "TIME", 15, 0),
    ("c_ts timestamp", "'2024-01-05 12:34:56.123456'",
     datetime.datetime(2024, 1, 5, 12, 34, 56, 123000), "DATETIME", 26, 0),
    ("c_ts3 timestamp(3)", "'1900-03-01 00:00:01.5'",
     datetime.datetime(1900, 3, 1, 0, 0, 1, 500000), "DATETIME", 23, 0),
    ("c_tstz timestamptz", "'2024-01-05 12:00:00+02'",
     datetime.datetime(2024, 1, 5, 10, 0), "DATETIME", 26, 0),
    ("c_timetz timetz", "'12:34:56+02'", "12:34:56+02", "TIME", 21, 0),
    ("c_ym interval year to month", "'1 year 2 months'", "1-02", "INTERVAL YEAR TO MONTH", 4, 0),
    ("c_ds interval", "'-1 day -01:01:01.000001'", "-0000001 01:01:01.000001",
     "INTERVAL DAY TO SECOND", 8, 0),
    ("c_bytea bytea", "'\\x00ff10'::bytea", b"\x00\xff\x10", "BLOB", -1, 0),
    ("c_uuid uuid", "'12345678-1234-5678-1234-567812345678'",
     "12345678-1234-5678-1234-567812345678", "VARCHAR", 65535, 0),
    ("c_name name", "'relname'", "relname", "VARCHAR", 63, 0),
    ("c_ref refcursor", "'portal'", "portal", "RefCursor", -1, 0),
    ("c_json jsonb", "'{\"a\": [1, 2]}'", '{"a": [1, 2]}', "VARCHAR", 65535, 0),
]


@pytest.fixture
def all_types(cur, table_name):
    cur.execute("create table %s (%s)" % (table_name, ", ".join(t[0] for t in TYPES)))
    cur.execute("insert into %s values (%s)" % (table_name, ", ".join(t[1] for t in TYPES)))
    cur.execute("insert into %s default values" % table_name)
    try:
        yield table_name
    finally:
        cur.execute("drop table %s" % table_name)


def test_description_of_every_type(cur, all_types):
    cur.execute("select * from %s" % all_types)
    got = [(d[0], d[1], d[4], d[5]) for d in cur.description]
    want = [(t[0].split()[0], t[3], t[4], t[5]) for t in TYPES]
    assert got == want
    assert all(d[2] is None and d[3] is None and d[6] is None for d in cur.description)


def test_every_type_read_back(cur, all_types):
    cur.execute("select * from %s where c_int is not null" % all_types)
    row = cur.fetchone()
    for (column, _, expected, _, _, _), value in zip(TYPES, row):
        assert (column, value) == (column, expected)
        assert type(value) is type(expected), column
    assert cur.fetchone() is None


def test_every_type_null(cur, all_types):
    cur.execute("select * from %s where c_int is null" % all_types)
    row = cur.fetchone()
    for (column, *_), value in zip(TYPES, row):
        # TIME and RefCursor columns read through the text buffer, where NULL
        # leaves "".
        assert value == ("" if column.startswith(("c_time", "c_ref")) else None), column


def test_column_name_qualified_by_table(cur):
    cur.execute('select 1 as "T1.ID", 2 as "X%Y.Z", 3 as id')
    assert [d[0] for d in cur.description] == ["ID", "Y.Z", "id"]
    assert cur.getResultcolname(1) == "T1.ID"


@pytest.mark.parametrize("length", [200000, 1000000])
def test_long_text_read_back_whole(cur, length):
    # Regression (long values cut at 196,608 bytes): a 1 MB text arrives whole.
    cur.execute("select repeat('é', %d) as t, repeat('x', %d)::varchar(%d) as v"
                % (length // 2, length, length))
    text, varchar = cur.fetchone()
    assert text == "é" * (length // 2)
    assert varchar == "x" * length


def test_long_text_through_a_table(cur, table_name):
    cur.execute("create table %s (t text, c char(4))" % table_name)
    try:
        value = "".join(chr(0x4E00 + i % 5000) for i in range(400000))
        cur.execute("insert into %s values (?, ?)" % table_name, (value, "ééé"))
        cur.execute("select t, c from %s" % table_name)
        assert cur.fetchall() == [(value, "ééé ")]
    finally:
        cur.execute("drop table %s" % table_name)


@pytest.mark.parametrize("expression, expected", [
    ("timestamp '0001-01-01 00:00:00'", datetime.datetime(1, 1, 1)),
    ("timestamp '9999-12-31 23:59:59.999'",
     datetime.datetime(9999, 12, 31, 23, 59, 59, 999000)),
    ("timestamp '1969-12-31 23:59:59.999'",
     datetime.datetime(1969, 12, 31, 23, 59, 59, 999000)),
    ("timestamp '1970-01-01'", datetime.datetime(1970, 1, 1)),
    ("timestamp 'infinity'", None),
    ("timestamptz '2024-06-01 12:00:00+02'", datetime.datetime(2024, 6, 1, 10, 0)),
])
def test_timestamps(cur, expression, expected):
    cur.execute("set time zone 'UTC'")
    cur.execute("select " + expression)
    assert cur.fetchone() == (expected,)


@pytest.mark.parametrize("literal", ["'0001-12-31 23:59:59 BC'", "'10000-01-01'"])
def test_timestamp_outside_years_1_to_9999_raises(cur, literal):
    # Regression (such values silently replaced): the fetch fails with ValueError.
    cur.execute("select %s::timestamp" % literal)
    with pytest.raises(ValueError):
        cur.fetchone()


@pytest.mark.parametrize("literal, expected", [
    ("'-1 year -2 months'::interval year to month", "-1-02"),
    ("'0'::interval year to month", "0-00"),
    ("'1 day 01:01:01.000001'::interval", "0000001 01:01:01.000001"),
    ("'0'::interval", "0000000 00:00:00.000000"),
    ("'1 mon'::interval", "0000030 00:00:00.000000"),
])
def test_intervals(cur, literal, expected):
    cur.execute("select %s" % literal)
    assert cur.fetchone() == (expected,)


def test_large_bytea(cur):
    cur.execute("select decode(repeat('00ff7f', 300000), 'hex')")
    (value,) = cur.fetchone()
    assert value == b"\x00\xff\x7f" * 300000


def test_numeric_precision_to_float(cur):
    cur.execute("select 12345678901234567890.123::numeric, 1e-30::numeric, 'NaN'::numeric")
    big, tiny, nan = cur.fetchone()
    assert big == pytest.approx(1.2345678901234568e19)
    assert tiny == pytest.approx(1e-30)
    assert nan != nan
