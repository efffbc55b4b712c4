"""executemany: one prepared execution for a flat sequence of values, one execution per
row for a sequence of rows."""

import decimal
import struct
import sys

import pytest

import _pyztdb

SQL = "insert into t values (?, ?)"
MULTI = "This function does not support multi-result set operations, use the 'execute()' function"
WATCHED = {
    "ZTC_Reset",
    "fun_sql_type",
    "ZTC_Prepare2",
    "ZTC_BindParamByPos",
    "ZTC_Execute2",
    "ZTC_getResultRet",
    "ZTC_UnPrepare",
    "ZTC_FreeRowset",
}


@pytest.fixture
def cur(conn):
    return conn.cursor()


def sequence(zd):
    return [n for n in zd.names() if n in WATCHED]


def test_flat_sequence_is_one_execution(zd, cur):
    zd.set_sql_type(1)
    cur.executemany(SQL, [7, "ab"])
    assert sequence(zd) == [
        "ZTC_Reset",
        "fun_sql_type",
        "ZTC_Prepare2",
        "ZTC_BindParamByPos",
        "ZTC_BindParamByPos",
        "ZTC_Execute2",
        "ZTC_getResultRet",     # the server's count of the one-row INSERT
    ]
    binds = zd.calls_of("ZTC_BindParamByPos")
    assert [(b["pos"], b["type"]) for b in binds] == [(1, 6), (2, 2)]
    assert zd.calls_of("ZTC_Prepare2")[0]["sql"] == SQL
    assert cur.rowcount == 1


# Fault mended: the row walk counted with a module-wide counter and could stop early,
# run a statement once more or leak the count into later calls. Each row now runs once.
def test_rows_run_one_execution_each_in_nested_order(zd, cur):
    zd.set_sql_type(1)
    cur.executemany(SQL, [(1, "a"), [2, "b"]])
    row = ["ZTC_Reset", "fun_sql_type", "ZTC_Prepare2", "ZTC_BindParamByPos",
           "ZTC_BindParamByPos", "ZTC_Execute2", "ZTC_getResultRet"]
    assert sequence(zd) == (
        ["ZTC_Reset", "fun_sql_type", "ZTC_Prepare2"]
        + row
        + ["ZTC_UnPrepare", "ZTC_FreeRowset"]
        + row
    )
    binds = zd.calls_of("ZTC_BindParamByPos")
    assert [b["pos"] for b in binds] == [1, 2, 1, 2]
    assert binds[2]["data"][:8] == struct.pack("=q", 2)


@pytest.mark.parametrize("calls", [1, 2, 3])
def test_successive_calls_run_every_row(zd, cur, calls):
    zd.set_sql_type(1)
    for _ in range(calls):
        cur.executemany(SQL, [(1, 2), (3, 4), (5, 6)])
    assert zd.names().count("ZTC_Execute2") == 3 * calls


def test_rowcount_is_the_last_rows(zd, cur):
    zd.set_sql_type(2)
    zd.queue_execution(zd.Result(sql_type=2, affected=5))
    zd.queue_execution(zd.Result(sql_type=2, affected=6))
    zd.queue_execution(zd.Result(sql_type=2, affected=7))
    cur.executemany("update t set a = ? where b = ?", [(1, 2), (3, 4), (5, 6)])
    assert cur.rowcount == 7
    assert cur.description is None


@pytest.mark.parametrize("args", [([],), ((),), (None,), ()])
def test_no_values_executes_once_with_nothing_bound(zd, cur, args):
    cur.executemany("delete from t", *args)
    assert zd.names().count("ZTC_Execute2") == 1
    assert zd.calls_of("ZTC_BindParamByPos") == []


def test_float_is_an_8_byte_double(zd, cur):
    cur.executemany("insert into t values (?)", [1.5])
    (b,) = zd.calls_of("ZTC_BindParamByPos")
    assert (b["type"], b["buflen"], b["length"]) == (8, 8, 8)
    assert b["data"] == struct.pack("=d", 1.5)


def test_multi_statement_refused_before_prepare(zd, cur):
    zd.set_sql_type(10)
    with pytest.raises(_pyztdb.OperationalError) as e:
        cur.executemany("select 1; select 2", [(1,)])
    assert str(e.value) == MULTI
    assert "ZTC_Prepare2" not in zd.names()


def test_execution_failure_is_error_execute2(zd, cur):
    zd.fail("ZTC_Execute2", error="[23505] duplicate key")
    with pytest.raises(_pyztdb.OperationalError) as e:
        cur.executemany(SQL, [1, 2])
    assert str(e.value) == "error execute2"


@pytest.mark.parametrize("params", [[1, 2], [(1, 2), (3, 4)]])
def test_prepare_refused_runs_nothing(zd, cur, params):
    zd.fail("ZTC_Prepare2", error="[42P01] relation does not exist")
    with pytest.raises(_pyztdb.OperationalError, match=r"\[42P01\] relation does not exist"):
        cur.executemany(SQL, params)
    assert "ZTC_Execute2" not in zd.names()


def test_failing_row_does_not_stop_the_others(zd, cur):
    zd.set_sql_type(1)
    zd.fail("ZTC_Execute2", error="[23505] duplicate key", nth=2)
    with pytest.raises(_pyztdb.OperationalError, match="error execute2"):
        cur.executemany(SQL, [(1, 2), (3, 4), (5, 6)])
    assert zd.names().count("ZTC_Execute2") == 3
    # The cursor holds the last row's outcome.
    assert cur.rowcount == 1


@pytest.mark.parametrize(
    "rows, error",
    [
        ([(2**70, 1), (1, 2)], _pyztdb.OperationalError),  # execute2 fails after: last wins
        ([(1, 2), (2**70, 1)], OverflowError),
    ],
)
def test_last_row_error_wins(zd, cur, rows, error):
    zd.fail("ZTC_Execute2", nth=1)
    with pytest.raises(error):
        cur.executemany(SQL, rows)


# Fault mended: a value that could not be bound still let the statement run.
@pytest.mark.parametrize("params", [[2**70, 1], [(1, 2), (2**64, 1)]])
def test_binding_failure_stops_the_statement(zd, cur, params):
    with pytest.raises(OverflowError):
        cur.executemany(SQL, params)
    executed = zd.names().count("ZTC_Execute2")
    assert executed == (0 if not isinstance(params[0], tuple) else 1)


# Fault mended: rows mixed with plain values, or rows holding rows, ran a muddle of
# nested executions; a row containing itself recursed without limit.
def self_row():
    r = [1]
    r.append(r)
    return r


@pytest.mark.parametrize(
    "params",
    [
        [(1, 2), 3],
        [3, (1, 2)],
        [(1, (2, 3))],
        [[1, [2]], [3, 4]],
        [self_row()],
    ],
)
def test_shapes_refused_before_anything_runs(zd, cur, params):
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.executemany(SQL, params)
    names = zd.names()
    assert "ZTC_Prepare2" not in names and "ZTC_Execute2" not in names
    assert "ZTC_BindParamByPos" not in names


@pytest.mark.parametrize("params", [5, "ab", (x for x in [1])])
def test_parameters_must_be_a_sequence(zd, cur, params):
    with pytest.raises(_pyztdb.ProgrammingError):
        cur.executemany(SQL, params)
    assert "ZTC_Execute2" not in zd.names()


@pytest.mark.parametrize("args", [(), (SQL, [1], 3)])
def test_argument_mismatch(cur, args):
    with pytest.raises(_pyztdb.ProgrammingError, match="^executemany Parameter mismatch$"):
        cur.executemany(*args)


def test_closed_connection(conn):
    cur = conn.cursor()
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="The cursor object does not exist"):
        cur.executemany(SQL, [(1, 2)])


def test_previous_result_released_with_unprepare(zd, cur):
    cur.executemany(SQL, [1, 2])
    mark = len(zd.calls())
    cur.executemany(SQL, [1, 2])
    assert [c.name for c in zd.calls()[mark:]][:2] == ["ZTC_UnPrepare", "ZTC_FreeRowset"]


def test_no_reference_leaks(zd, cur):
    zd.set_sql_type(1)
    values = [10**12, "text", 2.5, decimal.Decimal("1.5"), b"xy", None]
    rows = [tuple(values), list(values)]
    cur.executemany("insert into t values (?, ?, ?, ?, ?, ?)", values)  # description holds None
    owned = values[:-1] + rows
    before = [sys.getrefcount(v) for v in owned]
    none_before = sys.getrefcount(None)
    for _ in range(50):
        cur.executemany("insert into t values (?, ?, ?, ?, ?, ?)", rows)
        cur.executemany("insert into t values (?, ?, ?, ?, ?, ?)", values)
    assert [sys.getrefcount(v) for v in owned] == before
    # None is shared with the whole interpreter: only a leak per call would show.
    assert abs(sys.getrefcount(None) - none_before) < 50


def test_failing_rows_leak_nothing(zd, cur):
    rows = [(1, 2), (3, 4)]
    before = [sys.getrefcount(r) for r in rows]
    for _ in range(20):
        zd.fail("ZTC_Execute2")
        zd.fail("ZTC_Execute2")
        with pytest.raises(_pyztdb.OperationalError):
            cur.executemany(SQL, rows)
    assert [sys.getrefcount(r) for r in rows] == before
    assert zd.open_results() <= 1


# Fault mended: a value's __str__ that closed the connection during binding left the
# statement to run on the ended session.
@pytest.mark.parametrize("rows", [False, True])
def test_connection_closed_while_binding(zd, conn, rows):
    cur = conn.cursor()

    class Closing(decimal.Decimal):
        def __str__(self):
            conn.close()
            return "1"

    params = [(Closing(1),), (2,)] if rows else [Closing(1)]
    with pytest.raises(_pyztdb.OperationalError):
        cur.executemany("insert into t values (?)", params)
    assert "ZTC_Execute2" not in zd.names()
