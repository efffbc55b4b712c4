"""callproc against the test double: call texts, binding by type code, directions,
read-back, RefCursor opening, and the faults mended in the call frame."""

import datetime
import decimal
import struct

import pytest

import _pyztdb
from ztdouble import Cell, Column, Result

OUT, INOUT = 2, 3
TEXT_BUFFER = 65537


@pytest.fixture
def cur(conn):
    return conn.cursor()


def binds(zd):
    return zd.calls_of("ZTC_BindParamByPos")


def new_calls(zd, before):
    return [c.name for c in zd.calls()[before:]]


# ---- call texts ----

@pytest.mark.parametrize("args, sql", [
    (("p1",), "execute p1"),
    (("p1", (7,)), "execute p1(?);"),
    (("p1", [1, 2, 3]), "execute p1(?,?,?);"),
    (("s.p1", [1]), "execute s.p1(?);"),
    (('"My Proc"', [1]), 'execute "My Proc"(?);'),
    # An empty parameters object sends no brackets at all.
    (("p1", []), "execute p1"),
])
def test_call_text(zd, cur, args, sql):
    cur.callproc(*args)
    assert [c["sql"] for c in zd.calls_of("ZTC_Execute_procesure")] == [sql]


def test_no_parameters_returns_empty_list(zd, cur):
    assert cur.callproc("p1") == []
    assert binds(zd) == []


def test_reset_comes_before_binding(zd, cur):
    """Bindings left by an earlier statement never reach the call."""
    before = len(zd.calls())
    cur.callproc("p1", [7])
    seq = [n for n in new_calls(zd, before)
           if n in ("ZTC_Reset", "ZTC_BindParamByPos", "ZTC_Execute_procesure")]
    assert seq == ["ZTC_Reset", "ZTC_BindParamByPos", "ZTC_Execute_procesure"]


def test_reset_without_parameters(zd, cur):
    before = len(zd.calls())
    cur.callproc("p1")
    assert new_calls(zd, before) == ["ZTC_Reset", "ZTC_Execute_procesure"]


def test_one_bigint_parameter(zd, cur):
    assert cur.callproc("p1", (7,)) == [7]
    (b,) = binds(zd)
    assert (b["pos"], b["direction"], b["type"], b["buflen"], b["length"]) == (1, 1, 6, 8, 8)
    assert b["data"] == struct.pack("<q", 7)


# ---- type inference without declarations ----

@pytest.mark.parametrize("value, code, back", [
    (7, 6, 7),
    (True, 6, 1),
    (datetime.datetime(2024, 1, 5, 7, 8, 9, 123), 13, "2024-01-05 07:08:09.000123"),
    (datetime.date(2024, 1, 5), 10, "2024-01-05"),
    (datetime.time(4, 5, 6), 11, "04:05:06.000000"),
    (2.5, 8, 2.5),
    ("abc", 2, "abc"),
    (b"ab", 15, b"ab"),
    (None, 0, None),
])
def test_inferred_type_code(zd, cur, value, code, back):
    assert cur.callproc("p1", [value]) == [back]
    (b,) = binds(zd)
    assert b["type"] == code


def test_none_is_bound_as_null_input(zd, cur):
    assert cur.callproc("p1", [None, 5]) == [None, 5]
    b = binds(zd)[0]
    assert (b["pos"], b["type"], b["buflen"], b["length"], b["data"]) == (1, 0, 0, 0, None)


# ---- binding table with declared types ----

@pytest.mark.parametrize("code, value, buflen, length, data", [
    (1, True, 1, 1, b"\x01"),
    (3, 5, 1, 1, b"\x05"),
    (4, -2, 2, 2, struct.pack("<h", -2)),
    (5, 70000, 4, 4, struct.pack("<i", 70000)),
    (6, 2 ** 40, 8, 8, struct.pack("<q", 2 ** 40)),
    (7, 1.5, 4, 4, struct.pack("<f", 1.5)),
    (8, 2.25, 8, 8, struct.pack("<d", 2.25)),
    (9, "12.50", 64, 5, b"12.50".ljust(64, b"\0")),
    (10, datetime.date(2024, 1, 5), 11, 10, b"2024-01-05\0"),
    (10, datetime.date(5, 3, 7), 11, 10, b"   5-03-07\0"),
    (11, datetime.time(4, 5, 6, 7), 32, 15, b"04:05:06.000007".ljust(32, b"\0")),
    (13, datetime.datetime(2024, 1, 5, 7, 8, 9, 123), 64, 26,
     b"2024-01-05 07:08:09.000123".ljust(64, b"\0")),
    (2, "abc", TEXT_BUFFER, 3, None),
    (41, "clob", TEXT_BUFFER, 4, None),
    (58, "cur", TEXT_BUFFER, 3, None),
    (62, "ch", TEXT_BUFFER, 2, None),
    (63, "ch", TEXT_BUFFER, 2, None),
    (15, b"a\0b", 4, 3, b"a\0b\0"),
    (18, b"xyz", 4, 3, b"xyz\0"),
    (42, b"\0\0", 3, 2, b"\0\0\0"),
])
def test_binding_row(zd, cur, code, value, buflen, length, data):
    cur.setinputtype([code])
    cur.callproc("p1", [value])
    (b,) = binds(zd)
    assert (b["type"], b["buflen"], b["length"], b["direction"]) == (code, buflen, length, 1)
    if data is not None:
        assert b["data"] == data
    else:
        encoded = value.encode()
        assert b["data"][:len(encoded) + 1] == encoded + b"\0"


@pytest.mark.parametrize("value", [bytearray(b"a\0c"), memoryview(b"a\0c")])
def test_bytes_like_values_at_binary_positions(zd, cur, value):
    cur.setinputtype([15])
    assert cur.callproc("p1", [value]) == [b"a\0c"]
    (b,) = binds(zd)
    assert (b["buflen"], b["length"], b["data"]) == (4, 3, b"a\0c\0")


def test_text_is_utf8_with_byte_length(zd, cur):
    cur.setinputtype([2])
    assert cur.callproc("p1", ["héllo"]) == ["héllo"]
    assert binds(zd)[0]["length"] == len("héllo".encode())


@pytest.mark.parametrize("code, sizes, value, buflen, length", [
    (2, [20], "abc", 21, 3),
    (2, [3], "abcdef", 4, 3),
    (2, [None], "abc", TEXT_BUFFER, 3),
    (15, [10], b"abc", 11, 3),
    (15, [2], b"abc", 3, 2),
    # A declared size beyond the declared list counts as no size.
    (2, [], "abc", TEXT_BUFFER, 3),
])
def test_declared_sizes(zd, cur, code, sizes, value, buflen, length):
    cur.setinputtype([code])
    cur.setinputsizes(sizes)
    cur.callproc("p1", [value])
    (b,) = binds(zd)
    assert (b["buflen"], b["length"]) == (buflen, length)


def test_declared_size_cuts_at_a_character_boundary(zd, cur):
    cur.setinputtype([2])
    cur.setinputsizes([2])
    assert cur.callproc("p1", ["é€"]) == ["é"]


def test_text_longer_than_the_default_buffer_is_sent_whole(zd, cur):
    """No fixed limit: a text beyond 64 KiB gets a buffer of its own length."""
    text = "x" * 100000
    assert cur.callproc("p1", [text]) == [text]
    (b,) = binds(zd)
    assert (b["buflen"], b["length"]) == (100001, 100000)


# ---- NUMERIC from floats keeps its value ----

@pytest.mark.parametrize("value, text", [
    (3.14159265, b"3.14159265"),
    (0.5, b"0.5"),
    (0.1, b"0.1"),
    (1e20, b"1e+20"),
    (-2.0, b"-2"),
    (1.0 / 3.0, repr(1.0 / 3.0).encode()),
])
def test_numeric_from_float(zd, cur, value, text):
    cur.setinputtype([9])
    assert cur.callproc("p1", [value]) == [value]
    (b,) = binds(zd)
    assert b["data"][:len(text) + 1] == text + b"\0"
    assert b["length"] == len(text)


@pytest.mark.parametrize("value, text", [
    (12345678901234567890, b"12345678901234567890"),
    (decimal.Decimal("1.10"), b"1.10"),
])
def test_numeric_from_int_and_decimal(zd, cur, value, text):
    cur.setinputtype([9])
    cur.callproc("p1", [value])
    b = binds(zd)[0]
    assert b["data"][:len(text) + 1] == text + b"\0"


# ---- directions ----

def test_output_without_declared_types(zd, cur):
    with pytest.raises(_pyztdb.ProgrammingError, match="Please set the parameter data type first"):
        cur.callproc("p1", [1, ""], [1, OUT])
    assert "ZTC_Execute_procesure" not in zd.names()


def test_directions_are_passed_as_given(zd, cur):
    cur.setinputtype([5, 2, 5])
    cur.callproc("p1", [1, "", 3], [1, OUT, INOUT])
    assert [b["direction"] for b in binds(zd)] == [1, OUT, INOUT]


def test_declared_output_reads_the_procedure_value(zd, cur):
    cur.setinputtype([5, 2])
    cur.setinputsizes([-1, 20])
    zd.program_outputs({2: "written"})
    assert cur.callproc("p1", [3, ""], [1, OUT]) == [3, "written"]
    assert binds(zd)[1]["buflen"] == 21


def test_declared_output_left_null(zd, cur):
    cur.setinputtype([5, 2])
    zd.program_outputs({2: Cell(b"", 0)})
    assert cur.callproc("p1", [3, ""], [1, OUT]) == [3, None]


# ---- read-back table ----

@pytest.mark.parametrize("code, item, out, back", [
    (1, 0, True, b"T"),
    (1, 0, False, b"F"),
    (4, 0, -3, -3),
    (5, 0, -70000, -70000),
    (6, 0, -(2 ** 40), -(2 ** 40)),
    (7, 0.0, 1.5, 1.5),
    (8, 0.0, 0.25, 0.25),
    (9, "0", "2.75", 2.75),
    (2, "", "héllo", "héllo"),
    (2, "", Cell(b"ab\0cd", 5), "ab"),
    (13, datetime.datetime(2000, 1, 1), "2024-01-05 07:08:09.000000",
     "2024-01-05 07:08:09.000000"),
    (15, b"", Cell(b"a\0b", 3), b"a\0b"),
    (2, "", None, None),
])
def test_read_back(zd, cur, code, item, out, back):
    cur.setinputtype([code])
    if code in (15,):
        cur.setinputsizes([16])
    zd.program_outputs({1: out})
    assert cur.callproc("p1", [item], [OUT]) == [back]


def test_float_output_widens_exactly(zd, cur):
    cur.setinputtype([7])
    zd.program_outputs({1: 0.1})
    (value,) = cur.callproc("p1", [0.0], [OUT])
    assert value == struct.unpack("<f", struct.pack("<f", 0.1))[0]


def test_input_booleans_read_back_as_characters(zd, cur):
    cur.setinputtype([1, 1])
    assert cur.callproc("p1", [True, False]) == [b"T", b"F"]


def test_unknown_boolean_value_repeats_the_last_character(zd, cur):
    cur.setinputtype([1, 1])
    zd.program_outputs({1: True, 2: Cell(b"\x07", 1)})
    assert cur.callproc("p1", [0, 0], [OUT, OUT]) == [b"T", b"T"]


def test_length_word_past_the_buffer_is_clamped(zd, cur):
    """A length word beyond the buffer never makes the read-back write past it."""
    cur.setinputtype([2, 15])
    cur.setinputsizes([3, 3])
    zd.program_outputs({1: Cell(b"abcdefgh", 1000), 2: Cell(b"\x01\x02\x03\x04\x05", 1000)})
    assert cur.callproc("p1", ["", b""], [OUT, OUT]) == ["abc", b"\x01\x02\x03\x04"]


def test_negative_length_word_is_null(zd, cur):
    cur.setinputtype([5])
    zd.program_outputs({1: Cell(b"\x01\0\0\0", -1)})
    assert cur.callproc("p1", [0], [OUT]) == [None]


# ---- calls that must not run ----

class BrokenSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            raise RuntimeError("no item")
        return 1


@pytest.mark.parametrize("types, params, dirs, exc, text", [
    (None, [decimal.Decimal("1")], None, _pyztdb.ProgrammingError, "type code 0"),
    ([5], [1, 2], None, _pyztdb.ProgrammingError, "The parameter is out of range"),
    (None, BrokenSequence(), None, _pyztdb.ProgrammingError, "The parameter variable is empty"),
    ([6], [2 ** 70], None, OverflowError, ""),
    ([4], [40000], None, OverflowError, ""),
    ([3], [200], None, OverflowError, ""),
    ([5], [2 ** 31], None, OverflowError, ""),
    ([5], [1.5], None, _pyztdb.ProgrammingError, "does not suit"),
    ([5], [None], None, _pyztdb.ProgrammingError, "does not suit"),
    ([2], [5], None, _pyztdb.ProgrammingError, "does not suit"),
    ([15], ["text"], None, _pyztdb.ProgrammingError, "does not suit"),
    ([10], ["2024-01-01"], None, _pyztdb.ProgrammingError, "does not suit"),
    ([13], [datetime.date(2024, 1, 1)], None, _pyztdb.ProgrammingError, "does not suit"),
    ([9], [object()], None, _pyztdb.ProgrammingError, "does not suit"),
    ([8], ["1.5"], None, _pyztdb.ProgrammingError, "does not suit"),
    ([23], [5], None, _pyztdb.ProgrammingError, "type code 23 of parameter 1"),
    ([5, 5], [1, 2], [1], _pyztdb.ProgrammingError, "direction of parameter 2"),
    ([5], [1], None, None, None),   # the same call with everything in order runs
    ([5], [1], "x", _pyztdb.ProgrammingError, "not an integer"),
    ([5], [1], 5, _pyztdb.ProgrammingError, "direction of parameter 1"),
])
def test_call_never_runs_with_a_failed_parameter(zd, cur, types, params, dirs, exc, text):
    if types is not None:
        cur.setinputtype(types)
    args = ("p1", params) if dirs is None else ("p1", params, dirs)
    if exc is None:
        cur.callproc(*args)
        assert "ZTC_Execute_procesure" in zd.names()
        return
    with pytest.raises(exc, match=text):
        cur.callproc(*args)
    assert "ZTC_Execute_procesure" not in zd.names()


@pytest.mark.parametrize("params, dirs", [(None, None), ([1], None)])
def test_explicit_none_arguments_fail(zd, cur, params, dirs):
    with pytest.raises((TypeError, _pyztdb.ProgrammingError)):
        if dirs is None and params is None:
            cur.callproc("p1", None)
        else:
            cur.callproc("p1", params, None)
    assert "ZTC_Execute_procesure" not in zd.names()


def test_unsupported_code_prints_its_line(zd, cur, capfdbinary):
    cur.setinputtype([5, 23])
    with pytest.raises(_pyztdb.ProgrammingError, match="type code 23 of parameter 2"):
        cur.callproc("p1", [1, 2])
    assert capfdbinary.readouterr().out == b"the type not supported\n"


def test_missing_item_prints_its_line(zd, cur, capfdbinary):
    with pytest.raises(_pyztdb.ProgrammingError, match="The parameter variable is empty"):
        cur.callproc("p1", BrokenSequence())
    assert capfdbinary.readouterr().out == b"the type not supported\n"


def test_last_recorded_error_wins(zd, cur):
    cur.setinputtype([2, 5])
    with pytest.raises(OverflowError):
        cur.callproc("p1", [5, 2 ** 40])


# ---- procedure names ----

@pytest.mark.parametrize("name", [
    "p1; drop table t", "p 1", "p1()", "[p1]", "", "a..b", '"open', '""', "1abc", "a.",
    ".a", "p1--", "p\0", "p1\n",
])
def test_bad_name_sends_nothing(zd, cur, name):
    before = len(zd.calls())
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.callproc(name, [1])
    assert new_calls(zd, before) == []


@pytest.mark.parametrize("name", [5, None, b"p1"])
def test_name_must_be_str(zd, cur, name):
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.callproc(name)
    assert "ZTC_Execute_procesure" not in zd.names()


@pytest.mark.parametrize("name", ["p1", "_x$1", "s.p1", "db.s.p1", '"a""b".p', "схема.proc",
                                  '"with space"'])
def test_good_names(zd, cur, name):
    cur.callproc(name)
    assert zd.calls_of("ZTC_Execute_procesure")[0]["sql"] == "execute " + name


# ---- no fixed limits ----

def test_many_parameters(zd, cur):
    values = list(range(300))
    assert cur.callproc("p1", values) == values
    sql = zd.calls_of("ZTC_Execute_procesure")[0]["sql"]
    assert sql == "execute p1(" + ",".join("?" * 300) + ");"
    assert [b["pos"] for b in binds(zd)] == list(range(1, 301))


def test_long_name(zd, cur):
    name = "p" * 300
    cur.callproc(name, [1])
    assert zd.calls_of("ZTC_Execute_procesure")[0]["sql"] == "execute %s(?);" % name


# ---- failures ----

def test_parse_mismatch(zd, cur):
    with pytest.raises(_pyztdb.ProgrammingError, match="^callproc Parameter mismatch$"):
        cur.callproc()
    with pytest.raises(_pyztdb.ProgrammingError, match="^callproc Parameter mismatch$"):
        cur.callproc("p1", [], [], 4)


def test_closed_connection(zd, conn):
    cur = conn.cursor()
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="The cursor object does not exist"):
        cur.callproc("p1")


def test_execution_failure(zd, cur):
    zd.fail("ZTC_Execute_procesure", -1, error="[42883] procedure p1 does not exist")
    with pytest.raises(_pyztdb.OperationalError, match=r"\[42883\] procedure p1 does not exist"):
        cur.callproc("p1", [1])


def test_keywords_are_ignored(zd, cur):
    assert cur.callproc("p1", [1], unknown=3) == [1]


def test_description_none_after_a_plain_call(zd, cur):
    cur.callproc("p1", [1])
    assert cur.description is None
    assert cur.rowcount == 0


# ---- RefCursor ----

def open_refcursor(zd, cur, name="c1", rowsets=None):
    cur.setinputtype([58])
    if rowsets is None:
        rowsets = [Result(columns=[Column("T.ID", 5), Column("NAME", 2, -1)],
                          rows=[[1, "a"], [2, "b"]], sql_type=9)]
    zd.program_cursor(name, *rowsets)
    zd.program_outputs({1: name})
    return cur.callproc("p1", [""], [OUT])


def test_refcursor_opens_the_server_cursor(zd, cur):
    assert open_refcursor(zd, cur) == ["c1"]
    (fetch,) = zd.calls_of("ZTC_FetchServerCursorRowset")
    assert fetch["name"] == "c1"
    names = zd.names()
    assert names.index("ZTC_getResultRet") > names.index("ZTC_FetchServerCursorRowset")
    assert [d[:2] for d in cur.description] == [("ID", "INTEGER"), ("NAME", "VARCHAR")]
    assert cur.rowcount == 2


def test_refcursor_rows_are_fetched(zd, cur):
    open_refcursor(zd, cur)
    assert cur.fetchall() == [(1, "a"), (2, "b")]


def test_refcursor_is_read_as_a_server_cursor(zd, cur):
    """The rowset is marked as a server cursor: fetchone reads it, one row at a time."""
    open_refcursor(zd, cur)
    assert cur.fetchone() == (1, "a")
    assert cur.fetchone() == (2, "b")
    assert cur.fetchone() is None


def test_close_closes_the_server_cursor(zd, cur):
    open_refcursor(zd, cur)
    cur.close()
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert zd.open_results() == 0


def test_next_call_releases_the_server_cursor(zd, cur):
    open_refcursor(zd, cur)
    cur.callproc("p2")
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert cur.description is None


def test_second_refcursor_replaces_the_first(zd, cur):
    cur.setinputtype([58, 58])
    zd.program_cursor("c1", Result(columns=[Column("A", 5)], rows=[[1]]))
    zd.program_cursor("c2", Result(columns=[Column("B", 2)], rows=[["x"], ["y"]]))
    zd.program_outputs({1: "c1", 2: "c2"})
    assert cur.callproc("p1", ["", ""], [OUT, OUT]) == ["c1", "c2"]
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert cur.description[0][0] == "B"
    cur.close()
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1", "c2"]
    assert zd.open_results() == 0


def test_long_cursor_name(zd, cur):
    name = "c" * 200
    assert open_refcursor(zd, cur, name=name) == [name]
    cur.close()
    assert zd.calls_of("ZTC_CloseCursor")[0]["name"] == name


def test_failing_rowset_fetch_raises(zd, cur):
    zd.fail("ZTC_FetchServerCursorRowset", -1, error="[34000] cursor c1 does not exist")
    with pytest.raises(_pyztdb.OperationalError, match=r"\[34000\] cursor c1 does not exist"):
        open_refcursor(zd, cur)
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert zd.open_results() == 0
    cur.close()
    assert len(zd.calls_of("ZTC_CloseCursor")) == 1
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.fetchall()


def test_null_refcursor_opens_nothing(zd, cur):
    cur.setinputtype([58])
    zd.program_outputs({1: Cell(b"", 0)})
    assert cur.callproc("p1", [""], [OUT]) == [None]
    assert zd.calls_of("ZTC_FetchServerCursorRowset") == []


# ---- resources ----

def test_no_reference_leaks(zd, cur):
    import sys

    text = "leak-check-" + "x" * 20
    params = [text, b"bytes", 1.5]
    counts = [sys.getrefcount(v) for v in params]
    for _ in range(50):
        cur.callproc("p1", params)
    assert [sys.getrefcount(v) for v in params] == counts
