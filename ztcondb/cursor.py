"""The cursor of a ztcondb connection."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterator, Optional, Sequence, Tuple

import _pyztdb

from _pyztdb import ProgrammingError

if TYPE_CHECKING:
    from .connection import Connection

Row = Tuple[Any, ...]


def _call_arguments(name: str, parameters: Optional[Sequence[Any]],
                    directions: Optional[Sequence[int]]) -> list:
    """The positional arguments of the module's callproc / callfunc. Directions can
    only follow parameters there, so directions without parameters go after an empty
    parameter list (instead of standing in for the parameters)."""
    if parameters is None and directions is None:
        return [name]
    args = [name, () if parameters is None else parameters]
    if directions is not None:
        args.append(directions)
    return args


class Cursor(_pyztdb.cursor):
    """A cursor of a `Connection`: the module's cursor with iteration, `with`, the
    `connection` attribute, `rownumber` and `setoutputsize`."""

    def __init__(self, conn: "Connection", name: Any = None) -> None:
        super().__init__(conn, name)
        self._connection = conn
        self._rownumber: Optional[int] = None

    @property
    def connection(self) -> "Connection":
        """The connection this cursor was made from."""
        return self._connection

    @property
    def rownumber(self) -> Optional[int]:
        """0-based index of the next row of the current result; None without one."""
        return self._rownumber

    # Executions start a new result: row numbering starts again from 0.
    def execute(self, operation: str, parameters: Optional[Sequence[Any]] = None) -> None:
        self._rownumber = None
        if parameters is None:
            super().execute(operation)
        else:
            super().execute(operation, parameters)
        self._rownumber = 0

    def executemany(self, operation: str, seq_of_parameters: Sequence[Any] = ()) -> None:
        self._rownumber = None
        super().executemany(operation, seq_of_parameters)
        self._rownumber = 0

    def executebatch(self, operation: str, columns: Sequence[Sequence[Any]]) -> None:
        self._rownumber = None
        super().executebatch(operation, columns)

    def callproc(self, procname: str, parameters: Optional[Sequence[Any]] = None,
                 directions: Optional[Sequence[int]] = None) -> list:
        self._rownumber = None
        result = super().callproc(*_call_arguments(procname, parameters, directions))
        self._rownumber = 0
        return result

    def callfunc(self, funcname: str, parameters: Optional[Sequence[Any]] = None,
                 directions: Optional[Sequence[int]] = None) -> list:
        self._rownumber = None
        result = super().callfunc(*_call_arguments(funcname, parameters, directions))
        self._rownumber = 0
        return result

    def fetchone(self) -> Optional[Row]:
        row = super().fetchone()
        if row is not None and self._rownumber is not None:
            self._rownumber += 1
        return row

    @property
    def description(self) -> Optional[list]:
        """One 7-item tuple per result column; None before a result with columns."""
        try:
            return _pyztdb.cursor.description.__get__(self)
        except AttributeError:
            return None

    def fetchmany(self, size: Optional[int] = None) -> list:
        rows = super().fetchmany() if size is None else super().fetchmany(size)
        if rows is None:
            raise ProgrammingError("The result set does not exist")
        if self._rownumber is not None:
            self._rownumber += len(rows)
        return rows

    def fetchall(self) -> list:
        rows = super().fetchall()
        if self._rownumber is not None:
            self._rownumber += len(rows)
        return rows

    def nextset(self) -> Optional[bool]:
        moved = super().nextset()
        if moved is None:
            return None
        self._rownumber = 0
        return True

    def setinputsizes(self, sizes: Sequence[Optional[int]]) -> None:
        super().setinputsizes(sizes)

    def setoutputsize(self, size: int, column: Optional[int] = None) -> None:
        """Accepted for compatibility; output buffers are sized by the driver."""

    def __iter__(self) -> Iterator[Row]:
        return self

    def __next__(self) -> Row:
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def __enter__(self) -> "Cursor":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()
