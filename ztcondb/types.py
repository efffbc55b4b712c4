"""Type constructors and type objects of PEP 249."""
from __future__ import annotations

import datetime
import time
from typing import Any, FrozenSet

Date = datetime.date
Time = datetime.time
Timestamp = datetime.datetime
Binary = bytes


def DateFromTicks(ticks: float) -> datetime.date:
    return Date(*time.localtime(ticks)[:3])


def TimeFromTicks(ticks: float) -> datetime.time:
    return Time(*time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks: float) -> datetime.datetime:
    return Timestamp(*time.localtime(ticks)[:6])


class DBAPITypeObject:
    """Compares equal to every type name of `cursor.description` in its group."""

    def __init__(self, name: str, *type_names: str) -> None:
        self.name = name
        self.values: FrozenSet[str] = frozenset(type_names)

    def __eq__(self, other: Any) -> bool:
        if isinstance(other, DBAPITypeObject):
            return self is other
        return other in self.values

    def __ne__(self, other: Any) -> bool:
        return not self.__eq__(other)

    def __hash__(self) -> int:
        return hash(self.name)

    def __repr__(self) -> str:
        return f"<ztcondb type {self.name}>"


STRING = DBAPITypeObject("STRING", "VARCHAR", "CHAR", "CLOB", "RefCursor")
BINARY = DBAPITypeObject("BINARY", "BINARY", "BLOB")
NUMBER = DBAPITypeObject("NUMBER", "TINYINT", "SMALLINT", "INTEGER", "BIGINT",
                         "FLOAT", "DOUBLE", "NUMERIC")
DATETIME = DBAPITypeObject("DATETIME", "DATE", "TIME", "DATETIME",
                           "INTERVAL YEAR TO MONTH", "INTERVAL DAY TO SECOND")
ROWID = DBAPITypeObject("ROWID", "ROWID")
