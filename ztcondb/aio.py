"""ztcondb on the event loop: the asyncio face, in the shape of psycopg 3's async API.

    import asyncio, ztcondb

    async def main():
        async with await ztcondb.AsyncConnection.connect("host=127.0.0.1 dbname=app") as conn:
            async with conn.cursor() as cur:
                await cur.execute("select ?, ?", (1, "one"))
                print(await cur.fetchone())

    asyncio.run(main())

Every statement runs on the session's socket without blocking the loop: the library
starts it, the loop waits until the socket is ready, the library goes on, until the
result is complete; rows are then built by the same code as the synchronous face's
(same placeholders, types, row forms and errors). One connection runs one operation at
a time; concurrent tasks take turns.

Cancelling a task that awaits a statement (task.cancel(), asyncio.wait_for,
asyncio.timeout) sends the server a cancel request and waits for the statement to end,
so the session stays usable; when the server does not end it within a few seconds, or
the request cannot be sent, the connection is closed instead. Nothing is left half-read.
"""
from __future__ import annotations

import asyncio
import threading
import typing
import warnings
import weakref
from types import TracebackType
from typing import Any, Callable, List, Optional, Tuple, Type

import _pyztdb

from . import errors as _errors
from .connargs import connection_arguments
from .connection import Connection
from .cursor import Cursor, _convert
from .errors import OperationalError, ProgrammingError, from_module_function
from .notify import Notify
from .pq import TransactionStatus
from .sql import Composable
from .transaction import BlockPlan

__all__ = ["AsyncConnection", "AsyncCursor", "AsyncServerCursor", "AsyncTransaction",
           "AsyncCopy"]

Row = Any

# What the module's stepping calls ask to wait for (bits).
_WAIT_READ = 1
_WAIT_WRITE = 2
# Directions of a COPY.
_COPY_IN = 1
# How long a cancelled statement may take to end before the connection is closed.
CANCEL_GRACE = 5.0
# How long the delivery of a cancel request may take before the connection is given up.
CANCEL_SEND_LIMIT = 2.0
_MODULE_ERRORS: Tuple[Type[Exception], ...] = (_pyztdb.Error, _pyztdb.Warning)
# What any call of the module may raise: the module's classes, or ztcondb's (a ztcondb
# connection's methods raise those themselves).
_ALL_ERRORS: Tuple[Type[Exception], ...] = _MODULE_ERRORS + (_errors.Error, _errors.Warning)


def _translated(exc: BaseException) -> BaseException:
    """The ztcondb exception for one the module raised (methods of a ztcondb connection
    raise ztcondb's classes themselves; this covers the rest)."""
    return from_module_function(exc) if isinstance(exc, _MODULE_ERRORS) else exc


def _close_quietly(conn: Connection) -> None:
    try:
        conn.close()
    except _ALL_ERRORS:
        pass


class _Socket:
    """Waits for the session's socket to be ready, on the running loop."""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    async def wait(self, bits: int) -> None:
        loop = asyncio.get_running_loop()
        ready = loop.create_future()

        def wake() -> None:
            if not ready.done():
                ready.set_result(None)

        if bits & _WAIT_READ:
            loop.add_reader(self.fd, wake)
        if bits & _WAIT_WRITE:
            loop.add_writer(self.fd, wake)
        try:
            await ready
        finally:
            if bits & _WAIT_READ:
                loop.remove_reader(self.fd)
            if bits & _WAIT_WRITE:
                loop.remove_writer(self.fd)


# The connections still open on each loop: closing the loop warns about them and closes
# them (a loop that cannot be hooked leaves it to the connections' finalizers).
_OPEN_ON_LOOP: "weakref.WeakKeyDictionary[Any, weakref.WeakSet[AsyncConnection]]" = \
    weakref.WeakKeyDictionary()


def _watch_loop(loop: asyncio.AbstractEventLoop, conn: "AsyncConnection") -> None:
    try:
        known = _OPEN_ON_LOOP.get(loop)
    except TypeError:
        return
    if known is None:
        watched: "weakref.WeakSet[AsyncConnection]" = weakref.WeakSet()
        try:
            _OPEN_ON_LOOP[loop] = watched
        except TypeError:
            return
        original = loop.close

        def close() -> None:
            for left in list(watched):
                left._abandon("the event loop was closed")
            original()

        try:
            setattr(loop, "close", close)
        except (AttributeError, TypeError):
            pass
        known = watched
    known.add(conn)


class AsyncConnection:
    """A session with the server for asyncio code; make one with
    `await AsyncConnection.connect(...)` (the arguments of `ztcondb.connect`).

    `async with conn:` commits when the block succeeds, rolls back when it raises, and
    closes the connection. Transactions are on (autocommit off) unless
    `autocommit=True` is given; `await conn.set_autocommit(...)` switches."""

    Error: Type[_errors.Error] = _errors.Error
    Warning: Type[_errors.Warning] = _errors.Warning
    InterfaceError: Type[_errors.InterfaceError] = _errors.InterfaceError
    DatabaseError: Type[_errors.DatabaseError] = _errors.DatabaseError
    DataError: Type[_errors.DataError] = _errors.DataError
    OperationalError: Type[_errors.OperationalError] = _errors.OperationalError
    IntegrityError: Type[_errors.IntegrityError] = _errors.IntegrityError
    InternalError: Type[_errors.InternalError] = _errors.InternalError
    ProgrammingError: Type[_errors.ProgrammingError] = _errors.ProgrammingError
    NotSupportedError: Type[_errors.NotSupportedError] = _errors.NotSupportedError

    def __init__(self, conn: Connection) -> None:
        self._conn = conn
        self._socket = _Socket(_pyztdb.connection.fileno(conn))
        self._lock = asyncio.Lock()
        self._closed = False
        # Cancel requests on their way (each on a thread of its own), and whether the
        # session itself was closed; both under _cancel_lock.
        self._cancel_lock = threading.Lock()
        self._cancelling = 0
        self._conn_closed = False
        # The transaction blocks open, outermost first.
        self._transactions: List[AsyncTransaction] = []
        self._loop = asyncio.get_running_loop()
        _watch_loop(self._loop, self)

    # ---- opening and closing ----

    @classmethod
    async def connect(cls, dsn: Optional[str] = None, port: Any = None,
                      database: Optional[str] = None, user: Optional[str] = None,
                      password: Optional[str] = None, charset: str = "UTF8", *,
                      autocommit: bool = False, prepare_threshold: Optional[int] = 2,
                      connect_timeout: Any = None,
                      row_factory: Optional[Callable[..., Any]] = None,
                      **settings: Any) -> "AsyncConnection":
        """Opens a session without blocking the loop. Arguments as `ztcondb.connect`;
        the open waits at most `connect_timeout` seconds (10 by default); `row_factory`
        (ztcondb.rows) is the cursors' default."""
        settings["connect_timeout"] = connect_timeout
        given = {key: value for key, value in settings.items() if value is not None}
        values, extra = connection_arguments(dsn, port, database, user, password, charset,
                                             given)
        try:
            conn = Connection(*values, nonblocking=True, **extra)
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc
        self = cls(conn)
        limit = 10.0 if connect_timeout in (None, "") else float(connect_timeout)
        try:
            try:
                await asyncio.wait_for(self._drive(), limit if limit > 0 else None)
            except _errors.Error as exc:
                raise OperationalError("Connection information is not correct: %s"
                                       % (exc,)) from None
            except asyncio.TimeoutError:
                raise OperationalError(
                    "Connection information is not correct: [08001] no answer from the "
                    "server within connect_timeout (%g s): timeout expired" % limit) from None
            try:
                _pyztdb.connection._async_finish(conn)
            except _ALL_ERRORS as exc:
                raise OperationalError(
                    "Connection information is not correct: %s" % (exc,)) from None
            if prepare_threshold != conn.prepare_threshold:
                conn.prepare_threshold = prepare_threshold
            if not autocommit:
                conn.autocommit = False
            if row_factory is not None:
                conn.row_factory = row_factory
        except BaseException:
            self._abandon(None)
            raise
        conn._connect_args = (values, extra)
        return self

    def _abandon(self, warning: Optional[str]) -> None:
        """Closes the session at once, without waiting for anything (a warning first
        when one is given). While a cancel request is still on its way the session is
        closed by the thread that sends it, once it is done."""
        if self._closed:
            return
        self._closed = True
        if warning is not None:
            warnings.warn("an AsyncConnection was left open: %s; it is closed now" % warning,
                          ResourceWarning, stacklevel=2)
        with self._cancel_lock:
            if self._cancelling or self._conn_closed:
                return
            self._conn_closed = True
        _close_quietly(self._conn)

    async def close(self) -> None:
        """Closes the session (an open transaction is rolled back by the server)."""
        self._abandon(None)

    def __del__(self) -> None:
        if not getattr(self, "_closed", True):
            self._abandon("it was never closed")

    @property
    def closed(self) -> bool:
        """True once `close()` ran or the session broke."""
        return self._closed or self._conn.closed

    @property
    def broken(self) -> bool:
        """True when the server ended the session or the connection was lost."""
        return bool(self._conn.broken)

    @property
    def autocommit(self) -> bool:
        return self._conn.autocommit

    async def set_autocommit(self, value: bool) -> None:
        """Switches autocommit; switching it on commits an open transaction first."""
        async with self._lock:
            if value and self._status() != TransactionStatus.IDLE:
                await self._command("COMMIT")
            self._conn.autocommit = bool(value)

    @property
    def notices(self) -> List[str]:
        return self._conn.notices

    @property
    def row_factory(self) -> Callable[..., Any]:
        """The cursors' default row factory (ztcondb.rows: tuple_row unless set)."""
        return self._conn.row_factory

    @row_factory.setter
    def row_factory(self, value: Optional[Callable[..., Any]]) -> None:
        self._conn.row_factory = value  # type: ignore[assignment]

    @property
    def prepare_threshold(self) -> Optional[int]:
        return self._conn.prepare_threshold

    def fileno(self) -> int:
        return self._socket.fd

    async def __aenter__(self) -> "AsyncConnection":
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        if self.closed:
            return
        try:
            if exc_type is None:
                await self.commit()
            else:
                try:
                    await self.rollback()
                except (_errors.Error, asyncio.CancelledError):
                    pass
        finally:
            await self.close()

    # ---- running operations ----

    def _check(self) -> None:
        if self._closed:
            raise OperationalError("Connection does not exist")

    def _status(self) -> TransactionStatus:
        return self._conn.info.transaction_status

    async def _drive(self) -> None:
        """Moves the operation in progress on until it is done, waiting on the socket."""
        conn, socket = self._conn, self._socket
        poll = _pyztdb.connection._async_poll
        while True:
            try:
                bits = poll(conn)
            except _MODULE_ERRORS as exc:
                raise _translated(exc) from exc
            if not bits:
                return
            await socket.wait(bits)

    async def _complete(self, finish: Callable[[], Any]) -> Any:
        """Waits for the operation just started and hands over finish()'s outcome. A
        cancellation sends the server a cancel request and lets the statement end (the
        session stays usable), or closes the connection when that cannot be done."""
        try:
            await self._drive()
        except asyncio.CancelledError:
            await self._settle_cancelled(finish)
            raise
        except BaseException:
            if self._conn.broken:
                self._abandon(None)
            raise
        try:
            return finish()
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc

    async def _settle_cancelled(self, finish: Callable[[], Any]) -> None:
        if not await self._send_cancel():
            self._abandon(None)
            return
        try:
            await asyncio.wait_for(self._drive(), CANCEL_GRACE)
        except asyncio.CancelledError:
            self._abandon(None)
            raise
        except BaseException:
            # No end within the grace, or the connection failed meanwhile.
            self._abandon(None)
            return
        try:
            finish()
        except _ALL_ERRORS:
            pass    # the statement's end: the server's [57014], as a rule

    async def _send_cancel(self) -> bool:
        """Sends the server a cancel request: True once it was delivered. The request
        opens a connection of its own and waits for the server to close it, which a
        stalled network never does: it runs on a short-lived thread of its own, and the
        loop waits for it at most CANCEL_SEND_LIMIT seconds."""
        loop = asyncio.get_running_loop()
        delivered: "asyncio.Future[bool]" = loop.create_future()

        def settle(ok: bool) -> None:
            if not delivered.done():
                delivered.set_result(ok)

        def send() -> None:
            try:
                _pyztdb.connection.cancel(self._conn)
                ok = True
            except BaseException:
                ok = False
            with self._cancel_lock:
                self._cancelling -= 1
                close_now = self._closed and self._cancelling == 0 and not self._conn_closed
                if close_now:
                    self._conn_closed = True
            if close_now:
                _close_quietly(self._conn)
            try:
                loop.call_soon_threadsafe(settle, ok)
            except RuntimeError:
                pass    # the loop is closed: nobody waits any more

        with self._cancel_lock:
            self._cancelling += 1
        threading.Thread(target=send, name="ztcondb-cancel", daemon=True).start()
        try:
            return await asyncio.wait_for(asyncio.shield(delivered), CANCEL_SEND_LIMIT)
        except asyncio.TimeoutError:
            return False

    async def _command(self, sql: str) -> None:
        """Runs a statement without result rows (the caller holds the lock)."""
        self._check()
        cur = _pyztdb.cursor(self._conn, None)
        try:
            _pyztdb.cursor._async_execute(cur, sql)
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc
        try:
            await self._complete(lambda: _pyztdb.cursor._async_finish(cur))
        finally:
            cur.close()

    async def execute(self, query: str, params: Optional[typing.Sequence[Any]] = None,
                      **kwargs: Any) -> "AsyncCursor":
        """Runs a statement on a new cursor and returns the cursor."""
        cur = self.cursor(**kwargs)
        await cur.execute(query, params)
        return cur

    async def commit(self) -> None:
        """Commits the open transaction (none open: nothing happens). A failed one is
        rolled back, and that is reported: it was not committed."""
        async with self._lock:
            await self._commit()

    async def _commit(self) -> None:
        self._check()
        status = self._status()
        if status == TransactionStatus.INERROR:
            await self._command("ROLLBACK")
            raise _errors.class_for_sqlstate("40000")(  # type: ignore[misc]
                "[40000] the transaction had failed and was rolled back instead of committed")
        if status != TransactionStatus.IDLE:
            await self._command("COMMIT")

    async def rollback(self) -> None:
        """Rolls the open transaction back (none open: nothing happens)."""
        async with self._lock:
            await self._rollback()

    async def _rollback(self) -> None:
        self._check()
        if self._status() != TransactionStatus.IDLE:
            await self._command("ROLLBACK")

    def cancel(self) -> None:
        """Asks the server to cancel what the session runs (any thread, any time)."""
        try:
            _pyztdb.connection.cancel(self._conn)
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc

    def cursor(self, name: Optional[str] = None, *, withhold: bool = False,
               scrollable: Optional[bool] = None, **kwargs: Any) -> "AsyncCursor":
        """A new cursor; with `name`, a server-side cursor read in pages."""
        self._check()
        if name is None:
            return AsyncCursor(self, **kwargs)
        return AsyncServerCursor(self, name, withhold=withhold, scrollable=scrollable,
                                 **kwargs)

    def transaction(self, savepoint_name: Optional[str] = None,
                    force_rollback: bool = False) -> "AsyncTransaction":
        """`async with conn.transaction():` runs the block in a transaction (a
        savepoint inside one): committed when it succeeds, rolled back when it raises."""
        return AsyncTransaction(self, savepoint_name, force_rollback)

    async def notifies(self, *, timeout: Optional[float] = None,
                       stop_after: Optional[int] = None) -> typing.AsyncIterator[Notify]:
        """Yields each notification of the channels the session LISTENs to as it
        arrives; ends after `timeout` seconds or `stop_after` notifications."""
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        given = 0
        while stop_after is None or given < stop_after:
            async with self._lock:
                self._check()
                try:
                    found = _pyztdb.connection.getnotifies(self._conn)
                except _MODULE_ERRORS as exc:
                    raise _translated(exc) from exc
                if not found:
                    left = None if deadline is None else deadline - loop.time()
                    if left is not None and left <= 0:
                        return
                    try:
                        await asyncio.wait_for(self._socket.wait(_WAIT_READ), left)
                    except asyncio.TimeoutError:
                        return
                    continue
            for item in found:
                yield Notify(*item)
                given += 1
                if stop_after is not None and given >= stop_after:
                    return


class AsyncCursor:
    """A cursor of an `AsyncConnection`. Statements run with `await cur.execute()`;
    rows are read with `await cur.fetchone()`, `fetchmany()`, `fetchall()` or
    `async for`. The rows of a statement are all received when execute returns."""

    def __init__(self, conn: AsyncConnection, **kwargs: Any) -> None:
        self._aconn = conn
        self._cur: Cursor = conn._conn.cursor(**kwargs)

    @property
    def connection(self) -> AsyncConnection:
        return self._aconn

    @property
    def description(self) -> Any:
        return self._cur.description

    @property
    def rowcount(self) -> int:
        return self._cur.rowcount

    @property
    def rownumber(self) -> Optional[int]:
        return self._cur.rownumber

    @property
    def closed(self) -> bool:
        return self._cur.closed

    @property
    def arraysize(self) -> int:
        return self._cur.arraysize

    @arraysize.setter
    def arraysize(self, value: int) -> None:
        self._cur.arraysize = value

    async def close(self) -> None:
        self._cur.close()

    async def __aenter__(self) -> "AsyncCursor":
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()

    async def _run(self, query: Any, params: Any) -> None:
        """Runs one statement into the cursor (the caller holds the connection's lock):
        the placeholders and composed statements of the synchronous face's execute."""
        aconn, cur = self._aconn, self._cur
        aconn._check()
        cur._start()
        cur._maker = None
        if type(query) is not str and isinstance(query, Composable):
            query = query.as_string(cur)
        if params is not None:
            query, params = _convert(query, params)
        cur._sent = query
        try:
            if params is None:
                _pyztdb.cursor._async_execute(cur, query)
            else:
                _pyztdb.cursor._async_execute(cur, query, params)
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc
        await aconn._complete(lambda: _pyztdb.cursor._async_finish(cur))
        cur._settle()

    async def execute(self, query: Any, params: Any = None,
                      **kwargs: Any) -> "AsyncCursor":
        """Runs one statement: `?` markers, %s or %(name)s placeholders, as the
        synchronous face."""
        async with self._aconn._lock:
            await self._run(query, params)
        return self

    async def executemany(self, query: str,
                          params_seq: typing.Iterable[typing.Sequence[Any]]) -> None:
        """Runs the statement once per row of parameters, all or none: inside a
        transaction of its own (a savepoint inside an open one)."""
        async with self._aconn._lock:
            async with _Atomic(self._aconn):
                count = 0
                for params in params_seq:
                    await self._run(query, params)
                    count += max(self._cur.rowcount, 0)
        self._cur._count = count

    async def fetchone(self) -> Optional[Row]:
        try:
            return self._cur.fetchone()
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc

    async def fetchmany(self, size: Optional[int] = None) -> List[Row]:
        return self._cur.fetchmany(size) if size is not None else self._cur.fetchmany()

    async def fetchall(self) -> List[Row]:
        return self._cur.fetchall()

    async def nextset(self) -> Optional[bool]:
        return self._cur.nextset()

    def __aiter__(self) -> "AsyncCursor":
        return self

    async def __anext__(self) -> Row:
        row = self._cur.fetchone()
        if row is None:
            raise StopAsyncIteration
        return row

    def copy(self, statement: str) -> "AsyncCopy":
        """`async with cur.copy("COPY ... FROM STDIN") as copy:` then
        `await copy.write(data)`; for `COPY ... TO STDOUT`, `async for data in copy`."""
        return AsyncCopy(self, statement)


class _Atomic:
    """All or none for a run of statements (the caller holds the lock): a transaction
    of its own, or a savepoint inside the open one."""

    def __init__(self, conn: AsyncConnection) -> None:
        self._conn = conn
        self._savepoint = False

    async def __aenter__(self) -> "_Atomic":
        self._savepoint = self._conn._status() != TransactionStatus.IDLE
        await self._conn._command("SAVEPOINT _zt_many" if self._savepoint else "BEGIN")
        return self

    async def __aexit__(self, exc_type: Any, *rest: Any) -> None:
        conn = self._conn
        if conn.closed:
            return
        if exc_type is None:
            if self._savepoint:
                await conn._command("RELEASE SAVEPOINT _zt_many")
            elif conn.autocommit:
                await conn._command("COMMIT")
            return
        if exc_type is asyncio.CancelledError and conn.closed:
            return
        try:
            await conn._command("ROLLBACK TO SAVEPOINT _zt_many" if self._savepoint
                                else "ROLLBACK")
        except (_errors.Error, asyncio.CancelledError):
            pass


def _quote_name(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class AsyncServerCursor(AsyncCursor):
    """A server-side cursor: `execute` declares it, rows come in pages of `itersize`
    (fetchone, async for) or as asked (fetchmany, fetchall) with one FETCH each."""

    def __init__(self, conn: AsyncConnection, name: str, *, withhold: bool = False,
                 scrollable: Optional[bool] = None, **kwargs: Any) -> None:
        if not isinstance(name, str) or not name:
            raise ProgrammingError("a server cursor needs a non-empty name")
        super().__init__(conn, **kwargs)
        self.name = name
        self.withhold = withhold
        self.scrollable = scrollable
        self.itersize = 100
        self._declared = False
        self._page: List[Row] = []
        self._done = False

    async def execute(self, query: str, params: Optional[typing.Sequence[Any]] = None,
                      **kwargs: Any) -> "AsyncServerCursor":
        scroll = "" if self.scrollable is None else (
            "SCROLL " if self.scrollable else "NO SCROLL ")
        hold = "WITH HOLD " if self.withhold else ""
        async with self._aconn._lock:
            await self._drop()
            await self._run("DECLARE %s %sCURSOR %sFOR %s"
                            % (_quote_name(self.name), scroll, hold, query), params)
            self._declared = True
            self._page, self._done = [], False
        return self

    async def _drop(self) -> None:
        """Closes the declared cursor while its transaction lasts (the lock is held)."""
        if not self._declared:
            return
        self._declared = False
        aconn = self._aconn
        if not aconn.closed and (self.withhold or aconn._status() == TransactionStatus.INTRANS):
            await aconn._command("CLOSE %s" % _quote_name(self.name))

    async def _fetch(self, count: Optional[int]) -> List[Row]:
        """One FETCH of `count` rows (None: all the rest)."""
        if not self._declared:
            raise ProgrammingError("the server cursor has not been executed")
        if self._done:
            return []
        amount = "ALL" if count is None else "FORWARD %d" % count
        async with self._aconn._lock:
            await self._run("FETCH %s FROM %s" % (amount, _quote_name(self.name)), None)
            rows = self._cur.fetchall()
        if count is None or len(rows) < count:
            self._done = True
        return rows

    async def fetchone(self) -> Optional[Row]:
        if not self._page:
            self._page = await self._fetch(self.itersize)
        return self._page.pop(0) if self._page else None

    async def fetchmany(self, size: Optional[int] = None) -> List[Row]:
        size = self.arraysize if size is None else size
        rows, self._page = self._page[:size], self._page[size:]
        if len(rows) < size:
            rows += await self._fetch(size - len(rows))
        return rows

    async def fetchall(self) -> List[Row]:
        rows, self._page = self._page, []
        return rows + await self._fetch(None)

    async def __anext__(self) -> Row:
        row = await self.fetchone()
        if row is None:
            raise StopAsyncIteration
        return row

    async def close(self) -> None:
        if self._declared and not self._aconn.closed:
            async with self._aconn._lock:
                await self._drop()
        await super().close()


class AsyncTransaction:
    """The block of `async with conn.transaction():` (see AsyncConnection.transaction):
    the commands each block sends are the synchronous face's (transaction.BlockPlan)."""

    def __init__(self, conn: AsyncConnection, savepoint_name: Optional[str],
                 force_rollback: bool) -> None:
        self.connection = conn
        self._name = savepoint_name
        self.force_rollback = force_rollback
        self._plan: Optional[BlockPlan] = None

    @property
    def savepoint_name(self) -> Optional[str]:
        return self._plan.savepoint_name if self._plan else self._name

    async def _run(self, commands: List[str]) -> None:
        """Runs a block's commands (the lock is held); COMMIT and ROLLBACK as the
        connection's own, which report a failed transaction that was not committed."""
        conn = self.connection
        for command in commands:
            if command == "COMMIT":
                await conn._commit()
            elif command == "ROLLBACK":
                await conn._rollback()
            else:
                await conn._command(command)

    async def __aenter__(self) -> "AsyncTransaction":
        conn = self.connection
        async with conn._lock:
            conn._check()
            plan = BlockPlan(len(conn._transactions), conn._status(), conn.autocommit,
                             self._name, conn._conn._begin_command())
            await self._run(plan.enter())
            conn._transactions.append(self)
            self._plan = plan
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        conn, plan = self.connection, self._plan
        assert plan is not None
        if self in conn._transactions:
            del conn._transactions[conn._transactions.index(self):]
        if conn.closed:
            return
        async with conn._lock:
            if exc_type is None and not self.force_rollback:
                await self._run(plan.commit())
                return
            try:
                await self._run(plan.rollback())
            except (_errors.Error, asyncio.CancelledError):
                pass    # the block's own exception is the one to see


class AsyncCopy:
    """A COPY streamed on the event loop: `await write(data)` for COPY FROM STDIN (bytes
    or str), `await read()` / `async for data in copy` for COPY TO STDOUT. Leaving the
    block ends the COPY; an exception in it makes the server refuse the data."""

    def __init__(self, cursor: AsyncCursor, statement: str) -> None:
        self._cursor = cursor
        self._statement = statement
        self._direction = 0
        self.rowcount = -1
        self._held = False

    async def __aenter__(self) -> "AsyncCopy":
        aconn = self._cursor._aconn
        await aconn._lock.acquire()
        self._held = True
        conn = aconn._conn

        def began() -> None:
            self._direction = _pyztdb.connection._async_finish(conn) or 0

        try:
            aconn._check()
            try:
                _pyztdb.connection._async_copy_start(conn, self._statement)
            except _MODULE_ERRORS as exc:
                raise _translated(exc) from exc
            try:
                await aconn._complete(began)
            except asyncio.CancelledError:
                # The stream may have begun before the cancel request reached the server.
                await self._abort_cancelled()
                raise
        except BaseException:
            self._release()
            raise
        return self

    def _release(self) -> None:
        if self._held:
            self._held = False
            self._cursor._aconn._lock.release()

    async def _abort_cancelled(self) -> None:
        """After a cancellation: the COPY ended with nothing stored, or the connection
        closed when that cannot be done within the grace."""
        aconn = self._cursor._aconn
        if not self._direction or aconn.closed:
            return
        try:
            await asyncio.wait_for(self._finish("the COPY was cancelled"), CANCEL_GRACE)
        except (asyncio.CancelledError, asyncio.TimeoutError):
            aconn._abandon(None)
        except BaseException:
            if aconn.broken:
                aconn._abandon(None)
        self._direction = 0

    async def _step(self, bits: int) -> None:
        """Waits for the socket in the middle of the COPY; a cancellation ends the COPY
        with nothing stored."""
        aconn = self._cursor._aconn
        try:
            await aconn._socket.wait(bits)
        except asyncio.CancelledError:
            await self._abort_cancelled()
            raise

    async def write(self, data: typing.Union[bytes, bytearray, memoryview, str]) -> None:
        """Sends COPY data (rows may straddle writes)."""
        if self._direction != _COPY_IN:
            raise ProgrammingError("write() needs a COPY ... FROM STDIN")
        if isinstance(data, str):
            data = data.encode("utf-8")
        conn = self._cursor._aconn._conn
        put = _pyztdb.connection._async_copy_put
        poll = _pyztdb.connection._async_poll
        try:
            while put(conn, data):
                bits = poll(conn)
                if bits:
                    await self._step(bits)
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc

    async def write_row(self, row: typing.Sequence[Any]) -> None:
        """Sends one row in COPY's text format (None is NULL)."""
        await self.write(_copy_text_row(row))

    async def read(self) -> bytes:
        """The next chunk of COPY data; b"" after the last."""
        if self._direction == _COPY_IN or not self._direction:
            raise ProgrammingError("read() needs a COPY ... TO STDOUT")
        conn = self._cursor._aconn._conn
        get = _pyztdb.connection._async_copy_get
        while True:
            try:
                chunk = get(conn)
            except _MODULE_ERRORS as exc:
                raise _translated(exc) from exc
            if chunk is None:
                return b""
            if isinstance(chunk, bytes):
                return chunk
            await self._step(chunk)

    def __aiter__(self) -> "AsyncCopy":
        return self

    async def __anext__(self) -> bytes:
        data = await self.read()
        if not data:
            raise StopAsyncIteration
        return data

    async def _finish(self, abort: Optional[str]) -> None:
        aconn = self._cursor._aconn
        conn = aconn._conn
        try:
            while _pyztdb.connection._async_copy_end(conn, abort):
                await aconn._socket.wait(_WAIT_WRITE)
        except _MODULE_ERRORS as exc:
            raise _translated(exc) from exc
        self._direction = 0
        self.rowcount = await aconn._complete(lambda: _pyztdb.connection._async_finish(conn))

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        try:
            if self._cursor._aconn.closed or not self._direction:
                return
            if exc_type is None:
                await self._finish(None)
                self._cursor._cur._count = self.rowcount
            else:
                try:
                    await self._finish("COPY ended by %s" % exc_type.__name__)
                except (_errors.Error, asyncio.CancelledError):
                    pass
        finally:
            self._release()


def _copy_text_field(value: Any) -> str:
    if value is None:
        return "\\N"
    if isinstance(value, bool):
        return "t" if value else "f"
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "\\\\x" + bytes(value).hex()
    text = str(value)
    return (text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")
            .replace("\r", "\\r"))


def _copy_text_row(row: typing.Sequence[Any]) -> bytes:
    return ("\t".join(_copy_text_field(v) for v in row) + "\n").encode("utf-8")
