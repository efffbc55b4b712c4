"""Row factories: what a cursor makes of each row it reads.

    from ztcondb.rows import dict_row
    conn.row_factory = dict_row                 # every cursor of the connection
    cur = conn.cursor(row_factory=dict_row)     # one cursor
    cur.row_factory = namedtuple_row            # from the next fetch on

A row factory is called with the cursor once per result (its `description` then tells
the columns) and returns the callable that makes one row of the tuple of values. The
factories here make their rows in C, without a Python call per row.
"""
from __future__ import annotations

import functools
import keyword
import re
import typing
from collections import namedtuple
from typing import Any, Callable, Dict, NoReturn, Optional, Tuple, Type, TypeVar

import _pyztdb

from .errors import InterfaceError

__all__ = ["tuple_row", "dict_row", "namedtuple_row", "class_row", "args_row",
           "kwargs_row", "RowMaker", "RowFactory", "no_result"]

T = TypeVar("T")
RowMaker = Callable[[typing.Sequence[Any]], Any]
RowFactory = Callable[[Any], RowMaker]


def no_result(values: typing.Sequence[Any]) -> NoReturn:
    """The row maker of a result without columns: there is no row to make."""
    raise InterfaceError("the cursor has no result with rows")


def _names(cursor: Any) -> Optional[Tuple[str, ...]]:
    description = cursor.description
    if not description:
        return None
    return tuple(column[0] for column in description)


def tuple_row(cursor: Any) -> RowMaker:
    """Rows as tuples (the default)."""
    return tuple


def dict_row(cursor: Any) -> RowMaker:
    """Rows as dicts of column name -> value (a name written twice keeps the later
    column's value)."""
    names = _names(cursor)
    if names is None:
        return no_result
    maker: RowMaker = _pyztdb.cursor._row_maker("dict", names)
    return maker


_NOT_WORD = re.compile(r"\W", re.UNICODE)


def _identifier(name: str, position: int) -> str:
    """A column name as a field name of a named tuple: other characters become _, a
    leading digit or underscore gets an f in front, a keyword a trailing _; an empty
    name becomes f<position>."""
    field = _NOT_WORD.sub("_", name)
    if not field:
        return "f%d" % position
    if field[0].isdigit() or field[0] == "_":
        field = "f" + field
    if keyword.iskeyword(field):
        field += "_"
    return field


@functools.lru_cache(maxsize=512)
def _row_class(names: Tuple[str, ...]) -> Type[Any]:
    fields = []
    seen: Dict[str, int] = {}
    for position, name in enumerate(names):
        field = _identifier(name, position)
        if field in seen:
            field = "%s_%d" % (field, position)
        seen[field] = position
        fields.append(field)
    return namedtuple("Row", fields)


def namedtuple_row(cursor: Any) -> RowMaker:
    """Rows as named tuples whose fields are the column names (made valid Python
    identifiers); one class per set of names, kept."""
    names = _names(cursor)
    if names is None:
        return no_result
    maker: RowMaker = _pyztdb.cursor._row_maker("namedtuple", names, _row_class(names))
    return maker


def class_row(cls: Type[T]) -> RowFactory:
    """Rows as instances of cls, made with the column names as keyword arguments
    (a dataclass, a pydantic model, ...)."""
    return kwargs_row(cls)


def _calling(kind: str, func: Callable[..., Any]) -> RowFactory:
    """A factory whose rows are func called with the values ("args") or with the column
    names as keywords ("kwargs")."""
    def factory(cursor: Any) -> RowMaker:
        names = _names(cursor)
        if names is None:
            return no_result
        maker: RowMaker = _pyztdb.cursor._row_maker(kind, names, func)
        return maker
    return factory


def args_row(func: Callable[..., Any]) -> RowFactory:
    """Rows as func(*values)."""
    return _calling("args", func)


def kwargs_row(func: Callable[..., Any]) -> RowFactory:
    """Rows as func(**{column name: value})."""
    return _calling("kwargs", func)
