"""Declared parameter types and sizes: setinputtype, setinputsizes, cleartype, clearsize,
and the type codes procedure calls take from them."""

import datetime
import sys

import pytest

import _pyztdb


@pytest.fixture
def cur(conn):
    return conn.cursor()


def str_lengths(zd, cur, values):
    """Length words executemany binds for a flat list of values."""
    mark = len(zd.calls())
    cur.executemany("insert into t values (?, ?, ?)", values)
    return [c["length"] for c in zd.calls()[mark:] if c.name == "ZTC_BindParamByPos"]


def proc_types(zd, cur, params):
    """Type codes callproc binds for params (skips while callproc is not built)."""
    mark = len(zd.calls())
    try:
        cur.callproc("p", params)
    except _pyztdb.NotSupportedError:
        pytest.skip("callproc not built yet")
    return [c["type"] for c in zd.calls()[mark:] if c.name == "ZTC_BindParamByPos"]


@pytest.mark.parametrize("method", ["setinputtype", "setinputsizes"])
@pytest.mark.parametrize("args", [(), ([1], [2])])
def test_argument_mismatch(cur, method, args):
    with pytest.raises(_pyztdb.ProgrammingError) as e:
        getattr(cur, method)(*args)
    assert str(e.value) == method + "  Parameter mismatch"


@pytest.mark.parametrize(
    "method, items, message",
    [
        ("setinputtype", [2, None], "setinputsizes  Parameter is none"),
        ("setinputtype", [2.0], "setinputsizes  Parameter is not int"),
        ("setinputtype", ["2"], "setinputsizes  Parameter is not int"),
        ("setinputsizes", [1, 2.0], "setinputsizes  Parameter is not int"),
    ],
)
def test_item_errors(cur, method, items, message):
    with pytest.raises(_pyztdb.ProgrammingError) as e:
        getattr(cur, method)(items)
    assert str(e.value) == message


@pytest.mark.parametrize("method", ["setinputtype", "setinputsizes"])
@pytest.mark.parametrize("arg, error", [(5, TypeError), ({1: 2}, KeyError)])
def test_unreadable_argument_keeps_interpreter_error(cur, method, arg, error):
    with pytest.raises(error):
        getattr(cur, method)(arg)


# Fault mended: declared values were narrowed to 32 bits, so a size of 2**32 + 3 became 3.
@pytest.mark.parametrize("method", ["setinputtype", "setinputsizes"])
@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**32 + 3, 2**70])
def test_values_beyond_32_bits_refused(cur, method, value):
    with pytest.raises(OverflowError):
        getattr(cur, method)([value])


@pytest.mark.parametrize("method", ["setinputtype", "setinputsizes", "cleartype", "clearsize"])
def test_cursor_check(conn, method):
    cur = conn.cursor()
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="The cursor object does not exist"):
        getattr(cur, method)(*([[1]] if method.startswith("set") else []))


def test_sizes_cap_strings_per_position(zd, cur):
    cur.setinputsizes([3, None])
    # Position 3 lies beyond the declared sizes: it counts as undeclared.
    assert str_lengths(zd, cur, ["abcdef", "abcdef", "abcdef"]) == [3, 6, 6]


# Fault mended: a position beyond the declared sizes was read past the end of the array.
def test_size_beyond_declared_list_is_undeclared(zd, cur):
    cur.setinputsizes([])
    assert str_lengths(zd, cur, ["abcdef", "ab", "abcd"]) == [6, 2, 4]


def test_failed_declaration_keeps_the_earlier_one(zd, cur):
    cur.setinputsizes([2])
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.setinputsizes([1, "x"])
    assert str_lengths(zd, cur, ["abcdef", "x", "y"])[0] == 2


def test_declarations_survive_close(zd, cur):
    cur.setinputsizes([1, 1, 1])
    cur.close()
    assert str_lengths(zd, cur, ["ab", "cd", "ef"]) == [1, 1, 1]


def test_declaration_arrays_do_not_leak_references(cur):
    items = [10, None, 4]
    before = [sys.getrefcount(i) for i in items]
    for _ in range(100):
        cur.setinputsizes(items)
        cur.setinputtype([2, 5])
    assert [sys.getrefcount(i) for i in items] == before


# ---- type codes seen by procedure calls ----


def test_inferred_types(zd, cur):
    params = [
        7,
        True,
        datetime.datetime(2021, 3, 7, 4, 5, 6),
        datetime.date(2021, 3, 7),
        datetime.time(4, 5, 6),
        1.5,
        "s",
        b"b",
        None,
    ]
    types = proc_types(zd, cur, params)
    assert types[:8] == [6, 6, 13, 10, 11, 8, 2, 15]
    assert types[8:] in ([], [0])  # None: code 0, bound as NULL or left unbound


def test_declared_types_win(zd, cur):
    cur.setinputtype([True, 5])
    assert proc_types(zd, cur, [1, 3]) == [1, 5]


def test_failed_type_declaration_keeps_the_earlier_one(zd, cur):
    cur.setinputtype([5])
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.setinputtype([2, None])
    assert proc_types(zd, cur, [7]) == [5]


def test_empty_type_declaration_puts_every_position_out_of_range(zd, cur):
    cur.setinputtype([])
    try:
        with pytest.raises(_pyztdb.ProgrammingError, match="The parameter is out of range"):
            cur.callproc("p", [1])
    except _pyztdb.NotSupportedError:
        pytest.skip("callproc not built yet")
