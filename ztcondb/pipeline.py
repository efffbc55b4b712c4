"""Pipelines: `with conn.pipeline():` sends each `execute` at once without waiting for
the results of the statements before it; the results are read in order at the next
sync: when the block ends, at `sync()`, or when a cursor of the batch is read (fetch,
rowcount, description). A failing statement's error is raised at that sync; the server
skips the statements that followed it in the same transaction (they raise nothing of
their own and leave their cursors without a result). In autocommit mode the statements
between two syncs form one transaction of the server's, so an error undoes the ones
before it in that batch too. Other calls on the connection (commit, rollback,
executemany, ...) sync first."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Optional

import _pyztdb

from .errors import Error, OperationalError, Warning

if TYPE_CHECKING:
    from .connection import Connection as _Connection
    from .cursor import Cursor as _Cursor

__all__ = ["Pipeline"]

_SEND = _pyztdb.cursor.pipeline_send
_TAKE = _pyztdb.cursor.pipeline_take
_SYNC = _pyztdb.connection.pipeline_sync


class Pipeline:
    """The pipeline of a connection; `with` blocks of it nest."""

    def __init__(self, conn: "_Connection") -> None:
        self._conn = conn
        self._level = 0
        self._pending: List["_Cursor"] = []   # the cursor of each statement sent, in order

    def __enter__(self) -> "Pipeline":
        self._level += 1
        self._conn._pipeline = self
        return self

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        self._level -= 1
        try:
            self.sync()
        except Exception:
            if exc_type is None:
                raise
        finally:
            if self._level == 0:
                self._conn._pipeline = None

    @property
    def status(self) -> str:
        """"on" inside the block, "off" after it."""
        return "on" if self._level else "off"

    def send(self, cursor: "_Cursor", operation: str, parameters: Optional[Any]) -> None:
        if parameters is None:
            _SEND(cursor, operation)
        else:
            _SEND(cursor, operation, parameters)
        self._pending.append(cursor)
        cursor._pipeline_pending += 1

    def sync(self) -> None:
        """Ends the batch: every statement sent so far has run (or was skipped after a
        failure) and its cursor holds its result. Raises the first failure."""
        if not self._pending:
            return
        pending, self._pending = self._pending, []
        for cursor in pending:
            cursor._pipeline_pending = 0
        if self._conn.closed:
            raise OperationalError("Connection does not exist")
        first: Optional[BaseException] = None
        try:
            _SYNC(self._conn)
        except (Error, Warning) as exc:
            first = exc
        aux = None
        try:
            for cursor in pending:
                # A closed cursor's outcome is still taken, so the next one gets its own.
                if cursor.closed:
                    if aux is None:
                        aux = _pyztdb.cursor(self._conn)
                    taker: Any = aux
                else:
                    taker = cursor
                try:
                    _TAKE(taker)
                except (Error, Warning) as exc:
                    if first is None:
                        first = exc
                    continue
                if taker is cursor:
                    cursor._settle()
        finally:
            if aux is not None:
                aux.close()
        if first is not None:
            raise first
