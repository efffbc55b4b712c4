"""executebatch: one array binding per column, then one batch execution."""

import datetime
import decimal
import struct
import sys

import pytest

import _pyztdb

SQL = "insert into t values (?, ?)"
MISMATCH = "The number of parameters does not match and the batch operation cannot be performed"


@pytest.fixture
def cur(conn):
    return conn.cursor()


def packed(*texts):
    """The packed layout: per row a 4-byte length in machine order, then the bytes."""
    out = b""
    for t in texts:
        if t is None:
            out += struct.pack("=i", -1)
        else:
            out += struct.pack("=i", len(t)) + t
    return out


def bind_of(zd, pos=1, call="ZTC_BindParamArrayByPos"):
    (b,) = [c for c in zd.calls_of(call) if c["pos"] == pos]
    return b


def test_two_columns_of_three_rows(zd, cur):
    mark = len(zd.calls())
    cur.executebatch(SQL, [[1, 2, 3], ["a", "b", "c"]])
    binds = zd.calls_of("ZTC_BindParamArrayByPos")
    assert [(b["pos"], b["columns"], b["n"], b["direction"]) for b in binds] == [
        (1, 2, 3, 1),
        (2, 2, 3, 1),
    ]
    (ex,) = zd.calls_of("ZTC_ExecBatch")
    assert (ex["sql"], ex["rows"]) == (SQL, 3)
    names = [c.name for c in zd.calls()[mark:]]
    assert names[:2] == ["ZTC_Reset", "fun_sql_type"]
    assert names[-2:] == ["fun_sql_type", "ZTC_ExecBatch"]


@pytest.mark.parametrize(
    "column, type_code, size, values, lengths",
    [
        ([True, False, None], 5, 4, struct.pack("=3i", 1, 0, 0), [4, 4, -1]),
        ([1, None, -(2**63)], 6, 8, struct.pack("=3q", 1, 0, -(2**63)), [8, 0, 8]),
        ([1.5, None, -0.0], 8, 8, struct.pack("=3d", 1.5, 0.0, -0.0), [8, -1, 8]),
        (["ab", "cde"], 2, 13, packed(b"ab", b"cde"), [2, 3]),
        (["é", None, ""], 2, 4 + 2 + 4 + 4, packed("é".encode(), None, b""), [2, -1, 0]),
        ([b"\0\1", None], 15, 4 + 2 + 4, packed(b"\0\1", None), [2, -1]),
        # Fault mended: lossless mixes were refused. Ints a double holds exactly go in a
        # float column, 0 and 1 in a boolean one.
        ([1.5, 2, 0.25, -(2**53), 2**64], 8, 8, struct.pack("=5d", 1.5, 2, 0.25, -(2**53), 2**64),
         [8] * 5),
        ([True, 0, 1, False], 5, 4, struct.pack("=4i", 1, 0, 1, 0), [4] * 4),
        (
            [datetime.datetime(2021, 3, 7, 4, 5, 6, 7), datetime.datetime(5, 1, 2)],
            73,
            60,
            packed(b"2021-03-07 04:05:06.000007", b"0005-01-02 00:00:00.000000"),
            [26, 26],
        ),
        # Dates and times have a code of their own, four-digit years: the library never
        # takes a text for a date by its shape.
        ([datetime.date(5, 3, 7), None], 73, 18, packed(b"0005-03-07", None), [10, -1]),
        ([datetime.time(4, 5, 6)], 73, 19, packed(b"04:05:06.000000"), [15]),
        ([" 2024-01-01", "   5-03-07"], 2, 29, packed(b" 2024-01-01", b"   5-03-07"), [11, 10]),
        (
            [decimal.Decimal("12.50"), decimal.Decimal("-1E+3"), None],
            9,
            4 + 5 + 4 + 5 + 4,
            packed(b"12.50", b"-1E+3", None),
            [5, 5, -1],
        ),
    ],
)
@pytest.mark.parametrize("in_place", [False, True])
def test_column_encodings(zd, cur, column, type_code, size, values, lengths, in_place):
    cur.executebatch("insert into t values (?)", [column], in_place=in_place)
    b = bind_of(zd, call="ZTC_BindParamArrayInPlace" if in_place else "ZTC_BindParamArrayByPos")
    assert (b["type"], b["size"], b["n"]) == (type_code, size, len(column))
    assert b["values"] == values
    assert b["lengths"] == lengths
    # The lengths arrays (and the values bound in place) are still alive and unchanged when
    # the batch runs.
    (ex,) = zd.calls_of("ZTC_ExecBatch")
    assert ex["lengths_at_exec"] == {1: lengths}
    assert ex["values_at_exec"] == ({1: list(values)} if in_place else {})


# Fault mended: an aware value went as its UTC wall time without an offset, which the
# server read in the session's TimeZone. A column holding one goes as texts, the aware
# values with the offset "+00" (a count carries no offset).
@pytest.mark.parametrize("counts", [False, True])
def test_aware_datetime_sent_with_utc_offset(zd, cur, counts):
    tz = datetime.timezone(datetime.timedelta(hours=5))
    cur.executebatch("insert into t values (?)",
                     [[datetime.datetime(2020, 1, 2, 3, 4, 5), None,
                       datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=tz)]],
                     datetime_counts=counts)
    b = bind_of(zd)
    assert (b["type"], b["values"]) == (73, packed(b"2020-01-02 03:04:05.000000", None,
                                                  b"2020-01-01 22:04:05.000000+00"))


# Fault mended: a one-row INSERT batch counted every row, also those a trigger skipped.
# The count is the one the library reports for the batch.
@pytest.mark.parametrize("sql_type, reported, rowcount", [
    (1, None, 5), (1, 2, 2), (1, 0, 0), (2, 4, 0), (3, None, 0)])
def test_rowcount_by_class(zd, cur, sql_type, reported, rowcount):
    zd.set_sql_type(sql_type)
    if reported is not None:
        zd.set_return("ZTC_ExecBatch", reported)
    cur.executebatch("insert into t values (?)", [[1, 2, 3, 4, 5]])
    assert cur.rowcount == rowcount
    assert cur.description is None


# Fault mended: columns with no rows, or no columns at all, still went to the server.
@pytest.mark.parametrize("columns", [[], (), [[], []]])
def test_nothing_to_send_executes_nothing(zd, cur, columns):
    zd.set_sql_type(1)
    cur.rowcount = 9
    cur.executebatch(SQL, columns)
    assert cur.rowcount == 0
    assert "ZTC_ExecBatch" not in zd.names()
    assert "ZTC_BindParamArrayByPos" not in zd.names()


# Fault mended: these were bound (or silently left unbound) and the batch still ran.
@pytest.mark.parametrize(
    "columns, error, message",
    [
        ([[1, 2], [1]], _pyztdb.ProgrammingError, MISMATCH),
        ([[1], 5], _pyztdb.ProgrammingError, "column 2 is not a sequence"),
        ([[1], "ab"], _pyztdb.ProgrammingError, "column 2 is not a sequence"),
        ([[1, 2, 3], [4, 5, "x"]], _pyztdb.ProgrammingError, "column 2, row 3: expected int, got str"),
        ([[1, 2], [1.5, 2**53 + 1]], _pyztdb.ProgrammingError,
         "column 2, row 2: the int 9007199254740993 has no exact float value"),
        ([[1.5, 10**400]], _pyztdb.ProgrammingError, "column 1, row 2: the int"),
        ([[True, 2]], _pyztdb.ProgrammingError, "column 1, row 2: expected bool, got int"),
        ([[False, -1]], _pyztdb.ProgrammingError, "column 1, row 2: expected bool, got int"),
        ([[True, 1.0]], _pyztdb.ProgrammingError, "column 1, row 2: expected bool, got float"),
        ([["a", b"b"]], _pyztdb.ProgrammingError, "column 1, row 2: expected str, got bytes"),
        (
            [[datetime.date(2020, 1, 1), datetime.datetime(2020, 1, 1)]],
            _pyztdb.ProgrammingError,
            "column 1, row 2: expected datetime.date, got datetime.datetime",
        ),
        ([[decimal.Decimal(1), 1.5]], _pyztdb.ProgrammingError, "column 1, row 2: expected decimal.Decimal, got float"),
        ([[1], [bytearray(b"x")]], _pyztdb.ProgrammingError, "column 2: values of type bytearray"),
        ([[1], [datetime.timedelta(1)]], _pyztdb.ProgrammingError, "column 2: values of type datetime.timedelta"),
        ([[1], [None, 1]], _pyztdb.ProgrammingError, MISMATCH),
        ([[1, 2], [None, 1]], _pyztdb.ProgrammingError, "Parameter is null"),
        ([[1, 2**63]], OverflowError, "column 1, row 2"),
        ([["ok", "\ud800"]], UnicodeEncodeError, ""),
        # A zero character would end the text in the library and lose the rest.
        ([[1, 2], ["ok", "a\0b"]], _pyztdb.ProgrammingError,
         "column 2, row 2: text contains a zero character"),
        ([["\0"]], _pyztdb.ProgrammingError, "column 1, row 1: text contains a zero character"),
        (5, _pyztdb.ProgrammingError, "sequence of columns"),
    ],
)
def test_refused_before_anything_is_bound(zd, cur, columns, error, message):
    with pytest.raises(error) as e:
        cur.executebatch(SQL, columns)
    assert message in str(e.value)
    if message in (MISMATCH, "Parameter is null"):
        assert str(e.value) == message
    assert "ZTC_BindParamArrayByPos" not in zd.names()
    assert "ZTC_ExecBatch" not in zd.names()


def test_multi_statement_refused(zd, cur):
    zd.set_sql_type(10)
    with pytest.raises(_pyztdb.ProgrammingError) as e:
        cur.executebatch("insert into t values (?); select 1", [[1]])
    assert str(e.value).startswith("This function does not support multi-result set")
    assert "ZTC_ExecBatch" not in zd.names()


@pytest.mark.parametrize("args", [(SQL,), (SQL, [[1]], 3)])
def test_argument_mismatch(cur, args):
    with pytest.raises(_pyztdb.ProgrammingError, match="^executebatch Parameter mismatch$"):
        cur.executebatch(*args)


# Fault mended: a refused column binding still let the batch run.
def test_refused_binding_stops_the_batch(zd, cur):
    zd.fail("ZTC_BindParamArrayByPos", error="[22023] unsupported parameter type code", nth=2)
    with pytest.raises(_pyztdb.OperationalError, match=r"\[22023\] unsupported"):
        cur.executebatch(SQL, [[1], [2]])
    assert "ZTC_ExecBatch" not in zd.names()


def test_batch_failure_carries_the_library_message(zd, cur):
    zd.fail("ZTC_ExecBatch", error="row 2: [23505] duplicate key")
    with pytest.raises(_pyztdb.OperationalError) as e:
        cur.executebatch(SQL, [[1, 1], [2, 2]])
    assert str(e.value) == "row 2: [23505] duplicate key"


def test_closed_connection(conn):
    cur = conn.cursor()
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="The cursor object does not exist"):
        cur.executebatch(SQL, [[1]])


def test_no_reference_leaks(zd, cur):
    dec = decimal.Decimal("3.25")
    col_values = [10**12, "text", 2.5, dec, b"xy", datetime.date(2020, 1, 1)]
    columns = [[v, v, None] for v in col_values]
    cur.executebatch("insert into t values (?, ?, ?, ?, ?, ?)", columns)  # description holds None
    watched = col_values + columns
    before = [sys.getrefcount(v) for v in watched]
    for _ in range(50):
        cur.executebatch("insert into t values (?, ?, ?, ?, ?, ?)", columns)
        with pytest.raises(_pyztdb.ProgrammingError):
            cur.executebatch("insert into t values (?, ?)", [[dec, 1], [1, 2]])
    assert [sys.getrefcount(v) for v in watched] == before


# Fault mended: Python code run while encoding (a Decimal subclass's __str__) could change
# the column under the encoder or close the connection before the batch was sent.
def test_column_changed_while_encoding_is_sent_as_given(zd, cur):
    column = []

    class Shrinking(decimal.Decimal):
        def __str__(self):
            column.clear()
            return decimal.Decimal.__str__(self)

    column.extend([Shrinking(1), Shrinking(2), Shrinking(3)])
    cur.executebatch("insert into t values (?)", [column])
    assert bind_of(zd)["values"] == packed(b"1", b"2", b"3")


def test_connection_closed_while_encoding(zd, conn):
    cur = conn.cursor()

    class Closing(decimal.Decimal):
        def __str__(self):
            conn.close()
            return "1"

    with pytest.raises(_pyztdb.OperationalError, match="The cursor object does not exist"):
        cur.executebatch("insert into t values (?)", [[Closing(1)]])
    assert "ZTC_BindParamArrayByPos" not in zd.names()


class _ClearingZone(datetime.tzinfo):
    """A zone one hour east whose utcoffset empties a list (Python code while encoding)."""

    def __init__(self, victim):
        self.victim = victim

    def utcoffset(self, dt):
        self.victim.clear()
        return datetime.timedelta(hours=1)


def _aware_clearing_own_column():
    column = []
    zone = _ClearingZone(column)
    column.extend([datetime.datetime(2020, 1, 1, 1, tzinfo=zone), None,
                   datetime.datetime(2020, 1, 1, 2, tzinfo=zone)])
    return [column]


def _big_int_clearing_float_column():
    column = []

    class Big(int):
        def __eq__(self, other):
            column.clear()
            return int.__eq__(self, other)

        __hash__ = int.__hash__

    column.extend([1.5, Big(2**60), 0.5])
    return [column]


def _decimal_clearing_next_column():
    second = [1, 2]

    class Clearing(decimal.Decimal):
        def __str__(self):
            second.clear()
            return decimal.Decimal.__str__(self)

    return [[Clearing(1), Clearing(2)], second]


# Lists are encoded in place while no Python code can run; a value that needs Python code
# (a zone's utcoffset, an int subclass's __eq__) has its column encoded from a copy, so
# that code cannot change the items under the encoder; a later column it shortened is
# refused.
@pytest.mark.parametrize("make, options, type_code, values", [
    (_aware_clearing_own_column, {}, 73,
     packed(b"2020-01-01 00:00:00.000000+00", None, b"2020-01-01 01:00:00.000000+00")),
    (_aware_clearing_own_column, {"datetime_counts": True}, 73,
     packed(b"2020-01-01 00:00:00.000000+00", None, b"2020-01-01 01:00:00.000000+00")),
    (_big_int_clearing_float_column, {}, 8, struct.pack("=3d", 1.5, 2.0**60, 0.5)),
    (_decimal_clearing_next_column, {}, _pyztdb.ProgrammingError, MISMATCH),
])
def test_list_changed_by_python_code_while_encoding(zd, cur, make, options, type_code, values):
    columns = make()
    sql = "insert into t values (%s)" % ", ".join("?" * len(columns))
    if isinstance(type_code, type):
        with pytest.raises(type_code, match=values):
            cur.executebatch(sql, columns, **options)
        assert "ZTC_ExecBatch" not in zd.names()
        return
    cur.executebatch(sql, columns, **options)
    b = bind_of(zd)
    assert (b["type"], b["n"], b["values"]) == (type_code, 3, values)
