"""How execute binds Python values: type codes, buffers, length words, declared sizes,
and the values it refuses before anything runs."""

import datetime
import decimal
import struct

import pytest

import _pyztdb

SQL = "insert into t values (?)"


@pytest.fixture
def cur(conn):
    return conn.cursor()


def binds(zd, cur, params, sizes=None):
    """Executes SQL with `params` and returns the logged bind calls."""
    if sizes is not None:
        cur.setinputsizes(sizes)
    cur.execute(SQL, params)
    return zd.calls_of("ZTC_BindParamByPos")


def only_bind(zd, cur, value, sizes=None):
    (call,) = binds(zd, cur, [value], sizes)
    assert call["pos"] == 1 and call["direction"] == 1 and call["session"] is True
    return call


def text_in(call):
    return call["data"].split(b"\0", 1)[0].decode()


class _Int(int):
    pass


class _Str(str):
    pass


class _DateTime(datetime.datetime):
    pass


class _Tz(datetime.tzinfo):
    def utcoffset(self, dt):
        return datetime.timedelta(hours=5)


class _NoOffset(datetime.tzinfo):
    def utcoffset(self, dt):
        return None


@pytest.mark.parametrize("value, type_, buflen, length, data", [
    (True, 5, 4, 4, struct.pack("=i", 1)),
    (False, 5, 4, 4, struct.pack("=i", 0)),
    (1, 6, 8, 8, struct.pack("=q", 1)),
    (-2 ** 63, 6, 8, 8, struct.pack("=q", -2 ** 63)),
    (2 ** 63 - 1, 6, 8, 8, struct.pack("=q", 2 ** 63 - 1)),
    (_Int(7), 6, 8, 8, struct.pack("=q", 7)),
    (None, 0, 0, 0, None),
    ("abcdef", 2, 7, 6, b"abcdef\0"),
    (_Str("xy"), 2, 3, 2, b"xy\0"),
    ("", 2, 1, 0, b"\0"),
    ("h\u00e9\u20ac", 2, 7, 6, "h\u00e9\u20ac".encode() + b"\0"),
    (b"\x00\x01\xff", 15, 4, 3, b"\x00\x01\xff\0"),
    (b"", 15, 1, 0, b"\0"),
])
def test_plain_values(zd, cur, value, type_, buflen, length, data):
    call = only_bind(zd, cur, value)
    assert (call["type"], call["buflen"], call["length"], call["data"]) == (
        type_, buflen, length, data)


@pytest.mark.parametrize("value, type_, buflen, text", [
    (datetime.datetime(2021, 3, 7, 4, 5, 6, 7), 13, 64, "2021-03-07 04:05:06.000007"),
    (_DateTime(2021, 3, 7), 13, 64, "2021-03-07 00:00:00.000000"),
    # A tzinfo without an offset leaves the value naive.
    (datetime.datetime(2021, 3, 7, 4, 5, 6, tzinfo=_NoOffset()), 13, 64,
     "2021-03-07 04:05:06.000000"),
    (datetime.date(5, 3, 7), 10, 11, "   5-03-07"),
    (datetime.date(9999, 12, 31), 10, 11, "9999-12-31"),
    (datetime.time(4, 5, 6), 11, 32, "04:05:06.000000"),
    (datetime.time(23, 59, 59, 999999), 11, 32, "23:59:59.999999"),
])
def test_datetimes_are_texts_in_whole_buffers(zd, cur, value, type_, buflen, text):
    call = only_bind(zd, cur, value)
    assert (call["type"], call["buflen"], call["length"]) == (type_, buflen, buflen)
    assert call["data"] == text.encode().ljust(buflen, b"\0")


# Fault mended: an aware value went as its UTC wall time typed timestamp, so the server
# stored another instant once the session's TimeZone was not UTC. It goes as its instant.
@pytest.mark.parametrize("value, micros", [
    (datetime.datetime(2021, 3, 7, 4, 5, 6, tzinfo=_Tz()), 1615071906000000),
    (datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc), 0),
    (datetime.datetime(1, 1, 1, 23, 59, 59, 999999,
                       tzinfo=datetime.timezone(-datetime.timedelta(minutes=1))),
     -62135510340000001),
])
def test_aware_datetime_is_an_instant(zd, cur, value, micros):
    call = only_bind(zd, cur, value)
    assert (call["type"], call["buflen"], call["length"]) == (72, 8, 8)
    assert struct.unpack("=q", call["data"]) == (micros,)


class _BadSub(datetime.datetime):
    def __sub__(self, other):
        return 42


def test_aware_datetime_whose_difference_is_not_a_datetime(zd, cur):
    with pytest.raises(TypeError, match="minus its utcoffset"):
        cur.execute("select ?", [_BadSub(2021, 1, 1, tzinfo=_Tz())])
    assert "ZTC_ExecwithDataReader" not in zd.names()


@pytest.mark.parametrize("value, text", [
    (1.5, "1.5000000000000"),
    (-0.0, "-0.0000000000000"),
    (0.1, "0.1000000000000"),
    (123456789.25, "123456789.2500000000000"),
    # values the thirteen-decimal text would change are sent in their shortest exact form
    (1e-20, "1e-20"),
    (1.0 / 3, "0.3333333333333333"),
    (1e100, "1e+100"),
    (1e22, "10000000000000000000000.0000000000000"),
    (123456789.123, "123456789.123"),
    (-98765.4321, "-98765.4321"),
    (-1.7976931348623157e308, "-1.7976931348623157e+308"),
    (float("inf"), "Infinity"),
    (float("-inf"), "-Infinity"),
    (float("nan"), "NaN"),
])
def test_float_texts_keep_the_value(zd, cur, value, text):
    call = only_bind(zd, cur, value)
    assert (call["type"], call["buflen"], call["length"]) == (2, 64, 64)
    assert text_in(call) == text
    if value == value:
        assert float(text.replace("Infinity", "inf")) == value


@pytest.mark.parametrize("value, sizes, buflen, length", [
    ("abcdef", [3], 4, 3),
    ("abcdef", [-1], 7, 6),
    ("abcdef", [None], 7, 6),
    ("abcdef", [0], 1, 0),
    ("abcdef", [10], 7, 6),
    # Counts bytes of UTF-8 and cuts at a character boundary (fault mended: a cut
    # inside a character was refused by the server with [22021]).
    ("\u00e9\u00e9", [3], 3, 2),
    ("\u00e9\u00e9", [4], 5, 4),
    ("a\u20ac", [3], 2, 1),
    (b"abc", [2], 3, 2),
    (b"abc", [-1], 4, 3),
    # a declared size larger than the value: its own length, nothing read beyond it
    (b"abc", [100], 4, 3),
    (bytearray(b"abc"), [2], 3, 2),
])
def test_declared_sizes(zd, cur, value, sizes, buflen, length):
    call = only_bind(zd, cur, value, sizes)
    assert (call["buflen"], call["length"]) == (buflen, length)


def test_positions_beyond_declared_sizes_have_no_size(zd, cur):
    calls = binds(zd, cur, ["abcdef", "ghijkl"], sizes=[2])
    assert [(c["pos"], c["length"]) for c in calls] == [(1, 2), (2, 6)]


def test_declared_sizes_leave_other_types_alone(zd, cur):
    calls = binds(zd, cur, [5, 1.5, None], sizes=[1, 1, 1])
    assert [(c["type"], c["length"]) for c in calls] == [(6, 8), (2, 64), (0, 0)]


def test_positions_and_order(zd, cur):
    calls = binds(zd, cur, (True, 1, "x", None))
    assert [(c["pos"], c["type"]) for c in calls] == [(1, 5), (2, 6), (3, 2), (4, 0)]


def test_a_str_is_a_sequence_of_parameters(zd, cur):
    calls = binds(zd, cur, "ab")
    assert [text_in(c) for c in calls] == ["a", "b"]


@pytest.mark.parametrize("value, type_, data, length", [
    (decimal.Decimal("12.3400"), 9, b"12.3400", 7),
    (decimal.Decimal("-1E+30"), 9, b"-1E+30", 6),
    (decimal.Decimal("NaN"), 9, b"NaN", 3),
    (bytearray(b"\x01\x02"), 15, b"\x01\x02", 2),
    (memoryview(b"xyz"), 15, b"xyz", 3),
    (memoryview(b"abcdef")[1:3], 15, b"bc", 2),
])
def test_values_formerly_skipped_are_bound(zd, cur, value, type_, data, length):
    # Regression: Decimal, bytearray and memoryview values were skipped silently,
    # shifting nothing but leaving their position unbound.
    call = only_bind(zd, cur, value)
    assert (call["type"], call["length"], call["buflen"]) == (type_, length, length + 1)
    assert call["data"][:length] == data


def never_ran(zd):
    names = zd.names()
    return "fun_sql_type" not in names and "ZTC_ExecwithDataReader" not in names


@pytest.mark.parametrize("params, exc, message", [
    ([1, (2, 3)], _pyztdb.OperationalError,
     "This function does not support batch operations, use the 'executemany' function "
     "to perform batch operations"),
    ([[1]], _pyztdb.OperationalError, "executemany"),
    ([2 ** 63], OverflowError, ""),
    ([-2 ** 63 - 1], OverflowError, ""),
    (["\ud800"], UnicodeEncodeError, ""),
    ([datetime.timedelta(1)], _pyztdb.ProgrammingError,
     "parameter 1: unsupported type 'timedelta'"),
    ([1, {}], _pyztdb.ProgrammingError, "parameter 2: unsupported type 'dict'"),
    ([object()], _pyztdb.ProgrammingError, "parameter 1: unsupported type 'object'"),
    ([memoryview(b"abcdef")[::2]], _pyztdb.ProgrammingError, "parameter 1: memoryview"),
    (["a\0b"], _pyztdb.ProgrammingError, "parameter 1: text contains a zero character"),
    (None, TypeError, ""),
    (5, TypeError, ""),
    ({"a": 1}, KeyError, ""),
])
def test_refused_values_stop_the_call_before_it_runs(zd, cur, params, exc, message):
    # Regression: a value that failed to bind was skipped (or bound as -1) and the
    # statement ran anyway with a parameter missing.
    with pytest.raises(exc) as info:
        cur.execute(SQL, params)
    assert message in str(info.value)
    assert never_ran(zd)


def test_declared_size_may_cut_before_a_zero_character(zd, cur):
    call = only_bind(zd, cur, "ab\0c", sizes=[2])
    assert call["length"] == 2


class _BadLen(list):
    def __len__(self):
        raise RuntimeError("no length")


class _BadItem(list):
    def __getitem__(self, i):
        raise RuntimeError("no item %d" % i)


@pytest.mark.parametrize("params, message", [
    (_BadLen([1]), "no length"),
    (_BadItem([1]), "no item 0"),
])
def test_unreadable_parameter_sequences(zd, cur, params, message):
    with pytest.raises(RuntimeError, match=message):
        cur.execute(SQL, params)
    assert never_ran(zd)


def test_a_sequence_shrinking_while_read_is_walked_as_far_as_it_reaches(zd, cur):
    class Shrinking(list):
        def __getitem__(self, i):
            value = list.__getitem__(self, i)
            self.pop()
            return value

    calls = binds(zd, cur, Shrinking([1, 2, 3, 4]))
    assert [c["pos"] for c in calls] == [1, 2]


def test_refused_bind_by_the_library_is_an_error(zd, cur):
    zd.fail("ZTC_BindParamByPos", error="[22023] unsupported parameter type code 6")
    with pytest.raises(_pyztdb.OperationalError, match="unsupported parameter type code"):
        cur.execute(SQL, [1])
    assert never_ran(zd)


def test_binding_keeps_no_references(zd, cur):
    import sys

    values = ["text", b"raw", 10 ** 10, 2.5, decimal.Decimal("1.5"), bytearray(b"x"),
              datetime.datetime(2020, 1, 1)]
    before = [sys.getrefcount(v) for v in values]
    params = list(values)
    for _ in range(3):
        cur.execute(SQL, params)
    del params
    assert [sys.getrefcount(v) for v in values] == before


@pytest.mark.parametrize("method", ["execute", "executemany"])
def test_connection_closed_by_a_decimal_str_stops_binding(zd, conn, method):
    """A value's __str__ runs Python code between two bind calls; a session it closed
    must not reach the library again."""
    cur = conn.cursor()

    class Closing(decimal.Decimal):
        def __str__(self):
            conn.close()
            return "2.5"

    with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
        getattr(cur, method)("insert into t values (?, ?)", [1, Closing("2.5")])
    names = zd.names()
    after_close = names[names.index("ZTC_CloseConn"):]
    assert "ZTC_BindParamByPos" in names[:names.index("ZTC_CloseConn")]
    assert not {"ZTC_BindParamByPos", "ZTC_ExecwithDataReader", "ZTC_Execute2"} & set(after_close)
