"""Type constructors and type objects of PEP 249, and the server's types: `TypeInfo`
(with `RangeInfo`, `MultirangeInfo`, `CompositeInfo`, `EnumInfo`) and the modules
`json`, `range`, `hstore`, `composite` and `enum`."""
from __future__ import annotations

import datetime
import time
from typing import Any, FrozenSet, Optional, Tuple

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


class TypeInfo:
    """A server type as the catalog describes it: `name`, `oid`, `array_oid`,
    `regtype` (its name as SQL writes it) and the `delimiter` of its arrays' text.
    `TypeInfo.fetch(conn, name)` looks it up (None when there is no such type);
    `register(context)` makes arrays of it read with the element loader registered for
    it (in the global map, a connection's or a cursor's)."""

    _query = ("SELECT t.typname, t.oid::int8, t.typarray::int8, "
              "format_type(t.oid, NULL), t.typdelim::text%s "
              "FROM pg_catalog.pg_type t%s WHERE t.oid = to_regtype(?)")
    _extra_columns = ""
    _extra_joins = ""

    def __init__(self, name: str, oid: int, array_oid: int, *, regtype: str = "",
                 delimiter: str = ",") -> None:
        self.name = name
        self.oid = oid
        self.array_oid = array_oid
        self.regtype = regtype or name
        self.delimiter = delimiter

    def __repr__(self) -> str:
        return "<%s: %s (oid: %s, array oid: %s)>" % (
            type(self).__name__, self.name, self.oid, self.array_oid)

    @classmethod
    def fetch(cls, conn: Any, name: Any) -> Optional["TypeInfo"]:
        """The type named `name` (a str, possibly schema-qualified, or a
        ztcondb.sql.Identifier-like object whose str() is its name), or None."""
        text = name if isinstance(name, str) else str(name)
        cur = conn.cursor()
        try:
            cur.execute(cls._query % (cls._extra_columns, cls._extra_joins), [text])
            row = cur.fetchone()
            if row is None or row[1] is None:
                return None
            info = cls(row[0], int(row[1]), int(row[2] or 0), regtype=row[3],
                       delimiter=row[4] or ",")
            info._fetch_more(cur, tuple(row[5:]))
            return info
        finally:
            cur.close()

    def _fetch_more(self, cur: Any, extra: Tuple[Any, ...]) -> None:
        """What a subclass reads beyond the type itself."""

    def register(self, context: Any = None) -> None:
        from ..adapt import context_map
        context_map(context)._add_type(self)


class RangeInfo(TypeInfo):
    """A range type, with the type of its bounds (`subtype_oid`)."""

    _extra_columns = ", r.rngsubtype::int8"
    _extra_joins = " JOIN pg_catalog.pg_range r ON r.rngtypid = t.oid"
    subtype_oid = 0

    def _fetch_more(self, cur: Any, extra: Tuple[Any, ...]) -> None:
        self.subtype_oid = int(extra[0])


class MultirangeInfo(TypeInfo):
    """A multirange type, with its range type and the range's bound type."""

    _extra_columns = ", r.rngtypid::int8, r.rngsubtype::int8"
    _extra_joins = " JOIN pg_catalog.pg_range r ON r.rngmultitypid = t.oid"
    range_oid = 0
    subtype_oid = 0

    def _fetch_more(self, cur: Any, extra: Tuple[Any, ...]) -> None:
        self.range_oid, self.subtype_oid = int(extra[0]), int(extra[1])


from .composite import CompositeInfo  # noqa: E402  (uses TypeInfo)
from .enum import EnumInfo  # noqa: E402

__all__ = ["Date", "Time", "Timestamp", "Binary", "DateFromTicks", "TimeFromTicks",
           "TimestampFromTicks", "DBAPITypeObject", "STRING", "BINARY", "NUMBER", "DATETIME",
           "ROWID", "TypeInfo", "RangeInfo", "MultirangeInfo", "CompositeInfo", "EnumInfo"]
