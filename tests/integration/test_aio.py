"""The asyncio face (ztcondb.aio) against a real server, on the default loop and on
uvloop: the synchronous face's behaviour tables run on both faces through one small
adapter; cancellation at each await point; a killed backend and a stalled proxy; no
task, socket or server backend left behind."""
import asyncio
import datetime
import decimal
import os
import sys
import warnings

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, REPO)

import ztcondb  # noqa: E402
import ztcondb.aio  # noqa: E402
from ztcondb import errors  # noqa: E402

LOOPS = ["asyncio", "uvloop"]
APP = "zt_aio_test"


def run(loop_kind, coro_fn, *args):
    """Runs coro_fn(*args) on a fresh loop of that kind; fails if a task is left."""
    async def main():
        try:
            return await coro_fn(*args)
        finally:
            left = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            assert not left, left

    if loop_kind == "uvloop":
        # uvloop keeps objects it never frees at exit: the sanitized run's leak check
        # would report them, so that run keeps to the default loop.
        if os.environ.get("ZT_SANITIZER_PRELOAD"):
            pytest.skip("uvloop leaks at exit under the sanitizers")
        uvloop = pytest.importorskip("uvloop")
        loop = uvloop.new_event_loop()
    else:
        loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(main())
    finally:
        loop.close()


def conninfo(pg, **extra):
    args = dict(host=pg["host"], port=pg["port"], user=pg["user"], database=pg["db"],
                application_name=APP)
    args.update(extra)
    return args


@pytest.fixture(autouse=True)
def no_backend_left(pg):
    """No session of this module stays on the server after a test."""
    yield
    check = ztcondb.connect(host=pg["host"], port=pg["port"], user=pg["user"],
                            database=pg["db"])
    check.autocommit = True
    cur = check.cursor()
    try:
        for _ in range(50):
            cur.execute("select count(*) from pg_stat_activity where application_name = ?",
                        (APP,))
            if cur.fetchone()[0] == 0:
                break
            cur.execute("select pg_sleep(0.02)")
        cur.execute("select count(*) from pg_stat_activity where application_name = ?", (APP,))
        assert cur.fetchone()[0] == 0
    finally:
        check.close()


# ---- one behaviour table, both faces ----

class SyncFace:
    """The synchronous face behind the adapter's coroutine calls."""

    def __init__(self, pg):
        self.conn = ztcondb.connect(**conninfo(pg))

    async def execute(self, sql, params=None):
        cur = self.conn.cursor()
        cur.execute(sql, params)
        return cur

    async def fetchall(self, cur):
        return cur.fetchall()

    async def rollback(self):
        self.conn.rollback()

    async def close(self):
        self.conn.close()


class AsyncFace:
    def __init__(self, conn):
        self.conn = conn

    async def execute(self, sql, params=None):
        return await self.conn.execute(sql, params)

    async def fetchall(self, cur):
        return await cur.fetchall()

    async def rollback(self):
        await self.conn.rollback()

    async def close(self):
        await self.conn.close()


async def open_face(kind, pg):
    if kind == "sync":
        return SyncFace(pg)
    return AsyncFace(await ztcondb.AsyncConnection.connect(**conninfo(pg)))


FACES = [("sync", "asyncio"), ("async", "asyncio"), ("async", "uvloop")]

VALUES = [
    ("select ?::int", (7,), 7),
    ("select ?::bigint", (2 ** 40,), 2 ** 40),
    ("select ?::text", ("zaž\u20ac",), "zaž\u20ac"),
    ("select ?::text", (None,), None),
    ("select ?::numeric", (decimal.Decimal("1.50"),), decimal.Decimal("1.50")),
    ("select ?::float8", (0.1,), 0.1),
    ("select ?::bool", (True,), True),
    ("select ?::date", (datetime.date(2024, 2, 29),), datetime.date(2024, 2, 29)),
    ("select ?::timestamp", (datetime.datetime(2001, 2, 3, 4, 5, 6, 7),),
     datetime.datetime(2001, 2, 3, 4, 5, 6, 7)),
    ("select ?::bytea", (b"\x00\xff",), b"\x00\xff"),
    ("select 'a'::text where false", None, "no row"),
    ("select %s::int + 1", (7,), 8),
    ("select %(word)s::text || '%%'", {"word": "ten"}, "ten%"),
]


@pytest.mark.parametrize("face,loop", FACES)
def test_values_read_alike_on_both_faces(pg, face, loop):
    async def body():
        f = await open_face(face, pg)
        try:
            for sql, params, expected in VALUES:
                cur = await f.execute(sql, params)
                rows = await f.fetchall(cur)
                got = rows[0][0] if rows else "no row"
                assert got == expected and type(got) is type(expected), (sql, got)
        finally:
            await f.close()
    run(loop, body)


FAILURES = [
    ("select 1/0", errors.DataError, "22012"),
    ("select nonsense from", errors.ProgrammingError, "42601"),
    ("select * from no_such_table_here", errors.ProgrammingError, "42P01"),
    ("select ?::int", errors.Error, None),      # a marker without its value
]


@pytest.mark.parametrize("face,loop", FACES)
def test_failures_are_classed_alike_and_leave_the_session_usable(pg, face, loop):
    async def body():
        f = await open_face(face, pg)
        try:
            for sql, cls, state in FAILURES:
                with pytest.raises(cls) as info:
                    await f.execute(sql)
                if state:
                    assert state in str(info.value)
                await f.rollback()
                cur = await f.execute("select 1")
                assert await f.fetchall(cur) == [(1,)]
        finally:
            await f.close()
    run(loop, body)


# ---- the async face's own API ----

@pytest.mark.parametrize("loop", LOOPS)
def test_cursor_transaction_copy_and_server_cursor(pg, loop):
    async def body():
        async with await ztcondb.AsyncConnection.connect(**conninfo(pg)) as conn:
            async with conn.cursor() as cur:
                await cur.execute("create temp table t (a int, b text)")
                await cur.executemany("insert into t values (?, ?)", [(1, "x"), (2, "y")])
                assert cur.rowcount == 2
                async with cur.copy("copy t from stdin") as copy:
                    await copy.write_row((3, "tab\there"))
                    await copy.write("4\t\\N\n")
                assert copy.rowcount == 2
                async with cur.copy("copy t to stdout") as copy:
                    data = b"".join([chunk async for chunk in copy])
                assert data == b"1\tx\n2\ty\n3\ttab\\there\n4\t\\N\n"
                async with conn.transaction():
                    await cur.execute("insert into t values (5, 'kept')")
                    with pytest.raises(ZeroDivisionError):
                        async with conn.transaction():
                            await cur.execute("insert into t values (6, 'dropped')")
                            1 / 0
                sc = conn.cursor("pages")
                sc.itersize = 2
                await sc.execute("select a from t order by a")
                assert await sc.fetchone() == (1,)
                assert await sc.fetchmany(2) == [(2,), (3,)]
                assert [r async for r in sc] == [(4,), (5,)]
                await sc.close()
                await cur.execute("select b from t where a > ? order by a", (2,))
                assert [r async for r in cur] == [("tab\there",), (None,), ("kept",)]
                from ztcondb.rows import dict_row
                dcur = await conn.cursor(row_factory=dict_row).execute(
                    "select a, b from t where a = %s", (5,))
                assert await dcur.fetchall() == [{"a": 5, "b": "kept"}]
                # A failed transaction is rolled back, and commit() says so.
                with pytest.raises(errors.DataError):
                    await cur.execute("select 1/0")
                with pytest.raises(errors.Error, match="40000"):
                    await conn.commit()
                # Rolled back: the temporary table went with the transaction.
                await cur.execute("select to_regclass('pg_temp.t') is null")
                assert await cur.fetchone() == (True,)
    run(loop, body)


@pytest.mark.parametrize("loop", LOOPS)
def test_executemany_is_all_or_none(pg, loop):
    async def body():
        async with await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True) as conn:
            cur = conn.cursor()
            await cur.execute("create temp table u (a int primary key)")
            with pytest.raises(errors.IntegrityError):
                await cur.executemany("insert into u values (?)", [(1,), (2,), (1,)])
            await cur.execute("select count(*) from u")
            assert await cur.fetchone() == (0,)
    run(loop, body)


@pytest.mark.parametrize("loop", LOOPS)
def test_notifies_and_concurrent_tasks_take_turns(pg, loop):
    async def body():
        listener = await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True)
        sender = await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True)
        try:
            await listener.execute("listen zt_chan")
            await sender.execute("notify zt_chan, 'one'")
            await sender.execute("notify zt_chan, 'two'")
            got = [n.payload async for n in listener.notifies(timeout=2, stop_after=2)]
            assert got == ["one", "two"]
            assert [n async for n in listener.notifies(timeout=0.05)] == []

            async def ask(i):
                cur = await sender.execute("select ?::int * 2", (i,))
                return (await cur.fetchone())[0]
            assert await asyncio.gather(*(ask(i) for i in range(20))) == [
                i * 2 for i in range(20)]
        finally:
            await listener.close()
            await sender.close()
    run(loop, body)


@pytest.mark.parametrize("loop", LOOPS)
def test_pool_hands_out_cleaned_connections(pg, loop):
    from ztcondb.pool import AsyncConnectionPool, PoolTimeout

    async def body():
        async with AsyncConnectionPool(kwargs=conninfo(pg), min_size=1, max_size=2,
                                       timeout=0.5) as pool:
            async with pool.connection() as conn:
                await conn.execute("create temp table p (a int)")
                await conn.execute("insert into p values (1)")
            async with pool.connection() as a, pool.connection() as b:
                assert a is not b
                with pytest.raises(PoolTimeout):
                    await pool.getconn()
                await a.execute("select 1")       # left in a transaction
            stats = pool.get_stats()
            assert stats["pool_size"] == 2 and stats["requests_errors"] == 1
            counts = await asyncio.gather(*(
                _count_in(pool, "select count(*) from pg_stat_activity") for _ in range(6)))
            assert all(c >= 1 for c in counts)
    run(loop, body)


async def _count_in(pool, sql):
    async with pool.connection() as conn:
        cur = await conn.execute(sql)
        return (await cur.fetchone())[0]


# ---- cancellation and timeouts ----

async def _cancel_at(conn, start):
    """Starts the await point, cancels it once the server runs it, and checks that the
    session is usable afterwards."""
    task = asyncio.ensure_future(start(conn))
    for _ in range(200):
        await asyncio.sleep(0.01)
        cur = await _other.execute("select count(*) from pg_stat_activity where "
                                   "application_name = ? and wait_event = 'PgSleep'", (APP,))
        if (await cur.fetchone())[0]:
            break
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert not conn.closed
    await conn.rollback()
    cur = await conn.execute("select 42")
    assert await cur.fetchone() == (42,)


async def _execute(conn):
    await conn.execute("select pg_sleep(10)")


async def _server_page(conn):
    cur = conn.cursor("sleepy")
    await cur.execute("select pg_sleep(10) from generate_series(1, 2)")
    await cur.fetchone()


async def _copy_out(conn):
    async with conn.cursor().copy("copy (select pg_sleep(10)) to stdout") as copy:
        await copy.read()


async def _copy_in(conn):
    await conn.execute("create temp table if not exists c (a int)")
    async with conn.cursor().copy("copy c from stdin") as copy:
        await copy.write(b"1\n")
        await conn._socket.wait(1)   # the server never sends during COPY FROM STDIN
        raise AssertionError("the server spoke during COPY FROM STDIN")


_other = None


@pytest.mark.parametrize("loop", LOOPS)
@pytest.mark.parametrize("point", [_execute, _server_page, _copy_out])
def test_cancel_at_each_await_point_keeps_the_session(pg, loop, point):
    async def body():
        global _other
        conn = await ztcondb.AsyncConnection.connect(**conninfo(pg))
        _other = await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True)
        try:
            await _cancel_at(conn, point)
        finally:
            await conn.close()
            await _other.close()
    run(loop, body)


@pytest.mark.parametrize("loop", LOOPS)
def test_cancelled_copy_in_stores_nothing(pg, loop):
    async def body():
        conn = await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True)
        try:
            task = asyncio.ensure_future(_copy_in(conn))
            await asyncio.sleep(0.1)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            cur = await conn.execute("select count(*) from c")
            assert await cur.fetchone() == (0,)
        finally:
            await conn.close()
    run(loop, body)


@pytest.mark.parametrize("loop", LOOPS)
@pytest.mark.parametrize("how", ["wait_for", "timeout"])
def test_timeouts_cancel_the_statement(pg, loop, how):
    if how == "timeout" and not hasattr(asyncio, "timeout"):
        pytest.skip("asyncio.timeout needs Python 3.11")

    async def body():
        conn = await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True)
        try:
            with pytest.raises(asyncio.TimeoutError):
                if how == "wait_for":
                    await asyncio.wait_for(conn.execute("select pg_sleep(10)"), 0.2)
                else:
                    async with asyncio.timeout(0.2):
                        await conn.execute("select pg_sleep(10)")
            cur = await conn.execute("select 'still here'")
            assert await cur.fetchone() == ("still here",)
        finally:
            await conn.close()
    run(loop, body)


# ---- faults ----

@pytest.mark.parametrize("loop", LOOPS)
def test_killed_backend_breaks_the_connection(pg, loop):
    async def body():
        conn = await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True)
        killer = await ztcondb.AsyncConnection.connect(**conninfo(pg), autocommit=True)
        try:
            pid = (await (await conn.execute("select pg_backend_pid()")).fetchone())[0]
            await killer.execute("select pg_terminate_backend(?)", (pid,))
            with pytest.raises(errors.OperationalError):
                for _ in range(50):
                    await conn.execute("select 1")
                    await asyncio.sleep(0.02)
            assert conn.closed
            with pytest.raises(errors.Error):
                await conn.execute("select 1")
        finally:
            await conn.close()
            await killer.close()
    run(loop, body)


class StallingProxy:
    """A TCP proxy on a free loopback port that forwards until stall() and then
    accepts and reads everything without forwarding anything."""

    def __init__(self, host, port):
        self.target = (host, port)
        self.stalled = False
        self.writers = []

    async def start(self):
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]
        return self

    async def _pipe(self, reader, writer):
        try:
            while True:
                data = await reader.read(65536)
                if not data:
                    break
                if not self.stalled:
                    writer.write(data)
        except (ConnectionError, asyncio.CancelledError):
            pass

    async def _serve(self, reader, writer):
        up_reader, up_writer = await asyncio.open_connection(*self.target)
        self.writers += [writer, up_writer]
        await asyncio.gather(self._pipe(reader, up_writer), self._pipe(up_reader, writer))

    async def close(self):
        self.server.close()
        for w in self.writers:
            w.close()
        await self.server.wait_closed()
        await asyncio.sleep(0.05)


@pytest.mark.parametrize("loop", LOOPS)
def test_stalled_proxy_gives_the_connection_up_on_timeout(pg, loop, monkeypatch):
    # The cancel request goes through the proxy too and is never answered.
    monkeypatch.setattr(ztcondb.aio, "CANCEL_SEND_LIMIT", 0.3)

    async def body():
        proxy = await StallingProxy(pg["host"], pg["port"]).start()
        conn = await ztcondb.AsyncConnection.connect(**conninfo(pg, host="127.0.0.1",
                                                              port=proxy.port))
        try:
            cur = await conn.execute("select 1")
            assert await cur.fetchone() == (1,)
            proxy.stalled = True
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(conn.execute("select 2"), 0.3)
            assert conn.closed
        finally:
            await conn.close()
            await proxy.close()
        # The proxy's upstream sessions end once it is closed.
        tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
        if tasks:
            await asyncio.wait(tasks, timeout=2)
    run(loop, body)


@pytest.mark.parametrize("loop", LOOPS)
def test_closing_the_loop_warns_and_closes_open_connections(pg, loop):
    async def body():
        return await ztcondb.AsyncConnection.connect(**conninfo(pg))

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        conn = run(loop, body)
        if loop == "uvloop":   # uvloop's loop cannot be hooked: the finalizer warns
            del conn
            import gc
            gc.collect()
        else:
            assert conn.closed
    assert any(issubclass(w.category, ResourceWarning) for w in caught)


def test_connect_failure_is_reported_and_bounded(pg):
    async def body():
        with pytest.raises(errors.OperationalError) as info:
            await ztcondb.AsyncConnection.connect(**conninfo(pg, database="no_such_db_zt"))
        assert "no_such_db_zt" in str(info.value)
    run("asyncio", body)
