"""Enums: an enum column reads as its label (a str) until the type is registered;
`register_enum(info, context, enum)` reads it as the members of a Python Enum (one made
from the labels when none is given) and sends those members as the type."""
from __future__ import annotations

import enum as _enum
from typing import Any, Dict, Optional, Tuple, Type

from ..adapt import Dumper, Loader, context_map
from . import TypeInfo

__all__ = ["EnumInfo", "register_enum"]


class EnumInfo(TypeInfo):
    """An enum type with its `labels` in their order."""

    _extra_columns = (", (SELECT array_agg(e.enumlabel::text ORDER BY e.enumsortorder) "
                      "FROM pg_catalog.pg_enum e WHERE e.enumtypid = t.oid)")
    labels: Tuple[str, ...] = ()
    enum: Optional[Type[_enum.Enum]] = None

    def _fetch_more(self, cur: Any, extra: Tuple[Any, ...]) -> None:
        if extra[0] is None:
            raise TypeError("%s is not an enum type" % self.name)
        self.labels = tuple(extra[0])


class _EnumLoader(Loader):
    members: Dict[bytes, Any] = {}
    enum_name = ""

    def load(self, data: bytes) -> Any:
        try:
            return self.members[bytes(data)]
        except KeyError:
            raise ValueError("the label %r is not a member of %s"
                             % (bytes(data).decode(), self.enum_name)) from None


class _EnumDumper(Dumper):
    labels: Dict[Any, str] = {}

    def dump(self, obj: Any) -> bytes:
        return self.labels[obj].encode()


def register_enum(info: EnumInfo, context: Any = None, enum: Optional[Type[_enum.Enum]] = None,
                  *, mapping: Optional[Dict[Any, str]] = None) -> None:
    """Reads the enum `info` as members of `enum` (by name, or by `mapping` of member
    to label) and sends those members as labels of the type."""
    if info is None:
        raise TypeError("no enum type given (TypeInfo.fetch found none?)")
    make_enum: Any = _enum.Enum   # the functional form, which mypy does not follow
    members: Type[_enum.Enum] = enum if enum is not None else make_enum(
        info.name.title(), [(label, label) for label in info.labels])
    info.enum = members
    to_label: Dict[Any, str] = {member: member.name for member in members}
    if mapping:
        to_label.update(mapping)
    from_label = {label.encode(): member for member, label in to_label.items()}
    target = context_map(context)
    info.register(target)
    target.register_loader(info.oid, type("EnumLoader", (_EnumLoader,), {
        "members": from_label, "enum_name": members.__name__}))
    target.register_dumper(members, type("EnumDumper", (_EnumDumper,), {
        "oid": info.oid, "labels": to_label}))
