"""callproc against the test double: call texts, binding by type code, directions,
read-back, RefCursor opening, and the faults mended in the call frame."""

import datetime
import decimal
import struct
import sys

import pytest

import _pyztdb
from ztdouble import Cell, Column, Result

OUT, INOUT = 2, 3
TEXT = 65537
Prog = _pyztdb.ProgrammingError


@pytest.fixture
def cur(conn):
    return conn.cursor()


def binds(zd):
    return zd.calls_of("ZTC_BindParamByPos")


def executed(zd):
    return [c["sql"] for c in zd.calls_of("ZTC_Execute_procesure")]


@pytest.mark.parametrize("args, sql, back", [
    (("p1",), "execute p1", []),
    (("p1", (7,)), "execute p1(?);", [7]),
    (("p1", [1, 2, 3]), "execute p1(?,?,?);", [1, 2, 3]),
    (("p1", []), "execute p1", []),         # an empty parameters object: no brackets
    (("p1", list(range(300))), "execute p1(" + ",".join("?" * 300) + ");", list(range(300))),
])
def test_call_text(zd, cur, args, sql, back):
    before = len(zd.calls())
    assert cur.callproc(*args) == back
    assert executed(zd) == [sql]
    # Bindings left by an earlier statement never reach the call.
    seq = [c.name for c in zd.calls()[before:]]
    assert seq[0] == "ZTC_Reset" and seq[-1] == "ZTC_Execute_procesure"
    assert [b["pos"] for b in binds(zd)] == list(range(1, len(back) + 1))
    assert (cur.description, cur.rowcount) == (None, 0)


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
    assert binds(zd)[0]["type"] == code


def test_none_is_bound_as_null_input(zd, cur):
    assert cur.callproc("p1", [None, 5]) == [None, 5]
    b = binds(zd)[0]
    assert (b["type"], b["buflen"], b["length"], b["data"]) == (0, 0, 0, None)


# Fault mended: with declared types a None input was refused, so a NULL could not be
# passed to a procedure that also has output parameters.
@pytest.mark.parametrize("code", [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 18, 41, 42, 58, 62, 63])
def test_none_input_with_declared_type_is_null_of_that_type(zd, cur, code):
    cur.setinputtype([code, 2])
    zd.program_outputs({2: "null"})
    assert cur.callproc("p1", [None, ""], [1, OUT]) == [None, "null"]
    b = binds(zd)[0]
    assert (b["type"], b["direction"], b["buflen"], b["length"], b["data"]) == (code, 1, 0, 0, None)


@pytest.mark.parametrize("code, value, buflen, length, data", [
    (1, True, 1, 1, b"\x01"),
    (3, 5, 1, 1, b"\x05"),
    (4, -2, 2, 2, struct.pack("<h", -2)),
    (5, 70000, 4, 4, struct.pack("<i", 70000)),
    (6, 2 ** 40, 8, 8, struct.pack("<q", 2 ** 40)),
    (7, 1.5, 4, 4, struct.pack("<f", 1.5)),
    (8, 2.25, 8, 8, struct.pack("<d", 2.25)),
    (9, "12.50", 64, 5, b"12.50"),
    (9, 3.14159265, 64, 10, b"3.14159265"),      # keeps every digit, unlike plain %g
    (9, 0.1, 64, 3, b"0.1"),
    (9, 1e20, 64, 5, b"1e+20"),
    (9, 12345678901234567890, 64, 20, b"12345678901234567890"),
    (9, decimal.Decimal("1.10"), 64, 4, b"1.10"),
    (10, datetime.date(2024, 1, 5), 11, 10, b"2024-01-05"),
    (10, datetime.date(5, 3, 7), 11, 10, b"   5-03-07"),
    (11, datetime.time(4, 5, 6, 7), 32, 15, b"04:05:06.000007"),
    (13, datetime.datetime(2024, 1, 5, 7, 8, 9, 123), 64, 26, b"2024-01-05 07:08:09.000123"),
    # An input-only text has a buffer of its own size (fault mended: 64 KiB each, so
    # 20,000 one-letter items took 1.27 GB).
    (2, "héllo", 7, 6, "héllo".encode()),
    (41, "clob", 5, 4, b"clob"),
    (58, "cur", 4, 3, b"cur"),
    (62, "ch", 3, 2, b"ch"),
    (63, "", 1, 0, b""),
    (2, "x" * 70000, 70001, 70000, b"x" * 70000),   # no fixed limit on texts
    # Binary values are sent whole, zero bytes included.
    (15, b"a\0b", 4, 3, b"a\0b"),
    (18, bytearray(b"xyz"), 4, 3, b"xyz"),
    (42, memoryview(b"\0\0"), 3, 2, b"\0\0"),
])
def test_binding_row(zd, cur, code, value, buflen, length, data):
    cur.setinputtype([code])
    cur.callproc("p1", [value])
    (b,) = binds(zd)
    assert (b["type"], b["buflen"], b["length"], b["direction"]) == (code, buflen, length, 1)
    assert b["data"] == data.ljust(buflen, b"\0")


@pytest.mark.parametrize("code, sizes, value, buflen, length, back", [
    (2, [20], "abc", 21, 3, "abc"),
    (2, [3], "abcdef", 4, 3, "abc"),
    (2, [2], "é€", 3, 2, "é"),             # cut at a character boundary
    (2, [None], "abc", 4, 3, "abc"),
    (2, [], "abc", 4, 3, "abc"),             # beyond the declared sizes: none
    (15, [10], b"abc", 11, 3, b"abc"),
    (15, [2], b"abc", 3, 2, b"ab"),
])
def test_declared_sizes(zd, cur, code, sizes, value, buflen, length, back):
    cur.setinputtype([code])
    cur.setinputsizes(sizes)
    assert cur.callproc("p1", [value]) == [back]
    (b,) = binds(zd)
    assert (b["buflen"], b["length"]) == (buflen, length)


# Output and in-out positions keep the default buffers the library writes into; a DATE
# output has room for every date the server holds (fault mended: 11 bytes cut "44 BC").
@pytest.mark.parametrize("code, direction, item, buflen, out, back", [
    (2, OUT, "", TEXT, "written", "written"),
    (2, INOUT, "abc", TEXT, "abcd", "abcd"),
    (58, OUT, "", TEXT, None, None),
    (10, OUT, datetime.date(2024, 1, 5), 32, "0044-03-15 BC", "0044-03-15 BC"),
    (10, INOUT, datetime.date(2024, 1, 5), 32, "5874897-12-31", "5874897-12-31"),
    (10, 1, datetime.date(2024, 1, 5), 11, None, "2024-01-05"),
])
def test_output_buffers(zd, cur, code, direction, item, buflen, out, back):
    cur.setinputtype([code])
    zd.program_outputs({1: out})
    assert cur.callproc("p1", [item], [direction]) == [back]
    assert binds(zd)[0]["buflen"] == buflen


# Fault mended: outputs longer than their buffer came back cut without a word. The library
# reports the full length and keeps the value, which is read again whole.
@pytest.mark.parametrize("code, item, out", [
    (2, "", "é" * 40000),
    (2, "x" * 70000, "y" * 70001),
    (15, b"", b"\0\1" * 5),
    (42, b"ab", b"abc"),
])
def test_long_output_is_read_whole(zd, cur, code, item, out):
    cur.setinputtype([code])
    zd.program_outputs({1: out})
    assert cur.callproc("p1", [item], [INOUT]) == [out]
    (again,) = zd.calls_of("ZTC_GetOutputData")
    size = len(out.encode() if isinstance(out, str) else out)
    assert (again["pos"], again["capacity"]) == (1, size + 1)


def test_failed_reread_raises(zd, cur):
    cur.setinputtype([2])
    zd.program_outputs({1: "z" * 70000})
    zd.fail("ZTC_GetOutputData", error="[HY000] no cut output value is kept for parameter 1")
    with pytest.raises(_pyztdb.OperationalError, match=r"^\[HY000\] no cut output value"):
        cur.callproc("p1", [""], [OUT])


def test_directions(zd, cur):
    with pytest.raises(Prog, match="Please set the parameter data type first"):
        cur.callproc("p1", [1, ""], [1, OUT])
    assert executed(zd) == []
    cur.setinputtype([5, 2, 5])
    cur.setinputsizes([-1, 20])
    zd.program_outputs({2: "written", 3: 9})
    assert cur.callproc("p1", [3, "", 4], [1, OUT, INOUT]) == [3, "written", 9]
    assert [(b["direction"], b["buflen"]) for b in binds(zd)[-3:]] == [(1, 4), (OUT, 21), (INOUT, 4)]


@pytest.mark.parametrize("code, item, out, back", [
    (1, 0, True, b"T"),
    (1, 0, False, b"F"),
    (4, 0, -3, -3),
    (5, 0, -70000, -70000),
    (6, 0, -(2 ** 40), -(2 ** 40)),
    (7, 0.0, 0.1, struct.unpack("<f", struct.pack("<f", 0.1))[0]),
    (8, 0.0, 0.25, 0.25),
    (9, "0", "2.75", 2.75),
    (2, "", "héllo", "héllo"),
    (2, "", Cell(b"ab\0cd", 5), "ab"),
    (13, datetime.datetime(2000, 1, 1), "2024-01-05 07:08:09", "2024-01-05 07:08:09"),
    (15, b"\0" * 8, Cell(b"a\0b", 3), b"a\0b"),
    (2, "", None, None),
    (2, "", Cell(b"", 0), None),
    (5, 0, Cell(b"\1\0\0\0", -1), None),
])
def test_read_back(zd, cur, code, item, out, back):
    cur.setinputtype([code])
    zd.program_outputs({1: out})
    assert cur.callproc("p1", [item], [OUT]) == [back]


# Fault mended: the library writes a TINYINT output into one byte, and the read-back took
# the whole 32-bit word (255 for -1, or the output mixed with the input's upper bytes).
@pytest.mark.parametrize("item, direction, out, back", [
    (0, INOUT, b"\xff", -1),
    (-1, INOUT, b"\x05", 5),
    (5, INOUT, b"\x80", -128),
    (-128, 1, None, -128),
    (127, 1, None, 127),
])
def test_tinyint_reads_back_its_one_byte(zd, cur, item, direction, out, back):
    cur.setinputtype([3])
    if out is not None:
        zd.program_outputs({1: out})
    assert cur.callproc("p1", [item], [direction]) == [back]


def test_booleans(zd, cur):
    cur.setinputtype([1, 1, 1])
    assert cur.callproc("p1", [True, False, True]) == [b"T", b"F", b"T"]
    # A value that is neither gives the last boolean character of the call.
    zd.program_outputs({1: True, 2: Cell(b"\x07", 1)})
    assert cur.callproc("p1", [0, 0, False], [OUT, OUT, 1]) == [b"T", b"T", b"F"]


# A length word beyond the buffer is a value cut to its declared size (the last byte is
# the library's terminating zero).
def test_length_word_past_the_buffer_is_clamped(zd, cur):
    cur.setinputtype([2, 15])
    cur.setinputsizes([3, 3])
    zd.program_outputs({1: Cell(b"abcdefgh", 1000), 2: Cell(b"\1\2\3\4\5", 1000)})
    assert cur.callproc("p1", ["", b""], [OUT, OUT]) == ["abc", b"\1\2\3"]
    assert "ZTC_GetOutputData" not in zd.names()


class BrokenSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            raise RuntimeError("no item")
        return 1


@pytest.mark.parametrize("types, args, exc, text", [
    (None, ([decimal.Decimal("1")],), Prog, "type code 0 of parameter 1"),
    ([5, 23], ([1, 2],), Prog, "type code 23 of parameter 2"),
    ([5], ([1, 2],), Prog, "The parameter is out of range"),
    (None, (BrokenSequence(),), Prog, "The parameter variable is empty"),
    ([6], ([2 ** 70],), OverflowError, ""),
    ([4], ([40000],), OverflowError, ""),
    ([3], ([200],), OverflowError, ""),
    ([5], ([2 ** 31],), OverflowError, ""),
    ([5], ([1.5],), Prog, "does not suit"),
    # An output or in-out buffer is where the result goes: None cannot stand for it.
    ([5], ([None], [OUT]), Prog, "does not suit"),
    ([2], ([None], [INOUT]), Prog, "does not suit"),
    ([2], ([5],), Prog, "does not suit"),
    ([15], (["text"],), Prog, "does not suit"),
    ([10], (["2024-01-01"],), Prog, "does not suit"),
    ([13], ([datetime.date(2024, 1, 1)],), Prog, "does not suit"),
    ([9], ([object()],), Prog, "does not suit"),
    ([8], (["1.5"],), Prog, "does not suit"),
    # Fault mended: a declared code of -1 ended in SystemError "a parameter failed
    # without an error".
    ([-1], ([1],), Prog, "^The type code -1 of parameter 1 is not supported$"),
    ([5, -1], ([1, "x"], [1, OUT]), Prog, "type code -1 of parameter 2"),
    # Fault mended: a zero character cut the text there without a word.
    (None, (["abc\0def"],), Prog, "^parameter 1: text contains a zero character$"),
    ([5, 9], ([1, "1\0 2"],), Prog, "parameter 2: text contains a zero character"),
    ([2], (["a\0"], [INOUT]), Prog, "parameter 1: text contains a zero character"),
    ([2, 5], ([5, 2 ** 40],), OverflowError, ""),       # the last recorded error wins
    ([5, 5], ([1, 2], [1]), Prog, "direction of parameter 2"),
    ([5], ([1], "x"), Prog, "direction of parameter 1 is not an integer"),
    ([5], ([1], None), Prog, "direction of parameter 1"),
    (None, (None,), TypeError, ""),
])
def test_call_never_runs_with_a_failed_parameter(zd, cur, types, args, exc, text):
    if types is not None:
        cur.setinputtype(types)
    with pytest.raises(exc, match=text):
        cur.callproc("p1", *args)
    assert executed(zd) == []


def test_declared_size_too_large(zd, cur):
    cur.setinputtype([2])
    cur.setinputsizes([2 ** 31 - 1])
    with pytest.raises(Prog, match="declared size of parameter 1"):
        cur.callproc("p1", ["x"])
    assert executed(zd) == []


@pytest.mark.parametrize("call, line", [
    (lambda cur: (cur.setinputtype([5, 23]), cur.callproc("p1", [1, 2])), b"the type not supported\n"),
    (lambda cur: cur.callproc("p1", BrokenSequence()), b"the type not supported\n"),
])
def test_diagnostic_line(zd, cur, capfdbinary, call, line):
    with pytest.raises(Prog):
        call(cur)
    assert capfdbinary.readouterr().out == line


@pytest.mark.parametrize("name", [
    "p1; drop table t", "p 1", "p1()", "[p1]", "", "a..b", '"open', '""', "1abc", "a.",
    ".a", "p1--", "p\0", "p1\n", 5, None, b"p1",
])
def test_bad_name_sends_nothing(zd, cur, name):
    before = len(zd.calls())
    with pytest.raises(Prog):
        cur.callproc(name, [1])
    assert zd.calls()[before:] == []


@pytest.mark.parametrize("name", ["_x$1", "s.p1", "db.s.p1", '"a""b".p', "схема.proc",
                                  '"with space"', "p" * 300])
def test_good_names(zd, cur, name):
    cur.callproc(name)
    assert executed(zd) == ["execute " + name]


def test_failures(zd, conn, cur):
    for args in [(), ("p1", [], [], 4)]:
        with pytest.raises(Prog, match="^callproc Parameter mismatch$"):
            cur.callproc(*args)
    zd.fail("ZTC_Execute_procesure", -1, error="[42883] procedure p1 does not exist")
    with pytest.raises(_pyztdb.OperationalError, match=r"^\[42883\] procedure p1 does not exist$"):
        cur.callproc("p1", [1])
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="The cursor object does not exist"):
        cur.callproc("p1")


# ---- RefCursor ----

def open_refcursor(zd, cur, name="c1"):
    cur.setinputtype([58])
    zd.program_cursor(name, Result(columns=[Column("T.ID", 5), Column("NAME", 2, -1)],
                                   rows=[[1, "a"], [2, "b"]]))
    zd.program_outputs({1: name})
    return cur.callproc("p1", [""], [OUT])


def test_refcursor_opens_the_server_cursor(zd, cur):
    assert open_refcursor(zd, cur) == ["c1"]
    assert [c["name"] for c in zd.calls_of("ZTC_FetchServerCursorRowset")] == ["c1"]
    assert [d[:2] for d in cur.description] == [("ID", "INTEGER"), ("NAME", "VARCHAR")]
    assert cur.rowcount == 2
    # A server-cursor result: fetchone reads it (a plain query result it would refuse).
    assert cur.fetchone() == (1, "a")
    assert cur.fetchall() == [(2, "b")]
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]


@pytest.mark.parametrize("release", [lambda cur: cur.close(), lambda cur: cur.callproc("p2")])
def test_release_closes_the_server_cursor(zd, cur, release):
    open_refcursor(zd, cur, name="c" * 200)
    release(cur)
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c" * 200]
    assert zd.open_results() == 0


def test_second_refcursor_replaces_the_first(zd, cur):
    cur.setinputtype([58, 58])
    zd.program_cursor("c1", Result(columns=[Column("A", 5)], rows=[[1]]))
    zd.program_cursor("c2", Result(columns=[Column("B", 2)], rows=[["x"], ["y"]]))
    zd.program_outputs({1: "c1", 2: "c2"})
    assert cur.callproc("p1", ["", ""], [OUT, OUT]) == ["c1", "c2"]
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert cur.fetchall() == [("x",), ("y",)]
    assert zd.open_results() == 0


def test_failing_rowset_fetch_raises(zd, cur):
    zd.fail("ZTC_FetchServerCursorRowset", -1, error="[34000] cursor c1 does not exist")
    with pytest.raises(_pyztdb.OperationalError, match=r"\[34000\] cursor c1 does not exist"):
        open_refcursor(zd, cur)
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert zd.open_results() == 0
    cur.close()
    assert len(zd.calls_of("ZTC_CloseCursor")) == 1
    with pytest.raises(Prog, match="The result set does not exist"):
        cur.fetchall()


def test_null_refcursor_opens_nothing(zd, cur):
    cur.setinputtype([58])
    zd.program_outputs({1: Cell(b"", 0)})
    assert cur.callproc("p1", [""], [OUT]) == [None]
    assert zd.calls_of("ZTC_FetchServerCursorRowset") == []


def test_no_reference_leaks(zd, cur):
    params = ["leak-check-" + "x" * 20, b"bytes", 1.5]
    counts = [sys.getrefcount(v) for v in params]
    for _ in range(50):
        cur.callproc("p1", params)
    assert [sys.getrefcount(v) for v in params] == counts


class ClosingSequence:
    """Parameters whose second item closes the connection as it is read."""

    def __init__(self, conn):
        self.conn = conn

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i == 1:
            self.conn.close()
        return i


def closing_decimal(conn):
    """A Decimal whose text, read for a NUMERIC position, closes the connection."""

    class Closing(decimal.Decimal):
        def __str__(self):
            conn.close()
            return "2.5"

    return Closing("2.5")


# Fault mended: Python code run while reading the parameters could close the connection,
# and the call went on binding and executing on the session it had closed.
@pytest.mark.parametrize("method", ["callproc", "callfunc"])
@pytest.mark.parametrize("types, params", [
    ([5, 9], lambda conn: [1, closing_decimal(conn)]),
    (None, ClosingSequence),
])
def test_connection_closed_while_binding(zd, conn, method, types, params):
    cur = conn.cursor()
    if types:
        cur.setinputtype(types + [2])
    with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
        getattr(cur, method)("p1", params(conn))
    names = zd.names()
    after_close = set(names[names.index("ZTC_CloseConn"):])
    assert not {"ZTC_BindParamByPos", "ZTC_Execute_procesure"} & after_close
