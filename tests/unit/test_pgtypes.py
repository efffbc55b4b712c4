"""PostgreSQL's own types against the double: the C readers of the server's text forms
(arrays with quoting, NULLs, bounds decorations and other delimiters, ranges,
multiranges, uuid, inet, json), the typed bindings of lists, dicts, UUIDs, ip addresses,
ranges and wrappers, and a batch column's server type. A `_pyztdb` cursor keeps its
specified forms."""
import datetime
import decimal
import ipaddress
import uuid

import pytest

import _pyztdb
import ztcondb
from ztcondb.types.json import Json, Jsonb
from ztcondb.types.range import Multirange, Range
from ztdouble import Column, Result

D = decimal.Decimal
UTC = datetime.timezone.utc


@pytest.fixture
def cur(zd):
    conn = ztcondb.connect("h")
    try:
        yield conn.cursor()
    finally:
        conn.close()


def read(zd, cur, oid, element, text):
    zd.queue_execution(Result([Column("c", 2, oid=oid, element=element)], [[text]]))
    cur.execute("select c")
    return cur.fetchone()[0]


@pytest.mark.parametrize("oid, element, text, value", [
    (1007, 23, "{1,2,NULL}", [1, 2, None]),
    (1007, 23, "{}", []),
    (1007, 23, "[0:1]={7,8}", [7, 8]),
    (1007, 23, "{{1,2},{3,4}}", [[1, 2], [3, 4]]),
    (1007, 23, "{ 1 , 2 }", [1, 2]),
    (1009, 25, '{"a,b","q\\"u","b\\\\s","{x}",NULL,"NULL",""}',
     ["a,b", 'q"u', "b\\s", "{x}", None, "NULL", ""]),
    (1009, 25, '{{"a b"},{c}}', [["a b"], ["c"]]),
    (1020, 603, "{(1,1),(0,0);(2,2),(1,1)}", ["(1,1),(0,0)", "(2,2),(1,1)"]),
    (1021, 700, "{1.5,NaN,-Infinity}", [1.5, "nan", float("-inf")]),
    (1231, 1700, "{1.10,-2}", [D("1.10"), D("-2")]),
    (1000, 16, "{t,f,NULL}", [True, False, None]),
    (1001, 17, '{"\\\\x00ff"}', [b"\x00\xff"]),
    (1182, 1082, "{2024-02-29}", [datetime.date(2024, 2, 29)]),
    (1185, 1184, '{"2024-01-01 10:00:00.5+02"}',
     [datetime.datetime(2024, 1, 1, 8, 0, 0, 500000, tzinfo=UTC)]),
    (2950, 0, "12345678-9abc-def0-1234-56789abcdef0",
     uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")),
    (869, 0, "10.0.0.1", ipaddress.ip_address("10.0.0.1")),
    (869, 0, "10.0.0.1/8", ipaddress.ip_interface("10.0.0.1/8")),
    (869, 0, "255.255.255.255", ipaddress.ip_address("255.255.255.255")),
    (869, 0, "::ffff:1.2.3.4", ipaddress.ip_address("::ffff:1.2.3.4")),
    (650, 0, "::/0", ipaddress.ip_network("::/0")),
    (3802, 0, '{"a": [1, null]}', {"a": [1, None]}),
    (114, 0, '"x"', "x"),
    (3904, 0, "[1,5)", Range(1, 5)),
    (3904, 0, "empty", Range(empty=True)),
    (3926, 0, "(,7]", Range(None, 7, "(]")),
    (3906, 0, "[1.5,]", Range(D("1.5"), None, "[)")),
    (3910, 0, '["2024-01-01 00:00:00+00","2024-01-02 00:00:00+00")',
     Range(datetime.datetime(2024, 1, 1, tzinfo=UTC), datetime.datetime(2024, 1, 2, tzinfo=UTC))),
    (4451, 0, "{[1,3), [5,7)}", Multirange([Range(1, 3), Range(5, 7)])),
    (4451, 0, "{}", Multirange()),
    (26, 0, "4000000000", 4000000000),
    (16500, 0, "an enum label", "an enum label"),
])
def test_values_read_by_server_type(zd, cur, oid, element, text, value):
    got = read(zd, cur, oid, element, text)
    if isinstance(value, list) and "nan" in value:
        assert str(got[1]) == "nan" and got[0] == 1.5 and got[2] == float("-inf")
    else:
        assert got == value and type(got) is type(value)


@pytest.mark.parametrize("oid, element, text", [
    (1007, 23, "{1,2"),
    (1007, 23, "{1,x}"),
    (1007, 23, "{1}}"),
    (1009, 25, '{"open}'),
    (1000, 16, "{yes}"),
    (3904, 0, "[1,5"),
    (3904, 0, "1,5)"),
    (2950, 0, "12345678-9abc"),
    (2950, 0, "g2345678-9abc-def0-1234-56789abcdef0"),
    (1182, 1082, "{2024-13-01}"),
    (1185, 1184, '{"infinity"}'),
    (3802, 0, "{bad json"),
    (869, 0, "10.0.0.256"),
    (869, 0, "10.0.0"),
])
def test_bad_texts_name_column_and_row(zd, cur, oid, element, text):
    zd.queue_execution(Result([Column("c", 2, oid=oid, element=element)], [[None], [text]]))
    cur.execute("select c")
    assert cur.fetchone() == (None,)
    with pytest.raises(ztcondb.DataError, match=r"column 1 \(c\), row 2: the value"):
        cur.fetchone()


def bound(zd, cur, value):
    cur.execute("select ?", [value])
    (call,) = zd.calls_of("ZTC_BindParamTyped")
    return call["oid"], call["format"], call["data"]


@pytest.mark.parametrize("value, oid, data", [
    ([1, None, -2], 1007, b'{"1",NULL,"-2"}'),
    ([[1, 2], [3, 2 ** 40]], 1016, b'{{"1","2"},{"3","1099511627776"}}'),
    ([2 ** 70], 1231, b'{"1180591620717411303424"}'),
    ([1, 2.5], 1022, b'{"1","2.5"}'),
    ([D("1.5"), 2], 1231, b'{"1.5","2"}'),
    ([float("nan"), float("inf")], 1022, b'{"NaN","Infinity"}'),
    (['a"b\\', "", "NULL"], 1009, b'{"a\\"b\\\\","","NULL"}'),
    ([True, None], 1000, b'{"t",NULL}'),
    ([b"\x01\xff"], 1001, b'{"\\\\x01ff"}'),
    ([datetime.date(2024, 1, 2)], 1182, b'{"2024-01-02"}'),
    ([datetime.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)], 1185,
     b'{"2024-01-02 03:04:05+00:00"}'),
    ([{"k": [1]}], 3807, b'{"{\\"k\\": [1]}"}'),
    ([ipaddress.ip_address("10.0.0.1"), ipaddress.ip_network("10.0.0.0/8")], 1041,
     b'{"10.0.0.1","10.0.0.0/8"}'),
    ([], 0, b"{}"),
    ([None, None], 0, b"{NULL,NULL}"),
    ({"a": None}, 3802, b'{"a": null}'),
    (Json([1]), 114, b"[1]"),
    (Jsonb("x"), 3802, b'"x"'),
    (Json({"a": 1}, dumps=lambda o: "DUMPED"), 114, b"DUMPED"),
    (ipaddress.ip_interface("10.1.2.3/24"), 869, b"10.1.2.3/24"),
    (ipaddress.ip_network("::/0"), 650, b"::/0"),
    (Range(1, 5), 0, b'["1","5")'),
    (Range(None, datetime.date(2024, 1, 1), "(]"), 3912, b'(,"2024-01-01"]'),
    (Range(empty=True), 0, b"empty"),
    (Range(D("1"), D("2"), "[]"), 3906, b'["1","2"]'),
    (Multirange([Range(1, 2), Range(3, 4)]), 0, b'{["1","2"),["3","4")}'),
    (Multirange([Range(datetime.datetime(2024, 1, 1), None)]), 4533,
     b'{["2024-01-01 00:00:00",)}'),
])
def test_values_bound_with_server_types(zd, cur, value, oid, data):
    assert bound(zd, cur, value) == (oid, 0, data)


def test_a_uuid_goes_in_binary_form(zd, cur):
    value = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")
    assert bound(zd, cur, value) == (2950, 1, value.bytes)


def test_batch_columns_carry_their_server_type(zd, cur):
    cur.executemany("insert into t values (?, ?, ?)",
                    [([1, 2], {"a": 1}, "x"), (None, {"b": 2}, "y")])
    types = {c["pos"]: c["oid"] for c in zd.calls_of("ZTC_SetArrayServerType")}
    assert types == {1: 1007, 2: 3802}
    arrays = {c["pos"]: c for c in zd.calls_of("ZTC_BindParamArrayInPlace")
              + zd.calls_of("ZTC_BindParamArrayByPos")}
    assert arrays[1]["type"] == 2 and arrays[1]["lengths"] == [9, -1]


def test_the_module_keeps_its_specified_forms(zd, conn):
    conn.pytypes = True
    plain = conn.cursor()
    zd.queue_execution(Result([Column("c", 2, oid=1007, element=23)], [["{1,2}"]]))
    plain.execute("select c")
    assert plain.fetchone() == ("{1,2}",)
    with pytest.raises(_pyztdb.OperationalError, match="does not support batch operations"):
        plain.execute("select ?", [[1, 2]])
    assert zd.calls_of("ZTC_BindParamTyped") == []


def test_readers_follow_each_result(zd, cur):
    """Readers are resolved once per result: the next result's columns get their own."""
    assert read(zd, cur, 3802, 0, '{"a": 1}') == {"a": 1}
    assert read(zd, cur, 1007, 23, "{1}") == [1]
    assert read(zd, cur, 25, 0, '{"a": 1}') == '{"a": 1}'
