"""`with conn.transaction():` blocks: the outermost one is the transaction, the ones
inside it savepoints. A block commits (releases its savepoint) when it ends normally
and rolls back when an exception leaves it; `raise Rollback()` rolls back and leaves
the block quietly, `raise Rollback(outer)` every block up to `outer`.

The plan of each block (which commands it sends on entry, commit and rollback) is
worked out here apart from the I/O, so that another face of the connection can send
the same commands its own way."""
from __future__ import annotations

import logging
from enum import IntEnum
from types import TracebackType
from typing import TYPE_CHECKING, List, Optional, Type

from .errors import ProgrammingError
from .pq import TransactionStatus

if TYPE_CHECKING:
    from . import connection as _connection

__all__ = ["IsolationLevel", "Rollback", "OutOfOrderTransactionNesting", "Transaction",
           "begin_command", "characteristic_commands"]

_logger = logging.getLogger("ztcondb")

# The tokens of the outermost block's end: the connection's own commit and rollback
# (which also report a failed transaction that a COMMIT would silently roll back).
COMMIT = "COMMIT"
ROLLBACK = "ROLLBACK"


class IsolationLevel(IntEnum):
    """The isolation level of the transactions a connection starts."""

    READ_UNCOMMITTED = 1
    READ_COMMITTED = 2
    REPEATABLE_READ = 3
    SERIALIZABLE = 4


class Rollback(Exception):
    """Raised in a `transaction()` block: rolls the block back and leaves it without
    an error; with a transaction, every block up to and including that one."""

    def __init__(self, transaction: Optional["Transaction"] = None) -> None:
        super().__init__(transaction)
        self.transaction = transaction

    def __repr__(self) -> str:
        return "%s(%r)" % (type(self).__qualname__, self.transaction)


class OutOfOrderTransactionNesting(ProgrammingError):
    """A transaction block ended while a block it holds was still open."""


def quote_identifier(name: str) -> str:
    return '"%s"' % name.replace('"', '""')


def begin_command(isolation_level: Optional[int], read_only: Optional[bool],
                  deferrable: Optional[bool]) -> str:
    """The BEGIN that opens a transaction with the connection's characteristics."""
    parts = ["BEGIN"]
    if isolation_level is not None:
        parts.append("ISOLATION LEVEL " + IsolationLevel(isolation_level).name.replace("_", " "))
    if read_only is not None:
        parts.append("READ ONLY" if read_only else "READ WRITE")
    if deferrable is not None:
        parts.append("DEFERRABLE" if deferrable else "NOT DEFERRABLE")
    return " ".join(parts)


def characteristic_commands(isolation_level: Optional[int], read_only: Optional[bool],
                            deferrable: Optional[bool]) -> List[str]:
    """The SETs that make the transactions the library begins on its own take the
    characteristics (DEFAULT: the server's and role's settings)."""
    def setting(value: Optional[str]) -> str:
        return "DEFAULT" if value is None else "'%s'" % value

    level = None if isolation_level is None else \
        IsolationLevel(isolation_level).name.replace("_", " ").lower()
    on_off = {None: None, True: "on", False: "off"}
    return ["SET default_transaction_isolation TO " + setting(level),
            "SET default_transaction_read_only TO " + setting(on_off[read_only]),
            "SET default_transaction_deferrable TO " + setting(on_off[deferrable])]


class BlockPlan:
    """One block's place in the nesting and the commands that follow from it."""

    def __init__(self, depth: int, status: TransactionStatus, autocommit: bool,
                 savepoint_name: Optional[str], begin: str) -> None:
        # The outermost block of a session with no transaction open is the transaction;
        # any other block is a savepoint inside the one open.
        self.outer = depth == 0 and status == TransactionStatus.IDLE
        if not self.outer and not savepoint_name:
            savepoint_name = "_zt_savepoint_%d" % (depth + 1)
        self.savepoint_name = savepoint_name
        self.depth = depth
        # Outside autocommit the library sends BEGIN with the block's first statement.
        self._begin = begin if self.outer and autocommit else None

    def enter(self) -> List[str]:
        commands = [self._begin] if self._begin else []
        if self.savepoint_name:
            commands.append("SAVEPOINT " + quote_identifier(self.savepoint_name))
        return commands

    def commit(self) -> List[str]:
        if self.outer:
            return [COMMIT]
        return ["RELEASE " + quote_identifier(self.savepoint_name or "")]

    def rollback(self) -> List[str]:
        if self.outer:
            return [ROLLBACK]
        name = quote_identifier(self.savepoint_name or "")
        return ["ROLLBACK TO " + name, "RELEASE " + name]


class Transaction:
    """A `with conn.transaction():` block (used once)."""

    def __init__(self, conn: "_connection.Connection", savepoint_name: Optional[str] = None,
                 force_rollback: bool = False) -> None:
        if savepoint_name is not None and not isinstance(savepoint_name, str):
            raise TypeError("transaction(): savepoint_name must be str or None, not %s"
                            % type(savepoint_name).__name__)
        self._conn = conn
        self._name = savepoint_name or None
        self.force_rollback = bool(force_rollback)
        self._plan: Optional[BlockPlan] = None
        self._entered = self._exited = False

    @property
    def connection(self) -> "_connection.Connection":
        return self._conn

    @property
    def savepoint_name(self) -> Optional[str]:
        """The savepoint of the block; None for the outermost one without a name."""
        return self._plan.savepoint_name if self._plan else self._name

    def __repr__(self) -> str:
        state = "inactive" if not self._entered else "active" if not self._exited \
            else "terminated"
        name = " %r" % self.savepoint_name if self.savepoint_name else ""
        return "<ztcondb.Transaction%s (%s) at 0x%x>" % (name, state, id(self))

    def __enter__(self) -> "Transaction":
        if self._entered:
            raise TypeError("transaction blocks can be used only once")
        conn = self._conn
        conn._check_open()
        self._entered = True
        plan = BlockPlan(len(conn._transactions), conn.info.transaction_status,
                         conn.autocommit, self._name, conn._begin_command())
        conn._transactions.append(self)
        self._plan = plan
        try:
            conn._run_commands(plan.enter())
        except BaseException:
            conn._transactions.pop()
            self._exited = True
            raise
        return self

    def _pop(self, action: str) -> None:
        stack = self._conn._transactions
        self._exited = True
        if stack and stack[-1] is self:
            stack.pop()
            return
        if self in stack:
            del stack[stack.index(self):]
        raise OutOfOrderTransactionNesting(
            "transaction %s at the wrong nesting level: %r" % (action, self))

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc_value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> bool:
        plan = self._plan
        assert plan is not None
        if self._conn.closed:
            self._pop("end")
            return False
        if exc_value is None and not self.force_rollback:
            self._pop("commit")
            self._conn._run_commands(plan.commit())
            return False
        try:
            self._pop("rollback")
            self._conn._run_commands(plan.rollback())
        except OutOfOrderTransactionNesting:
            raise
        except Exception as failure:
            # The block's own exception is the one to see.
            _logger.warning("error ignored in the rollback of %r: %s", self, failure)
            return False
        if isinstance(exc_value, Rollback):
            return exc_value.transaction is None or exc_value.transaction is self
        return False

