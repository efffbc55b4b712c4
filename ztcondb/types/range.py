"""PostgreSQL's ranges and multiranges as Python values: `Range` and `Multirange`.

A range column (int4range, int8range, numrange, daterange, tsrange, tstzrange) reads
as a `Range` of int, Decimal, date or datetime bounds; a multirange column as a
`Multirange` (a list of ranges). A `Range` parameter is sent as the range type of its
bounds (Decimal or float: numrange, date: daterange, naive datetime: tsrange, aware
datetime: tstzrange); int bounds go untyped, and the server takes int4range or
int8range from the context (a column, a cast), as neither casts to the other."""
from __future__ import annotations

import typing
from typing import Any, Optional, Tuple, TypeVar

__all__ = ["Range", "Multirange"]

T = TypeVar("T")

_BOUNDS = ("[)", "(]", "()", "[]")


class Range(typing.Generic[T]):
    """A range: `lower` and `upper` bounds (None: unbounded on that side), `bounds`
    telling which are included ('[' and ']' include, '(' and ')' exclude), or an empty
    range (`empty=True`)."""

    __slots__ = ("_lower", "_upper", "_bounds")

    def __init__(self, lower: Optional[T] = None, upper: Optional[T] = None,
                 bounds: str = "[)", empty: bool = False) -> None:
        if empty:
            self._lower = self._upper = None
            self._bounds = ""
            return
        if bounds not in _BOUNDS:
            raise ValueError("a range's bounds are one of %s, not %r"
                             % (", ".join(_BOUNDS), bounds))
        # An unbounded side never includes its bound.
        if lower is None and bounds[0] == "[":
            bounds = "(" + bounds[1]
        if upper is None and bounds[1] == "]":
            bounds = bounds[0] + ")"
        self._lower = lower
        self._upper = upper
        self._bounds = bounds

    def __repr__(self) -> str:
        if not self._bounds:
            return "%s(empty=True)" % type(self).__name__
        return "%s(%r, %r, %r)" % (type(self).__name__, self._lower, self._upper, self._bounds)

    def __str__(self) -> str:
        if not self._bounds:
            return "empty"
        return "%s%s, %s%s" % (self._bounds[0], self._lower, self._upper, self._bounds[1])

    @property
    def lower(self) -> Optional[T]:
        return self._lower

    @property
    def upper(self) -> Optional[T]:
        return self._upper

    @property
    def bounds(self) -> str:
        return self._bounds

    @property
    def isempty(self) -> bool:
        return not self._bounds

    @property
    def lower_inf(self) -> bool:
        return bool(self._bounds) and self._lower is None

    @property
    def upper_inf(self) -> bool:
        return bool(self._bounds) and self._upper is None

    @property
    def lower_inc(self) -> bool:
        return bool(self._bounds) and self._lower is not None and self._bounds[0] == "["

    @property
    def upper_inc(self) -> bool:
        return bool(self._bounds) and self._upper is not None and self._bounds[1] == "]"

    def __contains__(self, x: Any) -> bool:
        if not self._bounds:
            return False
        if self._lower is not None:
            if x < self._lower or (x == self._lower and self._bounds[0] == "("):
                return False
        if self._upper is not None:
            if x > self._upper or (x == self._upper and self._bounds[1] == ")"):
                return False
        return True

    def __bool__(self) -> bool:
        return bool(self._bounds)

    def _key(self) -> Tuple[Any, Any, str]:
        return (self._lower, self._upper, self._bounds)

    def __eq__(self, other: Any) -> bool:
        if not isinstance(other, Range):
            return False
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __lt__(self, other: Any) -> bool:
        if not isinstance(other, Range):
            return NotImplemented
        return bool(_order(self) < _order(other))

    def __le__(self, other: Any) -> bool:
        return bool(self == other or self < other)

    def __gt__(self, other: Any) -> bool:
        if not isinstance(other, Range):
            return NotImplemented
        return bool(other < self)

    def __ge__(self, other: Any) -> bool:
        return bool(self == other or self > other)

    def __getstate__(self) -> Tuple[Any, Any, str]:
        return self._key()

    def __setstate__(self, state: Tuple[Any, Any, str]) -> None:
        self._lower, self._upper, self._bounds = state


def _order(r: Range[Any]) -> Tuple[Any, ...]:
    """A sort key: empty first, then by lower bound (unbounded first), then upper."""
    if not r._bounds:
        return (0,)
    return (1, r._lower is not None, r._lower, r._bounds[0] == "(",
            r._upper is None, r._upper, r._bounds[1] == "]")


class Multirange(list):  # type: ignore[type-arg]
    """A multirange: a list of `Range` items."""

    def __init__(self, items: typing.Iterable[Range[Any]] = ()) -> None:
        super().__init__(items)
        for item in self:
            _check_range(item)

    def append(self, item: Range[Any]) -> None:
        super().append(_check_range(item))

    def insert(self, index: Any, item: Range[Any]) -> None:
        super().insert(index, _check_range(item))

    def __repr__(self) -> str:
        return "Multirange(%s)" % list.__repr__(self)


def _check_range(item: Any) -> Range[Any]:
    if not isinstance(item, Range):
        raise TypeError("a Multirange holds Range items, not %s" % type(item).__name__)
    return item
