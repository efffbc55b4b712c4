"""How `ztcondb.connect` turns its arguments into the connection's values.

The connection type takes the six fixed values (host, port, database, user, password,
charset), `usessl` (here: `sslmode`) and the keyword-only settings `ports`,
`target_session_attrs`, `connect_timeout`, `application_name`, `options` and `dsn`, all
text. An empty host, database, user or password and a port of 0 mean "not given": the
library then takes them from the DSN, libpq's environment variables (PGHOST, PGPORT,
PGDATABASE, PGUSER, PGPASSWORD, ...), ~/.pgpass and libpq's defaults.
"""
from __future__ import annotations

import typing
from typing import Any, Dict, List, Optional, Tuple, Union

from .errors import ProgrammingError

__all__ = ["HostArg", "PortArg", "is_dsn", "connection_arguments", "with_libpq_keywords"]

_URI_PREFIXES = ("postgresql://", "postgres://")

HostArg = Union[str, typing.Sequence[str], None]
PortArg = Union[int, str, typing.Sequence[Union[int, str]], None]


def is_dsn(text: str) -> bool:
    """A conninfo string ("host=a dbname=b") or a URI, rather than a host name."""
    return text.startswith(_URI_PREFIXES) or "=" in text


def _keyword_value(key: str, value: Any) -> str:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError("connect() argument %r must be str or int, not %s"
                        % (key, type(value).__name__))
    return str(value)


def with_libpq_keywords(conninfo: Optional[str], host: HostArg,
                        keywords: Dict[str, Any]) -> Tuple[Optional[str], HostArg]:
    """(conninfo, host) with the other libpq keywords of connect() (keepalives=1, ...)
    added to the connection string: as "key=value" pairs after a conninfo string, as
    query parameters of a URI. A host name given as conninfo moves to host. None values
    are left out; libpq refuses a keyword it does not know when the session opens."""
    from urllib.parse import quote

    from .info import make_conninfo

    pairs = {key: _keyword_value(key, value) for key, value in keywords.items()
             if value is not None}
    if not pairs:
        return conninfo, host
    for key in pairs:
        if not key.isidentifier():
            raise _refuse("%r is not a connection keyword" % key)
    if conninfo is not None and not isinstance(conninfo, str):
        raise TypeError("connect() argument 'conninfo' must be str, not %s"
                        % type(conninfo).__name__)
    if conninfo and not is_dsn(conninfo):
        if host is not None:
            raise TypeError("connect() got a host name both as first argument and as host=")
        conninfo, host = None, conninfo
    if conninfo and conninfo.startswith(_URI_PREFIXES):
        query = "&".join("%s=%s" % (key, quote(value, safe=""))
                         for key, value in pairs.items())
        return conninfo + ("&" if "?" in conninfo else "?") + query, host
    added = make_conninfo(**pairs)
    return (conninfo + " " + added) if conninfo else added, host


def _refuse(why: str) -> ProgrammingError:
    return ProgrammingError("Connection parameter error: " + why)


def _text(name: str, value: Any) -> str:
    if value is None:
        return ""
    if not isinstance(value, str):
        raise TypeError("connect() argument %r must be str, not %s"
                        % (name, type(value).__name__))
    return value


def _hosts(value: HostArg) -> str:
    if value is None or isinstance(value, str):
        return _text("host", value)
    return ",".join(_text("host", h) for h in value)


def _one_port(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError("connect() argument 'port' must be int or str, not %s"
                        % type(value).__name__)
    if isinstance(value, str):
        value = value.strip()
        if not value.isdigit() or not value.isascii():
            raise _refuse("port %r is not a number" % value)
        value = int(value)
    if not 1 <= value <= 65535:
        raise _refuse("port %d is not in 1..65535" % value)
    return value


def _ports(value: PortArg) -> List[int]:
    """The ports asked for: none, one for all hosts, or one per host."""
    if value is None:
        return []
    if isinstance(value, str):
        return [_one_port(p) for p in value.split(",")] if value.strip() else []
    if isinstance(value, (list, tuple)):
        return [_one_port(p) for p in value]
    return [_one_port(value)]


def _seconds(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError("connect() argument 'connect_timeout' must be int or str, not %s"
                        % type(value).__name__)
    text = str(value).strip()
    if not text.isdigit() or not text.isascii() or len(text) > 9:
        raise _refuse("connect_timeout %r is not a whole number of seconds" % (value,))
    return str(int(text))


def connection_arguments(dsn: Optional[str], port: PortArg, database: Optional[str],
                         user: Optional[str], password: Optional[str], charset: str,
                         settings: Dict[str, Any]) -> Tuple[Tuple[Any, ...], Dict[str, str]]:
    """(positional values, keyword settings) for the connection type."""
    host: HostArg = settings.pop("host", None)
    if dsn is not None:
        if not isinstance(dsn, str):
            raise TypeError("connect() argument 'dsn' must be str, not %s"
                            % type(dsn).__name__)
        if is_dsn(dsn):
            settings["dsn"] = dsn
        elif host is not None:
            raise TypeError("connect() got a host name both as first argument and as host=")
        else:
            host = dsn
    dbname = settings.pop("dbname", None)
    if dbname is not None and database is not None and dbname != database:
        raise TypeError("connect() got both database= and dbname= (database is an alias)")
    database = dbname if dbname is not None else database
    ports = _ports(port)
    extra: Dict[str, str] = {}
    if len(ports) > 1:
        extra["ports"] = ",".join(str(p) for p in ports)
    timeout = _seconds(settings.pop("connect_timeout", None))
    if timeout:
        extra["connect_timeout"] = timeout
    for key in ("target_session_attrs", "application_name", "options", "dsn"):
        value = settings.pop(key, None)
        if value is not None:
            extra[key] = _text(key, value)
    sslmode = settings.pop("sslmode", None)
    if settings:
        raise TypeError("connect() got an unexpected keyword argument %r" % sorted(settings)[0])
    values = (_hosts(host), ports[0] if ports else 0, _text("database", database),
              _text("user", user), _text("password", password), _text("charset", charset),
              None if sslmode is None else _text("sslmode", sslmode))
    return values, extra
