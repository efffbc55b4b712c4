"""`conn.info`: what a connection knows of its session, read without a server round
trip (host, port, database, user, server version, backend process, transaction
status, the parameters the server reports, the connection parameters)."""
from __future__ import annotations

import datetime
import re
from typing import TYPE_CHECKING, Any, Dict, Optional

import _pyztdb

from .pq import TRANSACTION_STATUS_OF, ConnStatus, TransactionStatus

if TYPE_CHECKING:
    from . import connection as _connection

__all__ = ["ConnectionInfo", "conninfo_pairs", "make_conninfo", "python_encoding"]

# The server's encoding names that Python spells otherwise (the rest are looked up by
# codecs as they are, lower-cased).
_PYTHON_ENCODINGS = {
    "UTF8": "utf-8", "SQL_ASCII": "ascii", "LATIN1": "iso8859-1", "LATIN2": "iso8859-2",
    "LATIN9": "iso8859-15", "WIN1252": "cp1252", "WIN1251": "cp1251", "EUC_JP": "euc_jp",
    "SJIS": "shift_jis", "KOI8R": "koi8_r", "UNICODE": "utf-8",
}


def python_encoding(server_name: Optional[str]) -> str:
    """The Python codec of a server encoding name (utf-8 when unknown)."""
    if not server_name:
        return "utf-8"
    return _PYTHON_ENCODINGS.get(server_name.upper(), server_name.lower())


def conninfo_pairs(text: str) -> Dict[str, str]:
    """The "keyword NUL value NUL ..." text of the library as a dict."""
    parts = text.split("\0")
    return dict(zip(parts[0:-1:2], parts[1::2]))


_NEEDS_QUOTES = re.compile(r"[\s'\\]")


def _quote_value(value: str) -> str:
    """A conninfo value as libpq reads it: quoted when empty or holding blanks, quotes
    or backslashes (those escaped)."""
    if value and not _NEEDS_QUOTES.search(value):
        return value
    return "'%s'" % value.replace("\\", "\\\\").replace("'", "\\'")


def make_conninfo(**params: Any) -> str:
    """A "keyword=value ..." connection string of params (None values left out)."""
    return " ".join("%s=%s" % (key, _quote_value(str(value)))
                    for key, value in params.items() if value is not None)


class ConnectionInfo:
    """What `conn.info` tells of the session; every read asks the session anew."""

    def __init__(self, conn: "_connection.Connection") -> None:
        self._conn = conn

    def _read(self, what: str, name: Optional[str] = None) -> Optional[str]:
        self._conn._check_open()
        args = (what,) if name is None else (what, name)
        value: Optional[str] = _pyztdb.connection.session_info(self._conn, *args)
        return value

    def _text(self, what: str) -> str:
        return self._read(what) or ""

    @property
    def vendor(self) -> str:
        return "PostgreSQL"

    @property
    def host(self) -> str:
        """The host of the session (of the one it reached, from a host list)."""
        return self._text("host")

    @property
    def hostaddr(self) -> str:
        """The server's IP address, when the connection named one."""
        return self._text("hostaddr")

    @property
    def port(self) -> int:
        return int(self._text("port") or 0)

    @property
    def dbname(self) -> str:
        return self._text("dbname")

    @property
    def user(self) -> str:
        return self._text("user")

    @property
    def options(self) -> str:
        """The command-line options sent when the session started."""
        return self._text("options")

    def get_parameters(self) -> Dict[str, str]:
        """The connection parameters set to other than libpq's defaults (by the
        arguments of connect, the DSN or the environment); never the password."""
        return conninfo_pairs(self._text("conninfo"))

    @property
    def dsn(self) -> str:
        """The connection parameters as a connection string, without the password."""
        return make_conninfo(**self.get_parameters())

    @property
    def status(self) -> ConnStatus:
        return ConnStatus.BAD if self._conn.closed else ConnStatus.OK

    @property
    def transaction_status(self) -> TransactionStatus:
        """IDLE, ACTIVE, INTRANS or INERROR; UNKNOWN once the connection is closed."""
        if self._conn.closed:
            return TransactionStatus.UNKNOWN
        return TRANSACTION_STATUS_OF.get(self._text("transaction_status"),
                                         TransactionStatus.UNKNOWN)

    def parameter_status(self, param_name: str) -> Optional[str]:
        """The value the server reported for a parameter (server_version, TimeZone,
        client_encoding, ...); None for one it does not report."""
        if not isinstance(param_name, str):
            raise TypeError("parameter_status: the name must be str, not %s"
                            % type(param_name).__name__)
        return self._read("parameter", param_name)

    @property
    def server_version(self) -> int:
        """The server's version as a number: 150004 for 15.4."""
        return int(self._text("server_version"))

    @property
    def backend_pid(self) -> int:
        """The id of the server process that serves the session."""
        return int(self._text("backend_pid"))

    @property
    def encoding(self) -> str:
        """The Python codec of the session's client encoding."""
        return python_encoding(self.parameter_status("client_encoding"))

    @property
    def timezone(self) -> datetime.tzinfo:
        """The session's time zone (TimeZone) as a tzinfo; UTC when it is unknown."""
        name = self.parameter_status("TimeZone") or "UTC"
        try:
            import zoneinfo
            return zoneinfo.ZoneInfo(name)
        except Exception:
            return datetime.timezone.utc

    def __repr__(self) -> str:
        if self._conn.closed:
            return "<ConnectionInfo (closed)>"
        return "<ConnectionInfo %s@%s:%s/%s>" % (self.user, self.host, self.port, self.dbname)
