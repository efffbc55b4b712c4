"""Notifications of a connection (LISTEN / NOTIFY): the `Notify` record, the
`notifies()` generator and the handlers `add_notify_handler` registers."""
from __future__ import annotations

import time
import typing
from typing import TYPE_CHECKING, Callable, List, Optional

import _pyztdb


if TYPE_CHECKING:
    from .connection import Connection as _Connection

__all__ = ["Notify", "NotifyHandler"]


class Notify(typing.NamedTuple):
    """A notification: the channel it was sent on, its payload and the process id of
    the server session that sent it."""

    channel: str
    payload: str
    pid: int


NotifyHandler = Callable[[Notify], None]

# The longest single wait of notifies(): between waits the session is free for other
# threads' statements (a notification arriving meanwhile is kept, not lost).
_WAIT_SLICE = 1.0


def received(conn: "_Connection") -> List[Notify]:
    """The notifications the session received since the last look, each given to the
    connection's handlers."""
    found = [Notify(*item) for item in _pyztdb.connection.getnotifies(conn)]
    for item in found:
        for handler in list(conn._notify_handlers):
            handler(item)
    return found


def take(conn: "_Connection") -> List[Notify]:
    """What a stopped notifies() left, then what the session received since."""
    left: Optional[List[Notify]] = conn.__dict__.pop("_notify_left", None)
    found = received(conn)
    return left + found if left else found


def notifies(conn: "_Connection", timeout: Optional[float],
             stop_after: Optional[int]) -> typing.Iterator[Notify]:
    """Yields notifications as they arrive; ends after `timeout` seconds (None: never)
    or once `stop_after` were yielded. The wait releases the interpreter lock and
    Ctrl-C ends it."""
    if timeout is not None and (timeout != timeout or timeout < 0):
        raise ValueError("notifies: timeout must be a number of seconds >= 0 or None")
    if stop_after is not None and stop_after < 1:
        raise ValueError("notifies: stop_after must be at least 1 or None")
    deadline = None if timeout is None else time.monotonic() + timeout
    count = 0
    while True:
        found = take(conn)
        for index, item in enumerate(found):
            if stop_after is not None and count >= stop_after:
                # Taken from the session but not yielded: kept for the next call.
                conn.__dict__["_notify_left"] = found[index:]
                return
            yield item
            count += 1
        if stop_after is not None and count >= stop_after:
            return
        wait = _WAIT_SLICE
        if deadline is not None:
            wait = min(wait, deadline - time.monotonic())
            if wait <= 0:
                return
        _pyztdb.connection.waitnotify(conn, wait)
