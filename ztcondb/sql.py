"""Composing SQL statements from parts safely: `SQL` (text taken as it is), `Identifier`
(a name, quoted), `Literal` (a value, quoted), `Placeholder` (%s or %(name)s) and
`Composed` (a sequence of them).

    from ztcondb import sql
    query = sql.SQL("select {} from {} where id = {}").format(
        sql.Identifier("name"), sql.Identifier("app", "users"), sql.Placeholder())
    cur.execute(query, (42,))

Values and names are quoted by the server's rules on the client: identifiers in double
quotes (a quote doubled), texts as string constants that read the same whatever
`standard_conforming_strings` says (with a backslash: an E'' constant, the backslash
doubled), in the session's encoding (UTF-8: ztcondb keeps every session in UTF-8). A
text holding a zero character cannot be sent and is refused.
"""
from __future__ import annotations

import datetime
import decimal
import math
import string
import typing
import uuid
from typing import Any, Callable, Dict, List, Optional, Type

from .errors import DataError

__all__ = ["Composable", "Composed", "SQL", "Identifier", "Literal", "Placeholder",
           "quote", "NULL", "DEFAULT"]


class Composable:
    """Base of the parts of a statement: as_string() gives the text it stands for."""

    def __init__(self, obj: Any) -> None:
        self._obj = obj

    def __repr__(self) -> str:
        return "%s(%r)" % (type(self).__name__, self._obj)

    def as_string(self, context: Any = None) -> str:
        """The SQL text; `context` (a connection or cursor, or None) is accepted for
        psycopg's callers: the quoting rules do not depend on it."""
        raise NotImplementedError

    def as_bytes(self, context: Any = None) -> bytes:
        """as_string() in the session's encoding (UTF-8)."""
        return self.as_string(context).encode("utf-8")

    def __add__(self, other: "Composable") -> "Composed":
        if isinstance(other, Composed):
            return Composed([self, *other._obj])
        if isinstance(other, Composable):
            return Composed([self, other])
        return NotImplemented

    def __mul__(self, n: int) -> "Composed":
        return Composed([self] * n)

    def __eq__(self, other: Any) -> bool:
        return type(self) is type(other) and self._obj == other._obj

    def __ne__(self, other: Any) -> bool:
        return not self == other

    __hash__ = None  # type: ignore[assignment]


class Composed(Composable):
    """A sequence of parts, written one after the other. Values that are not parts
    become `Literal`s."""

    _obj: List[Composable]

    def __init__(self, seq: typing.Iterable[Any]) -> None:
        super().__init__([obj if isinstance(obj, Composable) else Literal(obj) for obj in seq])

    def as_string(self, context: Any = None) -> str:
        return "".join(part.as_string(context) for part in self._obj)

    def __iter__(self) -> typing.Iterator[Composable]:
        return iter(self._obj)

    def __add__(self, other: Composable) -> "Composed":
        if isinstance(other, Composed):
            return Composed(self._obj + other._obj)
        if isinstance(other, Composable):
            return Composed(self._obj + [other])
        return NotImplemented

    def join(self, joiner: Any) -> "Composed":
        """The parts with `joiner` (an SQL or a str) between them."""
        if isinstance(joiner, str):
            joiner = SQL(joiner)
        elif not isinstance(joiner, SQL):
            raise TypeError("Composed.join() takes an SQL or a str, not %s"
                            % type(joiner).__name__)
        joined: Composed = joiner.join(self._obj)
        return joined


class SQL(Composable):
    """Text written into the statement as it is: never put a user's value here."""

    _obj: str
    _formatter = string.Formatter()

    def __init__(self, obj: str) -> None:
        if not isinstance(obj, str):
            raise TypeError("SQL values must be strings, got %r instead" % (obj,))
        super().__init__(obj)

    def as_string(self, context: Any = None) -> str:
        return self._obj

    def format(self, *args: Any, **kwargs: Any) -> Composed:
        """The text with {} / {0} / {name} fields replaced by the arguments: parts as
        they are, other values as `Literal`s. {{ and }} stand for braces; field options
        and conversions ({0:>3}, {0!r}) are refused."""
        parts: List[Any] = []
        auto: Optional[int] = 0
        for text, name, options, conversion in self._formatter.parse(self._obj):
            if options:
                raise ValueError("no format options (such as :>3) supported by SQL")
            if conversion:
                raise ValueError("no format conversion supported by SQL")
            if text:
                parts.append(SQL(text))
            if name is None:
                continue
            if name.isdigit():
                if auto:
                    raise ValueError("cannot switch from automatic field numbering to manual")
                parts.append(args[int(name)])
                auto = None
            elif not name:
                if auto is None:
                    raise ValueError("cannot switch from manual field numbering to automatic")
                parts.append(args[auto])
                auto += 1
            else:
                parts.append(kwargs[name])
        return Composed(parts)

    def join(self, seq: typing.Iterable[Any]) -> Composed:
        """The parts of `seq` with this text between them."""
        parts: List[Any] = []
        for i, part in enumerate(seq):
            if i:
                parts.append(self)
            parts.append(part)
        return Composed(parts)


class Identifier(Composable):
    """A name (table, column, schema, ...) in double quotes; several strings make a
    dotted name: Identifier("app", "users") is "app"."users"."""

    _obj: typing.Sequence[str]

    def __init__(self, *strings: str) -> None:
        super().__init__(strings)
        if not strings:
            raise TypeError("Identifier cannot be empty")
        for part in strings:
            if not isinstance(part, str):
                raise TypeError("SQL identifier parts must be strings, got %r instead" % (part,))

    def __repr__(self) -> str:
        return "Identifier(%s)" % ", ".join(map(repr, self._obj))

    def as_string(self, context: Any = None) -> str:
        return ".".join(quote_identifier(part) for part in self._obj)


class Literal(Composable):
    """A value written as an SQL constant (see `quote`)."""

    def as_string(self, context: Any = None) -> str:
        return quote(self._obj)


class Placeholder(Composable):
    """A parameter's place: %s, or %(name)s with a name (for a mapping of parameters).
    `format` "s" (any), "b" or "t" is accepted as psycopg writes it."""

    _obj: str

    def __init__(self, name: str = "", format: Any = "s") -> None:  # noqa: A002
        super().__init__(name)
        if not isinstance(name, str):
            raise TypeError("expected string as name, got %r" % (name,))
        if ")" in name or "%" in name:
            raise ValueError("invalid name: %r" % (name,))
        code = getattr(format, "value", format)
        if code not in ("s", "b", "t"):
            raise ValueError("placeholder format must be 's', 'b' or 't', not %r" % (format,))
        self._format: str = code

    def __repr__(self) -> str:
        parts = [repr(self._obj)] if self._obj else []
        if self._format != "s":
            parts.append("format=%r" % self._format)
        return "Placeholder(%s)" % ", ".join(parts)

    def as_string(self, context: Any = None) -> str:
        return "%%(%s)%s" % (self._obj, self._format) if self._obj else "%" + self._format


NULL = SQL("NULL")
DEFAULT = SQL("DEFAULT")


# ---- quoting ----

def quote_identifier(name: str) -> str:
    """A name as a quoted identifier: in double quotes, each double quote doubled."""
    _refuse_zero(name)
    return '"%s"' % name.replace('"', '""')


def _refuse_zero(text: str) -> None:
    if "\x00" in text:
        raise DataError("a text holding a zero character (0x00) cannot be sent to the "
                        "server")


def _quote_text(text: str) -> str:
    """A string constant reading the same under either standard_conforming_strings: a
    plain one ('' for a quote) unless the text has a backslash, then an E'' constant with
    the backslash doubled too."""
    _refuse_zero(text)
    text.encode("utf-8")    # a lone surrogate cannot reach the server
    body = text.replace("'", "''")
    if "\\" in text:
        return "E'%s'" % body.replace("\\", "\\\\")
    return "'%s'" % body


def _signed(text: str, negative: bool) -> str:
    # A negative number in parentheses: after a minus sign, "--1" would start a comment.
    return "(%s)" % text if negative else text


def _quote_int(value: int) -> str:
    return _signed(str(int(value)), value < 0)


def _quote_float(value: float) -> str:
    if math.isnan(value):
        return "'NaN'::float8"
    if math.isinf(value):
        return "'Infinity'::float8" if value > 0 else "'-Infinity'::float8"
    return _signed(repr(float(value)), value < 0 or math.copysign(1.0, value) < 0)


def _quote_decimal(value: decimal.Decimal) -> str:
    if value.is_nan():
        return "'NaN'::numeric"
    if value.is_infinite():
        return "'Infinity'::numeric" if value > 0 else "'-Infinity'::numeric"
    return _signed(str(value), value.is_signed())


def _quote_bytes(value: Any) -> str:
    # The hex form in an E'' constant: the backslash reads the same whatever
    # standard_conforming_strings says.
    return "E'\\\\x%s'::bytea" % bytes(value).hex()


def _quote_datetime(value: datetime.datetime) -> str:
    kind = "timestamp" if value.tzinfo is None or value.utcoffset() is None else "timestamptz"
    return "'%s'::%s" % (value.isoformat(), kind)


def _quote_time(value: datetime.time) -> str:
    kind = "time" if value.tzinfo is None or value.utcoffset() is None else "timetz"
    return "'%s'::%s" % (value.isoformat(), kind)


def _quote_timedelta(value: datetime.timedelta) -> str:
    return "'%d days %d seconds %d microseconds'::interval" % (
        value.days, value.seconds, value.microseconds)


def _quote_list(value: typing.Sequence[Any]) -> str:
    if not value:
        return "'{}'"
    return "ARRAY[%s]" % ",".join(quote(item) for item in value)


# Python type -> how a value of it is written; a subclass is looked up by its bases.
_QUOTERS: Dict[type, Callable[[Any], str]] = {
    type(None): lambda value: "NULL",
    bool: lambda value: "true" if value else "false",
    int: _quote_int,
    float: _quote_float,
    decimal.Decimal: _quote_decimal,
    str: _quote_text,
    bytes: _quote_bytes,
    bytearray: _quote_bytes,
    memoryview: _quote_bytes,
    datetime.datetime: _quote_datetime,
    datetime.date: lambda value: "'%s'::date" % value.isoformat(),
    datetime.time: _quote_time,
    datetime.timedelta: _quote_timedelta,
    uuid.UUID: lambda value: "'%s'::uuid" % value,
    list: _quote_list,
}


def _quoter(cls: Type[Any]) -> Optional[Callable[[Any], str]]:
    for base in cls.__mro__:
        found = _QUOTERS.get(base)
        if found is not None:
            return found
    return None


def quote(obj: Any, context: Any = None) -> str:
    """A Python value as an SQL constant: NULL, true/false, numbers (negative ones in
    parentheses), texts as string constants, bytes as bytea, dates and times with their
    type, lists as ARRAY[...]; a Composable as its own text. TypeError for a value of
    another type."""
    if isinstance(obj, Composable):
        text: str = obj.as_string(context)
        return text
    quoter = _quoter(type(obj))
    if quoter is None:
        raise TypeError("cannot write a value of type %s as an SQL constant"
                        % type(obj).__name__)
    return quoter(obj)
