"""callfunc against the test double: the return-value binding and its conversions, the
function call's own binding rows, and its diagnostic line."""

import datetime

import pytest

import _pyztdb
from ztdouble import Cell, Column, Result

OUT = 2
GBK_UNSUPPORTED = bytes.fromhex("B2BBD6A7B3D6B5C4C0E0D0CD") + b"\n"


@pytest.fixture
def cur(conn):
    return conn.cursor()


def binds(zd):
    return [(b["pos"], b["direction"], b["type"], b["buflen"], b["length"])
            for b in zd.calls_of("ZTC_BindParamByPos")]


@pytest.mark.parametrize("args, sql, bound", [
    (("f1",), "execute f1", [(1, 6, 2, 65536, 65536)]),
    (("f1", []), "execute f1", [(1, 6, 2, 65536, 65536)]),
    (("f1", (7,)), "execute f1(?);", [(1, 1, 6, 8, 8), (2, 6, 2, 65536, 65536)]),
])
def test_return_binding(zd, cur, args, sql, bound):
    zd.program_outputs({len(bound): "result"})
    assert cur.callfunc(*args) == list(args[1] if len(args) > 1 else []) + ["result"]
    assert [c["sql"] for c in zd.calls_of("ZTC_Execute_procesure")] == [sql]
    assert binds(zd) == bound
    assert zd.names()[-1] == "ZTC_Execute_procesure"


@pytest.mark.parametrize("ret_code, text, value", [
    (6, "-9000000000", -9000000000),
    (5, "42", 42),
    (4, "-7", -7),
    (3, "12", 12),
    (8, "2.5", 2.5),
    (7, "0.25", 0.25),
    (9, "1.125", 1.125),
    (1, "T", b"T"),
    (1, "F", b"F"),
    (2, "héllo", "héllo"),
    (10, "2024-01-05", "2024-01-05"),
    (2, None, None),
    (5, Cell(b"", 0), None),
])
def test_return_conversion(zd, cur, ret_code, text, value):
    cur.setinputtype([5, ret_code])
    zd.program_outputs({2: text})
    assert cur.callfunc("f1", [1]) == [1, value]


def test_return_without_declared_code(zd, cur):
    """The function runs; the call then fails for the missing declaration."""
    cur.setinputtype([5])
    zd.program_outputs({2: "42"})
    with pytest.raises(_pyztdb.ProgrammingError, match="The parameter is out of range"):
        cur.callfunc("f1", [1])
    assert "ZTC_Execute_procesure" in zd.names()


def test_declared_return_size_and_clamp(zd, cur):
    cur.setinputtype([2, 2])
    cur.setinputsizes([10, 4])
    zd.program_outputs({2: Cell(b"abcdefgh", 5000)})
    assert cur.callfunc("f1", ["abc"]) == ["abc", "abc"]
    assert [b[3:] for b in binds(zd)] == [(11, 3), (4, 4)]


@pytest.mark.parametrize("code, value, buflen, length, data, back", [
    (10, datetime.date(2024, 1, 5), 64, 63, b"2024-01-05", "2024-01-05"),
    (11, datetime.time(4, 5, 6), 64, 63, b"04:05:06.000000", "04:05:06.000000"),
    (13, datetime.datetime(2024, 1, 5, 7, 8, 9, 123), 64, 26,
     b"2024-01-05 07:08:09.000123", "2024-01-05 07:08:09.000123"),
    (62, "ch", 3, 2, b"ch", "ch"),
    # A str at a binary position is sent as text; bytes are sent whole.
    (15, "text", 5, 4, b"text", "text"),
    (42, "text", 5, 4, b"text", "text"),
    (15, b"a\0b\xff", 5, 4, b"a\0b\xff", b"a\0b\xff"),
    (18, bytearray(b"a\0"), 3, 2, b"a\0", b"a\0"),
    (42, b"\0", 2, 1, b"\0", b"\0"),
])
def test_function_binding_rows(zd, cur, code, value, buflen, length, data, back):
    cur.setinputtype([code, 2])
    zd.program_outputs({2: "r"})
    assert cur.callfunc("f1", [value]) == [back, "r"]
    (_, _, bound_code, bound_len, word) = binds(zd)[0]
    assert (bound_code, bound_len, word) == (code, buflen, length)
    assert zd.calls_of("ZTC_BindParamByPos")[0]["data"] == data.ljust(buflen, b"\0")


def test_booleans(zd, cur):
    cur.setinputtype([1, 1, 1, 2])
    zd.program_outputs({3: False})
    assert cur.callfunc("f1", [True, False, 1], [1, 1, OUT])[:3] == [b"T", b"F", b"F"]


# Faults mended: a declared code of -1 ended in SystemError; a zero character cut the
# text without a word.
@pytest.mark.parametrize("types, params, text", [
    ([-1, 2], [1], "type code -1 of parameter 1"),
    ([15, 2], ["a\0b"], "parameter 1: text contains a zero character"),
    (None, ["a\0b"], "parameter 1: text contains a zero character"),
])
def test_refused_before_the_call(zd, cur, types, params, text):
    if types:
        cur.setinputtype(types)
    with pytest.raises(_pyztdb.ProgrammingError, match=text):
        cur.callfunc("f1", params)
    assert "ZTC_Execute_procesure" not in zd.names()


# Fault mended: a return value longer than 64 KiB came back cut without a word; it is
# read again whole. A declared size still cuts it.
@pytest.mark.parametrize("sizes, back, reread", [
    (None, "y" * 70000, [(1, 70001)]),
    ([10], "y" * 9, []),
])
def test_long_return_value(zd, cur, sizes, back, reread):
    if sizes:
        cur.setinputsizes(sizes)
    zd.program_outputs({1: "y" * 70000})
    assert cur.callfunc("f1") == [back]
    assert [(c["pos"], c["capacity"]) for c in zd.calls_of("ZTC_GetOutputData")] == reread


def test_unwritten_return_value_is_none(zd, cur):
    assert cur.callfunc("f1") == [None]
    assert "ZTC_GetOutputData" not in zd.names()


def test_unsupported_code_prints_gbk_line(zd, cur, capfdbinary):
    print("before")
    cur.setinputtype([23, 2])
    with pytest.raises(_pyztdb.ProgrammingError, match="type code 23 of parameter 1"):
        cur.callfunc("f1", [5])
    print("after")
    assert capfdbinary.readouterr().out == b"before\n" + GBK_UNSUPPORTED + b"after\n"
    assert "ZTC_Execute_procesure" not in zd.names()


def test_none_without_types_is_null(zd, cur, capfdbinary):
    zd.program_outputs({2: "r"})
    assert cur.callfunc("f1", [None]) == [None, "r"]
    assert capfdbinary.readouterr().out == b""


@pytest.mark.parametrize("args, exc, text", [
    ((), _pyztdb.ProgrammingError, "^callfunc Parameter mismatch$"),
    (("f1(1); drop table t; --",), _pyztdb.ProgrammingError, "not valid"),
    (("f1", [""], [OUT]), _pyztdb.ProgrammingError, "Please set the parameter data type first"),
])
def test_refused_calls(zd, cur, args, exc, text):
    with pytest.raises(exc, match=text):
        cur.callfunc(*args)
    assert "ZTC_Execute_procesure" not in zd.names()


def test_execution_failure(zd, cur):
    zd.fail("ZTC_Execute_procesure", -1, error="[42883] function f1 does not exist")
    with pytest.raises(_pyztdb.OperationalError, match=r"^\[42883\] function f1 does not exist$"):
        cur.callfunc("f1")


def test_refcursor_parameter_stays_the_result(zd, cur):
    cur.setinputtype([58, 58])
    zd.program_cursor("c1", Result(columns=[Column("A", 5)], rows=[[1], [2], [3]]))
    zd.program_outputs({1: "c1", 2: "c9"})
    # The return value is text, never a server cursor.
    assert cur.callfunc("f1", [""], [OUT]) == ["c1", "c9"]
    assert [c["name"] for c in zd.calls_of("ZTC_FetchServerCursorRowset")] == ["c1"]
    assert cur.fetchall() == [(1,), (2,), (3,)]
