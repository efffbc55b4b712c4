"""The stepping methods an event loop drives, and the asyncio face over them, against
the double: which library calls they make, how a finished statement lands in the
cursor, how each step fails, and that the module's defaults are untouched."""
import asyncio
import os
import socket
import sys

import pytest

import _pyztdb
from ztdouble import Column, Result

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402
import ztcondb.aio  # noqa: E402
from ztcondb import errors  # noqa: E402

ARGS = ("h", 5432, "d", "u", "p", "UTF8", "0")


def rows_result(*values):
    return Result(columns=[Column("a", 5)], rows=[[v] for v in values], sql_type=9)


def test_default_open_is_unchanged_and_nonblocking_is_opt_in(zd):
    _pyztdb.connection(*ARGS).close()
    plain = zd.names()
    plain_text = zd.calls_of("ZTC_OpenConn")[0]["text"]
    zd.reset()
    conn = _pyztdb.connection(*ARGS, nonblocking=True)
    assert "ZTC_OpenConn" in plain and "ZTC_AsyncOpen" not in plain
    assert "ZTC_AsyncOpen" in zd.names() and "ZTC_OpenConn" not in zd.names()
    assert zd.calls_of("ZTC_AsyncOpen")[0]["text"] == plain_text
    assert conn._async_poll() == 0
    assert conn._async_finish() is None
    conn.close()


def test_statement_binds_then_starts_and_finishes_into_the_cursor(zd, conn):
    cur = conn.cursor()
    zd.queue_execution(rows_result(4, 5))
    cur._async_execute("select a from t where a > ?", (3,))
    names = zd.names()
    start = names.index("ZTC_AsyncExecute")
    assert "ZTC_BindParamByPos" in names[:start]
    # The bindings were copied by the start: none is left for a later statement.
    assert names[start + 1] == "ZTC_Reset"
    assert zd.calls_of("ZTC_AsyncExecute")[0]["sql"] == "select a from t where a > ?"
    assert conn._async_poll() == 0
    cur._async_finish()
    assert cur.rowcount == 2 and cur.fetchall() == [(4,), (5,)]


FAILING_STEPS = [
    ("ZTC_AsyncExecute", "[42601] syntax error at end of input", errors.ProgrammingError),
    ("ZTC_AsyncPoll", "[08006] server closed the connection", errors.OperationalError),
    ("ZTC_AsyncFinish", "[22012] division by zero", errors.DataError),
]


@pytest.mark.parametrize("call,message,cls", FAILING_STEPS)
def test_a_failing_step_raises_with_the_library_message(zd, call, message, cls):
    conn = ztcondb.connect(host="h", port=5432, database="d", user="u", password="p")
    cur = conn.cursor()
    zd.queue_execution(rows_result(1))
    zd.fail(call, error=message)
    with pytest.raises(cls) as info:
        _pyztdb.cursor._async_execute(cur, "select 1")
        _pyztdb.connection._async_poll(conn)
        _pyztdb.cursor._async_finish(cur)
    assert message in str(info.value)
    assert cur.description is None
    conn.close()


@pytest.mark.parametrize("params,error", [
    (5, TypeError),
    ((object(),), _pyztdb.Error),
])
def test_unbindable_parameters_start_nothing(zd, conn, params, error):
    cur = conn.cursor()
    with pytest.raises(error):
        cur._async_execute("select ?", params)
    assert "ZTC_AsyncExecute" not in zd.names()


def test_the_face_waits_on_the_socket_for_what_the_library_asks(zd):
    ours, theirs = socket.socketpair()

    async def run():
        conn = ztcondb.connect(host="h", port=5432, database="d", user="u", password="p")
        aconn = ztcondb.aio.AsyncConnection(conn)
        zd.queue_execution(rows_result(9))
        zd.set_return("ZTC_AsyncPoll", ztcondb.aio._WAIT_READ)
        task = asyncio.ensure_future(aconn.execute("select a from t"))
        await asyncio.sleep(0.05)
        assert not task.done()          # waits for the socket to become readable
        theirs.send(b"x")
        cur = await asyncio.wait_for(task, 2)
        assert await cur.fetchall() == [(9,)]
        await aconn.close()

    try:
        zd.set_return("ZTC_Socket", ours.fileno())
        asyncio.run(run())
    finally:
        ours.close()
        theirs.close()


def test_async_names_load_lazily():
    assert ztcondb.AsyncConnection is ztcondb.aio.AsyncConnection
    from ztcondb.pool import AsyncConnectionPool
    assert AsyncConnectionPool.__module__ == "ztcondb.aio_pool"
    with pytest.raises(AttributeError):
        ztcondb.NoSuchThing
    assert issubclass(errors.OperationalError, errors.Error)
