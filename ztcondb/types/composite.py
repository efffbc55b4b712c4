"""Composite types: `CompositeInfo.fetch(conn, name)` reads a composite type's fields;
`register_composite(info, context, factory)` reads its values as `factory(*fields)` (a
named tuple of the field names by default) and sends instances of the factory, when it
is a class, as the type."""
from __future__ import annotations

import datetime
import decimal
import uuid
from collections import namedtuple
import typing
from typing import Any, Callable, Dict, List, Optional, Tuple

from ..adapt import Dumper, Loader, context_map
from . import TypeInfo

__all__ = ["CompositeInfo", "register_composite"]


class CompositeInfo(TypeInfo):
    """A composite type with its `field_names` and `field_types` (OIDs)."""

    _extra_columns = (", (SELECT array_agg(a.attname::text ORDER BY a.attnum) "
                      "FROM pg_catalog.pg_attribute a WHERE a.attrelid = t.typrelid "
                      "AND a.attnum > 0 AND NOT a.attisdropped), "
                      "(SELECT array_agg(a.atttypid::int8 ORDER BY a.attnum) "
                      "FROM pg_catalog.pg_attribute a WHERE a.attrelid = t.typrelid "
                      "AND a.attnum > 0 AND NOT a.attisdropped)")
    field_names: Tuple[str, ...] = ()
    field_types: Tuple[int, ...] = ()
    python_type: Optional[Callable[..., Any]] = None

    def _fetch_more(self, cur: Any, extra: Tuple[Any, ...]) -> None:
        if extra[0] is None:
            raise TypeError("%s is not a composite type" % self.name)
        self.field_names = tuple(extra[0])
        self.field_types = tuple(int(t) for t in extra[1])


def _bool(text: str) -> bool:
    return text == "t"


# How a field's text becomes its Python value, by the field's type; any other is a str.
_FIELD_READERS: Dict[int, Callable[[str], Any]] = {
    16: _bool, 20: int, 21: int, 23: int, 26: int, 700: float, 701: float,
    1700: decimal.Decimal, 2950: uuid.UUID, 1082: datetime.date.fromisoformat,
}


def parse_record(text: str) -> List[Optional[str]]:
    """The fields of a record's text form "(a,"b c",,NULL)": texts, None for empty."""
    if len(text) < 2 or text[0] != "(" or text[-1] != ")":
        raise ValueError("bad record text: %r" % text[:40])
    fields: List[Optional[str]] = []
    at, end = 1, len(text) - 1
    while True:
        if at < end and text[at] == '"':
            chars = []
            at += 1
            while at < end:
                c = text[at]
                if c == '"' and text[at + 1:at + 2] == '"':
                    chars.append('"')
                    at += 2
                elif c == '"':
                    at += 1
                    break
                elif c == "\\":
                    chars.append(text[at + 1])
                    at += 2
                else:
                    chars.append(c)
                    at += 1
            fields.append("".join(chars))
        else:
            comma = text.find(",", at, end)
            stop = end if comma < 0 else comma
            fields.append(text[at:stop] or None)
            at = stop
        if at >= end:
            return fields
        at += 1   # the comma
        if at == end:
            fields.append(None)
            return fields


def _field_text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "t" if value else "f"
    text = str(value)
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


class _CompositeLoader(Loader):
    readers: List[Callable[[str], Any]] = []
    make: Callable[..., Any] = tuple
    type_name = ""

    def load(self, data: bytes) -> Any:
        fields = parse_record(bytes(data).decode())
        if len(fields) != len(self.readers):
            raise ValueError("%d fields read for %s, which has %d"
                             % (len(fields), self.type_name, len(self.readers)))
        return type(self).make(*[None if f is None else r(f)
                                 for r, f in zip(self.readers, fields)])


class _CompositeDumper(Dumper):
    def dump(self, obj: typing.Sequence[Any]) -> bytes:
        return ("(%s)" % ",".join(_field_text(v) for v in obj)).encode()


def register_composite(info: CompositeInfo, context: Any = None,
                       factory: Optional[Callable[..., Any]] = None) -> None:
    """Reads the composite type `info` as factory(*fields) (a named tuple by default)
    and, when the factory is a class, sends its instances as that type."""
    if info is None:
        raise TypeError("no composite type given (TypeInfo.fetch found none?)")
    make_tuple: Any = namedtuple   # the functional form, which mypy does not follow
    make: Callable[..., Any] = factory if factory is not None else make_tuple(
        info.name, info.field_names)
    info.python_type = make
    target = context_map(context)
    info.register(target)
    target.register_loader(info.oid, type("CompositeLoader", (_CompositeLoader,), {
        "readers": [_FIELD_READERS.get(t, str) for t in info.field_types],
        "make": staticmethod(make), "type_name": info.name}))
    if isinstance(make, type):
        target.register_dumper(make, type("CompositeDumper", (_CompositeDumper,),
                                          {"oid": info.oid}))
