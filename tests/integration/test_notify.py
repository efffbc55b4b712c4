"""LISTEN / NOTIFY through ztcondb against the throwaway server: what arrives, what is
kept while other statements run, select() on the connection, the wait releasing the
interpreter lock and ending on Ctrl-C or a lost session."""
import os
import select
import signal
import threading
import time

import pytest

import ztcondb
from ztcondb.connection import Notify


def kwargs_of(pg):
    return dict(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])


@pytest.fixture
def pair(pg):
    """A listener on channel "zt_chan" and a sender, both in autocommit mode."""
    listener = ztcondb.connect(**kwargs_of(pg))
    sender = ztcondb.connect(**kwargs_of(pg))
    listener.autocommit = sender.autocommit = True
    listener.cursor().execute("listen zt_chan")
    yield listener, sender
    for c in (listener, sender):
        c.close()


def pid_of(conn):
    cur = conn.cursor()
    cur.execute("select pg_backend_pid()")
    return cur.fetchone()[0]


@pytest.mark.parametrize("payload", ["", "hello", "snow \u2603 \u00e9", "it's \"quoted\"",
                                     "x" * 7999])
def test_payloads_arrive_whole(pair, payload):
    listener, sender = pair
    sender.cursor().execute("select pg_notify('zt_chan', ?)", (payload,))
    got = list(listener.notifies(timeout=5, stop_after=1))
    assert got == [Notify("zt_chan", payload, pid_of(sender))]


def test_notifications_during_other_statements_are_kept(pair):
    listener, sender = pair
    cur = listener.cursor()
    for i in range(3):
        sender.cursor().execute("notify zt_chan, '%d'" % i)
        cur.execute("select pg_sleep(0.01), ?", (i,))   # the listener is busy meanwhile
        assert cur.fetchone()[1] == i
    # A notification sent in a transaction arrives at its commit, not before.
    sender.autocommit = False
    sender.cursor().execute("notify zt_chan, 'committed'")
    assert list(listener.notifies(timeout=0.2)) == \
        [Notify("zt_chan", str(i), pid_of(sender)) for i in range(3)]
    sender.commit()
    assert [n.payload for n in listener.notifies(timeout=5, stop_after=1)] == ["committed"]


def test_select_on_the_connection(pair):
    listener, sender = pair
    assert listener.fileno() >= 0
    assert select.select([listener], [], [], 0) == ([], [], [])
    sender.cursor().execute("notify zt_chan, 'ready'")
    readable, _, _ = select.select([listener], [], [], 5)
    assert readable == [listener]
    assert [n.payload for n in listener.notifies(timeout=0)] == ["ready"]


def test_wait_releases_the_interpreter_and_ends_at_timeout(pair):
    listener, _ = pair
    ticks = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)
    t = threading.Thread(target=spin)
    t.start()
    started = time.monotonic()
    assert list(listener.notifies(timeout=0.3)) == []
    waited = time.monotonic() - started
    stop.set()
    t.join()
    assert 0.29 <= waited < 5, waited
    assert len(ticks) > 20


def test_ctrl_c_ends_the_wait(pair):
    listener, _ = pair
    # A shell's background job starts with SIGINT ignored: Python's own handler is set.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            listener.waitnotify(30)       # one wait of the library's, not a Python loop
    finally:
        timer.join()
        signal.signal(signal.SIGINT, previous)
    assert time.monotonic() - started < 5
    # The session still works.
    cur = listener.cursor()
    cur.execute("select 1")
    assert cur.fetchone() == (1,)


def test_handlers_see_notifications_after_statements(pair):
    listener, sender = pair
    seen = []
    listener.add_notify_handler(seen.append)
    sender.cursor().execute("notify zt_chan, 'a'")
    time.sleep(0.05)
    listener.cursor().execute("select 1")
    assert [n.payload for n in seen] == ["a"]
    listener.remove_notify_handler(seen.append)
    sender.cursor().execute("notify zt_chan, 'b'")
    time.sleep(0.05)
    listener.cursor().execute("select 1")
    assert [n.payload for n in seen] == ["a"]
    assert [n.payload for n in listener.notifies(timeout=1, stop_after=1)] == ["b"]


@pytest.mark.parametrize("kw", [dict(timeout=-1), dict(timeout=float("nan")),
                                dict(stop_after=0)])
def test_bad_arguments(pair, kw):
    with pytest.raises(ValueError):
        next(pair[0].notifies(**kw))


def test_lost_session_ends_the_wait_with_an_error(pair):
    listener, sender = pair
    victim = pid_of(listener)
    threading.Timer(0.2, lambda: sender.cursor().execute(
        "select pg_terminate_backend(?)", (victim,))).start()
    with pytest.raises(ztcondb.OperationalError):
        for _ in listener.notifies(timeout=10):
            pass
    assert listener.closed
