"""Python code that runs inside a method (GC callbacks, finalizers, a parameter's
methods) closing or re-initialising the connection, cursors left from an earlier
session, cancel() and the broken attribute. The sanitized build runs these too."""

import decimal
import gc

import pytest

import _pyztdb
from ztdouble import Column, Result

COLS = [Column("a", 5)]
ARGS = ("h", 5432, "d", "u", "p", "UTF8", "0")


def open_server_cursor(zd, cur, rowsets=3, name="c1"):
    zd.program_cursor(name, *[Result(COLS, [[i], [i + 1]]) for i in range(0, 2 * rowsets, 2)])
    zd.program_outputs({1: name.encode()})
    cur.setinputtype([58])
    assert cur.callproc("p", [""], [2]) == [name]


class CloseOnDel:
    def __init__(self, conn):
        self.conn = conn
        self.me = self

    def __del__(self):
        self.conn.close()


@pytest.fixture
def gc_closing(conn):
    """Closes the connection from the next garbage collection."""
    threshold = gc.get_threshold()
    callback = []

    def close(phase, info):
        if phase == "start" and not callback:
            callback.append(1)
            conn.close()

    def arm():
        gc.callbacks.append(close)
        gc.set_threshold(1)

    yield arm
    gc.set_threshold(*threshold)
    if close in gc.callbacks:
        gc.callbacks.remove(close)


@pytest.mark.parametrize("how", ["gc callback", "finalizer"])
def test_close_during_fetchall_ends_the_session_after_the_method(zd, conn, gc_closing, how):
    cur = conn.cursor()
    open_server_cursor(zd, cur)
    before = len(zd.names())
    if how == "gc callback":
        gc_closing()
    else:
        CloseOnDel(conn)  # a cycle: its __del__ runs at the next collection
        gc.set_threshold(1)
    try:
        with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
            cur.fetchall()
    finally:
        gc.set_threshold(700, 10, 10)
    names = zd.names()[before:]
    # The session ended only after the method's last library call.
    assert names[-1] == "ZTC_CloseConn" and names.count("ZTC_CloseConn") == 1
    with pytest.raises(_pyztdb.OperationalError, match="^Connection does not exist$"):
        conn.commit()
    assert zd.open_sessions() == 0


def test_close_in_a_parameter_str_lets_the_statement_finish_first(zd, conn):
    cur = conn.cursor()

    class Closing(decimal.Decimal):
        def __str__(self):
            conn.close()
            return "1"

    with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
        cur.execute("insert into t values (?)", [Closing(1)])
    assert zd.names()[-1] == "ZTC_CloseConn"


@pytest.mark.parametrize("ok", [True, False])
def test_reinitialisation_leaves_old_cursors_without_a_session(zd, conn, ok):
    old = conn.cursor()
    open_server_cursor(zd, old)
    closed_on_old = len(zd.calls_of("ZTC_CloseCursor"))
    if not ok:
        zd.fail("ZTC_OpenConn")
        with pytest.raises(_pyztdb.OperationalError):
            conn.__init__(*ARGS)
    else:
        conn.__init__(*ARGS)
    assert len(zd.calls_of("ZTC_CloseCursor")) == closed_on_old
    before = len(zd.names())
    with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
        old.execute("select 1")
    old.close()  # its server cursor belonged to the ended session: nothing to close
    assert [n for n in zd.names()[before:] if n != "ZTC_FreeRowset"] == []
    if ok:
        new = conn.cursor()
        zd.queue_execution(Result(COLS, [[7]]))
        new.execute("select a from t")
        assert new.fetchall() == [(7,)]
    else:
        for call in (conn.commit, conn.cursor):
            with pytest.raises(_pyztdb.OperationalError, match="^Connection does not exist$"):
                call()
        assert zd.open_sessions() == 0


def test_reinitialisation_inside_a_method_ends_the_old_session_after_it(zd, conn):
    cur = conn.cursor()

    class Reopening(decimal.Decimal):
        def __str__(self):
            conn.__init__(*ARGS)
            return "1"

    with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
        cur.execute("insert into t values (?)", [Reopening(1)])
    names = zd.names()
    assert names[-1] == "ZTC_CloseConn" and names.count("ZTC_OpenConn") == 2
    assert zd.open_sessions() == 1
    new = conn.cursor()
    zd.queue_execution(Result(COLS, [[1]]))
    new.execute("select a from t")
    assert new.fetchall() == [(1,)]


def test_cursor_finalized_inside_another_method_closes_its_server_cursor(zd, conn):
    doomed = conn.cursor()
    open_server_cursor(zd, doomed, name="c9")
    cur = conn.cursor()

    class Dropping(decimal.Decimal):
        def __str__(self):
            nonlocal doomed
            doomed = None
            return "1"

    cur.execute("insert into t values (?)", [Dropping(1)])
    assert [c.args["name"] for c in zd.calls_of("ZTC_CloseCursor")] == ["c9"]


def test_cancel_and_broken(zd, conn):
    assert conn.cancel() is None
    assert len(zd.calls_of("ZTC_Cancel")) == 1
    zd.fail("ZTC_Cancel")
    with pytest.raises(_pyztdb.OperationalError, match="^The cancel request could not be sent$"):
        conn.cancel()
    assert conn.broken is False
    zd.set_return("ZTC_IsBroken", 1)
    assert conn.broken is True
    conn.close()
    assert conn.broken is False
    with pytest.raises(_pyztdb.OperationalError, match="^Connection does not exist$"):
        conn.cancel()
