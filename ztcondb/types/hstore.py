"""hstore: once registered on a connection (or globally), an hstore column reads as a
dict of str to str (or None), and a dict parameter is sent as hstore (instead of
jsonb) in that context."""
from __future__ import annotations

import re
from typing import Any, Dict, Optional

from ..adapt import Dumper, Loader, context_map
from . import TypeInfo

__all__ = ["register_hstore"]

# One "key"=>"value" (or NULL) pair of hstore's text form.
_PAIR = re.compile(r'''
    "((?:[^"\\]|\\.)*)"          # the key
    \s*=>\s*
    (?:NULL|"((?:[^"\\]|\\.)*)") # the value, or NULL
    (?:\s*,\s*|$)
''', re.VERBOSE)
_ESCAPE = re.compile(r"\\(.)")


def _unescape(text: str) -> str:
    return _ESCAPE.sub(r"\1", text)


def _quote(text: str) -> str:
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def parse_hstore(text: str) -> Dict[str, Optional[str]]:
    """The dict of hstore's text form; ValueError when it is not one."""
    result: Dict[str, Optional[str]] = {}
    at = 0
    while at < len(text):
        match = _PAIR.match(text, at)
        if match is None:
            raise ValueError("bad hstore text at %d: %r" % (at, text[at:at + 20]))
        value = match.group(2)
        result[_unescape(match.group(1))] = None if value is None else _unescape(value)
        at = match.end()
    return result


class _HstoreLoader(Loader):
    def load(self, data: bytes) -> Dict[str, Optional[str]]:
        return parse_hstore(bytes(data).decode())


class _HstoreDumper(Dumper):
    def dump(self, obj: Dict[Any, Any]) -> bytes:
        pairs = []
        for key, value in obj.items():
            if not isinstance(key, str):
                raise TypeError("hstore keys are str, not %s" % type(key).__name__)
            if value is not None and not isinstance(value, str):
                raise TypeError("hstore values are str or None, not %s" % type(value).__name__)
            pairs.append("%s=>%s" % (_quote(key), "NULL" if value is None else _quote(value)))
        return ", ".join(pairs).encode()


def register_hstore(info: TypeInfo, context: Any = None) -> None:
    """Reads the hstore type `info` (TypeInfo.fetch(conn, "hstore")) as dicts and sends
    dicts as hstore, in `context` (None: everywhere)."""
    if info is None:
        raise TypeError("no hstore type given (is the extension installed?)")
    target = context_map(context)
    info.register(target)
    target.register_loader(info.oid, _HstoreLoader)
    target.register_dumper(dict, type("HstoreDumper", (_HstoreDumper,), {"oid": info.oid}))
