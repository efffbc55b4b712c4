"""The psycopg 3 face of the connection and of COPY without a server: the commands each
transaction block sends, connection keywords, COPY's text and binary values, the
statement's format and parameters, and conn.info through the double."""
import datetime
import os
import sys
from decimal import Decimal

import pytest

sys.path.append(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402
from ztcondb import copy as zcopy  # noqa: E402
from ztcondb import copyformat as fmt  # noqa: E402
from ztcondb.connargs import with_libpq_keywords  # noqa: E402
from ztcondb.pq import TransactionStatus as TS  # noqa: E402
from ztcondb.transaction import BlockPlan, begin_command  # noqa: E402

SP = '"_zt_savepoint_%d"'


@pytest.mark.parametrize("depth, status, autocommit, name, enter, commit, rollback", [
    (0, TS.IDLE, False, None, [], ["COMMIT"], ["ROLLBACK"]),
    (0, TS.IDLE, True, None, ["BEGIN"], ["COMMIT"], ["ROLLBACK"]),
    (0, TS.IDLE, True, "s", ["BEGIN", 'SAVEPOINT "s"'], ["COMMIT"], ["ROLLBACK"]),
    (0, TS.INTRANS, False, None, ["SAVEPOINT " + SP % 1], ["RELEASE " + SP % 1],
     ["ROLLBACK TO " + SP % 1, "RELEASE " + SP % 1]),
    (2, TS.INTRANS, True, None, ["SAVEPOINT " + SP % 3], ["RELEASE " + SP % 3],
     ["ROLLBACK TO " + SP % 3, "RELEASE " + SP % 3]),
    # Outside autocommit nothing ran yet in an outer block: still a savepoint inside it.
    (1, TS.IDLE, False, 'a"b', ['SAVEPOINT "a""b"'], ['RELEASE "a""b"'],
     ['ROLLBACK TO "a""b"', 'RELEASE "a""b"']),
])
def test_block_plan(depth, status, autocommit, name, enter, commit, rollback):
    plan = BlockPlan(depth, status, autocommit, name, "BEGIN")
    assert (plan.enter(), plan.commit(), plan.rollback()) == (enter, commit, rollback)


@pytest.mark.parametrize("level, read_only, deferrable, text", [
    (None, None, None, "BEGIN"),
    (4, True, True, "BEGIN ISOLATION LEVEL SERIALIZABLE READ ONLY DEFERRABLE"),
    (ztcondb.IsolationLevel.READ_COMMITTED, False, False,
     "BEGIN ISOLATION LEVEL READ COMMITTED READ WRITE NOT DEFERRABLE"),
])
def test_begin_command(level, read_only, deferrable, text):
    assert begin_command(level, read_only, deferrable) == text


@pytest.mark.parametrize("conninfo, host, kwargs, expected", [
    ("dbname=a", None, {"keepalives": 1}, ("dbname=a keepalives=1", None)),
    (None, None, {"sslrootcert": "/x y/ca'", "gone": None},
     (r"sslrootcert='/x y/ca\''", None)),
    ("postgresql://u@h/d", None, {"keepalives": 1, "options": "-c a=b"},
     ("postgresql://u@h/d?keepalives=1&options=-c%20a%3Db", None)),
    ("postgresql://u@h/d?x=1", None, {"keepalives": 0}, ("postgresql://u@h/d?x=1&keepalives=0", None)),
    ("db1", None, {"keepalives": 1}, ("keepalives=1", "db1")),
    ("dbname=a", None, {"gone": None}, ("dbname=a", None)),
])
def test_libpq_keywords(conninfo, host, kwargs, expected):
    assert with_libpq_keywords(conninfo, host, kwargs) == expected


@pytest.mark.parametrize("kwargs, error", [
    ({"keepalives": 1.5}, TypeError), ({"keepalives": True}, TypeError),
    ({"bad key": "1"}, ztcondb.ProgrammingError),
])
def test_libpq_keywords_refused(kwargs, error):
    with pytest.raises(error):
        with_libpq_keywords("dbname=a", None, kwargs)


@pytest.mark.parametrize("value, field", [
    (None, "\\N"), ("a\tb\nc\rd\\e", "a\\tb\\nc\\rd\\\\e"), ("\\N", "\\\\N"),
    (True, "t"), (7, "7"), (-2 ** 70, str(-2 ** 70)), (Decimal("-1.50"), "-1.50"),
    (float("-inf"), "-Infinity"), (float("nan"), "NaN"), (0.1, "0.1"),
    (b"\x00\\", "\\\\x005c"), (bytearray(b"\x01"), "\\\\x01"),
    (memoryview(b"\x02"), "\\\\x02"), (datetime.date(2024, 1, 2), "2024-01-02"),
    (datetime.timedelta(days=1, microseconds=5), "1 days 0 seconds 5 microseconds"),
    ([1, None, "a\"b"], '{"1",NULL,"a\\\\"b"}'), ("tab\tin list", "tab\\tin list"),
])
def test_text_row_value(value, field):
    out = bytearray(b"x")
    assert _pyztdb._copy_text_row((value, 1), fmt.value_text, out) == len(out)
    assert out.decode() == "x" + field + "\t1\n"


@pytest.mark.parametrize("row, error", [
    (["a\0b"], (_pyztdb.DataError, ztcondb.DataError)), ([object()], ztcondb.ProgrammingError),
    (["\ud800"], UnicodeEncodeError), (5, TypeError),
])
def test_text_row_refused_leaves_the_buffer(row, error):
    out = bytearray(b"kept")
    with pytest.raises(error):
        _pyztdb._copy_text_row(row, fmt.value_text, out)
    assert out == b"kept"


@pytest.mark.parametrize("data, start, found", [
    (b"1\t\\N\tx\n", 0, (["1", None, "x"], 7)),
    (b"skip\na\\tb\\\\c\\nd\n", 5, (["a\tb\\c\nd"], 16)),
    (b"\\x41\\101\\v\\q\\xZ\n", 0, (["AA\vqxZ"], 16)),
    (b"\n", 0, ([""], 1)), (b"\\N\t\\N\n", 0, ([None, None], 6)),
    (b"\xc3\xbc\n", 0, (["\u00fc"], 3)),
    (b"no newline", 0, None), (b"a\n", 2, None),
])
def test_text_fields(data, start, found):
    assert _pyztdb._copy_text_fields(data, start) == found


@pytest.mark.parametrize("value", [
    "0", "1", "-1", "10000", "9999.9999", "0.00001", "-123456789.123456789", "1E+12",
    "0.10", "100000000", "NaN", "Infinity", "-Infinity",
])
def test_numeric_binary_round_trip(value):
    codec = fmt.codec_for("numeric")
    back = codec.from_binary(codec.to_binary(Decimal(value)))
    assert str(back) == str(Decimal(value)) or back == Decimal(value)
    if Decimal(value).is_finite():
        assert back.as_tuple().exponent == min(0, Decimal(value).as_tuple().exponent)


@pytest.mark.parametrize("type_name, value, data", [
    ("int2", 258, b"\x01\x02"), ("int4", -1, b"\xff\xff\xff\xff"),
    ("date", datetime.date(2000, 1, 2), b"\x00\x00\x00\x01"),
    ("timestamptz", datetime.datetime(2000, 1, 1, 1, tzinfo=datetime.timezone(
        datetime.timedelta(hours=1))), b"\x00" * 8),
    ("bool", True, b"\x01"), ("jsonb", "[]", b"\x01[]"),
])
def test_binary_values(type_name, value, data):
    assert fmt.codec_for(type_name).to_binary(value) == data


@pytest.mark.parametrize("statement, expected", [
    ("copy t from stdin", "text"), ("COPY t FROM STDIN (FORMAT BINARY)", "binary"),
    ("copy t to stdout with binary", "binary"), ("copy t from stdin (format csv, header)", "csv"),
    ("copy binary_table from stdin", "text"), ("copy t to stdout csv header", "csv"),
    ("copy t to stdout (format \"binary\")", "binary"),
])
def test_copy_format(statement, expected):
    assert zcopy.copy_format(statement) == expected


@pytest.mark.parametrize("statement, params, expected", [
    ("copy t to stdout", None, "copy t to stdout"),
    ("copy (select %s, %s, %s) to stdout", (None, True, "o'k\\"),
     "copy (select NULL, true, E'o''k\\\\') to stdout"),
    ("copy (select %(a)s, '%%') to stdout", {"a": 1.5}, "copy (select 1.5, '%') to stdout"),
    ("copy (select ?) to stdout", (b"\x01",), "copy (select E'\\\\x01'::bytea) to stdout"),
])
def test_compose_statement(statement, params, expected):
    assert zcopy.compose_statement(statement, params) == expected


@pytest.mark.parametrize("statement, params, error", [
    ("select %s, %s", (1,), ztcondb.ProgrammingError),
    ("select %(a)s", {"b": 1}, ztcondb.ProgrammingError),
    ("select %s", ("a\0b",), ztcondb.DataError),
    ("select %s", (object(),), TypeError),
    (b"copy t to stdout", None, TypeError),
])
def test_compose_statement_refused(statement, params, error):
    with pytest.raises(error):
        zcopy.compose_statement(statement, params)


def test_info_reads_the_session(zd):
    conn = ztcondb.connect(host="h", database="d", user="u", password="p")
    info = conn.info
    assert (info.transaction_status, info.backend_pid, info.server_version) == (
        TS.IDLE, 4242, 150000)
    assert (info.host, info.port, info.encoding) == ("double", 5432, "utf-8")
    assert info.parameter_status("nope") is None
    assert info.get_parameters() == {}
    assert [c.args["what"] for c in zd.calls_of("ZTC_GetSessionInfo")] == [
        ord(c) for c in "TBVhpSS"] + [ord("C")]
    zd.fail("ZTC_GetSessionInfo", error="[08003] gone")
    with pytest.raises(ztcondb.OperationalError, match="session_info failed"):
        info.backend_pid
    conn.close()
    assert info.transaction_status == TS.UNKNOWN


@pytest.mark.parametrize("attribute, value", [
    ("isolation_level", ztcondb.IsolationLevel.SERIALIZABLE), ("read_only", True),
    ("deferrable", False),
])
def test_refused_characteristic_keeps_the_old_one(zd, attribute, value):
    conn = ztcondb.connect(host="h", database="d", user="u", password="p")
    del zd.calls()[:]
    zd.fail("ZTC_ExecwithDataReader", error="[42501] permission denied")
    with pytest.raises(ztcondb.Error, match="permission denied"):
        setattr(conn, attribute, value)
    assert getattr(conn, attribute) is None
    texts = [c.args.get("sql") for c in zd.calls() if c.name == "ZTC_Execute_no_query"]
    assert texts[-1] == "rollback;"
    conn.close()
