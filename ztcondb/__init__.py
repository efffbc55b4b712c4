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
changes take effect at `commit()`. `conn.autocommit(True)` switches it back on.
"""
from __future__ import annotations

import _pyztdb

from .connection import Connection
from .cursor import Cursor
from .types import (BINARY, DATETIME, NUMBER, ROWID, STRING, Binary, Date,
                    DateFromTicks, Time, TimeFromTicks, Timestamp,
                    TimestampFromTicks)

__version__ = "2.3.1"

apilevel = "2.0"
threadsafety = 1
paramstyle = "qmark"

Error = _pyztdb.Error
Warning = _pyztdb.Warning
InterfaceError = _pyztdb.InterfaceError
DatabaseError = _pyztdb.DatabaseError
DataError = _pyztdb.DataError
OperationalError = _pyztdb.OperationalError
IntegrityError = _pyztdb.IntegrityError
InternalError = _pyztdb.InternalError
ProgrammingError = _pyztdb.ProgrammingError
NotSupportedError = _pyztdb.NotSupportedError

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor",
    "Error", "Warning", "InterfaceError", "DatabaseError", "DataError",
    "OperationalError", "IntegrityError", "InternalError", "ProgrammingError",
    "NotSupportedError", "Date", "Time", "Timestamp", "DateFromTicks",
    "TimeFromTicks", "TimestampFromTicks", "Binary", "STRING", "BINARY", "NUMBER",
    "DATETIME", "ROWID",
]


def connect(host: str = "127.0.0.1", port: int = 5432, database: str = "postgres",
            user: str = "postgres", password: str = "", charset: str = "UTF8") -> Connection:
    """Opens a session. `host` may hold a comma-separated list of hosts: the first
    that accepts a session is used (every host with the same port). Autocommit is
    switched off, as PEP 249 expects: call `commit()` to keep changes."""
    conn = Connection(host, port, database, user, password, charset, "0")
    conn.autocommit(False)
    return conn
