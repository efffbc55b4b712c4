"""A pool of AsyncConnections shared by the tasks of one event loop.

    from ztcondb.pool import AsyncConnectionPool

    async with AsyncConnectionPool("host=127.0.0.1 dbname=app", min_size=2, max_size=8) as pool:
        async with pool.connection() as conn:
            await conn.execute("insert into t values (?)", (1,))
        # committed here (rolled back had the block raised); the connection is back

The rules are those of the threads' ConnectionPool: `min_size` connections opened in the
background, growth up to `max_size` while every one is in use, a checkout waiting at
most `timeout` seconds (PoolTimeout) and refused beyond `max_waiting` waiting requests
(TooManyRequests); a connection comes back rolled back when left in a transaction, and
one that broke is closed and replaced, never handed out; failed connects are retried
with growing waits.
"""
from __future__ import annotations

import asyncio
import random
from collections import deque
import typing
from typing import Any, Callable, Deque, Dict, Optional, Set

from .aio import AsyncConnection
from .errors import Error, ProgrammingError
from .pool import (PoolClosed, PoolTimeout, TooManyRequests, _DELAY_GROWTH, _FIRST_DELAY,
                   _JITTER, _MAX_DELAY)

__all__ = ["AsyncConnectionPool"]


class _Checkout:
    """`async with pool.connection() as conn:` commits when the block succeeds, rolls
    back when it raises, and gives the connection back either way."""

    def __init__(self, pool: "AsyncConnectionPool", timeout: Optional[float]) -> None:
        self._pool = pool
        self._timeout = timeout
        self._conn: Optional[AsyncConnection] = None

    async def __aenter__(self) -> AsyncConnection:
        self._conn = await self._pool.getconn(self._timeout)
        return self._conn

    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        conn, self._conn = self._conn, None
        assert conn is not None
        try:
            if not conn.closed:
                if exc_type is None:
                    await conn.commit()
                else:
                    await conn.rollback()
        except (Error, asyncio.CancelledError):
            await conn.close()
        finally:
            await self._pool.putconn(conn)


class AsyncConnectionPool:
    """Connections for tasks: `async with pool.connection() as conn`, or `getconn()`
    and `putconn()`. Open it with `await pool.open()` or `async with pool`."""

    def __init__(self, conninfo: str = "", *, kwargs: Optional[Dict[str, Any]] = None,
                 min_size: int = 4, max_size: Optional[int] = None, timeout: float = 30.0,
                 max_waiting: int = 0, reconnect_timeout: float = 300.0,
                 configure: Optional[Callable[[AsyncConnection], typing.Awaitable[None]]] = None,
                 name: Optional[str] = None,
                 connection_class: Any = AsyncConnection) -> None:
        if max_size is None:
            max_size = min_size
        if min_size < 0 or max_size < 1 or max_size < min_size:
            raise ProgrammingError("the pool needs 0 <= min_size <= max_size and max_size >= 1")
        self.conninfo = conninfo
        self.kwargs = dict(kwargs or {})
        self.min_size = min_size
        self.max_size = max_size
        self.timeout = timeout
        self.max_waiting = max_waiting
        self.reconnect_timeout = reconnect_timeout
        self.name = name or "pool"
        self._configure = configure
        self._connection_class = connection_class
        self._idle: Deque[AsyncConnection] = deque()
        self._waiters: Deque["asyncio.Future[AsyncConnection]"] = deque()
        self._size = 0          # connections open or being opened
        self._tasks: Set["asyncio.Task[None]"] = set()
        self._out: Set[AsyncConnection] = set()
        self._opened = False
        self._closed = True
        self._filled: Optional[asyncio.Event] = None
        self._stats = {"connections_num": 0, "requests_num": 0, "requests_waiting": 0,
                       "connections_errors": 0, "requests_errors": 0}

    # ---- opening and closing ----

    async def open(self, wait: bool = False, timeout: float = 30.0) -> None:
        """Starts opening min_size connections; with `wait`, until they are open."""
        if not self._closed:
            return
        if self._opened:
            raise PoolClosed("the pool %r was closed and cannot be opened again" % self.name)
        self._opened, self._closed = True, False
        self._filled = asyncio.Event()
        for _ in range(self.min_size):
            self._grow()
        if self.min_size == 0:
            self._filled.set()
        if wait:
            await self.wait(timeout)

    async def wait(self, timeout: float = 30.0) -> None:
        """Waits until min_size connections are open (PoolTimeout after `timeout`)."""
        assert self._filled is not None
        try:
            await asyncio.wait_for(self._filled.wait(), timeout)
        except asyncio.TimeoutError:
            raise PoolTimeout("the pool %r did not open %d connections within %g s"
                              % (self.name, self.min_size, timeout)) from None

    async def close(self, timeout: float = 5.0) -> None:
        """Closes the pool: idle connections now, waiting requests fail with PoolClosed,
        connections in use are closed when they come back."""
        if self._closed:
            return
        self._closed = True
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                waiter.set_exception(PoolClosed("the pool %r is closed" % self.name))
        for task in list(self._tasks):
            task.cancel()
        if self._tasks:
            await asyncio.wait(list(self._tasks), timeout=timeout)
        while self._idle:
            await self._idle.popleft().close()
        self._size = len(self._out)

    @property
    def closed(self) -> bool:
        return self._closed

    async def __aenter__(self) -> "AsyncConnectionPool":
        await self.open()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()

    # ---- checkout ----

    def connection(self, timeout: Optional[float] = None) -> _Checkout:
        return _Checkout(self, timeout)

    async def getconn(self, timeout: Optional[float] = None) -> AsyncConnection:
        """A connection for the caller alone until putconn()."""
        if self._closed:
            raise PoolClosed("the pool %r is not open" % self.name)
        self._stats["requests_num"] += 1
        while self._idle:
            conn = self._idle.popleft()
            if not conn.closed:
                self._out.add(conn)
                return conn
            self._discard()
        if self.max_waiting and len(self._waiters) >= self.max_waiting:
            self._stats["requests_errors"] += 1
            raise TooManyRequests("the pool %r already has %d requests waiting"
                                  % (self.name, len(self._waiters)))
        if self._size < self.max_size:
            self._grow()
        waiter: "asyncio.Future[AsyncConnection]" = asyncio.get_running_loop().create_future()
        self._waiters.append(waiter)
        self._stats["requests_waiting"] += 1
        limit = self.timeout if timeout is None else timeout
        try:
            conn = await asyncio.wait_for(asyncio.shield(waiter), limit)
        except asyncio.TimeoutError:
            self._stats["requests_errors"] += 1
            raise PoolTimeout("no connection from the pool %r within %g s (%d in use, %d "
                              "open)" % (self.name, limit, len(self._out), self._size)) from None
        finally:
            if waiter in self._waiters:
                self._waiters.remove(waiter)
            if not waiter.done():
                waiter.cancel()
            elif not waiter.cancelled() and waiter.exception() is None \
                    and waiter.result() not in self._out:
                # Handed over while this request gave up: back to the pool.
                self._hand(waiter.result())
        self._out.add(conn)
        return conn

    async def putconn(self, conn: AsyncConnection) -> None:
        """Gives a connection back: rolled back when left in a transaction; one that is
        closed or broken is replaced."""
        if conn not in self._out:
            raise ProgrammingError("the connection does not belong to the pool %r" % self.name)
        self._out.discard(conn)
        if not conn.closed and not self._closed:
            try:
                if conn._status() != 0:
                    await conn.rollback()
            except (Error, asyncio.CancelledError):
                await conn.close()
        if conn.closed or self._closed:
            await conn.close()
            self._discard()
            return
        self._hand(conn)

    # ---- inside ----

    def _hand(self, conn: AsyncConnection) -> None:
        """Gives an idle connection to the oldest waiting request, or keeps it."""
        while self._waiters:
            waiter = self._waiters.popleft()
            if not waiter.done():
                self._out.add(conn)
                waiter.set_result(conn)
                return
        self._idle.append(conn)

    def _discard(self) -> None:
        """A connection is gone: replaced while the pool holds fewer than min_size, or
        while requests wait."""
        self._size -= 1
        if not self._closed and (self._size < self.min_size or self._waiters):
            self._grow()

    def _grow(self) -> None:
        self._size += 1
        task = asyncio.get_running_loop().create_task(self._add_connection())
        self._tasks.add(task)
        task.add_done_callback(self._tasks.discard)

    async def _add_connection(self) -> None:
        """Opens one connection, retrying with growing waits while the server cannot be
        reached, for reconnect_timeout seconds."""
        loop = asyncio.get_running_loop()
        delay, deadline = _FIRST_DELAY, loop.time() + self.reconnect_timeout
        while True:
            try:
                conn = await self._connection_class.connect(self.conninfo or None, **self.kwargs)
                if self._configure is not None:
                    await self._configure(conn)
                break
            except asyncio.CancelledError:
                self._size -= 1
                raise
            except Exception as exc:
                if not isinstance(exc, Error):    # bad arguments: no retry helps
                    self._size -= 1
                    self._stats["connections_errors"] += 1
                    return
                self._stats["connections_errors"] += 1
                if self._closed or loop.time() + delay > deadline:
                    self._size -= 1
                    return
                await asyncio.sleep(delay * (1 + random.uniform(-_JITTER, _JITTER)))
                delay = min(delay * _DELAY_GROWTH, _MAX_DELAY)
        self._stats["connections_num"] += 1
        if self._closed:
            await conn.close()
            self._size -= 1
            return
        self._hand(conn)
        if self._filled is not None and self._size >= self.min_size and \
                len(self._idle) + len(self._out) >= self.min_size:
            self._filled.set()

    def get_stats(self) -> Dict[str, int]:
        """Counters and sizes of the pool."""
        stats = dict(self._stats)
        stats.update(pool_min=self.min_size, pool_max=self.max_size, pool_size=self._size,
                     pool_available=len(self._idle), requests_queued=len(self._waiters))
        return stats
