"""Row conversion: each library type code becomes its Python value; text is never
cut; large objects are always given back."""
import datetime
import random
import struct
import subprocess
import sys

import pytest

import _pyztdb
from ztdouble import Cell, Column, Result

MS_MIN = -62135596800000         # 0001-01-01 00:00:00
MS_MAX = 253402300799999         # 9999-12-31 23:59:59.999
EPOCH = datetime.datetime(1970, 1, 1)


@pytest.fixture
def cur(conn):
    return conn.cursor()


def fetch_value(zd, cur, code, cell, modi=0):
    zd.queue_execution(Result([Column("c", code, modi)], [[cell]]))
    cur.execute("select c from t")
    row = cur.fetchone()
    assert len(row) == 1
    return row[0]


def get_data_calls(zd):
    return zd.calls_of("ZTC_GetData")


@pytest.mark.parametrize("code, cell, expected", [
    (1, True, b"T"),
    (1, False, b"F"),
    (3, b"\xff", 255),
    (3, 0, 0),
    (4, -1, -1),
    (4, 32767, 32767),
    (5, -2 ** 31, -2 ** 31),
    (6, 2 ** 63 - 1, 2 ** 63 - 1),
    (6, -2 ** 63, -2 ** 63),
    (7, 1.5, 1.5),
    (8, 0.1, 0.1),
    (9, "12.50", 12.5),
    (9, "-1e-3", -0.001),
    (9, "1.2345678901234567e+49", 1.2345678901234567e+49),
    (10, "2024-01-05", "2024-01-05"),
    (11, "12:34:56", "12:34:56"),
    (13, "2024-01-05 12:34:56", "2024-01-05 12:34:56"),
    (15, b"\x00\x01abc", "<BINARY> "),
    (28, 14, "1-02"),
    (28, -14, "-1-02"),
    (28, 0, "0-00"),
    (28, -2 ** 31, "-178956970-08"),
    (31, 0, "0000000 00:00:00.000000"),
    (31, 90061000001, "0000001 01:01:01.000001"),
    (31, -90061000001, "-0000001 01:01:01.000001"),
    (31, -2 ** 63, "-106751991 04:00:54.775808"),
    (41, "héllo wörld", "héllo wörld"),
    (42, b"a\x00b\xff", b"a\x00b\xff"),
    (2, "ünïcode", "ünïcode"),
    (62, "abc", "abc"),
])
def test_value_conversion(zd, cur, code, cell, expected):
    value = fetch_value(zd, cur, code, cell, modi=-1)
    assert value == expected
    assert type(value) is type(expected)


@pytest.mark.parametrize("code", [1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 23, 28, 31,
                                  41, 42, 62])
def test_null_gives_none(zd, cur, code):
    assert fetch_value(zd, cur, code, None, modi=10) is None


@pytest.mark.parametrize("code", [12, 14, 18, 40, 58, 63, 20])
def test_text_codes_through_400_byte_buffer(zd, cur, code):
    assert fetch_value(zd, cur, code, "12:00:01+02") == "12:00:01+02"
    (call,) = get_data_calls(zd)
    assert (call["type"], call["capacity"]) == (code, 400)


@pytest.mark.parametrize("code", [12, 63])
def test_text_codes_null_written_as_nothing_give_empty_str(zd, cur, code):
    # The length word is not looked at for these codes: the item is the text the
    # library wrote, and it wrote nothing.
    assert fetch_value(zd, cur, code, None) == ""


def test_null_column_makes_no_request(zd, cur):
    assert fetch_value(zd, cur, 0, None) is None
    assert get_data_calls(zd) == []


@pytest.mark.parametrize("code, capacity", [(9, 40), (10, 11), (11, 9), (13, 20),
                                            (1, 1), (3, 1), (4, 2), (5, 4), (6, 8),
                                            (7, 4), (8, 8), (23, 8), (28, 4), (31, 8)])
def test_request_capacity(zd, cur, code, capacity):
    zd.row_views(False)  # the buffers of the value-by-value path
    fetch_value(zd, cur, code, None)
    (call,) = get_data_calls(zd)
    assert (call["col"], call["type"], call["capacity"]) == (1, code, capacity)


def test_floats_ignore_a_decimal_comma_locale(tmp_path):
    # strtod and printf follow LC_NUMERIC; a program that switches to a comma locale
    # must still read 12.5 and send 1.5 with a point (run apart: the locale is
    # process-wide). The locale is built into a temporary folder.
    import os
    import shutil
    if not shutil.which("localedef"):
        pytest.skip("localedef is missing")
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    code = r"""
import locale, sys
sys.path[:0] = %r
import _pyztdb, ztdouble as zd
locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
assert "%%.1f" %% 1.5 == "1.5" and locale.localeconv()["decimal_point"] == ","
zd.reset()
cur = _pyztdb._connect(1, "h", "d", "u", "p", "UTF8", "0").cursor()
zd.queue_execution(zd.Result([zd.Column("n", 9)], [["12.5"]]))
cur.execute("select n")
print(cur.fetchone()[0])
zd.queue_execution(zd.Result([zd.Column("n", 2)], [["x"]]))
cur.execute("select ?", (1.5,))
print([c["data"].rstrip(b"\0").decode() for c in zd.calls_of("ZTC_BindParamByPos")][-1])
""" % (sys.path,)
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True,
                          env=dict(os.environ, LOCPATH=str(tmp_path)))
    assert (proc.returncode, proc.stdout.split()) == (0, ["12.5", "1.5000000000000"]), proc.stdout


def test_numeric_text_not_a_number_raises(zd, cur):
    with pytest.raises(ValueError):
        fetch_value(zd, cur, 9, "abc")


# ---- DATETIME (milliseconds since 1970) ----

@pytest.mark.parametrize("ms, expected", [
    (0, datetime.datetime(1970, 1, 1)),
    (-1, datetime.datetime(1969, 12, 31, 23, 59, 59, 999000)),
    (MS_MAX, datetime.datetime(9999, 12, 31, 23, 59, 59, 999000)),
    (MS_MIN, datetime.datetime(1, 1, 1)),
    (951782400000, datetime.datetime(2000, 2, 29)),
    (1709208000123, datetime.datetime(2024, 2, 29, 12, 0, 0, 123000)),
    (-2203891200000, datetime.datetime(1900, 3, 1)),
])
def test_datetime_values(zd, cur, ms, expected):
    value = fetch_value(zd, cur, 23, ms)
    assert value == expected and value.tzinfo is None


def test_datetime_matches_calendar_across_years(zd, cur):
    rng = random.Random(20240229)
    samples = [rng.randrange(MS_MIN, MS_MAX + 1) for _ in range(3000)]
    # Year and leap-day edges of every fourth century.
    for year in range(1, 10000, 97):
        for month, day in ((1, 1), (2, 28), (3, 1), (12, 31)):
            d = datetime.datetime(year, month, day)
            samples.append((d - EPOCH) // datetime.timedelta(milliseconds=1))
    zd.queue_execution(Result([Column("t", 23)], [[ms] for ms in samples]))
    cur.execute("select t")
    got = [row[0] for row in cur.fetchall()]
    want = [EPOCH + datetime.timedelta(milliseconds=ms) for ms in samples]
    assert got == want


@pytest.mark.parametrize("length", [0, 4, 7, 9, -1])
def test_datetime_length_other_than_8_gives_none(zd, cur, length):
    assert fetch_value(zd, cur, 23, Cell(struct.pack("<q", 0), length)) is None


@pytest.mark.parametrize("ms", [MS_MAX + 1, MS_MIN - 1, 2 ** 63 - 1, -2 ** 63])
def test_datetime_outside_years_1_to_9999_raises(zd, cur, ms):
    # Regression (value silently replaced or read out of the day tables): a count
    # the interpreter cannot hold fails the fetch.
    with pytest.raises(ValueError):
        fetch_value(zd, cur, 23, ms)


# ---- text columns ----

@pytest.mark.parametrize("code, modi, capacity", [
    (2, 10, 60),          # VARCHAR: six bytes a character
    (62, 10, 10),         # CHAR: the declared length
    (2, 1, 6),
])
def test_declared_text_capacity(zd, cur, code, modi, capacity):
    zd.row_views(False)  # the buffers of the value-by-value path
    assert fetch_value(zd, cur, code, "abc", modi=modi) == "abc"
    (call,) = get_data_calls(zd)
    assert call["capacity"] == capacity
    assert zd.calls_of("ZTC_getResultcolmodi")[-1]["col"] == 1


@pytest.mark.parametrize("code", [2, 62])
@pytest.mark.parametrize("modi", [0, -2, -1000])
def test_text_modifier_zero_or_negative_is_unbounded(zd, cur, code, modi):
    # Regression (zero-size buffer for a modifier of 0 or below -1): such a column
    # reads like an unbounded one.
    text = "x" * 5000
    assert fetch_value(zd, cur, code, text, modi=modi) == text
    assert all(c["capacity"] > 0 for c in get_data_calls(zd))


@pytest.mark.parametrize("code, modi, text", [
    (2, -1, "a" * 300000),             # beyond the 196,608 bytes of an unbounded VARCHAR
    (2, 5, "b" * 40),                  # longer than the declared length
    (62, 3, "ééé"),                    # CHAR(3): 6 bytes for 3 characters
    (62, -1, "c" * 200000),
    (10, 0, "  12345-01-01"),          # DATE text longer than its 11 bytes
    (13, 0, "2024-01-05 12:34:56.123456"),
    (12, 0, "t" * 1000),               # a 400-byte code
])
def test_long_text_requested_again_whole(zd, cur, code, modi, text):
    # Regression (long values cut at the buffer's capacity): the length word tells
    # the full length, and the value is asked for again with room for all of it.
    zd.row_views(False)
    assert fetch_value(zd, cur, code, text, modi=modi) == text
    first, second = get_data_calls(zd)
    full = len(text.encode())
    assert first["capacity"] < full
    assert second["capacity"] == full


def test_length_word_longer_than_written_text(zd, cur):
    # A library that reports more than it writes gives the text it wrote.
    assert fetch_value(zd, cur, 2, Cell(b"abc", 5000), modi=-1) == "abc"


@pytest.mark.parametrize("code", [2, 62, 41, 10, 12])
def test_text_not_utf8_raises(zd, cur, code):
    # Regression (undecodable text replaced silently): the fetch fails with the
    # driver's DataError, the interpreter's decoding error as its cause.
    with pytest.raises(_pyztdb.DataError) as err:
        fetch_value(zd, cur, code, b"ab\xffcd", modi=-1)
    assert isinstance(err.value.__cause__, UnicodeDecodeError)


def test_text_up_to_first_zero_byte(zd, cur):
    assert fetch_value(zd, cur, 2, b"ab\x00cd", modi=-1) == "ab"


# ---- large objects ----

@pytest.mark.parametrize("code, cell, expected", [
    (41, "x" * 100000, "x" * 100000),
    (42, bytes(range(256)) * 10, bytes(range(256)) * 10),
    (41, None, None),
    (42, None, None),
    (15, b"abc", "<BINARY> "),
    (15, None, None),
])
def test_large_objects_released(zd, cur, code, cell, expected):
    assert fetch_value(zd, cur, code, cell) == expected
    assert zd.lob_count() == 0
    assert len(zd.calls_of("ZTC_Create_Lob")) == len(zd.calls_of("ZTC_Distroy_Lob")) == 1


def test_binary_never_reads_the_value(zd, cur):
    fetch_value(zd, cur, 15, b"abc")
    assert zd.calls_of("ZTC_Get_Lob_data") == []
    assert get_data_calls(zd)[0]["capacity"] == 8


@pytest.mark.parametrize("failing", ["ZTC_GetData", "ZTC_Get_Lob_data", "ZTC_Create_Lob"])
def test_large_object_failure_raises_and_releases(zd, cur, failing):
    # Regression (a failed read delivered zeros as the value): the library's error
    # is raised and the large object is still given back.
    zd.fail(failing, error="[58030] could not read large object")
    with pytest.raises(_pyztdb.OperationalError, match="could not read large object"):
        fetch_value(zd, cur, 42, b"data")
    assert zd.lob_count() == 0


def test_get_data_failure_raises(zd, cur):
    zd.row_views(False)
    zd.fail("ZTC_GetData", error="[XX000] no such column")
    with pytest.raises(_pyztdb.OperationalError, match="no such column"):
        fetch_value(zd, cur, 5, 7)


# ---- whole rows ----

def test_row_of_many_types(zd, cur):
    cols = [Column("i", 5), Column("s", 2, 20), Column("n", 9), Column("b", 1),
            Column("t", 23), Column("z", 0)]
    zd.queue_execution(Result(cols, [[7, "x", "1.25", True, 86400000, None]]))
    cur.execute("select")
    assert cur.fetchone() == (7, "x", 1.25, b"T", datetime.datetime(1970, 1, 2), None)
    # The type of each column is asked for each row; the modifier only for text.
    assert [c["col"] for c in zd.calls_of("ZTC_getResultcolType")][-6:] == [1, 2, 3, 4, 5, 6]


def test_result_without_columns_gives_empty_tuple(zd, cur):
    zd.queue_execution(Result([], [[]]))
    cur.execute("select")
    assert cur.fetchone() == ()


def test_row_references_not_leaked(zd, cur):
    zd.queue_execution(Result([Column("s", 2, -1), Column("b", 42)],
                              [["text value", b"blob"]] * 3))
    cur.execute("select")
    rows = cur.fetchall()
    # Held by the list (or the tuple) and by getrefcount's argument only.
    assert [sys.getrefcount(rows[i]) for i in range(3)] == [2, 2, 2]
    assert [sys.getrefcount(rows[0][i]) for i in range(2)] == [2, 2]
