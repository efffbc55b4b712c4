"""fetchone, fetchmany, fetchall and nextset over plain results and server cursors."""
import pytest

import _pyztdb
from ztdouble import Column, Result

COLS = [Column("a", 5)]


@pytest.fixture
def cur(conn):
    return conn.cursor()


def run(zd, cur, *results):
    zd.queue_execution(*results)
    cur.execute("select a from t")


def rows(*values):
    return [[v] for v in values]


def open_server_cursor(zd, cur, *rowsets, name="c1"):
    """Makes cur hold a server cursor through a procedure returning a RefCursor."""
    zd.program_cursor(name, *rowsets)
    zd.program_outputs({1: name.encode()})
    cur.setinputtype([58])
    assert cur.callproc("p", [""], [2]) == [name]


def two_rowsets(zd, cur, name="c1"):
    open_server_cursor(zd, cur, Result(COLS, rows(1, 2)), Result(COLS, rows(3)), name=name)


# ---- plain results ----

def test_fetchone_until_none(zd, cur):
    run(zd, cur, Result(COLS, rows(1, 2, 3)))
    assert [cur.fetchone() for _ in range(4)] == [(1,), (2,), (3,), None]
    assert cur.fetchone() is None


def test_fetchall_then_empty(zd, cur):
    run(zd, cur, Result(COLS, rows(1, 2, 3)))
    assert cur.fetchone() == (1,)
    assert cur.fetchall() == [(2,), (3,)]
    assert cur.fetchall() == []


@pytest.mark.parametrize("call, expected", [
    (lambda c: c.fetchmany(), [(1,)]),
    (lambda c: c.fetchmany(0), [(1,)]),
    (lambda c: c.fetchmany(-1), [(1,), (2,), (3,), (4,)]),
    (lambda c: c.fetchmany(size=5), [(1,), (2,), (3,), (4,)]),
    (lambda c: c.fetchmany(2), [(1,), (2,)]),
])
def test_fetchmany_sizes(zd, cur, call, expected):
    run(zd, cur, Result(COLS, rows(1, 2, 3, 4)))
    assert call(cur) == expected


def test_fetchmany_uses_arraysize_and_reads_no_row_ahead(zd, cur):
    run(zd, cur, Result(COLS, rows(1, 2, 3, 4, 5)))
    cur.arraysize = 2
    assert cur.fetchmany() == [(1,), (2,)]
    assert len(zd.calls_of("ZTC_ReadNext")) == 2
    assert cur.fetchmany() == [(3,), (4,)]
    assert cur.fetchmany() == [(5,)]
    assert cur.fetchmany() == []


@pytest.mark.parametrize("args, kwargs", [(("x",), {}), ((1, 2), {}), ((), {"n": 1}),
                                          ((2 ** 40,), {})])
def test_fetchmany_bad_arguments(zd, cur, args, kwargs):
    run(zd, cur, Result(COLS, rows(1)))
    with pytest.raises(_pyztdb.ProgrammingError, match="^fetchmany Parameter mismatch$"):
        cur.fetchmany(*args, **kwargs)


@pytest.mark.parametrize("sql_type", [4, 9, 10])
def test_every_fetch_reads_classes_4_9_10(zd, cur, sql_type):
    # Regression (fetchone refused class 9, fetchall and fetchmany class 10): every
    # result class that carries rows is read by all three methods.
    run(zd, cur, Result(COLS, rows(1, 2, 3, 4), sql_type=sql_type))
    assert cur.fetchone() == (1,)
    assert cur.fetchmany(2) == [(2,), (3,)]
    assert cur.fetchall() == [(4,)]


@pytest.mark.parametrize("sql_type", [2, 3, 1])
def test_other_classes_have_no_result_set(zd, cur, sql_type):
    run(zd, cur, Result(COLS, rows(1), sql_type=sql_type))
    for method in (cur.fetchone, cur.fetchall):
        with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
            method()
    assert cur.fetchmany() is None


def test_no_result_handle(zd, cur):
    for method in (cur.fetchone, cur.fetchall, cur.nextset):
        with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
            method()
    assert cur.fetchmany() is None
    assert cur.fetchmany(3) is None


@pytest.mark.parametrize("method", ["fetchone", "fetchall", "fetchmany", "nextset"])
def test_closed_connection(zd, conn, cur, method):
    run(zd, cur, Result(COLS, rows(1)))
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="The cursor object does not exist"):
        getattr(cur, method)()


@pytest.mark.parametrize("fetch", [
    lambda c: c.fetchall(),
    lambda c: c.fetchmany(5),
    lambda c: c.fetchmany(-1),
    lambda c: [c.fetchone() for _ in range(3)],
])
def test_read_error_on_plain_result_raises(zd, cur, fetch):
    # Regression (a failing read ended the list as if the rows were all read): the
    # library's error is raised, for every fetch method.
    run(zd, cur, Result(COLS, rows(1, 2, 3)))
    zd.fail("ZTC_ReadNext", error="[08006] connection lost", nth=2)
    with pytest.raises(_pyztdb.OperationalError, match=r"^\[08006\] connection lost$"):
        fetch(cur)


def read_all(cur, how):
    """Values read with one fetch method until it hands out none, and the errors met."""
    values, errors = [], []
    for _ in range(20):
        try:
            if how == "fetchone":
                row = cur.fetchone()
                got = [] if row is None else [row]
            else:
                got = cur.fetchmany(3) if how == "fetchmany" else cur.fetchall()
        except _pyztdb.ProgrammingError:
            break   # an exhausted server cursor is gone
        except _pyztdb.Error as exc:
            errors.append(exc)
            continue
        if not got:
            break
        values += [r[0] for r in got]
    return values, errors


TEXTS = [["a"], ["b"], [b"x\xff"], ["d"], ["e"]]


@pytest.mark.parametrize("pytypes", [False, True])
@pytest.mark.parametrize("source", ["plain", "server cursor"])
@pytest.mark.parametrize("how", ["fetchone", "fetchmany", "fetchall"])
def test_undecodable_text_names_column_and_row_and_keeps_rows_before(zd, conn, cur, how,
                                                                     source, pytypes):
    # Regression (a bare UnicodeDecodeError, and fetchall/fetchmany dropped the rows
    # they had read before the bad one).
    conn.pytypes = pytypes
    if source == "plain":
        run(zd, cur, Result([Column("s", 2, -1)], TEXTS))
    else:
        cols = [Column("s", 2, -1)]
        open_server_cursor(zd, cur, Result(cols, TEXTS[:2]), Result(cols, TEXTS[2:]))
    values, errors = read_all(cur, how)
    assert values == ["a", "b", "d", "e"]
    assert [type(e) for e in errors] == [_pyztdb.DataError]
    assert str(errors[0]).startswith("column 1 ('s') of row 3 holds text that is not "
                                     "valid UTF-8")
    assert isinstance(errors[0].__cause__, UnicodeDecodeError)


def test_kept_rows_go_with_the_next_execution(zd, cur):
    run(zd, cur, Result([Column("s", 2, -1)], [["a"], [b"\xff"]]))
    with pytest.raises(_pyztdb.DataError):
        cur.fetchall()
    run(zd, cur, Result(COLS, rows(7)))
    assert cur.fetchall() == [(7,)]


# ---- nextset ----

def test_nextset_moves_through_results(zd, cur):
    run(zd, cur,
        Result(COLS, rows(1, 2)),
        Result([Column("b", 2, 10), Column("c", 8)], [["x", 1.5]]),
        Result([], [], sql_type=2, affected=7))
    assert cur.fetchall() == [(1,), (2,)]
    assert cur.nextset() == "TRUE"
    assert cur.description == [("b", "VARCHAR", None, None, 10, 0, None),
                               ("c", "DOUBLE", None, None, 8, 0, None)]
    assert cur.rowcount == 1
    assert cur.fetchall() == [("x", 1.5)]
    assert cur.nextset() == "TRUE"
    assert cur.description is None
    assert cur.rowcount == 7
    with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
        cur.fetchall()
    assert cur.nextset() is None
    assert cur.nextset() is None


def test_nextset_class_1_counts_one_row(zd, cur):
    run(zd, cur, Result(COLS, rows(1)), Result([], [], sql_type=1))
    assert cur.nextset() == "TRUE"
    assert cur.rowcount == 1


def test_nextset_failure_raises(zd, cur):
    # Regression (a failing move to the next result read as "no more results").
    run(zd, cur, Result(COLS, rows(1)), Result(COLS, rows(2)))
    zd.fail("ZTC_NextResult", error="[57014] canceling statement")
    with pytest.raises(_pyztdb.OperationalError, match="canceling statement"):
        cur.nextset()


# ---- server cursors ----

def test_server_cursor_fetchall_reads_every_rowset(zd, cur):
    two_rowsets(zd, cur)
    assert cur.description == [("a", "INTEGER", None, None, 4, 0, None)]
    assert cur.rowcount == 2
    assert cur.fetchall() == [(1,), (2,), (3,)]
    close = zd.calls_of("ZTC_CloseCursor")
    assert [c["name"] for c in close] == ["c1"]
    assert zd.open_results() == 0
    with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
        cur.fetchone()


def test_server_cursor_fetchone(zd, cur):
    two_rowsets(zd, cur)
    assert [cur.fetchone() for _ in range(3)] == [(1,), (2,), (3,)]
    assert zd.calls_of("ZTC_CloseCursor") == []
    assert cur.fetchone() is None
    assert len(zd.calls_of("ZTC_CloseCursor")) == 1
    assert zd.open_results() == 0


def test_server_cursor_refill_follows_rowsets(zd, cur):
    open_server_cursor(zd, cur, Result(COLS, rows(1)),
                       Result([Column("b", 6)], rows(2, 3, 4)))
    assert cur.fetchone() == (1,)
    # The next rowset is loaded as soon as the current one is used up.
    assert cur.rowcount == 3
    assert cur.description[0][:2] == ("b", "BIGINT")
    assert [n for n in zd.names() if "Rowset" in n][-2:] == [
        "ZTC_FreeRowset", "ZTC_FetchServerCursorRowset"]
    assert cur.fetchall() == [(2,), (3,), (4,)]


@pytest.mark.parametrize("size, batches", [
    (2, [[(1,), (2,)], [(3,)]]),
    (1, [[(1,)], [(2,)], [(3,)], []]),
    (-1, [[(1,), (2,), (3,)]]),
    (5, [[(1,), (2,), (3,)]]),
])
def test_server_cursor_fetchmany(zd, cur, size, batches):
    two_rowsets(zd, cur)
    for batch in batches:
        assert cur.fetchmany(size) == batch
    assert cur.fetchmany(size) is None
    assert len(zd.calls_of("ZTC_CloseCursor")) == 1


def test_server_cursor_long_name(zd, cur):
    # Regression (names cut to a fixed buffer): the cursor's name is passed whole.
    name = "cursor_" + "n" * 300
    two_rowsets(zd, cur, name=name)
    assert cur.fetchall() == [(1,), (2,), (3,)]
    fetches = zd.calls_of("ZTC_FetchServerCursorRowset")
    assert {c["name"] for c in fetches} == {name}
    assert zd.calls_of("ZTC_CloseCursor")[0]["name"] == name


@pytest.mark.parametrize("fetch", [
    lambda c: c.fetchall(),
    lambda c: c.fetchmany(-1),
    lambda c: [c.fetchone() for _ in range(3)],
])
def test_server_cursor_failed_refill_raises(zd, cur, fetch):
    # Regression (a failed rowset fetch stored as a negative row count, and rows
    # read on from a released result): the library's error is raised, the server
    # cursor is closed and nothing is left open.
    two_rowsets(zd, cur)
    zd.fail("ZTC_FetchServerCursorRowset", error="[25P02] transaction is aborted", nth=2)
    with pytest.raises(_pyztdb.OperationalError, match=r"^\[25P02\] transaction is aborted$"):
        fetch(cur)
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert zd.open_results() == 0
    with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
        cur.fetchone()


@pytest.mark.parametrize("fetch", [
    lambda c: c.fetchall(),
    lambda c: c.fetchmany(-1),
    lambda c: [c.fetchone() for _ in range(2)],
])
def test_server_cursor_closed_when_last_fetch_leaves_no_result(zd, cur, fetch):
    # Regression (the server cursor, its name and its transaction left open when
    # the exhausting fetch left no result handle to release).
    two_rowsets(zd, cur)
    zd.set_return("ZTC_FetchServerCursorRowset", 0, nth=2)
    assert fetch(cur) == [(1,), (2,)]
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    with pytest.raises(_pyztdb.ProgrammingError, match="The result set does not exist"):
        cur.fetchone()


@pytest.mark.parametrize("rc", [100, -1])
def test_server_cursor_read_failure_raises(zd, cur, rc):
    two_rowsets(zd, cur)
    zd.fail("ZTC_ReadNext", rc=rc, error="[XX000] read failed")
    with pytest.raises(_pyztdb.OperationalError, match="read failed"):
        cur.fetchone()
    # The failed read counts as one of the rowset's two rows; reading goes on.
    assert cur.fetchall() == [(1,), (3,)]
    assert len(zd.calls_of("ZTC_CloseCursor")) == 1


def test_server_cursor_fetchall_raises_last_read_error(zd, cur):
    two_rowsets(zd, cur)
    zd.fail("ZTC_ReadNext", error="first", nth=1)
    zd.fail("ZTC_ReadNext", error="second", nth=3)
    with pytest.raises(_pyztdb.OperationalError, match="^second$"):
        cur.fetchall()
    assert len(zd.calls_of("ZTC_CloseCursor")) == 1


def test_server_cursor_description_after_exhausting_refill(zd, cur):
    open_server_cursor(zd, cur, Result(COLS, rows(1)))
    assert cur.fetchone() == (1,)
    # The refill found the cursor exhausted: the empty rowset is described.
    assert cur.description == [("a", "INTEGER", None, None, 4, 0, None)]
    assert cur.rowcount == 0
    assert cur.fetchone() is None
    with pytest.raises(AttributeError):
        cur.description  # noqa: B018


def test_server_cursor_nextset(zd, cur):
    two_rowsets(zd, cur)
    assert cur.nextset() is None      # a rowset has no further result
    zd.set_return("ZTC_NextResult", 0)
    assert cur.nextset() == "TRUE"    # the next rowset replaces the current one
    assert cur.rowcount == 1
    assert cur.fetchall() == [(3,)]


def test_server_cursor_nextset_exhausted(zd, cur):
    open_server_cursor(zd, cur, Result(COLS, rows(1)))
    zd.set_return("ZTC_NextResult", 0)
    assert cur.nextset() is None
    assert len(zd.calls_of("ZTC_CloseCursor")) == 1
    assert zd.open_results() == 0


@pytest.mark.parametrize("failing, rc", [("ZTC_NextResult", -1), ("ZTC_NextResult", 5),
                                         ("ZTC_FetchServerCursorRowset", -1)])
def test_server_cursor_nextset_failure(zd, cur, failing, rc):
    two_rowsets(zd, cur)
    if failing == "ZTC_FetchServerCursorRowset":
        zd.set_return("ZTC_NextResult", 0)
        zd.fail(failing, rc=rc, error="nextset failed", nth=2)
    else:
        zd.fail(failing, rc=rc, error="nextset failed")
    with pytest.raises(_pyztdb.OperationalError, match="nextset failed"):
        cur.nextset()


def test_execute_after_server_cursor_closes_it(zd, cur):
    two_rowsets(zd, cur)
    assert cur.fetchone() == (1,)
    run(zd, cur, Result(COLS, rows(9)))
    assert [c["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c1"]
    assert cur.fetchall() == [(9,)]


@pytest.mark.parametrize("args, kwargs, error", [
    (("c", 1, 2), {}, None),
    (("c", 1, 2), {"ahead": True}, None),
    (("", 1, 2), {}, _pyztdb.ProgrammingError),
    (("c\0d", 1, 2), {}, _pyztdb.ProgrammingError),
    (("c", 1, -1), {}, _pyztdb.ProgrammingError),
    ((b"c", 1, 2), {}, TypeError),
    (("c", "1", 2), {}, TypeError),
    (("c", 1, 2**40), {}, OverflowError),
    (("c", 1), {}, TypeError),
])
def test_fetchpage_arguments_and_pages(zd, conn, args, kwargs, error):
    cols = [Column("x", 5)]
    zd.program_cursor("c", Result(cols, [[1], [2]]), Result(cols, [[3]]))
    cur = conn.cursor()
    if error is not None:
        with pytest.raises(error):
            cur.fetchpage(*args, **kwargs)
        assert zd.calls_of("ZTC_FetchCursorPage") == []
        return
    ahead = kwargs.get("ahead", False)
    assert cur.fetchpage(*args, **kwargs) == ([(1,), (2,)], ahead)
    assert [d[0] for d in cur.description] == ["x"]
    assert cur.fetchpage(*args, **kwargs) == ([(3,)], False)
    call = zd.calls_of("ZTC_FetchCursorPage")[0]
    assert (call["name"], call["reader"], call["count"], call["ahead"]) == ("c", 1, 2, int(ahead))
    zd.fail("ZTC_FetchCursorPage", error="[34000] cursor \"c\" does not exist")
    with pytest.raises(_pyztdb.OperationalError, match="34000"):
        cur.fetchpage(*args, **kwargs)
    cur.close()
    assert zd.open_results() == 0
