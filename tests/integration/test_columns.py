"""Columns for data work against a real server: fetch_columns into NumPy arrays,
read_frame beside pandas.read_sql (SQLAlchemy + psycopg2) over types x NULL patterns,
write_frame -> read_frame round trips, chunks, and partitioned reads that fail."""
import datetime
import decimal
import os
import sys
import time
import uuid

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402

# NumPy and pandas leave memory behind at exit, which the leak check of the sanitized run
# reports: there only the tests that need neither run (the decoding itself, through
# memoryview).
try:
    if os.environ.get("ZT_SANITIZER_PRELOAD"):
        raise ImportError
    import numpy as np
    import pandas as pd
except ImportError:
    np = pd = None
needs_pandas = pytest.mark.skipif(pd is None, reason="NumPy and pandas are not importable "
                                                     "(or leak under the sanitizers)")


@pytest.fixture
def zconn(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    yield conn
    conn.close()


@pytest.fixture
def sa_engine(pg):
    """pandas.read_sql's usual route: SQLAlchemy over psycopg2."""
    if os.environ.get("ZT_SANITIZER_PRELOAD"):
        pytest.skip("SQLAlchemy's greenlet leaks at exit under the sanitizers")
    sa = pytest.importorskip("sqlalchemy", reason="python3-sqlalchemy is not installed")
    pytest.importorskip("psycopg2", reason="python3-psycopg2 is not installed")
    eng = sa.create_engine("postgresql+psycopg2://%s@%s:%d/%s"
                           % (pg["user"], pg["host"], pg["port"], pg["db"]))
    yield eng
    eng.dispose()


# Types x NULL patterns: (SQL type, a value expression of g = 1..4). NULL patterns make
# the values NULL where the pattern says so.
TYPES = [
    ("smallint", "(g * 100 - 250)::smallint"),
    ("integer", "(g * 100000 - 250000)::integer"),
    ("bigint", "(g * 4000000000 - 9000000000)::bigint"),
    ("real", "(g * 1.1)::real"),
    ("double precision", "g / 3.0::float8"),
    ("numeric", "(g * 1234.5678 - 3000)::numeric(12,4)"),
    ("boolean", "mod(g, 2) = 0"),
    ("text", "repeat('é', g) || g"),
    ("varchar", "('v' || g)::varchar(8)"),
    ("bytea", "decode(lpad(to_hex(g * 255), 4, '0'), 'hex')"),
    ("date", "date '1999-12-30' + g * 400"),
    ("timestamp", "timestamp '1969-12-31 23:59:58.5' + g * interval '1 day 1.25 s'"),
    ("timestamptz", "timestamptz '2020-03-01 12:00:00+05' + g * interval '7 h'"),
    ("interval", "g * interval '1 day 2 h 3.5 s' - interval '2 days'"),
    ("time", "time '00:00:01.25' + g * interval '3 h'"),
    ("uuid", "('00000000-0000-0000-0000-00000000000' || g)::uuid"),
]
NULLS = {"none": "false", "all": "true", "odd": "mod(g, 2) = 1", "first": "g = 1"}


def _normal(v):
    """One value in a comparable form: NULL-likes as None, dates and times as
    Timestamps, bytes-likes as bytes, numbers as float."""
    if v is None or v is pd.NA or v is pd.NaT or (isinstance(v, float) and np.isnan(v)):
        return None
    if isinstance(v, (np.floating, np.integer, decimal.Decimal)) and not isinstance(v, bool):
        return float(v)
    if isinstance(v, (memoryview, bytearray)):
        return bytes(v)
    if isinstance(v, datetime.date) and not isinstance(v, datetime.datetime):
        return pd.Timestamp(v)
    if isinstance(v, (datetime.timedelta, np.timedelta64)):
        return pd.Timedelta(v)
    if isinstance(v, np.bool_):
        return bool(v)
    if isinstance(v, uuid.UUID):
        # The driver reads uuid columns as their text.
        return str(v)
    return v


def _values(series):
    return [_normal(v) for v in series.astype(object)]


@needs_pandas
@pytest.mark.parametrize("nulls", sorted(NULLS))
@pytest.mark.parametrize("sql_type, expr", TYPES, ids=[t for t, _ in TYPES])
def test_values_as_read_sql_gives(zconn, sa_engine, sql_type, expr, nulls):
    query = ("SELECT g, CASE WHEN %s THEN NULL ELSE %s END::%s AS v "
             "FROM generate_series(1, 4) AS g ORDER BY g" % (NULLS[nulls], expr, sql_type))
    ours = ztcondb.read_frame(zconn, query)
    theirs = pd.read_sql(query, sa_engine)
    assert list(ours.columns) == ["g", "v"]
    assert _values(ours["v"]) == _values(theirs["v"])
    if nulls == "none" and theirs["v"].dtype != object:
        # Native columns where pandas has them (integers stay integers with NULLs).
        assert ours["v"].dtype.kind == theirs["v"].dtype.kind or sql_type == "real"


@needs_pandas
@pytest.mark.parametrize("expr, dtype, expected", [
    ("g::smallint", "int16", [1, 2, 3]),
    ("g::bigint * 3000000000", "int64", [3000000000, 6000000000, 9000000000]),
    ("(g / 4.0)::real", "float32", [0.25, 0.5, 0.75]),
    ("g % 2 = 1", "bool", [True, False, True]),
    ("date '2000-02-28' + g", "datetime64[D]", ["2000-02-29", "2000-03-01", "2000-03-02"]),
    ("timestamp '0044-03-15 BC' + g * interval '1 us'", "datetime64[us]",
     ["-043-03-15T00:00:00.00000%d" % g for g in (1, 2, 3)]),
    ("g * interval '1 mon 1 us'", "timedelta64[us]",
     ["%d microseconds" % (30 * 86400000000 * g + g) for g in (1, 2, 3)]),
    ("'[' || g || ']'::text", "object", ["[1]", "[2]", "[3]"]),
    ("json_build_object('a', g)", "object", ['{"a" : 1}', '{"a" : 2}', '{"a" : 3}']),
    ("ARRAY[g, g]", "object", ["{1,1}", "{2,2}", "{3,3}"]),
])
def test_fetch_columns_native_arrays(zconn, expr, dtype, expected):
    cur = zconn.cursor()
    cur.execute("SELECT %s AS v FROM generate_series(1, 3) AS g ORDER BY g" % expr)
    arr = cur.fetch_columns()["v"]
    assert arr.dtype == np.dtype(dtype)
    assert [str(v) for v in arr] == [str(v) for v in expected]
    assert cur.fetch_columns()["v"].size == 0


@needs_pandas
def test_fetch_columns_masks_nulls_and_numeric_exactly(zconn):
    cur = zconn.cursor()
    cur.execute("SELECT CASE WHEN g = 2 THEN NULL ELSE g END AS i, "
                "CASE WHEN g = 3 THEN NULL ELSE g / 3.0 END AS n, "
                "timestamp 'infinity' AS inf FROM generate_series(1, 3) AS g ORDER BY g")
    cols = cur.fetch_columns(exact_numeric=True)
    assert cols["i"].dtype == np.int32 and list(cols["i"].mask) == [False, True, False]
    assert cols["n"].dtype == object
    assert list(cols["n"]) == [decimal.Decimal("0.33333333333333333333"),
                               decimal.Decimal("0.66666666666666666667"), None]
    # An infinite timestamp has no microsecond count: NaT-like, masked.
    assert list(cols["inf"].mask) == [True] * 3


@needs_pandas
@pytest.mark.parametrize("expr, expected", [
    ("date '1500-03-01'", datetime.date(1500, 3, 1)),
    ("timestamp '3000-01-01 00:00:01.5'", datetime.datetime(3000, 1, 1, 0, 0, 1, 500000)),
    ("interval '300 years 1 us'", datetime.timedelta(days=108000, microseconds=1)),
])
def test_frame_values_beyond_nanoseconds_stay_objects(zconn, expr, expected):
    """pandas counts date-times in 64 bits of nanoseconds: values beyond make the column
    one of objects instead of wrapping around."""
    frame = ztcondb.read_frame(zconn, "SELECT %s AS v UNION ALL SELECT NULL" % expr)
    assert frame["v"].dtype == object
    assert list(frame["v"]) == [expected, None]


@needs_pandas
@pytest.mark.parametrize("readahead", [False, True])
def test_named_cursor_columns_across_pages(zconn, readahead):
    """More rows than a block of the decoder and than a page: nothing lost at the
    seams, rows already fetched as tuples not read again."""
    cur = zconn.cursor("cols_named")
    cur.itersize = 1000
    cur.readahead = readahead
    cur.execute("SELECT g, g::text AS t FROM generate_series(1, 140001) AS g ORDER BY g")
    assert cur.fetchmany(1000)[-1][0] == 1000
    cols = cur.fetch_columns()
    assert cols["g"].size == 139001 and cols["g"][0] == 1001
    assert int(cols["g"].sum()) == sum(range(1001, 140002))
    assert cols["t"][-1] == "140001"
    assert cur.rowcount == 140001
    cur.close()


@needs_pandas
def test_chunks_larger_than_one(zconn):
    chunks = list(ztcondb.read_frame(zconn, "SELECT g FROM generate_series(1, 10) AS g "
                                            "ORDER BY g", chunksize=4))
    assert [len(c) for c in chunks] == [4, 4, 2]
    assert [list(c["g"]) for c in chunks] == [[1, 2, 3, 4], [5, 6, 7, 8], [9, 10]]
    empty = list(ztcondb.read_frame(zconn, "SELECT 1 AS a WHERE false", chunksize=4))
    assert len(empty) == 1 and list(empty[0].columns) == ["a"] and len(empty[0]) == 0


ROUND_TRIPS = {} if pd is None else {
    "int64": pd.Series([1, -2, 2 ** 40], dtype="int64"),
    "int32": pd.Series([1, -2, 2 ** 30], dtype="int32"),
    "int16": pd.Series([1, -2, 300], dtype="int16"),
    "float64 with NaN": pd.Series([0.1, np.nan, -1e300]),
    "float32": pd.Series([0.5, 1.25, -2.0], dtype="float32"),
    "bool": pd.Series([True, False, True]),
    "Int64 with NA": pd.Series([1, None, 3], dtype="Int64"),
    "boolean with NA": pd.Series([True, None, False], dtype="boolean"),
    "Float64 with NA": pd.Series([0.5, None, -2.0], dtype="Float64"),
    "str with None": pd.Series(["a", None, "ü\u20ac"], dtype=object),
    "bytes": pd.Series([b"\x00\x01", b"", None], dtype=object),
    "datetime64 with NaT": pd.Series(pd.to_datetime(["1960-01-01 00:00:00.000001", None,
                                                     "2200-12-31 23:59:59"])),
    "datetime64 UTC": pd.Series(pd.to_datetime(["2020-01-01 12:00", "1999-06-30 01:02:03",
                                                None]).tz_localize("UTC")),
    "timedelta64": pd.Series(pd.to_timedelta(["1 days 00:00:01", "-3 s", None])),
}


@needs_pandas
@pytest.mark.parametrize("name", sorted(ROUND_TRIPS) or ["none"])
def test_write_frame_read_frame_round_trip(zconn, name):
    frame = pd.DataFrame({"k": [1, 2, 3], "v": ROUND_TRIPS[name]})
    assert ztcondb.write_frame(zconn, frame, "cols_rt", if_exists="replace") == 3
    back = ztcondb.read_frame(zconn, "SELECT k, v FROM cols_rt ORDER BY k")
    assert _values(back["v"]) == _values(frame["v"])
    zconn.rollback()


@needs_pandas
def test_write_frame_if_exists_and_existing_column_types(zconn):
    frame = pd.DataFrame({"a": np.array([1, 2], dtype=np.int64), "b": ["x", "y"]})
    cur = zconn.cursor()
    cur.execute("CREATE TABLE cols_exist (a integer, b text, c integer DEFAULT 7)")
    with pytest.raises(ztcondb.ProgrammingError, match="exists"):
        ztcondb.write_frame(zconn, frame, "cols_exist")
    # An int64 column fills an integer column, value by value checked.
    assert ztcondb.write_frame(zconn, frame, "cols_exist", if_exists="append") == 2
    too_big = pd.DataFrame({"a": np.array([2 ** 40], dtype=np.int64), "b": ["z"]})
    with pytest.raises(ztcondb.ProgrammingError, match="does not fit"):
        ztcondb.write_frame(zconn, too_big, "cols_exist", if_exists="append")
    cur.execute("SELECT a, b, c FROM cols_exist ORDER BY a")
    assert cur.fetchall() == [(1, "x", 7), (2, "y", 7)]
    # Timestamps fill a date column as their days; floats refuse an integer column.
    cur.execute("CREATE TABLE cols_dates (d date, n integer)")
    dated = pd.DataFrame({"d": pd.to_datetime(["1999-12-31 23:00", None]), "n": [1, 2]})
    ztcondb.write_frame(zconn, dated, "cols_dates", if_exists="append")
    cur.execute("SELECT d FROM cols_dates ORDER BY n")
    assert cur.fetchall() == [(datetime.date(1999, 12, 31),), (None,)]
    with pytest.raises(ztcondb.ProgrammingError, match="holds floats"):
        ztcondb.write_frame(zconn, pd.DataFrame({"n": [0.5]}), "cols_dates",
                            if_exists="append")
    ztcondb.write_frame(zconn, frame.iloc[:1], "cols_exist", if_exists="replace")
    cur.execute("SELECT * FROM cols_exist")
    assert cur.fetchall() == [(1, "x")]
    zconn.rollback()


@needs_pandas
def test_write_frame_failure_stores_nothing(zconn):
    cur = zconn.cursor()
    cur.execute("CREATE TABLE cols_fail (a bigint CHECK (a < 3))")
    zconn.commit()
    frame = pd.DataFrame({"a": np.arange(5, dtype=np.int64)})
    with pytest.raises(ztcondb.IntegrityError):
        ztcondb.write_frame(zconn, frame, "cols_fail", if_exists="append")
    zconn.rollback()
    cur.execute("SELECT count(*) FROM cols_fail")
    assert cur.fetchone() == (0,)
    cur.execute("DROP TABLE cols_fail")
    zconn.commit()


@needs_pandas
@pytest.mark.parametrize("partitions", [1, 2, 3, 7])
def test_partitioned_read_equals_whole(zconn, partitions):
    """Also with ranges that hold no row, and NULLs in some ranges only."""
    query = ("SELECT g, g * 0.5 AS h, 'x' || g AS t, nullif(mod(g, 4), 0) AS m FROM "
             "(SELECT generate_series(-5, 30) UNION ALL SELECT generate_series(200, 205)) "
             "AS s(g)")
    whole = ztcondb.read_frame(zconn, query + " ORDER BY g")
    parts = ztcondb.read_frame(zconn, query, partition_on="g", partitions=partitions)
    pd.testing.assert_frame_equal(parts.sort_values("g").reset_index(drop=True), whole)


def _sessions(cur):
    cur.execute("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'ztcondb' "
                "AND pid <> pg_backend_pid()")
    return cur.fetchone()[0]


@needs_pandas
def test_failed_partition_leaves_no_connection_open(zconn):
    cur = zconn.cursor()
    before = _sessions(cur)
    with pytest.raises(ztcondb.DataError):
        ztcondb.read_frame(zconn, "SELECT g, 1 / (g - 170) AS x FROM generate_series(1, 200) g",
                           partition_on="g", partitions=4)
    deadline = time.monotonic() + 3
    while _sessions(cur) > before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert _sessions(cur) == before


@needs_pandas
@pytest.mark.parametrize("query, error", [
    ("SELECT g FROM generate_series(1, 3) AS g ORDER BY g;", None),
    ("SELECT 1 / (g - 2) AS g FROM generate_series(1, 3) AS g", ztcondb.DataError),
])
def test_autocommit_reading_keeps_autocommit(zconn, query, error):
    """In autocommit mode the reading runs in a transaction of its own; the session is
    in autocommit mode afterwards, with nothing left open, also after a failure."""
    zconn.autocommit = True
    if error is None:
        assert list(ztcondb.read_frame(zconn, query)["g"]) == [1, 2, 3]
    else:
        with pytest.raises(error):
            ztcondb.read_frame(zconn, query)
    assert zconn.autocommit
    cur = zconn.cursor()
    cur.execute("SELECT count(*) FROM pg_cursors")
    assert cur.fetchone() == (0,)
    cur.execute("SELECT now() = statement_timestamp()")
    assert cur.fetchone() == (True,)


@needs_pandas
def test_bad_arguments(zconn):
    with pytest.raises(ztcondb.ProgrammingError):
        ztcondb.read_frame(zconn, "SELECT 1", chunksize=0)
    with pytest.raises(ztcondb.ProgrammingError):
        ztcondb.read_frame(zconn, "SELECT 1 AS g", partition_on="g")
    with pytest.raises(ztcondb.ProgrammingError):
        ztcondb.write_frame(zconn, pd.DataFrame({"a": [1]}), "t", if_exists="merge")
    with pytest.raises(ztcondb.ProgrammingError, match="numeric, date"):
        ztcondb.read_frame(zconn, "SELECT 'a' AS t", partition_on="t", partitions=2)
    cur = zconn.cursor()
    cur.execute("SELECT 1 AS a, 2 AS a")
    with pytest.raises(ztcondb.ProgrammingError, match="two columns"):
        cur.fetch_columns()


# Without NumPy: the module's columns read through memoryview. (expression, kind,
# struct format or None for objects, values of g = 1..3)
RAW = [
    ("g::smallint", "int16", "h", [1, 2, 3]),
    ("-g", "int32", "i", [-1, -2, -3]),
    ("g::bigint << 40", "int64", "q", [1 << 40, 2 << 40, 3 << 40]),
    ("g / 2.0::float8", "float64", "d", [0.5, 1.0, 1.5]),
    ("(g / 4.0)::real", "float32", "f", [0.25, 0.5, 0.75]),
    ("g::numeric / 4", "float64", "d", [0.25, 0.5, 0.75]),
    ("mod(g, 2) = 1", "bool", "?", [True, False, True]),
    ("date '1969-12-30' + g", "datetime64[D]", "q", [-1, 0, 1]),
    ("timestamp '1970-01-01' - g * interval '1 us'", "datetime64[us]", "q", [-1, -2, -3]),
    ("timestamptz '1970-01-01 01:00+01' + g * interval '1 s'", "datetime64[us, UTC]", "q",
     [1000000, 2000000, 3000000]),
    ("g * interval '1 mon 1 us'", "timedelta64[us]", "q",
     [2592000000001, 5184000000002, 7776000000003]),
    ("repeat('é', g)", "object", None, ["é", "éé", "ééé"]),
    ("decode(repeat('ff', g), 'hex')", "object", None, [b"\xff", b"\xff" * 2, b"\xff" * 3]),
]


def _raw_values(rows, kind, fmt, values):
    if fmt is None:
        return list(values)
    return list(memoryview(values).cast("B").cast(fmt)) if rows else []


@pytest.mark.parametrize("pages", [False, True], ids=["one-result", "binary-pages"])
@pytest.mark.parametrize("expr, kind, fmt, expected", RAW, ids=[r[0] for r in RAW])
def test_module_columns_from_text_and_binary_rows(zconn, expr, kind, fmt, expected, pages):
    query = ("SELECT CASE WHEN g = 0 THEN NULL ELSE %s END AS v "
             "FROM generate_series(0, 3) AS g ORDER BY g" % expr)
    if pages:
        cur = zconn.cursor("cols_raw")
        cur.execute(query)
        # Pages of two rows: the first page of values comes in binary form where the
        # types allow it.
        rows, [(name, got_kind, values, mask)] = _pyztdb.cursor.fetchcolumns(
            cur, cursor=cur.name, reader=cur._reading, pagesize=2)
    else:
        cur = zconn.cursor()
        cur.execute(query)
        rows, [(name, got_kind, values, mask)] = _pyztdb.cursor.fetchcolumns(cur)
    assert (rows, name, got_kind) == (4, "v", kind)
    got = _raw_values(rows, kind, fmt, values)
    assert got[1:] == expected
    assert bytes(mask) == b"\x01\x00\x00\x00"
    cur.close()
    zconn.rollback()


def test_module_columns_refuse_a_value_beyond_its_form(zconn):
    """A value the library cannot read in its column's form fails with its row and
    column; no column is handed out."""
    cur = zconn.cursor()
    cur.execute("SELECT 1 AS a, timestamp '2020-01-01' AS b UNION ALL "
                "SELECT 2, timestamp '294276-12-31 23:59:59'")
    with pytest.raises(ztcondb.Error, match=r"row 2, column 2: the value "
                                                       r"\"294276-12-31 23:59:59\""):
        _pyztdb.cursor.fetchcolumns(cur)
