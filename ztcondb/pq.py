"""The session states a connection reports (`conn.info.status`,
`conn.info.transaction_status`), numbered as libpq numbers them."""
from __future__ import annotations

from enum import IntEnum

__all__ = ["ConnStatus", "TransactionStatus"]


class ConnStatus(IntEnum):
    """Whether the session can be used."""

    OK = 0
    BAD = 1


class TransactionStatus(IntEnum):
    """Where the session stands in a transaction."""

    IDLE = 0      # no transaction open
    ACTIVE = 1    # a statement is running
    INTRANS = 2   # in an open transaction
    INERROR = 3   # in a failed transaction: only a rollback helps
    UNKNOWN = 4   # closed or broken


# The library's names of the states.
TRANSACTION_STATUS_OF = {
    "idle": TransactionStatus.IDLE, "active": TransactionStatus.ACTIVE,
    "intrans": TransactionStatus.INTRANS, "inerror": TransactionStatus.INERROR,
    "unknown": TransactionStatus.UNKNOWN,
}
