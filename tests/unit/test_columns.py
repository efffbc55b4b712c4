"""fetchcolumns and copy_columns against the double: the form asked for each type code,
the buffers NumPy would adopt (read here through memoryview, so no NumPy is needed),
masks, failures of the library, and the exact binary COPY bytes written."""
import decimal
import struct

import pytest

import _pyztdb
from ztdouble import Column, Result


@pytest.fixture
def cur(conn):
    return conn.cursor()


def run(zd, cur, columns, rows):
    zd.queue_execution(Result(columns, rows))
    cur.execute("select * from t")


def unpack(kind, values, rows):
    """The values of one column as Python objects."""
    if kind == "object":
        return list(values)
    fmt = {"bool": "?", "int16": "h", "int32": "i", "int64": "q", "float32": "f",
           "float64": "d", "datetime64[D]": "q", "datetime64[us]": "q",
           "timedelta64[us]": "q"}[kind]
    return list(memoryview(values).cast("B").cast(fmt)) if rows else []


# (type code, scripted values) -> (kind, values read, mask or None)
CASES = [
    (5, [1, None, -3], "int32", [1, 0, -3], [0, 1, 0]),
    (6, [2 ** 40, -1], "int64", [2 ** 40, -1], None),
    (4, [7, -8], "int16", [7, -8], None),
    (8, [1.5, None], "float64", [1.5, 0.0], [0, 1]),
    (7, [0.25], "float32", [0.25], None),
    (1, [True, False, None], "bool", [True, False, False], [0, 0, 1]),
    (9, ["1.25", "-3"], "float64", [1.25, -3.0], None),
    (10, ["1970-01-02", "1969-12-31"], "datetime64[D]", [1, -1], None),
    (2, ["x", None, "é"], "object", ["x", None, "é"], [0, 1, 0]),
    (42, [b"\x00\xff", None], "object", [b"\x00\xff", None], [0, 1]),
]


@pytest.mark.parametrize("code, scripted, kind, expected, mask", CASES)
def test_columns_by_type_code(zd, cur, code, scripted, kind, expected, mask):
    run(zd, cur, [Column("c", code)], [[v] for v in scripted])
    rows, columns = cur.fetchcolumns()
    assert rows == len(scripted)
    [(name, got_kind, values, got_mask)] = columns
    assert (name, got_kind) == ("c", kind)
    assert unpack(kind, values, rows) == expected
    assert (None if got_mask is None else list(bytes(got_mask))) == mask


def test_exact_numeric_gives_decimals(zd, cur):
    run(zd, cur, [Column("n", 9)], [["1.10"], [None]])
    rows, [(_, kind, values, _)] = cur.fetchcolumns(exact=True)
    assert kind == "object" and values == [decimal.Decimal("1.10"), None]


@pytest.mark.parametrize("maxrows, expected", [(-1, [3]), (0, [0, 3]), (2, [2, 1])])
def test_maxrows_reads_on_where_the_last_call_stopped(zd, cur, maxrows, expected):
    run(zd, cur, [Column("a", 6)], [[1], [2], [3]])
    got = [cur.fetchcolumns(maxrows=maxrows)[0]]
    if maxrows >= 0:
        got.append(cur.fetchcolumns()[0])
    assert got == expected


def test_library_failure_raises_its_message(zd, cur):
    run(zd, cur, [Column("a", 6)], [[1]])
    zd.fail("ZTC_ReadColumns", -1, "[22023] row 1, column 1: bad")
    with pytest.raises(_pyztdb.OperationalError, match="row 1, column 1: bad"):
        cur.fetchcolumns()


def test_without_result(zd, cur):
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.fetchcolumns()


def copy_rows(zd, cur, columns, nrows):
    zd.queue_execution(Result())
    cur.copy_start("COPY t FROM STDIN (FORMAT binary)")
    cur.copy_columns(columns, nrows)
    return b"".join(c["data"] for c in zd.calls_of("ZTC_CopyPut"))


HEADER = b"PGCOPY\n\xff\r\n\x00" + b"\x00" * 8
NULL = b"\xff\xff\xff\xff"


@pytest.mark.parametrize("column, row", [
    (("int32", struct.pack("=i", -2), None), b"\x00\x00\x00\x04\xff\xff\xff\xfe"),
    (("int64", struct.pack("=q", 5), b"\x01"), NULL),
    (("float64", struct.pack("=d", float("nan")), None), NULL),
    (("float32", struct.pack("=f", 1.5), None), b"\x00\x00\x00\x04\x3f\xc0\x00\x00"),
    (("bool", b"\x01", None), b"\x00\x00\x00\x01\x01"),
    (("date", struct.pack("=q", 10958), None), b"\x00\x00\x00\x04\x00\x00\x00\x01"),
    (("timestamp", struct.pack("=q", 946684800000001), None),
     b"\x00\x00\x00\x08" + struct.pack(">q", 1)),
    (("timestamp", struct.pack("=q", -2 ** 63), None), NULL),
    (("interval", struct.pack("=q", -1), None),
     b"\x00\x00\x00\x10" + struct.pack(">qii", -1, 0, 0)),
    (("text", ["é"], None), b"\x00\x00\x00\x02\xc3\xa9"),
    (("text", [b"\x00"], None), b"\x00\x00\x00\x01\x00"),
    (("text", [None], None), NULL),
    (("text", [float("nan")], None), NULL),
    (("text", [12], None), b"\x00\x00\x00\x0212"),
])
def test_copy_columns_binary_rows(zd, cur, column, row):
    data = copy_rows(zd, cur, [column], 1)
    assert data == HEADER + b"\x00\x01" + row + b"\xff\xff"


@pytest.mark.parametrize("columns, nrows", [
    ([("int128", b"", None)], 0),
    ([("int32", b"\x00" * 4, None)], 2),
    ([("text", ["a"], None)], 2),
    ([("int32", b"\x00" * 4, b"\x00\x00")], 1),
    ([("int32", b"\x00" * 4)], 1),
    ([], 0),
    ([("int32", b"\x00" * 4, None)], -1),
])
def test_copy_columns_refuses_bad_columns_before_sending(zd, cur, columns, nrows):
    zd.queue_execution(Result())
    cur.copy_start("COPY t FROM STDIN (FORMAT binary)")
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.copy_columns(columns, nrows)
    assert zd.calls_of("ZTC_CopyPut") == []
