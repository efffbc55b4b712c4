"""The connection of ztcondb: a session with the server."""
from __future__ import annotations

from types import TracebackType
import typing
from typing import Any, Callable, List, Optional, Type, overload

import _pyztdb

from . import adapt as _adapt
from . import errors as _errors
from . import notify as _notify
from . import pipeline as _pipeline_mod
from . import transaction as _transaction
from .cursor import Cursor, NamedCursor
from .errors import Error, InterfaceError, NotSupportedError, OperationalError, ProgrammingError
from .info import ConnectionInfo
from .pq import TransactionStatus
from .rows import tuple_row
from .transaction import IsolationLevel, Transaction

# How many server notices `notices` keeps (the oldest go first).
MAX_NOTICES = 50

__all__ = ["Connection", "Notify", "ConnectionClosed"]

Notify = _notify.Notify


class ConnectionClosed(InterfaceError, OperationalError):
    """Using a connection after `close()`, after a `with conn:` block (which closes it)
    or once the session broke: an InterfaceError, and an OperationalError as it always
    was here."""

    def __init__(self, *args: Any) -> None:
        super().__init__(*args, sqlstate="08003")


_CLOSED = "the connection is closed"
_CLOSED_BY_BLOCK = (
    "the connection is closed: the `with conn:` block closed it when the block ended "
    "(it commits or rolls back, then closes, as in psycopg 3); to commit a block of work "
    "and keep the connection, use `with conn.transaction():`")
_BROKEN = "the connection is closed: the session broke (the server ended it or the " \
    "connection was lost)"


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

    # The extension raises ztcondb's classes for this connection and its cursors, picked
    # where the error happens (the SQLSTATE's class, with every field of the error).
    _error_table = _errors.error_table

    # A new session of the library commits every statement on its own.
    _autocommit_on = True
    _closed = False
    # What connect() opened the session with (read_frame's partitions open more alike).
    _connect_args: Any = None
    # The pipeline while a `with conn.pipeline():` block runs.
    _pipeline: Optional["_pipeline_mod.Pipeline"] = None
    # Handlers of notifications (add_notify_handler); empty: none.
    _notify_handlers: List[_notify.NotifyHandler] = []

    # Set when a `with conn:` block closed the connection (said so when it is used).
    _closed_by_block = False
    # The characteristics of the transactions the connection starts (None: the
    # server's and role's settings).
    _isolation_level: Optional[IsolationLevel] = None
    _read_only: Optional[bool] = None
    _deferrable: Optional[bool] = None
    # The class of the cursors cursor() makes without a name.
    cursor_factory: Type[Cursor] = Cursor
    # What cursors of the connection make of each row (None: tuples).
    _row_factory: Optional[Callable[..., Any]] = None

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self.pytypes = True
        self._notices: List[str] = []
        self._adapters = _adapt.AdaptersMap(_adapt.adapters, context=self)
        # The open transaction() blocks, outermost first.
        self._transactions: List[Transaction] = []

    def _check_open(self) -> None:
        """ConnectionClosed unless the connection can be used, saying why not."""
        if self._closed:
            raise ConnectionClosed(_CLOSED_BY_BLOCK if self._closed_by_block else _CLOSED)
        if self.broken:
            raise ConnectionClosed(_BROKEN)

    def _end_transaction(self, commit: bool) -> None:
        """Commits or rolls back through the session's own control (after syncing a
        pipeline)."""
        if self._pipeline is not None:
            self._pipeline.sync()
        if commit:
            _pyztdb.connection.commit(self)
        else:
            _pyztdb.connection.rollback(self)

    def _run_commands(self, commands: List[str]) -> None:
        """Runs the commands of a transaction block in order."""
        for command in commands:
            if command == _transaction.COMMIT:
                self._end_transaction(True)
            elif command == _transaction.ROLLBACK:
                self._end_transaction(False)
            else:
                cur = Cursor(self)
                try:
                    cur.execute(command)
                finally:
                    cur.close()

    def _begin_command(self) -> str:
        return _transaction.begin_command(self._isolation_level, self._read_only,
                                          self._deferrable)

    def _check_idle(self, attribute: str) -> None:
        """ProgrammingError while a transaction is open: the transaction settings
        change only between transactions."""
        self._check_open()
        if self._transactions:
            raise ProgrammingError("can't change %r now: connection.transaction() context "
                                   "in progress" % attribute)
        status = self.info.transaction_status
        if status != TransactionStatus.IDLE:
            raise ProgrammingError("can't change %r now: connection in transaction "
                                   "status %s" % (attribute, status.name))

    def _apply_characteristics(self) -> None:
        """Makes the transactions the library begins on its own (outside autocommit) take
        the connection's characteristics; in autocommit mode only transaction() blocks
        start transactions, with them in their BEGIN, so the session's are the
        defaults."""
        if self._autocommit_on:
            commands = _transaction.characteristic_commands(None, None, None)
        else:
            commands = _transaction.characteristic_commands(
                self._isolation_level, self._read_only, self._deferrable)
        self._run_commands(commands)
        if not self._autocommit_on:
            self._end_transaction(True)

    def _set_characteristic(self, attribute: str, value: Any) -> None:
        """Sets one characteristic; when the session refuses it, the connection keeps
        the one it had."""
        self._check_idle(attribute)
        old = getattr(self, "_" + attribute)
        setattr(self, "_" + attribute, value)
        try:
            self._apply_characteristics()
        except BaseException:
            setattr(self, "_" + attribute, old)
            if not self._autocommit_on and not self.closed:
                try:
                    self._end_transaction(False)
                except Error:
                    pass
            raise

    @property
    def isolation_level(self) -> Optional[IsolationLevel]:
        """The isolation level of the transactions the connection starts; None: the
        server's default. Set it between transactions."""
        return self._isolation_level

    @isolation_level.setter
    def isolation_level(self, value: Optional[int]) -> None:
        level = None if value is None else IsolationLevel(value)
        self._set_characteristic("isolation_level", level)

    @property
    def read_only(self) -> Optional[bool]:
        """Whether the transactions the connection starts are read-only; None: the
        server's default."""
        return self._read_only

    @read_only.setter
    def read_only(self, value: Optional[bool]) -> None:
        self._set_characteristic("read_only", None if value is None else bool(value))

    @property
    def deferrable(self) -> Optional[bool]:
        """Whether serializable read-only transactions the connection starts are
        deferrable; None: the server's default."""
        return self._deferrable

    @deferrable.setter
    def deferrable(self, value: Optional[bool]) -> None:
        self._set_characteristic("deferrable", None if value is None else bool(value))

    @property
    def info(self) -> ConnectionInfo:
        """What the connection knows of its session (see ztcondb.info.ConnectionInfo)."""
        return ConnectionInfo(self)

    @property
    def row_factory(self) -> Callable[..., Any]:
        """What the cursors of this connection make of each row: ztcondb.rows.tuple_row
        (the default), dict_row, namedtuple_row, ... A cursor may have its own."""
        if self._row_factory is None:
            return tuple_row
        return self._row_factory

    @row_factory.setter
    def row_factory(self, value: Optional[Callable[..., Any]]) -> None:
        if value is not None and not callable(value):
            raise TypeError("row_factory must be callable or None, not %s"
                            % type(value).__name__)
        # Tuples are the cursors' own rows: no factory to pass on.
        self._row_factory = None if value is tuple_row else value

    def transaction(self, savepoint_name: Optional[str] = None,
                    force_rollback: bool = False) -> Transaction:
        """`with conn.transaction():` runs its block as a transaction (inside another
        block or an open transaction: as a savepoint), committed when the block ends
        normally and rolled back when an exception leaves it (`raise
        ztcondb.Rollback()` leaves it quietly); `force_rollback=True` always rolls back.
        In autocommit mode the outermost block starts the transaction with BEGIN."""
        self._check_open()
        return Transaction(self, savepoint_name, force_rollback)

    def execute(self, query: Any, params: Any = None, *, prepare: Optional[bool] = None,
                binary: bool = False) -> Cursor:
        """Runs query on a new cursor of the connection and returns that cursor.
        `prepare` and `binary` are accepted for psycopg 3's callers: statements are
        prepared after `prepare_threshold` runs, and values read are the same Python
        objects in either format."""
        cur = self.cursor()
        cur.execute(query, params)
        return cur

    @property
    def adapters(self) -> "_adapt.AdaptersMap":
        """This connection's loaders and dumpers (see ztcondb.adapt): a copy of the
        global `ztcondb.adapters` made when the connection opened; its cursors start
        from it."""
        return self._adapters

    @property
    def notices(self) -> List[str]:
        """The server's latest notices and warnings ("NOTICE:  text\\n"), newest last,
        at most MAX_NOTICES; the list may be cleared by the caller."""
        try:
            fresh = _pyztdb.connection.getnotices(self)
        except Error:  # closed: nothing more to take
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
        self._check_open()
        if self._transactions:
            raise ProgrammingError("can't change 'autocommit' now: connection.transaction() "
                                   "context in progress")
        if self._pipeline is not None:
            self._pipeline.sync()
        _pyztdb.connection.autocommit(self, bool(value))
        changed = self._autocommit_on != bool(value)
        self._autocommit_on = bool(value)
        if changed and (self._isolation_level is not None or self._read_only is not None
                        or self._deferrable is not None):
            self._apply_characteristics()

    @property
    def closed(self) -> bool:
        """True once `close()` has run, or once the session is broken: the server ended
        it or the connection was lost, and every call fails at once."""
        return self._closed or self.broken

    def _check_no_block(self, method: str) -> None:
        if self._transactions:
            raise ProgrammingError(
                "Explicit %s() forbidden within a Transaction context. (Transaction will be "
                "automatically %s on %s exit from context.)"
                % (method, "committed" if method == "commit" else "rolled back",
                   "successful" if method == "commit" else "any"))

    def commit(self) -> None:
        """Commits the open transaction (inside a pipeline, after syncing it)."""
        self._check_open()
        self._check_no_block("commit")
        self._end_transaction(True)

    def rollback(self) -> None:
        """Rolls the open transaction back (inside a pipeline, after syncing it)."""
        self._check_open()
        self._check_no_block("rollback")
        self._end_transaction(False)

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

    @overload  # type: ignore[override]
    def cursor(self, name: None = None, *, binary: bool = False,
               row_factory: Optional[Callable[..., Any]] = None,
               scrollable: Optional[bool] = None, withhold: bool = False) -> Cursor: ...

    @overload
    def cursor(self, name: str, *, binary: bool = False,
               row_factory: Optional[Callable[..., Any]] = None,
               scrollable: Optional[bool] = None, withhold: bool = False) -> NamedCursor: ...

    def cursor(self, name: Optional[str] = None, *, binary: bool = False,
               row_factory: Optional[Callable[..., Any]] = None,
               scrollable: Optional[bool] = None, withhold: bool = False) -> Cursor:
        """A new cursor; with `name`, a server-side cursor that reads its result in
        pages of `itersize` rows (see `NamedCursor`). `row_factory` (ztcondb.rows)
        replaces the connection's for this cursor; `binary` is accepted for psycopg 3's
        callers (values read are the same in either format)."""
        self._check_open()
        # The module's own checks (a forked child's session).
        super().cursor()
        cur: Cursor
        if not name:
            cur = self.cursor_factory(self)
        else:
            if withhold and self.prepare_threshold is None:
                # The setting of transaction pooling: there a cursor held past its
                # transaction stays on a server session the next statement may not
                # reach, and another client's cursor of the same name may answer instead.
                raise NotSupportedError(
                    "a named cursor with withhold=True is refused while prepare_threshold "
                    "is None (the setting for a pooler in transaction mode): the server "
                    "session that holds it may not serve the next fetch")
            cur = NamedCursor(self, name, withhold=withhold, scrollable=scrollable)
        factory = row_factory if row_factory is not None else self._row_factory
        if factory is not None:
            cur.row_factory = factory
        return cur

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
            self._closed_by_block = True
