"""json and jsonb: columns of either read as Python objects (through `json.loads`, or
the function `set_json_loads` installs); a dict parameter is sent as jsonb, and the
`Json` / `Jsonb` wrappers send any object as json / jsonb (through `json.dumps`, or the
function `set_json_dumps` installs, or the wrapper's own `dumps`)."""
from __future__ import annotations

from typing import Any, Callable, Optional, Union

from ..adapt import context_map

__all__ = ["Json", "Jsonb", "set_json_loads", "set_json_dumps"]

JsonDumpsFunction = Callable[[Any], Union[str, bytes]]
JsonLoadsFunction = Callable[[Union[str, bytes]], Any]


class _JsonWrapper:
    __slots__ = ("obj", "dumps")

    def __init__(self, obj: Any, dumps: Optional[JsonDumpsFunction] = None) -> None:
        self.obj = obj
        self.dumps = dumps

    def __repr__(self) -> str:
        text = repr(self.obj)
        if len(text) > 40:
            text = text[:35] + " ... "
        return "%s(%s)" % (type(self).__name__, text)


class Json(_JsonWrapper):
    """Sends `obj` as a json value."""

    __slots__ = ()


class Jsonb(_JsonWrapper):
    """Sends `obj` as a jsonb value."""

    __slots__ = ()


def set_json_dumps(dumps: JsonDumpsFunction, context: Any = None) -> None:
    """Writes json and jsonb parameters (dicts, Json, Jsonb without their own `dumps`)
    with `dumps` (returning str or bytes): everywhere (context None), or on one
    connection or cursor."""
    context_map(context)._json_dumps = dumps


def set_json_loads(loads: JsonLoadsFunction, context: Any = None) -> None:
    """Reads json and jsonb columns with `loads` (given the value's str): everywhere
    (context None), or on one connection or cursor."""
    context_map(context)._json_loads = loads
