"""The connection of ztcondb: a session with the server."""
from __future__ import annotations

from types import TracebackType
from typing import Any, Optional, Type

import _pyztdb

from _pyztdb import (DatabaseError, DataError, Error, IntegrityError, InterfaceError,
                     InternalError, NotSupportedError, OperationalError, ProgrammingError,
                     Warning)

from .cursor import Cursor, NamedCursor


class Connection(_pyztdb.connection):
    """A session with the server; transactions are on after `connect`.

    `autocommit` reads and sets the session's mode; `closed` tells whether `close()`
    ran. `with conn:` commits when the block succeeds, rolls back when it raises, and
    closes the connection either way."""

    Error = Error
    Warning = Warning
    InterfaceError = InterfaceError
    DatabaseError = DatabaseError
    DataError = DataError
    OperationalError = OperationalError
    IntegrityError = IntegrityError
    InternalError = InternalError
    ProgrammingError = ProgrammingError
    NotSupportedError = NotSupportedError

    # A new session of the library commits every statement on its own.
    _autocommit_on = True
    _closed = False

    @property  # type: ignore[override]
    def autocommit(self) -> bool:
        """True when every statement commits on its own; set it to switch modes
        (switching on commits an open transaction)."""
        return self._autocommit_on

    @autocommit.setter
    def autocommit(self, value: bool) -> None:
        _pyztdb.connection.autocommit(self, bool(value))
        self._autocommit_on = bool(value)

    @property
    def closed(self) -> bool:
        """True once `close()` has run."""
        return self._closed

    def close(self) -> None:
        super().close()
        self._closed = True

    def cursor(self, name: Optional[str] = None, *args: Any, withhold: bool = False,
               scrollable: Optional[bool] = None, **kwargs: Any) -> Cursor:
        """A new cursor; with `name`, a server-side cursor that reads its result in
        pages of `itersize` rows (see `NamedCursor`)."""
        # The module's own check: a closed session raises "Connection does not exist".
        super().cursor()
        if name is None:
            return Cursor(self)
        return NamedCursor(self, name, withhold=withhold, scrollable=scrollable)

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc_value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        if self._closed:
            return
        try:
            if exc_type is None:
                self.commit()
            else:
                # The block's exception is the one to see, not a failed rollback's.
                try:
                    self.rollback()
                except Error:
                    pass
        finally:
            self.close()
