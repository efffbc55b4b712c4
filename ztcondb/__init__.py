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

from typing import Any, Dict, Optional, Union, cast

import _pyztdb

from .connargs import HostArg, PortArg, connection_arguments, is_dsn
from .connection import Connection
from .cursor import Cursor, NamedCursor
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
    "NamedCursor",
    "Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError", "Date", "Time", "Timestamp", "DateFromTicks",
    "TimeFromTicks", "TimestampFromTicks", "Binary", "STRING", "BINARY", "NUMBER",
    "DATETIME", "ROWID", "read_frame", "write_frame",
]


def connect(dsn: Optional[str] = None, port: PortArg = None, database: Optional[str] = None,
            user: Optional[str] = None, password: Optional[str] = None, charset: str = "UTF8",
            *, host: HostArg = None, dbname: Optional[str] = None,
            sslmode: Optional[str] = None, connect_timeout: Union[int, str, None] = None,
            options: Optional[str] = None, application_name: Optional[str] = None,
            target_session_attrs: Optional[str] = None,
            prepare_threshold: Optional[int] = 2,
            load_balance_hosts: Optional[str] = None) -> Connection:
    """Opens a session.

    `dsn` is a libpq connection string ("host=db1 dbname=app") or URI
    ("postgresql://app@db1:5432/app"), or, as before, a plain host name. Keywords given
    here override the DSN's values; what neither gives comes from libpq's environment
    variables (PGHOST, PGPORT, PGDATABASE, PGUSER, PGPASSWORD, PGSSLMODE, ...),
    ~/.pgpass and libpq's defaults. `host` may be a comma-separated list (or a list) of
    hosts and `port` one port or one per host; with `target_session_attrs`
    ("read-write", "read-only", "primary", "standby", "prefer-standby", "any") the
    first host whose session fits is used. Autocommit is switched off, as PEP 249
    expects: call `commit()` to keep changes. `prepare_threshold` is the number of runs
    of a statement before it is prepared on the server (0: at once); None never prepares
    and creates no named server statement at all, as a pooler in transaction mode needs.
    `load_balance_hosts="random"` tries the hosts in a random order (each keeping its
    port), so that sessions spread over them; "disable" (the default) keeps the order."""
    if load_balance_hosts is not None:
        if host is None and isinstance(dsn, str) and not is_dsn(dsn):
            host, dsn = dsn, None   # a host name (list) as first argument
        host, port = spread_hosts(load_balance_hosts, dsn, host, port)
    settings = {key: value for key, value in (
        ("host", host), ("dbname", dbname), ("sslmode", sslmode),
        ("connect_timeout", connect_timeout), ("options", options),
        ("application_name", application_name),
        ("target_session_attrs", target_session_attrs)) if value is not None}
    values, extra = connection_arguments(dsn, port, database, user, password, charset,
                                         settings)
    conn = Connection(*values, **cast(Dict[str, Any], extra))
    # Kept for read_frame's partitions, which open sessions of their own alike.
    conn._connect_args = (values, extra)
    if prepare_threshold != conn.prepare_threshold:
        try:
            conn.prepare_threshold = prepare_threshold
        except BaseException:
            conn.close()
            raise
    conn.autocommit = False
    return conn
