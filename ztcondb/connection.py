"""The connection of ztcondb: a session with the server."""
from __future__ import annotations

from types import TracebackType
import typing
from typing import Any, List, Optional, Type, overload

import _pyztdb

from . import errors as _errors
from . import notify as _notify
from . import pipeline as _pipeline_mod
from .cursor import Cursor, NamedCursor
from .errors import Error, NotSupportedError, translate_errors

# How many server notices `notices` keeps (the oldest go first).
MAX_NOTICES = 50

__all__ = ["Connection", "Notify"]

Notify = _notify.Notify


@translate_errors
class Connection(_pyztdb.connection):
    """A session with the server; transactions are on after `connect`.

    `autocommit` reads and sets the session's mode; `closed` tells whether `close()`
    ran or the session broke (the server ended it, the connection was lost). `with conn:`
    commits when the block succeeds, rolls back when it raises, and
    closes the connection either way. Values are read and sent as Python types, and
    errors are ztcondb's (see ztcondb.errors)."""

    Error: Type[_errors.Error] = _errors.Error
    Warning: Type[_errors.Warning] = _errors.Warning
    InterfaceError: Type[_errors.InterfaceError] = _errors.InterfaceError
    DatabaseError: Type[_errors.DatabaseError] = _errors.DatabaseError
    DataError: Type[_errors.DataError] = _errors.DataError
    OperationalError: Type[_errors.OperationalError] = _errors.OperationalError
    IntegrityError: Type[_errors.IntegrityError] = _errors.IntegrityError
    InternalError: Type[_errors.InternalError] = _errors.InternalError
    ProgrammingError: Type[_errors.ProgrammingError] = _errors.ProgrammingError
    NotSupportedError: Type[_errors.NotSupportedError] = _errors.NotSupportedError

    # A new session of the library commits every statement on its own.
    _autocommit_on = True
    _closed = False
    # What connect() opened the session with (read_frame's partitions open more alike).
    _connect_args: Any = None
    # The pipeline while a `with conn.pipeline():` block runs.
    _pipeline: Optional["_pipeline_mod.Pipeline"] = None
    # Handlers of notifications (add_notify_handler); empty: none.
    _notify_handlers: List[_notify.NotifyHandler] = []

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.pytypes = True
        self._notices: List[str] = []

    @property
    def notices(self) -> List[str]:
        """The server's latest notices and warnings ("NOTICE:  text\\n"), newest last,
        at most MAX_NOTICES; the list may be cleared by the caller."""
        try:
            fresh = _pyztdb.connection.getnotices(self)
        except _pyztdb.Error:  # closed: nothing more to take
            fresh = []
        self._notices.extend(fresh)
        del self._notices[:-MAX_NOTICES]
        return self._notices

    @property  # type: ignore[override]
    def autocommit(self) -> bool:
        """True when every statement commits on its own; set it to switch modes
        (switching on commits an open transaction)."""
        return self._autocommit_on

    @autocommit.setter
    def autocommit(self, value: bool) -> None:
        if self._pipeline is not None:
            self._pipeline.sync()
        _pyztdb.connection.autocommit(self, bool(value))
        self._autocommit_on = bool(value)

    @property
    def closed(self) -> bool:
        """True once `close()` has run, or once the session is broken: the server ended
        it or the connection was lost, and every call fails at once."""
        return self._closed or self.broken

    def commit(self) -> None:
        """Commits the open transaction (inside a pipeline, after syncing it)."""
        if self._pipeline is not None:
            self._pipeline.sync()
        _pyztdb.connection.commit(self)

    def rollback(self) -> None:
        """Rolls the open transaction back (inside a pipeline, after syncing it)."""
        if self._pipeline is not None:
            self._pipeline.sync()
        _pyztdb.connection.rollback(self)

    def pipeline(self) -> "_pipeline_mod.Pipeline":
        """`with conn.pipeline():` statements executed inside are sent without waiting
        for the results of the ones before them (see ztcondb.pipeline)."""
        if self._pipeline is not None:
            return self._pipeline
        return _pipeline_mod.Pipeline(self)

    def notifies(self, *, timeout: Optional[float] = None,
                 stop_after: Optional[int] = None) -> typing.Iterator[_notify.Notify]:
        """Yields each notification (`Notify(channel, payload, pid)`) of the channels
        this session LISTENs to, as it arrives; ends after `timeout` seconds or
        `stop_after` notifications (None: no limit). Notifications that arrived while
        other statements ran come first: none is lost. The wait releases the
        interpreter lock; Ctrl-C ends it."""
        return _notify.notifies(self, timeout, stop_after)

    def add_notify_handler(self, callback: _notify.NotifyHandler) -> None:
        """Calls callback(Notify) for each notification received: after each
        `execute` of a cursor of this connection (those are then handled, not yielded
        by a later `notifies()`), and in `notifies()`."""
        self._notify_handlers = self._notify_handlers + [callback]

    def remove_notify_handler(self, callback: _notify.NotifyHandler) -> None:
        handlers = list(self._notify_handlers)
        handlers.remove(callback)
        self._notify_handlers = handlers

    def _dispatch_notifies(self) -> None:
        _notify.received(self)

    def close(self) -> None:
        """Ends the session; the notices it still held stay in `notices`."""
        if not self._closed:
            self.notices  # collected now: the session's own list goes with it
        super().close()
        self._closed = True

    @overload
    def cursor(self, name: None = None, *args: Any, withhold: bool = False,
               scrollable: Optional[bool] = None, **kwargs: Any) -> Cursor: ...

    @overload
    def cursor(self, name: str, *args: Any, withhold: bool = False,
               scrollable: Optional[bool] = None, **kwargs: Any) -> NamedCursor: ...

    def cursor(self, name: Optional[str] = None, *args: Any, withhold: bool = False,
               scrollable: Optional[bool] = None, **kwargs: Any) -> Cursor:
        """A new cursor; with `name`, a server-side cursor that reads its result in
        pages of `itersize` rows (see `NamedCursor`)."""
        # The module's own check: a closed session raises "Connection does not exist".
        super().cursor()
        if name is None:
            return Cursor(self)
        if withhold and self.prepare_threshold is None:
            # The setting of transaction pooling: there a cursor held past its transaction
            # stays on a server session the next statement may not reach, and another
            # client's cursor of the same name may answer instead.
            raise NotSupportedError(
                "a named cursor with withhold=True is refused while prepare_threshold is "
                "None (the setting for a pooler in transaction mode): the server session "
                "that holds it may not serve the next fetch")
        return NamedCursor(self, name, withhold=withhold, scrollable=scrollable)

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],  # type: ignore[override]
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
