"""ztcondb: a DB-API 2.0 (PEP 249) driver over the `_pyztdb` extension module.

    import ztcondb
    conn = ztcondb.connect(host="127.0.0.1", port=5432, database="postgres",
                           user="postgres", password="")
    with conn.cursor() as cur:
        cur.execute("select 1 + ?", (41,))
        print(cur.fetchone())
    conn.commit()
    conn.close()

Transactions are on by default: `connect` switches the session's autocommit off, so
changes take effect at `commit()`. `conn.autocommit = True` switches it back on.
`with conn:` commits when the block succeeds, rolls back when it raises, then closes.
"""
from __future__ import annotations

from typing import Any, Callable, Dict, Optional, Type, Union, cast

import _pyztdb

from . import adapt, pq, types
from .adapt import adapters
from .connargs import HostArg, PortArg, connection_arguments, is_dsn, with_libpq_keywords
from .connection import Connection, ConnectionClosed
from .info import ConnectionInfo
from .transaction import IsolationLevel, Rollback, Transaction
from .cursor import ClientCursor, Column, Cursor, NamedCursor
from .spread import spread_hosts
from .frame import read_frame, write_frame
from .errors import (DatabaseError, DataError, Error, IntegrityError, InterfaceError,
                     InternalError, NotSupportedError, OperationalError, ProgrammingError,
                     Warning)
from .types import (BINARY, DATETIME, NUMBER, ROWID, STRING, Binary, Date,
                    DateFromTicks, Time, TimeFromTicks, Timestamp,
                    TimestampFromTicks)

# "ztcondb version X": the module carries the version pyproject.toml gives the build.
__version__ = _pyztdb.version().rpartition(" ")[2]

apilevel = "2.0"
# Threads may share the module and connections: the calls of one connection take turns.
threadsafety = 2
paramstyle = "qmark"

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor",
    "NamedCursor", "ClientCursor", "Column",
    "Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError", "Date", "Time", "Timestamp", "DateFromTicks",
    "TimeFromTicks", "TimestampFromTicks", "Binary", "STRING", "BINARY", "NUMBER",
    "DATETIME", "ROWID", "read_frame", "write_frame", "ConnectionInfo", "IsolationLevel",
    "Rollback", "Transaction", "ConnectionClosed", "pq", "adapt", "adapters", "types",
]


def connect(conninfo: Optional[str] = None, port: PortArg = None,
            database: Optional[str] = None, user: Optional[str] = None,
            password: Optional[str] = None, charset: str = "UTF8", *,
            autocommit: bool = False, row_factory: Optional[Callable[..., Any]] = None,
            prepare_threshold: Optional[int] = 2,
            cursor_factory: Optional[Type[Cursor]] = None,
            host: HostArg = None, dbname: Optional[str] = None,
            sslmode: Optional[str] = None, connect_timeout: Union[int, str, None] = None,
            options: Optional[str] = None, application_name: Optional[str] = None,
            target_session_attrs: Optional[str] = None,
            load_balance_hosts: Optional[str] = None, dsn: Optional[str] = None,
            **kwargs: Union[None, int, str]) -> Connection:
    """Opens a session.

    `conninfo` (also `dsn=`) is a libpq connection string ("host=db1 dbname=app") or URI
    ("postgresql://app@db1:5432/app"), or, as before, a plain host name. Keywords given
    here override its values; any other libpq keyword (`keepalives=1`,
    `sslrootcert=...`) may be given too; None values are left out. What none of them
    gives comes from libpq's environment variables (PGHOST, PGPORT, PGDATABASE, PGUSER,
    PGPASSWORD, PGSSLMODE, ...), ~/.pgpass and libpq's defaults. `host` may be a
    comma-separated list (or a list) of hosts and `port` one port or one per host; with
    `target_session_attrs` ("read-write", "read-only", "primary", "standby",
    "prefer-standby", "any") the first host whose session fits is used.

    Autocommit is off unless `autocommit=True`: call `commit()` (or use
    `conn.transaction()`) to keep changes. `row_factory` (ztcondb.rows) shapes the rows
    of the connection's cursors. `prepare_threshold` is the number of runs of a
    statement before it is prepared on the server (0: at once); None never prepares and
    creates no named server statement at all, as a pooler in transaction mode needs.
    `load_balance_hosts="random"` tries the hosts in a random order (each keeping its
    port), so that sessions spread over them; "disable" (the default) keeps the order."""
    if dsn is not None:
        if conninfo is not None:
            raise TypeError("connect() got both a conninfo and dsn=")
        conninfo = dsn
    if isinstance(conninfo, str) and not conninfo.strip():
        conninfo = None
    if kwargs:
        conninfo, host = with_libpq_keywords(conninfo, host, kwargs)
    if load_balance_hosts is not None:
        if host is None and isinstance(conninfo, str) and not is_dsn(conninfo):
            host, conninfo = conninfo, None   # a host name (list) as first argument
        host, port = spread_hosts(load_balance_hosts, conninfo, host, port)
    settings = {key: value for key, value in (
        ("host", host), ("dbname", dbname), ("sslmode", sslmode),
        ("connect_timeout", connect_timeout), ("options", options),
        ("application_name", application_name),
        ("target_session_attrs", target_session_attrs)) if value is not None}
    values, extra = connection_arguments(conninfo, port, database, user, password, charset,
                                         settings)
    if cursor_factory is not None and not (isinstance(cursor_factory, type)
                                           and issubclass(cursor_factory, Cursor)):
        raise TypeError("connect() argument 'cursor_factory' must be a subclass of "
                        "ztcondb.Cursor")
    conn = Connection(*values, **cast(Dict[str, Any], extra))
    # Kept for read_frame's partitions, which open sessions of their own alike.
    conn._connect_args = (values, extra)
    try:
        if prepare_threshold != conn.prepare_threshold:
            conn.prepare_threshold = prepare_threshold
        if row_factory is not None:
            conn.row_factory = row_factory
        if cursor_factory is not None:
            conn.cursor_factory = cursor_factory
        conn.autocommit = bool(autocommit)
    except BaseException:
        conn.close()
        raise
    return conn


# The asyncio face (ztcondb.aio), loaded with asyncio only when one of its names is used.
_ASYNC_NAMES = frozenset(("AsyncConnection", "AsyncCursor", "AsyncServerCursor",
                          "AsyncTransaction", "AsyncCopy"))


def __getattr__(name: str) -> Any:
    if name in _ASYNC_NAMES:
        from . import aio
        return getattr(aio, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
