"""cursor.copy() as psycopg 3 has it: formats x directions x types, raw data, params,
and what an exception inside the block leaves behind."""
import datetime
import uuid
from decimal import Decimal

import pytest

import ztcondb
from ztcondb import sql

UTC = datetime.timezone.utc

# (column type, values written, values read back where they differ)
TYPES = [
    ("int4", [0, -2147483648, 2147483647, None], None),
    ("int8", [2 ** 62, -1, None], None),
    ("int2", [-32768, 7], None),
    ("text", ["plain", "tab\there", "new\nline", "back\\slash", "", "ünï", "\\N", None], None),
    ("numeric", [Decimal("0"), Decimal("-12.340"), Decimal("123456789012.000001"),
                 Decimal("0.0001"), Decimal("1E+3"), Decimal("NaN")],
     [Decimal("0"), Decimal("-12.340"), Decimal("123456789012.000001"), Decimal("0.0001"),
      Decimal("1000"), Decimal("NaN")]),
    ("bool", [True, False, None], None),
    ("float8", [1.5, -0.1, 1e300, float("inf")], None),
    ("date", [datetime.date(2024, 2, 29), datetime.date(1, 1, 1)], None),
    ("timestamp", [datetime.datetime(2024, 2, 29, 13, 14, 15, 500), datetime.datetime(1999, 12, 31)],
     None),
    ("timestamptz", [datetime.datetime(2024, 2, 29, 13, 14, 15, tzinfo=UTC),
                     datetime.datetime(2024, 1, 1, 1, tzinfo=datetime.timezone(
                         datetime.timedelta(hours=3)))],
     [datetime.datetime(2024, 2, 29, 13, 14, 15, tzinfo=UTC),
      datetime.datetime(2023, 12, 31, 22, tzinfo=UTC)]),
    ("bytea", [b"", b"\x00\xff\\\t", None], None),
    ("uuid", [uuid.UUID(int=12345)], None),
    ("jsonb", ['{"a": [1, 2]}'], [{"a": [1, 2]}]),
]


@pytest.fixture(scope="module")
def conn(pg):
    with ztcondb.connect(host=pg["host"], port=pg["port"], dbname=pg["db"], user=pg["user"],
                         autocommit=True) as conn:
        yield conn


@pytest.mark.parametrize("fmt", ["text", "binary"])
@pytest.mark.parametrize("pgtype, values, read_back", TYPES, ids=[t[0] for t in TYPES])
def test_rows_round_trip(conn, fmt, pgtype, values, read_back):
    table = "copy_rt_%s" % fmt
    conn.execute("drop table if exists %s" % table)
    conn.execute("create temporary table %s (i int, v %s)" % (table, pgtype))
    cur = conn.cursor()
    options = " (format binary)" if fmt == "binary" else ""
    with cur.copy("copy %s (i, v) from stdin%s" % (table, options)) as copy:
        copy.set_types(["int4", pgtype])
        for i, value in enumerate(values):
            copy.write_row((i, value))
    assert cur.rowcount == len(values)
    # What the server stored, read by a plain query, is what was written.
    stored = conn.execute("select v::text is null from %s order by i" % table).fetchall()
    assert [s for (s,) in stored] == [v is None for v in values]
    with cur.copy("copy (select v from %s order by i) to stdout%s" % (table, options)) as copy:
        copy.set_types([pgtype])
        got = [v for (v,) in copy.rows()]
    expected = values if read_back is None else read_back
    if pgtype == "float8" or pgtype == "numeric":
        assert [str(v) for v in got] == [str(v) for v in expected]
    else:
        assert got == expected


@pytest.mark.parametrize("fmt", ["text", "binary"])
def test_untyped_rows_and_raw_data(conn, fmt):
    cur = conn.cursor()
    options = " (format binary)" if fmt == "binary" else ""
    with cur.copy("copy (values (1, 'a'), (2, null)) to stdout" + options) as copy:
        rows = list(copy.rows())
    if fmt == "text":
        assert rows == [("1", "a"), ("2", None)]
    else:
        assert rows == [(b"\x00\x00\x00\x01", b"a"), (b"\x00\x00\x00\x02", None)]
    with cur.copy("copy (select generate_series(1, 3)) to stdout" + options) as copy:
        data = b"".join(copy)
    assert (data == b"1\n2\n3\n") if fmt == "text" else data.startswith(b"PGCOPY\n")


def test_write_raw_text_and_csv(conn):
    conn.execute("create temporary table if not exists copy_raw (i int, t text)")
    conn.execute("delete from copy_raw")
    cur = conn.cursor()
    with cur.copy("copy copy_raw from stdin") as copy:
        copy.write("1\tone\n")
        copy.write_row((2, "two"))
        copy.write(b"3\tthree\n")
    with cur.copy("copy copy_raw from stdin (format csv)") as copy:
        copy.write('4,"fo,ur"\n')
        with pytest.raises(ztcondb.NotSupportedError):
            copy.write_row((5, "five"))
    assert conn.execute("select i, t from copy_raw order by i").fetchall() == [
        (1, "one"), (2, "two"), (3, "three"), (4, "fo,ur")]


@pytest.mark.parametrize("failure", [
    lambda copy: (_ for _ in ()).throw(ValueError("stop")),
    lambda copy: copy.write_row((1, object())),
    lambda copy: copy.write_row((2 ** 40, "x")),
], ids=["exception", "unwritable-value", "out-of-range-binary"])
@pytest.mark.parametrize("fmt", ["text", "binary"])
def test_failure_in_block_stores_nothing(conn, failure, fmt):
    conn.execute("create temporary table if not exists copy_fail (i int, t text)")
    conn.execute("delete from copy_fail")
    cur = conn.cursor()
    options = " (format binary)" if fmt == "binary" else ""
    with pytest.raises((ValueError, ztcondb.Error)):
        with cur.copy("copy copy_fail from stdin" + options) as copy:
            copy.set_types(["int4", "text"])
            copy.write_row((9, "written before"))
            failure(copy)
    assert conn.execute("select count(*) from copy_fail").fetchone() == (0,)


@pytest.mark.parametrize("statement, params, expected", [
    ("copy (select %s::int, %s::text) to stdout", (5, "it's"), ("5", "it's")),
    ("copy (select %(a)s::text, %(b)s::text) to stdout", {"a": "x\\y", "b": None},
     ("x\\y", None)),
    ("copy (select '100%%', %s::date) to stdout", (datetime.date(2024, 1, 2),),
     ("100%", "2024-01-02")),
    (sql.SQL("copy (select {}, %s::int) to stdout").format(sql.Literal("it's")), (3,),
     ("it's", "3")),
])
def test_statement_params(conn, statement, params, expected):
    with conn.cursor().copy(statement, params) as copy:
        assert copy.read_row() == expected
        assert copy.read_row() is None


@pytest.mark.parametrize("misuse, error", [
    (lambda copy: copy.read(), ztcondb.ProgrammingError),
    (lambda copy: copy.set_types(["no_such_type"]), ztcondb.NotSupportedError),
    (lambda copy: copy.write_row("abc"), TypeError),
], ids=["read-from-copy-in", "unknown-type", "row-not-sequence"])
def test_misuse_is_refused_and_session_stays_usable(conn, misuse, error):
    conn.execute("create temporary table if not exists copy_misuse (t text)")
    with pytest.raises(error):
        with conn.cursor().copy("copy copy_misuse from stdin") as copy:
            misuse(copy)
    assert conn.execute("select 1").fetchone() == (1,)


def test_server_error_raised_as_the_drivers(conn):
    with pytest.raises(ztcondb.ProgrammingError, match="no_such_table"):
        with conn.cursor().copy("copy no_such_table from stdin"):
            pass
    assert conn.execute("select 1").fetchone() == (1,)
