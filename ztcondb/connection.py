"""The connection of ztcondb: a session with the server."""
from __future__ import annotations

from typing import Any

import _pyztdb

from _pyztdb import (DatabaseError, DataError, Error, IntegrityError, InterfaceError,
                     InternalError, NotSupportedError, OperationalError, ProgrammingError,
                     Warning)

from .cursor import Cursor


class Connection(_pyztdb.connection):
    """A session with the server; transactions are on after `connect`."""

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

    def cursor(self, name: Any = None, *args: Any, **kwargs: Any) -> Cursor:
        # The module's own check: a closed session raises "Connection does not exist".
        super().cursor()
        return Cursor(self, name)
