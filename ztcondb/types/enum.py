"""Enums: an enum column reads as its label (a str) until the type is registered;
`register_enum(info, context, enum)` reads it as the members of a Python Enum (one made
from the labels when none is given) and sends those members as the type."""
from __future__ import annotations

from enum import Enum
from typing import Any, Dict, Optional, Tuple, Type

from ..adapt import Dumper, Loader, context_map
from . import TypeInfo

__all__ = ["EnumInfo", "register_enum"]


class EnumInfo(TypeInfo):
    """An enum type with its `labels` in their order."""

    _extra_columns = (", (SELECT array_agg(e.enumlabel::text ORDER BY e.enumsortorder) "
                      "FROM pg_catalog.pg_enum e WHERE e.enumtypid = t.oid)")
    labels: Tuple[str, ...] = ()
    enum: Optional[Type[Enum]] = None

    def _fetch_more(self, cur: Any, extra: Tuple[Any, ...]) -> None:
        if extra[0] is None:
            raise TypeError("%s is not an enum type" % self.name)
        self.labels = tuple(extra[0])


def register_enum(info: EnumInfo, context: Any = None, enum: Optional[Type[Enum]] = None,
                  *, mapping: Optional[Dict[Any, str]] = None) -> None:
    """Reads the enum `info` as members of `enum` (by name, or by `mapping` of member
    to label) and sends those members as labels of the type."""
    if info is None:
        raise TypeError("no enum type given (TypeInfo.fetch found none?)")
    if enum is None:
        enum = Enum(info.name.title(), [(label, label) for label in info.labels])  # type: ignore[misc]
    info.enum = enum
    to_label: Dict[Any, str] = {member: member.name for member in enum}
    if mapping:
        to_label.update(mapping)
    from_label = {label.encode(): member for member, label in to_label.items()}

    class _EnumLoader(Loader):
        def load(self, data: bytes) -> Any:
            try:
                return from_label[bytes(data)]
            except KeyError:
                raise ValueError("the label %r is not a member of %s"
                                 % (bytes(data).decode(), enum.__name__)) from None

    class _EnumDumper(Dumper):
        oid = info.oid

        def dump(self, obj: Any) -> bytes:
            return to_label[obj].encode()

    target = context_map(context)
    info.register(target)
    target.register_loader(info.oid, _EnumLoader)
    target.register_dumper(enum, _EnumDumper)
