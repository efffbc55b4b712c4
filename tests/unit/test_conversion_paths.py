"""The paths agree: one Python value sent by execute, by executemany row by row, by
executebatch and by callproc reaches the library as the same value (each path in its own
form: a text, an 8-byte double, a packed column), with the module's own table and with
the Python-typed one; and executemany types a column from all its values."""

import datetime
import decimal
import struct

import pytest

import _pyztdb

UTC = datetime.timezone.utc


class _Dec(decimal.Decimal):
    pass


class _Int(int):
    pass


def _text(data, length=None):
    data = data if length is None or length < 0 else data[:length]
    return data.split(b"\0", 1)[0].decode()


def _number(text):
    return decimal.Decimal(text.strip()).normalize()


def _when(text):
    """A date, time or timestamp text (blank- or zero-padded year) as a Python value."""
    head, sep, rest = text.partition("-")
    if sep and head.strip().isdigit():
        text = head.strip().zfill(4) + sep + rest
    for fmt, make in (("%Y-%m-%d %H:%M:%S.%f", lambda d: d), ("%Y-%m-%d", lambda d: d.date()),
                      ("%H:%M:%S.%f", lambda d: d.time())):
        try:
            return make(datetime.datetime.strptime(text.strip(), fmt))
        except ValueError:
            continue
    raise AssertionError("not a date or time text: %r" % text)


EPOCH = datetime.datetime(1970, 1, 1)


def canonical(code, data, length):
    """The value a bound parameter carries, whatever its form."""
    if code == 0:
        return None
    if code in (1, 3) or (code == 5 and length <= 4):
        return decimal.Decimal(struct.unpack("=i", data[:4].ljust(4, b"\0"))[0] if code == 5
                               else data[0])
    if code in (6, 70):
        return decimal.Decimal(struct.unpack("=q", data[:8])[0])
    if code == 8:
        return _number(repr(struct.unpack("=d", data[:8])[0]))
    if code == 9:
        return _number(_text(data, length))
    if code == 15:
        return bytes(data[:length])
    if code == 71:
        return EPOCH + datetime.timedelta(microseconds=struct.unpack("=q", data[:8])[0])
    if code == 72:
        micros = struct.unpack("=q", data[:8])[0]
        return (EPOCH + datetime.timedelta(microseconds=micros)).replace(tzinfo=UTC)
    if code in (10, 11, 13, 73):
        return _when(_text(data, length))
    text = _text(data, length)
    try:
        return _number(text)
    except decimal.InvalidOperation:
        return text


def packed_first(b):
    """The first row of a packed or fixed-size batch column: (bytes, length)."""
    if b["type"] in (2, 9, 15, 73):
        (n,) = struct.unpack("=i", b["values"][:4])
        return b["values"][4:4 + max(n, 0)], n
    return b["values"][:b["size"]], b["lengths"][0]


def sent(zd, conn, value, path):
    """How `path` sends `value`, as (library code, canonical value)."""
    cur = conn.cursor()
    if path == "execute":
        cur.execute("select ?", [value])
    elif path == "executemany":
        cur.executemany("select ?", [(value,), (value,)])
    elif path == "executebatch":
        cur.executebatch("insert into t values (?)", [(value,)], flexible=True, rows=True)
        (b,) = zd.calls_of("ZTC_BindParamArrayByPos")
        data, length = packed_first(b)
        return canonical(b["type"], data, length)
    else:
        cur.callproc("p", [value])
    call = zd.calls_of("ZTC_BindParamByPos")[0]
    return canonical(call["type"], call["data"], call["length"])


def _expected(value):
    if isinstance(value, bool):
        return decimal.Decimal(int(value))
    if isinstance(value, (int, float, decimal.Decimal)):
        return _number(repr(value) if isinstance(value, float) else str(value))
    if isinstance(value, datetime.datetime) and value.tzinfo is not None:
        return value.astimezone(UTC)
    return value


VALUES = [
    0, 1, -2 ** 63, _Int(7), True, False,
    0.1, 1.5, 123456789.123, 1e-20, 1e22, -0.5, 1 / 3,
    decimal.Decimal("1.10"), decimal.Decimal("-1e-30"), _Dec("2.25"),
    "", "abc", "h\u00e9\u20ac",
    b"\x00\xff",
    datetime.date(2024, 2, 29), datetime.date(5, 3, 7),
    datetime.datetime(2024, 1, 5, 7, 8, 9, 123),
    datetime.datetime(2024, 1, 5, 12, tzinfo=datetime.timezone(datetime.timedelta(hours=5))),
    datetime.time(4, 5, 6, 7),
    None,
]
# What the module's own table does not send on every path: a Decimal to a procedure has
# no code of its own, and executebatch keeps bools as integers and aware datetimes as
# texts with "+00" (what they mean is checked against the server elsewhere).
SKIP = {
    ("callproc", decimal.Decimal), ("callproc", _Dec),
    ("executebatch", datetime.datetime),
}


@pytest.mark.parametrize("pytypes", [False, True], ids=["own", "pytypes"])
@pytest.mark.parametrize("path", ["execute", "executemany", "executebatch", "callproc"])
@pytest.mark.parametrize("value", VALUES, ids=[repr(v)[:30] for v in VALUES])
def test_every_path_sends_the_same_value(zd, conn, value, path, pytypes):
    if (path, type(value)) in SKIP:
        pytest.skip("form of its own")
    if value is None and path == "executebatch":
        pytest.skip("a column of NULLs only is left to the server")
    conn.pytypes = pytypes
    assert sent(zd, conn, value, path) == _expected(value)


# executemany (module rows to ztcondb's batch) types a column from all of its values: the
# same kind whatever the order, and the values it carries unchanged.
@pytest.mark.parametrize("column, code", [
    ([1, decimal.Decimal("1.5")], 9),
    ([decimal.Decimal("1.5"), 1], 9),
    ([1.5, decimal.Decimal("2.25")], 9),
    ([decimal.Decimal("2.25"), 1.5, 3], 9),
    ([None, 1, None, decimal.Decimal("-0.5")], 9),
    (["a", 1], 2),
    ([1, "a"], 2),
    ([True, "b", None], 2),
    ([True, 2], 6),
    ([1, 2.5], 8),
    ([2.5, 1], 8),
])
def test_executemany_types_a_column_from_all_its_values(zd, conn, column, code):
    cur = conn.cursor()
    cur.executebatch("insert into t values (?)", [(v,) for v in column], flexible=True,
                     rows=True)
    (b,) = zd.calls_of("ZTC_BindParamArrayByPos")
    assert b["type"] == code
    got, offset = [], 0
    for n in b["lengths"]:
        if code in (2, 9):
            (n,) = struct.unpack("=i", b["values"][offset:offset + 4])
            got.append(None if n < 0 else b["values"][offset + 4:offset + 4 + n].decode())
            offset += 4 + max(n, 0)
        else:
            got.append(None if n <= 0 else struct.unpack(
                "=q" if code == 6 else "=d", b["values"][offset:offset + 8])[0])
            offset += 8
    want = []
    for v in column:
        if v is None:
            want.append(None)
        elif code == 2:
            want.append(("true" if v else "false") if isinstance(v, bool) else str(v))
        elif code == 9:
            want.append(str(v) if not isinstance(v, float) else "%.15g" % v)
        else:
            want.append(v)
    assert got == want


@pytest.mark.parametrize("column, message", [
    (["a", 1.5], "column 1, row 2: expected str, got float"),
    ([decimal.Decimal(1), True], "column 1, row 2: expected decimal.Decimal, got bool"),
    ([1, b"x"], "column 1, row 2: expected int, got bytes"),
])
def test_executemany_refuses_what_no_kind_holds(zd, conn, column, message):
    with pytest.raises(_pyztdb.ProgrammingError) as e:
        conn.cursor().executebatch("insert into t values (?)", [(v,) for v in column],
                                   flexible=True, rows=True)
    assert message in str(e.value)
    assert "ZTC_ExecBatch" not in zd.names()
