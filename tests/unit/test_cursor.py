"""The cursor object: attributes, close, release of results, and what it holds."""

import gc
import subprocess
import sys
import textwrap
import weakref

import pytest

import _pyztdb
from ztdouble import Column, Result


def query(rows=2):
    return Result(columns=[Column("a", 5)], rows=[[i] for i in range(rows)])


def test_type_is_not_iterable():
    assert _pyztdb.cursor.__module__ == "ztcondb"
    with pytest.raises(TypeError):
        iter(_pyztdb.cursor.__new__(_pyztdb.cursor))


def test_uninitialised_cursor_fails_cleanly(zd):
    cur = _pyztdb.cursor.__new__(_pyztdb.cursor)
    assert cur.description is None and cur.rowcount == 0
    with pytest.raises(_pyztdb.OperationalError, match="does not exist"):
        cur.execute("select 1")
    assert cur.close() is None
    assert zd.calls() == []


def test_new_cursor(zd, conn):
    cur = conn.cursor()
    assert cur.rowcount == 0
    assert cur.arraysize == 1
    with pytest.raises(AttributeError):
        cur.description


def test_cursor_with_name_is_the_same(zd, conn):
    cur = conn.cursor(name="c1")
    assert type(cur) is _pyztdb.cursor
    assert cur.rowcount == 0 and cur.arraysize == 1


@pytest.mark.parametrize("args", [(), (None,), (5,), ("conn",)])
def test_needs_a_connection(zd, args):
    with pytest.raises(TypeError):
        _pyztdb.cursor(*args)


def test_too_many_arguments(zd, conn):
    with pytest.raises(TypeError):
        _pyztdb.cursor(conn, None, 3)


def test_attributes_are_writable(zd, conn):
    cur = conn.cursor()
    cur.rowcount = -1
    assert cur.rowcount == -1
    cur.rowcount = 2 ** 63 - 1
    assert cur.rowcount == 2 ** 63 - 1
    cur.arraysize = 50
    assert cur.arraysize == 50
    with pytest.raises((OverflowError, TypeError)):
        cur.rowcount = 2 ** 64
    with pytest.raises(TypeError):
        cur.arraysize = "x"
    marker = object()
    cur.description = marker
    assert cur.description is marker
    del cur.description
    with pytest.raises(AttributeError):
        cur.description


def test_rowcount_written_then_released(zd, conn):
    cur = conn.cursor()
    zd.queue_execution(query())
    cur.execute("select a from t")
    cur.rowcount = -1
    assert cur.rowcount == -1
    cur.close()
    assert cur.rowcount == 0


def test_close_on_a_new_cursor_makes_no_call(zd, conn):
    cur = conn.cursor()
    before = len(zd.calls())
    assert cur.close() is None
    assert cur.close() is None
    assert len(zd.calls()) == before


def test_close_releases_the_result(zd, conn):
    cur = conn.cursor()
    zd.queue_execution(query())
    cur.execute("select a from t")
    assert zd.open_results() == 1
    before = len(zd.calls())
    cur.close()
    assert zd.names()[before:] == ["ZTC_FreeRowset"]
    assert zd.open_results() == 0
    assert cur.rowcount == 0
    with pytest.raises(AttributeError):
        cur.description
    assert cur.close() is None
    assert len(zd.calls()) == before + 1


def open_server_cursor(zd, cur, name="rc1"):
    """A procedure call whose RefCursor output opens server cursor `name`."""
    cur.setinputtype([58])
    zd.program_cursor(name, query(1))
    zd.program_outputs({1: name.encode()})
    cur.callproc("p", [""], [2])


def test_close_order_with_server_cursor(zd, conn):
    cur = conn.cursor()
    open_server_cursor(zd, cur)
    before = len(zd.calls())
    cur.close()
    closes = zd.calls()[before:]
    assert [c.name for c in closes] == ["ZTC_CloseCursor", "ZTC_FreeRowset"]
    assert closes[0]["name"] == "rc1"
    assert zd.open_results() == 0


def test_close_order_after_executemany(zd, conn):
    cur = conn.cursor()
    zd.queue_execution(Result(sql_type=2, affected=1))
    cur.executemany("update t set a = ?", [1])
    if "ZTC_Prepare2" not in zd.names():
        pytest.skip("executemany does not prepare")
    before = len(zd.calls())
    cur.close()
    assert zd.names()[before:] == ["ZTC_UnPrepare", "ZTC_FreeRowset"]


def test_cursor_of_a_closed_connection(zd, conn):
    conn.close()
    with pytest.raises(_pyztdb.OperationalError):
        conn.cursor()
    cur = _pyztdb.cursor(conn)
    with pytest.raises(_pyztdb.OperationalError, match="^The cursor object does not exist$"):
        cur.execute("select 1")
    assert cur.close() is None


def test_closing_the_connection_after_a_result(zd, conn):
    cur = conn.cursor()
    zd.queue_execution(query())
    cur.execute("select a from t")
    conn.close()
    with pytest.raises(_pyztdb.OperationalError, match="does not exist"):
        cur.execute("select 1")
    assert cur.close() is None
    assert zd.open_results() == 0


def test_closed_session_gets_no_session_calls(zd, conn):
    # The cursor's copy of an ended session is never handed to the library again.
    cur = conn.cursor()
    zd.queue_execution(Result(sql_type=2, affected=1))
    cur.executemany("update t set a = ?", [1])
    conn.close()
    before = len(zd.calls())
    cur.close()
    assert "ZTC_UnPrepare" not in zd.names()[before:]
    assert zd.open_results() == 0


def test_execute_after_close_works(zd, conn):
    cur = conn.cursor()
    zd.queue_execution(query())
    cur.execute("select a from t")
    cur.close()
    zd.queue_execution(query(3))
    cur.execute("select a from t")
    assert cur.rowcount == 3


class Sub(_pyztdb.cursor):
    pass


# ---- what a cursor holds is released (regressions: deallocation released nothing) ----

def test_dealloc_releases_result_and_connection(zd, conn):
    before = sys.getrefcount(conn)
    cur = Sub(conn)
    assert sys.getrefcount(conn) == before + 1
    zd.queue_execution(query())
    cur.execute("select a from t")
    ref = weakref.ref(cur)
    del cur
    assert ref() is None
    assert zd.open_results() == 0
    assert sys.getrefcount(conn) == before


def test_dealloc_keeps_a_pending_exception(zd, conn):
    def raise_with_cursor():
        cur = conn.cursor()
        zd.queue_execution(query())
        cur.execute("select a from t")
        raise ValueError("kept")

    with pytest.raises(ValueError, match="kept"):
        raise_with_cursor()
    gc.collect()
    assert zd.open_results() == 0


def test_reinit_drops_the_earlier_connection(zd, conn):
    other = _pyztdb._connect(5432, "h2", "d", "u", "p", "UTF8", "0")
    base_conn, base_other = sys.getrefcount(conn), sys.getrefcount(other)
    cur = conn.cursor()
    cur.setinputsizes([4])
    zd.queue_execution(query())
    cur.execute("select a from t")
    cur.__init__(other)
    assert sys.getrefcount(conn) == base_conn
    assert sys.getrefcount(other) == base_other + 1
    assert zd.open_results() == 0
    # the declarations went with the first initialisation
    cur.execute("insert into t values (?)", ["abcdef"])
    assert zd.calls_of("ZTC_BindParamByPos")[-1]["length"] == 6
    del cur
    other.close()


def test_reference_cycles_are_collected(zd, conn):
    cur = Sub(conn)
    cur.description = [cur]
    ref = weakref.ref(cur)
    del cur
    gc.collect()
    assert ref() is None


def test_many_cursors_do_not_leak(zd, conn):
    for _ in range(200):
        cur = conn.cursor()
        zd.queue_execution(query())
        cur.execute("select a from t")
    del cur
    gc.collect()
    assert zd.open_results() == 0


def test_abandoned_cursor_on_a_closed_connection_does_not_crash(tmp_path):
    # Deallocation after the connection closed must not touch the ended session.
    script = textwrap.dedent("""
        import gc, _pyztdb, ztdouble
        from ztdouble import Column, Result
        conn = _pyztdb._connect(5432, "h", "d", "u", "p", "UTF8", "0")
        cur = conn.cursor()
        ztdouble.queue_execution(Result(columns=[Column("a", 5)], rows=[[1]]))
        cur.execute("select a from t")
        conn.close()
        del conn, cur
        gc.collect()
        assert ztdouble.open_results() == 0
        print("ok")
    """)
    out = subprocess.run([sys.executable, "-c", script], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, universal_newlines=True,
                         env=_child_env())
    assert out.returncode == 0, out.stdout
    assert out.stdout.strip().endswith("ok")


def _child_env():
    import os

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env
