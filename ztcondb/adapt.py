"""Adapting Python values to PostgreSQL types and back: `Dumper`, `Loader` and the
`AdaptersMap` that holds them.

There is one map for the whole process (`ztcondb.adapters`), one per connection
(`conn.adapters`, a copy of the global map taken when the connection opens) and one per
cursor (`cur.adapters`, a copy of its connection's map taken the first time it is read).
A change made in one context never reaches another.

json/jsonb, arrays, uuid, inet/cidr, ranges and multiranges are read and written in C
by the driver itself; a loader registered for a type (by OID or name) is called for the
columns of that type, and for the elements of arrays of it; a dumper registered for a
Python class is called for the parameters of that class (or a subclass), and decides
their server type (`oid`)."""
from __future__ import annotations

import json
from typing import Any, Callable, Dict, Optional, Type, Union

__all__ = ["Dumper", "Loader", "AdaptersMap", "Format", "PyFormat"]


class Format:
    """The form a value travels in: TEXT (0) or BINARY (1)."""

    TEXT = 0
    BINARY = 1


class PyFormat:
    """psycopg's placeholder formats, kept for code that names them."""

    AUTO = "s"
    TEXT = "t"
    BINARY = "b"


class Dumper:
    """Turns Python objects of one class into the bytes of a PostgreSQL value.

    Subclasses set `oid` (0: the server infers the type) and define `dump(obj)`, which
    returns bytes (or str), or None for NULL."""

    oid: int = 0
    format: int = Format.TEXT

    def __init__(self, cls: type, context: Any = None) -> None:
        self.cls = cls
        self.connection = _connection_of(context)

    def dump(self, obj: Any) -> Union[bytes, str, None]:
        raise NotImplementedError

    def quote(self, obj: Any) -> bytes:
        """The value as an SQL literal (text form dumpers only)."""
        value = self.dump(obj)
        if value is None:
            return b"NULL"
        text = value.decode() if isinstance(value, (bytes, bytearray)) else str(value)
        return ("'%s'" % text.replace("'", "''")).encode()


class Loader:
    """Turns the bytes of a PostgreSQL value (its text form) into a Python object.

    Subclasses define `load(data)`, given the value's bytes (never for NULL)."""

    format: int = Format.TEXT

    def __init__(self, oid: int, context: Any = None) -> None:
        self.oid = oid
        self.connection = _connection_of(context)

    def load(self, data: bytes) -> Any:
        raise NotImplementedError


def _connection_of(context: Any) -> Any:
    if context is None:
        return None
    conn = getattr(context, "connection", None)
    return conn if conn is not None else context


# Built-in type names a loader may be registered by (psycopg's names and aliases).
_BUILTIN_OIDS: Dict[str, int] = {
    "bool": 16, "boolean": 16, "bytea": 17, "char": 18, "name": 19, "int8": 20,
    "bigint": 20, "int2": 21, "smallint": 21, "int4": 23, "integer": 23, "text": 25,
    "oid": 26, "json": 114, "xml": 142, "point": 600, "float4": 700, "real": 700,
    "float8": 701, "double precision": 701, "money": 790, "macaddr": 829, "inet": 869,
    "cidr": 650, "bpchar": 1042, "varchar": 1043, "character varying": 1043,
    "date": 1082, "time": 1083, "timestamp": 1114, "timestamptz": 1184,
    "interval": 1186, "timetz": 1266, "bit": 1560, "varbit": 1562, "numeric": 1700,
    "uuid": 2950, "jsonb": 3802, "int4range": 3904, "numrange": 3906,
    "tsrange": 3908, "tstzrange": 3910, "daterange": 3912, "int8range": 3926,
}

JsonLoads = Callable[[Union[str, bytes]], Any]
JsonDumps = Callable[[Any], Union[str, bytes]]


class AdaptersMap:
    """Loaders by type OID and dumpers by Python class for one context; made from a
    template map, whose tables it copies."""

    def __init__(self, template: Optional["AdaptersMap"] = None, context: Any = None) -> None:
        # The tables the C side reads: loaders by OID, dumpers by class, element types of
        # registered arrays, json functions, and the context adapters are made with.
        self._context = context
        if template is None:
            self._loaders: Dict[int, Type[Loader]] = {}
            self._dumpers: Dict[type, Type[Dumper]] = {}
            self._elements: Dict[int, int] = {}
            self._json_loads: JsonLoads = json.loads
            self._json_dumps: JsonDumps = json.dumps
            self._types: Dict[str, Any] = {}
        else:
            self._loaders = dict(template._loaders)
            self._dumpers = dict(template._dumpers)
            self._elements = dict(template._elements)
            self._json_loads = template._json_loads
            self._json_dumps = template._json_dumps
            self._types = dict(template._types)

    def __repr__(self) -> str:
        return "<ztcondb.adapt.AdaptersMap %d loaders, %d dumpers>" % (
            len(self._loaders), len(self._dumpers))

    @property
    def connection(self) -> Any:
        return _connection_of(self._context)

    def register_dumper(self, cls: type, dumper: Type[Dumper]) -> None:
        """Sends parameters of class `cls` (and its subclasses) through `dumper`."""
        if not isinstance(cls, type):
            raise TypeError("dumpers are registered for a class, not %r" % (cls,))
        if not (isinstance(dumper, type) and issubclass(dumper, Dumper)):
            raise TypeError("dumper must be a Dumper subclass, not %r" % (dumper,))
        self._dumpers[cls] = dumper

    def register_loader(self, oid: Union[int, str], loader: Type[Loader]) -> None:
        """Reads values of the type `oid` (an OID, or a type name known to this map:
        a built-in one or one whose TypeInfo was registered) with `loader`."""
        if not (isinstance(loader, type) and issubclass(loader, Loader)):
            raise TypeError("loader must be a Loader subclass, not %r" % (loader,))
        self._loaders[self._oid_of(oid)] = loader

    def get_dumper(self, cls: type, format: Any = None) -> Optional[Type[Dumper]]:
        """The dumper registered for cls or its nearest base class, None when none."""
        for base in cls.__mro__:
            if base in self._dumpers:
                return self._dumpers[base]
        return None

    def get_loader(self, oid: int, format: Any = None) -> Optional[Type[Loader]]:
        return self._loaders.get(oid)

    def _oid_of(self, oid: Union[int, str]) -> int:
        if isinstance(oid, bool) or not isinstance(oid, (int, str)):
            raise TypeError("a type is named by its OID or its name, not %r" % (oid,))
        if isinstance(oid, int):
            if not 0 < oid < 2 ** 32:
                raise ValueError("%d is not a type OID" % oid)
            return oid
        info = self._types.get(oid)
        if info is not None:
            return int(info.oid)
        if oid in _BUILTIN_OIDS:
            return _BUILTIN_OIDS[oid]
        raise KeyError("the type %r is not known here: fetch it with "
                       "ztcondb.types.TypeInfo.fetch(conn, %r) and register it" % (oid, oid))

    def _add_type(self, info: Any) -> None:
        """Records a fetched type: its name, and its array's element type."""
        self._types[info.name] = info
        if getattr(info, "regtype", None):
            self._types[info.regtype] = info
        if info.array_oid:
            self._elements[int(info.array_oid)] = int(info.oid)

    @property
    def types(self) -> Dict[str, Any]:
        """The TypeInfo objects registered in this map, by name."""
        return self._types


def context_map(context: Any) -> AdaptersMap:
    """The map of a context: None for the global map, a connection or a cursor."""
    if context is None:
        return adapters
    if isinstance(context, AdaptersMap):
        return context
    found = getattr(context, "adapters", None)
    if not isinstance(found, AdaptersMap):
        raise TypeError("%r has no adapters map" % (context,))
    return found


# The process's map: every new connection starts from a copy of it.
adapters = AdaptersMap()
