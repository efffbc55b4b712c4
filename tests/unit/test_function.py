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
    return zd.calls_of("ZTC_BindParamByPos")


def test_no_parameters(zd, cur):
    zd.program_outputs({1: "result"})
    assert cur.callfunc("f1") == ["result"]
    assert zd.calls_of("ZTC_Execute_procesure")[0]["sql"] == "execute f1"
    (b,) = binds(zd)
    assert (b["pos"], b["direction"], b["type"], b["buflen"], b["length"]) == (1, 6, 2, 65536, 65536)


def test_empty_parameters_send_no_brackets(zd, cur):
    cur.callfunc("f1", [])
    assert zd.calls_of("ZTC_Execute_procesure")[0]["sql"] == "execute f1"
    assert [b["pos"] for b in binds(zd)] == [1]


def test_one_parameter(zd, cur):
    zd.program_outputs({2: "r"})
    assert cur.callfunc("f1", (7,)) == [7, "r"]
    assert zd.calls_of("ZTC_Execute_procesure")[0]["sql"] == "execute f1(?);"
    first, ret = binds(zd)
    assert (first["pos"], first["type"], first["direction"]) == (1, 6, 1)
    assert (ret["pos"], ret["type"], ret["direction"]) == (2, 2, 6)


def test_return_is_bound_after_the_parameters(zd, cur):
    before = len(zd.calls())
    cur.callfunc("f1", [1, 2])
    seq = [c.name for c in zd.calls()[before:]]
    assert seq == ["ZTC_Reset", "ZTC_BindParamByPos", "ZTC_BindParamByPos",
                   "ZTC_BindParamByPos", "ZTC_Execute_procesure"]
    assert [b["pos"] for b in binds(zd)] == [1, 2, 3]


@pytest.mark.parametrize("ret_code, text, value", [
    (6, "42", 42),
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
    (0, "text", "text"),
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


@pytest.mark.parametrize("out", [None, Cell(b"", 0)])
def test_null_return(zd, cur, out):
    zd.program_outputs({1: out})
    assert cur.callfunc("f1") == [None]


def test_declared_sizes(zd, cur):
    cur.setinputtype([2, 2])
    cur.setinputsizes([10, 100])
    cur.callfunc("f1", ["abc"])
    param, ret = binds(zd)
    assert param["buflen"] == 11
    assert (ret["buflen"], ret["length"]) == (100, 100)


def test_return_length_word_past_the_buffer_is_clamped(zd, cur):
    cur.setinputtype([2])
    cur.setinputsizes([4])
    zd.program_outputs({1: Cell(b"abcdefgh", 5000)})
    assert cur.callfunc("f1") == ["abc"]


@pytest.mark.parametrize("code, value, buflen, length, text", [
    (10, datetime.date(2024, 1, 5), 64, 63, b"2024-01-05"),
    (11, datetime.time(4, 5, 6), 64, 63, b"04:05:06.000000"),
    (13, datetime.datetime(2024, 1, 5, 7, 8, 9, 123), 64, 26, b"2024-01-05 07:08:09.000123"),
    (2, "abc", 65537, 3, b"abc"),
    (15, "text", 65537, 4, b"text"),
    (18, "text", 65537, 4, b"text"),
    (42, "text", 65537, 4, b"text"),
    (62, "ch", 65537, 2, b"ch"),
])
def test_function_binding_rows(zd, cur, code, value, buflen, length, text):
    cur.setinputtype([code, 2])
    result = cur.callfunc("f1", [value])
    param = binds(zd)[0]
    assert (param["type"], param["buflen"], param["length"]) == (code, buflen, length)
    assert param["data"] == text.ljust(buflen, b"\0")
    if isinstance(value, str):
        assert result[0] == value


@pytest.mark.parametrize("code", [15, 18, 42])
def test_bytes_at_a_binary_position_are_sent_whole(zd, cur, code):
    cur.setinputtype([code, 2])
    zd.program_outputs({2: "r"})
    assert cur.callfunc("f1", [b"a\0b\xff"]) == [b"a\0b\xff", "r"]
    param = binds(zd)[0]
    assert (param["type"], param["buflen"], param["length"]) == (code, 5, 4)
    assert param["data"] == b"a\0b\xff\0"


@pytest.mark.parametrize("value, back", [(True, b"T"), (False, b"F")])
def test_input_boolean_reads_back_as_character(zd, cur, value, back):
    cur.setinputtype([1, 2])
    assert cur.callfunc("f1", [value])[0] == back


def test_output_boolean(zd, cur):
    cur.setinputtype([1, 2])
    zd.program_outputs({1: False, 2: "x"})
    assert cur.callfunc("f1", [1], [OUT]) == [b"F", "x"]


def test_unsupported_code_prints_gbk_line(zd, cur, capfdbinary):
    cur.setinputtype([23, 2])
    with pytest.raises(_pyztdb.ProgrammingError, match="type code 23 of parameter 1"):
        cur.callfunc("f1", [5])
    assert capfdbinary.readouterr().out == GBK_UNSUPPORTED
    assert "ZTC_Execute_procesure" not in zd.names()


def test_diagnostic_keeps_its_order_with_python_output(zd, cur, capfdbinary):
    print("before")
    cur.setinputtype([23, 2])
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.callfunc("f1", [5])
    print("after")
    assert capfdbinary.readouterr().out == b"before\n" + GBK_UNSUPPORTED + b"after\n"


def test_none_without_types_is_null(zd, cur, capfdbinary):
    zd.program_outputs({2: "r"})
    assert cur.callfunc("f1", [None]) == [None, "r"]
    assert capfdbinary.readouterr().out == b""
    assert binds(zd)[0]["type"] == 0


def test_parse_mismatch(zd, cur):
    with pytest.raises(_pyztdb.ProgrammingError, match="^callfunc Parameter mismatch$"):
        cur.callfunc()


def test_bad_name(zd, cur):
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.callfunc("f1(1); drop table t; --")
    assert "ZTC_Execute_procesure" not in zd.names()


def test_output_without_declared_types(zd, cur):
    with pytest.raises(_pyztdb.ProgrammingError, match="Please set the parameter data type first"):
        cur.callfunc("f1", [""], [OUT])


def test_execution_failure(zd, cur):
    zd.fail("ZTC_Execute_procesure", -1, error="[42883] function f1 does not exist")
    with pytest.raises(_pyztdb.OperationalError, match=r"\[42883\] function f1 does not exist"):
        cur.callfunc("f1")


def test_refcursor_parameter_stays_the_result(zd, cur):
    cur.setinputtype([58, 2])
    zd.program_cursor("c1", Result(columns=[Column("A", 5)], rows=[[1], [2], [3]]))
    zd.program_outputs({1: "c1", 2: "done"})
    assert cur.callfunc("f1", [""], [OUT]) == ["c1", "done"]
    assert cur.fetchall() == [(1,), (2,), (3,)]
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]


def test_return_value_never_opens_a_server_cursor(zd, cur):
    cur.setinputtype([58])
    zd.program_outputs({1: "c1"})
    assert cur.callfunc("f1") == ["c1"]
    assert zd.calls_of("ZTC_FetchServerCursorRowset") == []
