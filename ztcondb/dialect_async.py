"""The SQLAlchemy dialect `postgresql+ztcondb_async`, for SQLAlchemy's asyncio extension:
the `postgresql+ztcondb` dialect over ztcondb's AsyncConnection.

    engine = sqlalchemy.ext.asyncio.create_async_engine(
        "postgresql+ztcondb_async://user:pw@host:5432/db")

SQLAlchemy calls a DB-API from inside a greenlet; the adapter below gives it one whose
every call that talks to the server awaits the AsyncConnection (SQLAlchemy's
`await_only`), so the loop is never blocked. Rows are read by the same cursor code as
the synchronous face."""
from __future__ import annotations

import types
import typing
from typing import Any, Dict, List, Optional

# mypy: allow-subclassing-any, disable-error-code="import"
from sqlalchemy import pool
from sqlalchemy.engine import AdaptedConnection
from sqlalchemy.util.concurrency import await_fallback, await_only

from .dialect import ZtcondbDialect, ZtcondbExecutionContext

__all__ = ["ZtcondbAsyncDialect"]


class AsyncAdaptCursor:
    """A DB-API cursor over an AsyncCursor: execute awaits the statement; the rows are
    all received by then, so the fetches read them directly."""

    server_side = False

    def __init__(self, adapt: "AsyncAdaptConnection") -> None:
        self._adapt = adapt
        self.await_ = adapt.await_
        self._cursor = adapt._connection.cursor(*self._cursor_args())
        self.arraysize = 1
        self.lastrowid = None

    def _cursor_args(self) -> List[Any]:
        return []

    @property
    def description(self) -> Any:
        return self._cursor.description

    @property
    def rowcount(self) -> int:
        return int(self._cursor.rowcount)

    def close(self) -> None:
        # The rows are in memory: closing a plain cursor does no I/O (SQLAlchemy may
        # close it outside the greenlet).
        self._cursor._cur.close()

    def execute(self, operation: str, parameters: Optional[typing.Sequence[Any]] = None) -> None:
        self.await_(self._cursor.execute(operation, parameters))

    def executemany(self, operation: str, seq_of_parameters: typing.Sequence[typing.Sequence[Any]]) -> None:
        self.await_(self._cursor.executemany(operation, seq_of_parameters))

    def setinputsizes(self, *inputsizes: Any) -> None:
        pass

    def fetchone(self) -> Any:
        return self._cursor._cur.fetchone()

    def fetchmany(self, size: Optional[int] = None) -> List[Any]:
        return list(self._cursor._cur.fetchmany(size if size is not None else self.arraysize))

    def fetchall(self) -> List[Any]:
        return list(self._cursor._cur.fetchall())

    def __iter__(self) -> Any:
        while True:
            row = self.fetchone()
            if row is None:
                return
            yield row


class AsyncAdaptServerCursor(AsyncAdaptCursor):
    """A server-side cursor: each page is a FETCH awaited on the loop."""

    server_side = True

    def __init__(self, adapt: "AsyncAdaptConnection", name: str) -> None:
        self._name = name
        super().__init__(adapt)

    def _cursor_args(self) -> List[Any]:
        return [self._name]

    def close(self) -> None:
        self.await_(self._cursor.close())

    def fetchone(self) -> Any:
        return self.await_(self._cursor.fetchone())

    def fetchmany(self, size: Optional[int] = None) -> List[Any]:
        return list(self.await_(self._cursor.fetchmany(size if size is not None
                                                        else self.arraysize)))

    def fetchall(self) -> List[Any]:
        return list(self.await_(self._cursor.fetchall()))


class AsyncAdaptConnection(AdaptedConnection):
    """A DB-API connection over an AsyncConnection."""

    def await_(self, awaitable: Any) -> Any:
        """Waits for awaitable from inside SQLAlchemy's greenlet."""
        return await_only(awaitable)

    def __init__(self, dbapi: "AsyncAdaptDbapi", connection: Any) -> None:
        self.dbapi = dbapi
        self._connection = connection

    @property
    def autocommit(self) -> bool:
        return bool(self._connection.autocommit)

    @autocommit.setter
    def autocommit(self, value: bool) -> None:
        self.await_(self._connection.set_autocommit(value))

    def cursor(self, name: Optional[str] = None) -> AsyncAdaptCursor:
        if name:
            return AsyncAdaptServerCursor(self, name)
        return AsyncAdaptCursor(self)

    def commit(self) -> None:
        self.await_(self._connection.commit())

    def rollback(self) -> None:
        self.await_(self._connection.rollback())

    def close(self) -> None:
        self.await_(self._connection.close())

    @property
    def closed(self) -> bool:
        return bool(self._connection.closed)


class AsyncAdaptFallbackConnection(AsyncAdaptConnection):
    """The same, for code that runs it outside an event loop (async_fallback=true)."""

    def await_(self, awaitable: Any) -> Any:
        return await_fallback(awaitable)


class AsyncAdaptDbapi:
    """The DB-API module SQLAlchemy sees: ztcondb's names, and connect() opening an
    AsyncConnection."""

    def __init__(self, ztcondb: types.ModuleType) -> None:
        self.ztcondb = ztcondb
        self.paramstyle = "qmark"
        for name in ("Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
                     "OperationalError", "IntegrityError", "InternalError",
                     "ProgrammingError", "NotSupportedError", "STRING", "BINARY",
                     "NUMBER", "DATETIME", "ROWID", "Binary", "Date", "Time", "Timestamp",
                     "apilevel", "threadsafety"):
            setattr(self, name, getattr(ztcondb, name))

    def connect(self, *args: Any, async_fallback: Any = False, **kwargs: Any) -> Any:
        from .aio import AsyncConnection
        if str(async_fallback).lower() in ("true", "1"):
            return AsyncAdaptFallbackConnection(
                self, await_fallback(AsyncConnection.connect(*args, **kwargs)))
        return AsyncAdaptConnection(self, await_only(AsyncConnection.connect(*args, **kwargs)))


class ZtcondbAsyncExecutionContext(ZtcondbExecutionContext):
    pass


class ZtcondbAsyncDialect(ZtcondbDialect):
    """SQLAlchemy's PostgreSQL dialect over ztcondb's asyncio face."""

    driver = "ztcondb_async"
    is_async = True
    supports_statement_cache = True
    execution_ctx_cls: Any = ZtcondbAsyncExecutionContext

    @classmethod
    def dbapi(cls) -> Any:
        import ztcondb
        return AsyncAdaptDbapi(ztcondb)

    @classmethod
    def import_dbapi(cls) -> Any:
        return cls.dbapi()

    @classmethod
    def get_pool_class(cls, url: Any) -> Any:
        if str(url.query.get("async_fallback", "")).lower() in ("true", "1"):
            return pool.FallbackAsyncAdaptedQueuePool
        return pool.AsyncAdaptedQueuePool

    def get_driver_connection(self, connection: Any) -> Any:
        return connection._connection

    def create_connect_args(self, url: Any) -> Any:
        args, opts = super().create_connect_args(url)
        kwargs: Dict[str, Any] = dict(opts)
        return args, kwargs


dialect = ZtcondbAsyncDialect
