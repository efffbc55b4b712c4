"""Waiting on the server: no client-side limit abandons a statement the session allows,
an interrupt ends every wait (connecting included) without losing what arrived, named
cursors deliver every row around values that cannot be converted, and a lost session
reads as lost at once. Signals come from timer threads through os.kill; the relay below
stands between the driver and the throwaway server."""
import os
import select
import signal
import socket
import sys
import threading
import time

import pytest

from conftest import REPO

sys.path.insert(0, REPO)
import ztcondb  # noqa: E402


class Relay:
    """A loopback TCP relay to the server on a free port. `stall()` stops the pairs open
    so far (those opened later, such as cancel requests, still pass); `delay` holds each
    chunk from the server that long, calling `hook` (when set) first; `cut_after` resets a pair once its client sent more
    than that many bytes. Its thread ends by itself after 30 s."""

    def __init__(self, pg, delay=0.0, cut_after=None):
        self.target = (pg["host"], pg["port"])
        self.delay, self.cut_after = delay, cut_after
        self.hook = None
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.peer, self.live, self.sent = {}, {}, {}
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def connect(self, pg, autocommit=True):
        conn = ztcondb.connect(host="127.0.0.1", port=self.port, database=pg["db"],
                               user=pg["user"])
        conn.autocommit = autocommit
        return conn

    def stall(self):
        for s in list(self.live):
            self.live[s] = False

    def _drop(self, s, reset=False):
        other = self.peer.pop(s, None)
        if reset:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
        for x in (s, other):
            if x is not None:
                self.peer.pop(x, None)
                self.live.pop(x, None)
                x.close()

    def _accept(self):
        client, _ = self.listener.accept()
        server = socket.create_connection(self.target)
        self.peer[client], self.peer[server] = server, client
        self.live[client] = self.live[server] = True
        self.sent[client] = 0

    def _forward(self, s):
        try:
            data = s.recv(65536)
        except OSError:
            data = b""
        if not data:
            return self._drop(s)
        if s in self.sent:
            self.sent[s] += len(data)
            if self.cut_after is not None and self.sent[s] > self.cut_after:
                return self._drop(s, reset=True)
        elif self.delay:
            if self.hook:
                self.hook()
            time.sleep(self.delay)
        try:
            self.peer[s].sendall(data)
        except (OSError, KeyError):
            self._drop(s)

    def _serve(self):
        deadline = time.monotonic() + 30
        while not self.done.is_set() and time.monotonic() < deadline:
            ready, _, _ = select.select([self.listener] + list(self.peer), [], [], 0.05)
            for s in ready:
                if s is self.listener:
                    self._accept()
                elif s in self.peer and self.live.get(s):
                    self._forward(s)
            if self.peer and not any(self.live.values()):
                time.sleep(0.02)

    def close(self):
        self.done.set()
        self.thread.join(2)
        for s in list(self.peer):
            s.close()
        self.listener.close()


class Boom(Exception):
    """What the tests' signal handler raises."""


@pytest.fixture
def boom():
    """SIGUSR1 raises Boom in the main thread; fire(delay) sends it from a timer."""
    old = signal.signal(signal.SIGUSR1, _raise_boom)
    timers = []

    def fire(delay):
        t = threading.Timer(delay, os.kill, (os.getpid(), signal.SIGUSR1))
        timers.append(t)
        t.start()

    try:
        yield fire
    finally:
        for t in timers:
            t.cancel()
            t.join()
        signal.signal(signal.SIGUSR1, old)


def _raise_boom(signum, frame):
    raise Boom()


def connect(pg, autocommit=True, **settings):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"], **settings)
    conn.autocommit = autocommit
    return conn


# ---- no client-side limit: a statement the session allows runs to its end ----

# (connection settings, PGOPTIONS, statements run first): each session lets a 5.5 s
# statement run, whatever its connect-time settings said.
ALLOWED = [
    ({"options": "-c statement_timeout=100"}, None, ["SET statement_timeout = 0"]),
    ({"options": "-c statement_timeout=100", "autocommit": False}, None,
     ["SET LOCAL statement_timeout = '20s'"]),
    ({"options": "-c statement_timeout=1.5min"}, None, []),
    ({"options": "-c work_mem=8MB"}, "-c statement_timeout=100", []),
]


def test_a_statement_the_session_allows_runs_to_its_end_and_is_stored(pg):
    """Each case runs on its own connection at the same time (the statements take 5.5 s:
    longer than the connect-time timeout plus any grace a client could add)."""
    setup = connect(pg)
    setup.cursor().execute("create table if not exists waited (k int)")
    setup.cursor().execute("delete from waited")
    conns = []
    saved = os.environ.get("PGOPTIONS")
    try:
        for settings, env, _ in ALLOWED:
            if env is None:
                os.environ.pop("PGOPTIONS", None)
            else:
                os.environ["PGOPTIONS"] = env
            conns.append(connect(pg, **settings))
    finally:
        if saved is None:
            os.environ.pop("PGOPTIONS", None)
        else:
            os.environ["PGOPTIONS"] = saved
    outcomes = [None] * len(ALLOWED)

    def run(k):
        try:
            cur = conns[k].cursor()
            for text in ALLOWED[k][2]:
                cur.execute(text)
            cur.execute("insert into waited select %d from pg_sleep(5.5)" % k)
            conns[k].commit()
            outcomes[k] = "ok"
        except Exception as exc:  # the outcome is asserted below
            outcomes[k] = repr(exc)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(ALLOWED))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    cur = setup.cursor()
    cur.execute("select k from waited order by k")
    assert outcomes == ["ok"] * len(ALLOWED)
    assert cur.fetchall() == [(k,) for k in range(len(ALLOWED))]
    for c in conns + [setup]:
        c.close()


def test_the_servers_timeout_fails_the_statement_and_stores_nothing(pg):
    conn = connect(pg, options="-c statement_timeout=300")
    cur = conn.cursor()
    cur.execute("create temp table t (k int)")
    with pytest.raises(ztcondb.OperationalError, match=r"^\[57014\]"):
        cur.execute("insert into t select 1 from pg_sleep(2)")
    cur.execute("select count(*) from t")
    assert cur.fetchone() == (0,)
    conn.close()


# ---- interrupts ----

@pytest.fixture
def silent_port():
    """A loopback port whose listener completes TCP handshakes and never answers; it is
    closed after 5 s, so that a connect nothing else ends fails then."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(4)
    guard = threading.Timer(5, s.close)
    guard.start()
    yield s.getsockname()[1]
    guard.cancel()
    s.close()


@pytest.mark.parametrize("timeout", [0, 10, None])
def test_an_interrupt_ends_a_connect_whatever_its_timeout(pg, boom, silent_port, timeout):
    settings = {} if timeout is None else {"connect_timeout": timeout}
    boom(0.3)
    started = time.monotonic()
    with pytest.raises(Boom):
        ztcondb.connect(host="127.0.0.1", port=silent_port, database=pg["db"],
                        user=pg["user"], **settings)
    assert time.monotonic() - started < 1.5


@pytest.mark.parametrize("hosts, seconds", [
    ("silent", (1.9, 3.5)),
    ("silent,server", (1.9, 3.5)),
])
def test_connect_timeout_gives_up_a_silent_host_for_the_next(pg, silent_port, hosts, seconds):
    ports = {"silent": silent_port, "server": pg["port"]}
    names = hosts.split(",")
    started = time.monotonic()
    try:
        conn = ztcondb.connect(host=",".join("127.0.0.1" for _ in names),
                               port=",".join(str(ports[n]) for n in names),
                               database=pg["db"], user=pg["user"], connect_timeout=1)
    except ztcondb.OperationalError as exc:
        assert names[-1] == "silent" and "timeout" in str(exc)
    else:
        assert names[-1] == "server"
        conn.close()
    assert seconds[0] < time.monotonic() - started < seconds[1]


# ---- named cursors: every row, exactly once ----

def read_events(cur, how, errors, bound):
    """Reads the cursor to its end with `how`, catching `errors` and carrying on: the
    first column of every row, and "E" where an error was raised."""
    events = []
    for _ in range(bound):
        try:
            if how == "iterate":
                for row in cur:
                    events.append(row[0])
                return events
            if how == "fetchone":
                row = cur.fetchone()
                if row is None:
                    return events
                events.append(row[0])
                continue
            rows = cur.fetchmany(7) if how == "fetchmany" else cur.fetchall()
            if not rows:
                return events
            events.extend(row[0] for row in rows)
        except errors:
            events.append("E")
    raise AssertionError("no end after %d reads: %r" % (bound, events[-20:]))


# (rows, itersize, readahead, rows holding a date Python cannot hold)
UNCONVERTIBLE = [
    (5000, 1000, True, [2500]),
    (5000, 1000, False, [2500]),
    (30, 10, True, [1, 10, 11, 20, 30]),
    (12, 5, False, [3, 4, 5, 6, 7]),
]


@pytest.mark.parametrize("how", ["iterate", "fetchone", "fetchmany", "fetchall"])
@pytest.mark.parametrize("rows, itersize, readahead, bad", UNCONVERTIBLE)
def test_a_named_cursor_raises_at_a_bad_row_and_loses_none_around_it(
        pg, how, rows, itersize, readahead, bad):
    conn = connect(pg, autocommit=False)
    cur = conn.cursor(name="bad_rows")
    cur.itersize, cur.readahead = itersize, readahead
    cur.execute("select i, case when i = any(?::int[]) then 'infinity'::date "
                "else date '2024-01-01' end from generate_series(1, ?) i",
                ("{%s}" % ",".join(map(str, bad)), rows))
    events = read_events(cur, how, ztcondb.DataError, rows + 3 * len(bad) + 10)
    expected = ["E" if i in bad else i for i in range(1, rows + 1)]
    if how == "fetchall":
        # fetchall reports a bad row before handing out the rows around it.
        assert [e for e in events if e != "E"] == [i for i in expected if i != "E"]
        assert events.count("E") == len(bad)
    else:
        assert events == expected
    assert cur.rownumber == rows
    conn.close()


@pytest.mark.parametrize("readahead", [True, False])
@pytest.mark.parametrize("how", ["iterate", "fetchone", "fetchmany"])
def test_a_signal_while_a_page_arrives_loses_no_row(pg, boom, how, readahead):
    """The relay holds each answer 0.15 s and sends a signal as it starts holding each of
    the first four, so the signals land while the driver waits for a page; the loop
    catches the handler's exception and reads on."""
    relay = Relay(pg, delay=0.15)
    try:
        conn = relay.connect(pg, autocommit=False)
        cur = conn.cursor(name="slow_pages")
        cur.itersize, cur.readahead = 100, readahead
        cur.execute("select i from generate_series(1, 600) i")
        signals = iter(range(4))
        relay.hook = lambda: next(signals, None) is not None and os.kill(os.getpid(),
                                                                         signal.SIGUSR1)
        events = read_events(cur, how, Boom, 1000)
        assert [e for e in events if e != "E"] == list(range(1, 601))
        assert events.count("E") == 4
        conn.close()
    finally:
        relay.close()


@pytest.mark.parametrize("readahead", [True, False])
@pytest.mark.parametrize("how", ["iterate", "fetchone", "fetchmany", "fetchall"])
def test_an_exception_as_a_page_call_returns_loses_no_row(pg, how, readahead):
    """A signal handler runs as soon as a call returns, before its value is stored: a
    profile hook raising at the return of the first page call stands in for it (the
    interpreter drops a hook once it raises)."""
    conn = connect(pg, autocommit=False)
    cur = conn.cursor(name="returning_pages")
    cur.itersize, cur.readahead = 50, readahead
    cur.execute("select i from generate_series(1, 400) i")
    calls = [0]

    def hook(frame, event, arg):
        if event == "c_return" and getattr(arg, "__name__", "") == "fetchpage":
            calls[0] += 1
            if calls[0] == 1:
                raise Boom()
    sys.setprofile(hook)
    try:
        events = read_events(cur, how, Boom, 1000)
    finally:
        sys.setprofile(None)
    assert [e for e in events if e != "E"] == list(range(1, 401))
    assert events.count("E") == 1
    conn.close()


@pytest.mark.parametrize("withhold", [False, True])
@pytest.mark.parametrize("name", [
    "c" * 63,
    "c" * 64,
    "long_cursor_name_" * 6,
    "\u00e9" * 40,
    'quote"d' * 12,
])
def test_a_long_cursor_name_is_closed_by_the_name_the_server_keeps(pg, name, withhold):
    conn = connect(pg, autocommit=withhold)
    cur = conn.cursor(name=name, withhold=withhold)
    for _ in range(2):
        cur.execute("select generate_series(1, 3)")
        assert list(cur) == [(1,), (2,), (3,)]
    cur.close()
    check = conn.cursor()
    check.execute("select count(*) from pg_catalog.pg_cursors")
    assert check.fetchone() == (0,)
    conn.close()


# ---- a session lost while sending reads as lost at once ----

SENDS = {
    "parameter": lambda cur: cur.execute("select length(?)", ("x" * 300000,)),
    "text": lambda cur: cur.execute("select '%s'" % ("x" * 300000)),
    "executemany": lambda cur: cur.executemany("insert into t values (?, ?)",
                                               [(i, "z" * 100) for i in range(5000)]),
}


@pytest.mark.parametrize("send", sorted(SENDS))
def test_a_session_lost_while_sending_reads_broken_at_once(pg, send):
    relay = Relay(pg)
    try:
        conn = relay.connect(pg)
        cur = conn.cursor()
        cur.execute("create temp table t (a int, b text)")
        relay.cut_after = 100000
        with pytest.raises(ztcondb.OperationalError, match=r"^\[08006\]"):
            SENDS[send](cur)
        assert conn.broken is True and conn.closed is True
    finally:
        relay.close()
