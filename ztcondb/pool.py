"""A pool of ztcondb connections shared by threads.

    from ztcondb.pool import ConnectionPool

    pool = ConnectionPool("host=127.0.0.1 dbname=app", min_size=2, max_size=8)
    with pool.connection() as conn:
        conn.cursor().execute("insert into t values (?)", (1,))
    # committed here (rolled back had the block raised); the connection is back
    pool.close()

The pool opens `min_size` connections in the background and grows up to `max_size`
while every connection is in use. A checkout waits at most `timeout` seconds
(`PoolTimeout`, with the pool's state in the message); with `max_waiting` set, a
request beyond that many waiting ones fails at once (`TooManyRequests`). A connection
comes back rolled back when it was left in a transaction, its autocommit mode as the
pool made it; one that broke (the server ended it, the network failed) or that fails
`check` is closed and replaced in the background, never handed out. Connections older
than `max_lifetime` are replaced, and ones idle longer than `max_idle` are closed while
the pool holds more than `min_size`. When the server cannot be reached the pool keeps
trying, waiting longer each time (starting at a fifth of a second, doubling up to
5 seconds), for `reconnect_timeout` seconds per attempt.

Behind PgBouncer in transaction pooling, give the connections
`prepare_threshold=None` through `kwargs` where `connect()` offers it: a statement
prepared on one server session does not exist on the next one PgBouncer picks.
"""
from __future__ import annotations

import itertools
import random
import threading
import time
from collections import deque
from typing import Any, Callable, Deque, Dict, List, Optional

from .connection import Connection
from .errors import OperationalError, ProgrammingError

__all__ = ["ConnectionPool", "PoolTimeout", "PoolClosed", "TooManyRequests"]


class PoolTimeout(OperationalError):
    """No connection could be had within the checkout's timeout."""


class PoolClosed(OperationalError):
    """The pool is closed (or was closed while the request waited)."""


class TooManyRequests(OperationalError):
    """`max_waiting` requests were waiting already."""


# Retries of a failed connect: the first wait, its growth, the longest wait, and the
# spread that keeps many pools from retrying in step.
_FIRST_DELAY = 0.2
_DELAY_GROWTH = 2.0
_MAX_DELAY = 5.0
_JITTER = 0.1
# A connection's lifetime varies by this much around max_lifetime, so that
# connections made together are not all replaced together.
_LIFETIME_JITTER = 0.05
# The longest a worker sleeps between looks at idle connections.
_MAX_TICK = 30.0


class _Slot:
    """A connection of the pool and the times the pool keeps for it."""

    __slots__ = ("conn", "expires", "returned", "autocommit")

    def __init__(self, conn: Connection, expires: float, now: float) -> None:
        self.conn = conn
        self.expires = expires
        self.returned = now
        # The mode the pool made it with: a connection comes back in it.
        self.autocommit = conn.autocommit


class _Waiter:
    """One checkout waiting for a connection. The pool hands it a slot (or an error)
    under the pool's lock; `gone` is set under the same lock when it gave up, so a
    slot is never handed to a request that no longer waits."""

    __slots__ = ("_ready", "slot", "error", "gone")

    def __init__(self) -> None:
        self._ready = threading.Lock()
        self._ready.acquire()
        self.slot: Optional[_Slot] = None
        self.error: Optional[BaseException] = None
        self.gone = False

    def wait(self, timeout: float) -> bool:
        return self._ready.acquire(timeout=max(timeout, 0.0))

    def give(self, slot: Optional[_Slot], error: Optional[BaseException] = None) -> bool:
        if self.gone:
            return False
        self.slot, self.error = slot, error
        self.gone = True
        self._ready.release()
        return True


class _Checkout:
    """`with pool.connection() as conn:` commits when the block succeeds, rolls back
    when it raises, and gives the connection back either way."""

    __slots__ = ("_pool", "_timeout", "_conn")

    def __init__(self, pool: "ConnectionPool", timeout: Optional[float]) -> None:
        self._pool = pool
        self._timeout = timeout
        self._conn: Optional[Connection] = None

    def __enter__(self) -> Connection:
        self._conn = self._pool.getconn(self._timeout)
        return self._conn

    def __exit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        conn, self._conn = self._conn, None
        assert conn is not None
        try:
            if not conn.closed and not conn.autocommit:
                if exc_type is None:
                    conn.commit()
                else:
                    try:
                        conn.rollback()
                    except Exception:  # the block's exception is the one to see
                        pass
        finally:
            self._pool.putconn(conn)


class ConnectionPool:
    """A thread-safe pool of connections made by `ztcondb.connect(conninfo, **kwargs)`.

    `configure(conn)` runs on each new connection (what it leaves uncommitted is
    committed), `reset(conn)` on each one given back, `check(conn)` before each
    checkout (`ConnectionPool.check_connection` is a ready one); a connection any of
    them raises for is closed and replaced. `reconnect_failed(pool)` runs when an
    attempt to connect gave up after `reconnect_timeout` seconds."""

    def __init__(self, conninfo: str = "", *, kwargs: Optional[Dict[str, Any]] = None,
                 min_size: int = 4, max_size: Optional[int] = None, open: bool = True,
                 configure: Optional[Callable[[Connection], None]] = None,
                 check: Optional[Callable[[Connection], None]] = None,
                 reset: Optional[Callable[[Connection], None]] = None,
                 name: Optional[str] = None, timeout: float = 30.0, max_waiting: int = 0,
                 max_lifetime: float = 3600.0, max_idle: float = 600.0,
                 reconnect_timeout: float = 300.0,
                 reconnect_failed: Optional[Callable[["ConnectionPool"], None]] = None,
                 num_workers: int = 3,
                 connect: Optional[Callable[..., Connection]] = None) -> None:
        if max_size is None:
            max_size = min_size
        if not (isinstance(min_size, int) and isinstance(max_size, int)) \
                or min_size < 0 or max_size < max(min_size, 1):
            raise ValueError("need 0 <= min_size <= max_size and max_size >= 1, got "
                             "min_size=%r, max_size=%r" % (min_size, max_size))
        for label, value in (("timeout", timeout), ("max_lifetime", max_lifetime),
                             ("max_idle", max_idle), ("reconnect_timeout", reconnect_timeout)):
            if not isinstance(value, (int, float)) or value != value or value < 0:
                raise ValueError("%s must be a number of seconds >= 0, got %r" % (label, value))
        if not isinstance(max_waiting, int) or max_waiting < 0:
            raise ValueError("max_waiting must be an int >= 0, got %r" % (max_waiting,))
        if not isinstance(num_workers, int) or num_workers < 1:
            raise ValueError("num_workers must be an int >= 1, got %r" % (num_workers,))
        self.conninfo = conninfo
        self.kwargs: Dict[str, Any] = dict(kwargs or {})
        self.name = name or "pool-%d" % next(_NAMES)
        self.min_size = min_size
        self.max_size = max_size
        self.timeout = float(timeout)
        self.max_waiting = max_waiting
        self.max_lifetime = float(max_lifetime)
        self.max_idle = float(max_idle)
        self.reconnect_timeout = float(reconnect_timeout)
        self._configure = configure
        self._check = check
        self._reset = reset
        self._reconnect_failed = reconnect_failed
        self._num_workers = num_workers
        if connect is None:
            from . import connect as _connect
            connect = _connect
        self._connect_fn = connect

        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)   # idle grew, or the pool closed
        self._task_added = threading.Condition(self._lock)  # for the workers
        self._idle: Deque[_Slot] = deque()                 # newest returned on the right
        self._out: Dict[int, _Slot] = {}                   # checked out, by id(conn)
        self._waiting: Deque[_Waiter] = deque()
        self._nconns = 0              # open connections, and ones being made
        self._opened = False
        self._closed = True
        self._stop = threading.Event()
        self._tasks: Deque[Callable[[], None]] = deque()
        self._workers: List[threading.Thread] = []
        self._last_error = ""
        self._stats: Dict[str, int] = dict.fromkeys((
            "requests_num", "requests_queued", "requests_wait_ms", "requests_errors",
            "returns_bad", "connections_num", "connections_ms", "connections_errors",
            "connections_lost", "usage_ms"), 0)
        if open:
            self.open()

    # ---- opening, closing ----

    def open(self, wait: bool = False, timeout: float = 30.0) -> None:
        """Starts the workers and the first `min_size` connections; with `wait`,
        returns once they are ready (see `wait()`). A closed pool cannot open again."""
        with self._lock:
            if self._opened:
                if self._closed:
                    raise PoolClosed("pool %r is closed and cannot be opened again" % self.name)
                return
            self._opened = True
            self._closed = False
            for i in range(self._num_workers):
                t = threading.Thread(target=self._work, name="%s-worker-%d" % (self.name, i),
                                     daemon=True)
                self._workers.append(t)
                t.start()
            for _ in range(self.min_size):
                self._grow()
        if wait:
            self.wait(timeout)

    def wait(self, timeout: float = 30.0) -> None:
        """Waits until `min_size` connections are ready; on timeout the pool is closed
        and PoolTimeout raised."""
        with self._lock:
            ready = self._changed.wait_for(
                lambda: self._closed or len(self._idle) + len(self._out) >= self.min_size,
                timeout)
            closed = self._closed
            state = self._state()
        if closed:
            raise PoolClosed("pool %r is closed" % self.name)
        if not ready:
            self.close()
            raise PoolTimeout("pool %r: %d connections not ready after %.2f s (%s)"
                              % (self.name, self.min_size, timeout, state))

    def close(self, timeout: float = 5.0) -> None:
        """Closes the idle connections, wakes every waiting request with PoolClosed and
        stops the workers (waiting at most `timeout` seconds for them). Connections in
        use are closed when they come back."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            idle = list(self._idle)
            self._idle.clear()
            self._nconns -= len(idle)
            waiting = list(self._waiting)
            self._waiting.clear()
            for w in waiting:
                w.give(None, PoolClosed("pool %r was closed while the request waited"
                                        % self.name))
            self._stop.set()
            self._changed.notify_all()
            self._task_added.notify_all()
        for slot in idle:
            _close_quietly(slot.conn)
        deadline = time.monotonic() + timeout
        for t in self._workers:
            if t is not threading.current_thread():
                t.join(max(deadline - time.monotonic(), 0.0))

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "ConnectionPool":
        self.open()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # ---- checkout and return ----

    def connection(self, timeout: Optional[float] = None) -> _Checkout:
        """`with pool.connection() as conn:` a connection for the block: committed when
        the block succeeds, rolled back when it raises, then given back."""
        return _Checkout(self, timeout)

    def getconn(self, timeout: Optional[float] = None) -> Connection:
        """A connection of the pool, waiting at most `timeout` seconds (the pool's
        `timeout` when None). Give it back with `putconn`."""
        started = time.monotonic()
        deadline = started + (self.timeout if timeout is None else float(timeout))
        while True:
            slot = self._take(started, deadline)
            if slot.expires <= time.monotonic():
                self._discard(slot)
                continue
            if self._check is not None:
                try:
                    self._check(slot.conn)
                except Exception:
                    self._discard(slot)
                    continue
            return slot.conn

    def _take(self, started: float, deadline: float) -> _Slot:
        """The next idle slot, marked as out; waits for one when none is idle."""
        with self._lock:
            self._stats["requests_num"] += 1
            if self._closed:
                self._stats["requests_errors"] += 1
                raise PoolClosed("pool %r is closed" % self.name)
            if self._idle:
                slot = self._idle.pop()
                self._out[id(slot.conn)] = slot
                return slot
            if self.max_waiting and len(self._waiting) >= self.max_waiting:
                self._stats["requests_errors"] += 1
                raise TooManyRequests("pool %r: %d requests waiting already (%s)"
                                      % (self.name, len(self._waiting), self._state()))
            if self._nconns < self.max_size:
                self._grow()
            waiter = _Waiter()
            self._waiting.append(waiter)
            self._stats["requests_queued"] += 1
        got = waiter.wait(deadline - time.monotonic())
        with self._lock:
            self._stats["requests_wait_ms"] += int((time.monotonic() - started) * 1000)
            if not got and not waiter.gone:
                waiter.gone = True
                self._waiting.remove(waiter)
                self._stats["requests_errors"] += 1
                raise PoolTimeout("couldn't get a connection after %.2f s (%s)"
                                  % (time.monotonic() - started, self._state()))
            if waiter.error is not None:
                self._stats["requests_errors"] += 1
                raise waiter.error
            given = waiter.slot
            assert given is not None
            self._out[id(given.conn)] = given
            return given

    def putconn(self, conn: Connection) -> None:
        """Gives a connection back: rolled back if it was left in a transaction, its
        autocommit mode restored, `reset` run; a broken one is replaced."""
        with self._lock:
            slot = self._out.pop(id(conn), None)
        if slot is None or slot.conn is not conn:
            raise ProgrammingError("putconn: the connection does not belong to pool %r, or "
                                   "was given back already" % self.name)
        if not self._closed and self._clean(slot):
            now = time.monotonic()
            if slot.expires > now:
                slot.returned = now
                with self._lock:
                    if not self._closed:
                        self._hand(slot)
                        return
        self._discard(slot, bad=conn.closed)

    def _clean(self, slot: _Slot) -> bool:
        """Makes a returned connection fit for the next user; False when it cannot be."""
        conn = slot.conn
        if conn.closed:
            return False
        try:
            if not conn.autocommit:
                conn.rollback()
            if conn.autocommit != slot.autocommit:
                conn.autocommit = slot.autocommit
            if self._reset is not None:
                self._reset(conn)
                if not conn.autocommit:
                    conn.rollback()
        except Exception:
            return False
        return not conn.closed

    def _hand(self, slot: _Slot) -> None:
        """Gives a ready slot to the oldest waiting request, or makes it idle. The
        caller holds the lock."""
        while self._waiting:
            if self._waiting.popleft().give(slot):
                return
        self._idle.append(slot)
        self._changed.notify_all()

    def _discard(self, slot: _Slot, bad: bool = True) -> None:
        """Closes a connection that must not be handed out and asks for a replacement
        when the pool needs one."""
        _close_quietly(slot.conn)
        with self._lock:
            self._out.pop(id(slot.conn), None)
            self._nconns -= 1
            if bad:
                self._stats["returns_bad"] += 1
            if not self._closed and (self._nconns < self.min_size or self._waiting):
                self._grow()

    # ---- background work ----

    def _grow(self) -> None:
        """Counts one more connection and has a worker make it. The caller holds the lock."""
        self._nconns += 1
        self._tasks.append(self._add_connection)
        self._task_added.notify()

    def _work(self) -> None:
        while True:
            with self._lock:
                if not self._tasks and not self._closed:
                    self._task_added.wait(self._tick())
                if self._closed:
                    return
                task = self._tasks.popleft() if self._tasks else None
            if task is None:
                self._shrink()
                continue
            try:
                task()
            except Exception:  # a worker never dies: a task's failure is its own
                pass

    def _tick(self) -> float:
        return max(min(self.max_idle / 2.0, _MAX_TICK), 0.05)

    def _add_connection(self) -> None:
        """Makes one connection (counted already), retrying with a growing delay while
        the server cannot be reached, for reconnect_timeout seconds."""
        started = time.monotonic()
        delay = _FIRST_DELAY
        while not self._stop.is_set():
            try:
                conn = self._new_connection()
            except Exception as exc:
                with self._lock:
                    self._stats["connections_errors"] += 1
                    self._last_error = str(exc).strip().splitlines()[0] if str(exc) else \
                        type(exc).__name__
                if time.monotonic() - started + delay > self.reconnect_timeout:
                    break
                self._stop.wait(delay * random.uniform(1 - _JITTER, 1 + _JITTER))
                delay = min(delay * _DELAY_GROWTH, _MAX_DELAY)
                continue
            now = time.monotonic()
            lifetime = self.max_lifetime * random.uniform(1 - _LIFETIME_JITTER,
                                                          1 + _LIFETIME_JITTER)
            slot = _Slot(conn, now + lifetime, now)
            with self._lock:
                self._stats["connections_num"] += 1
                self._stats["connections_ms"] += int((now - started) * 1000)
                self._last_error = ""
                if not self._closed:
                    self._hand(slot)
                    return
            _close_quietly(conn)
            break
        with self._lock:
            self._nconns -= 1
            gave_up = not self._closed
        if gave_up and self._reconnect_failed is not None:
            self._reconnect_failed(self)

    def _new_connection(self) -> Connection:
        conn = self._connect_fn(self.conninfo or None, **self.kwargs)
        try:
            if self._configure is not None:
                self._configure(conn)
                if not conn.autocommit:
                    conn.commit()
        except BaseException:
            _close_quietly(conn)
            raise
        return conn

    def _shrink(self) -> None:
        """Closes connections idle longer than max_idle while there are more than
        min_size."""
        now = time.monotonic()
        old: List[_Slot] = []
        with self._lock:
            while self._idle and self._nconns > self.min_size and \
                    now - self._idle[0].returned > self.max_idle:
                old.append(self._idle.popleft())
                self._nconns -= 1
        for slot in old:
            _close_quietly(slot.conn)

    # ---- maintenance and state ----

    def check(self) -> None:
        """Runs check_connection on every idle connection; the broken ones are replaced."""
        with self._lock:
            idle = list(self._idle)
            self._idle.clear()
            for slot in idle:
                self._out[id(slot.conn)] = slot
        for slot in idle:
            try:
                self.check_connection(slot.conn)
            except Exception:
                with self._lock:
                    self._stats["connections_lost"] += 1
                self._discard(slot, bad=False)
                continue
            with self._lock:
                self._out.pop(id(slot.conn), None)
                if self._closed:
                    self._nconns -= 1
                    _close_quietly(slot.conn)
                else:
                    self._hand(slot)

    @staticmethod
    def check_connection(conn: Connection) -> None:
        """Raises OperationalError unless the connection answers a round trip; leaves
        no transaction behind."""
        if conn.closed:
            raise OperationalError("the connection is closed")
        was = conn.autocommit
        if not was:
            conn.autocommit = True
        try:
            cur = conn.cursor()
            try:
                cur.execute("select 1")
            finally:
                cur.close()
        finally:
            if not was and not conn.closed:
                conn.autocommit = False

    def resize(self, min_size: int, max_size: Optional[int] = None) -> None:
        """Changes the pool's sizes; connections beyond the new max_size close as they
        come back or go idle."""
        if max_size is None:
            max_size = min_size
        if min_size < 0 or max_size < max(min_size, 1):
            raise ValueError("need 0 <= min_size <= max_size and max_size >= 1")
        with self._lock:
            self.min_size, self.max_size = min_size, max_size
            while not self._closed and self._nconns < min_size:
                self._grow()
            extra = []
            while self._idle and self._nconns > max_size:
                extra.append(self._idle.popleft())
                self._nconns -= 1
        for slot in extra:
            _close_quietly(slot.conn)

    def _state(self) -> str:
        """The pool's state in words, for messages. The caller holds the lock."""
        text = ("pool %r: %d connections (%d in use, %d idle, %d being made), %d requests "
                "waiting, min_size %d, max_size %d"
                % (self.name, self._nconns, len(self._out), len(self._idle),
                   self._nconns - len(self._out) - len(self._idle), len(self._waiting),
                   self.min_size, self.max_size))
        if self._last_error:
            text += "; last connection attempt failed: " + self._last_error
        return text

    def get_stats(self) -> Dict[str, int]:
        """The pool's sizes now and its counters since it was made (or since
        `pop_stats`)."""
        with self._lock:
            stats = {"pool_min": self.min_size, "pool_max": self.max_size,
                     "pool_size": self._nconns, "pool_available": len(self._idle),
                     "requests_waiting": len(self._waiting)}
            stats.update((k, v) for k, v in self._stats.items() if v)
        return stats

    def pop_stats(self) -> Dict[str, int]:
        """As get_stats, and the counters start again from zero."""
        with self._lock:
            stats = {"pool_min": self.min_size, "pool_max": self.max_size,
                     "pool_size": self._nconns, "pool_available": len(self._idle),
                     "requests_waiting": len(self._waiting)}
            stats.update((k, v) for k, v in self._stats.items() if v)
            for k in self._stats:
                self._stats[k] = 0
        return stats


def _close_quietly(conn: Connection) -> None:
    try:
        conn.close()
    except Exception:
        pass


_NAMES = itertools.count(1)


def __getattr__(name: str) -> Any:
    # The pool of the asyncio face, loaded (with asyncio) only when asked for.
    if name == "AsyncConnectionPool":
        from .aio_pool import AsyncConnectionPool
        return AsyncConnectionPool
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
