"""Threads, cancel, Ctrl-C, timeouts and broken sessions against the test server.
`make test-tsan` runs this module under ThreadSanitizer."""
import os
import select
import signal
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import BUILD, REPO, connect

sys.path.insert(0, REPO)
import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402

# ztcondb raises its own classes; the module's connections the module's.
OPERATIONAL = (_pyztdb.OperationalError, ztcondb.OperationalError)


def run_threads(target, args_list):
    errors = []

    def wrapped(*args):
        try:
            target(*args)
        except BaseException as exc:  # reported to the test below
            errors.append(exc)

    threads = [threading.Thread(target=wrapped, args=args) for args in args_list]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_one_connection_shared_by_four_threads_never_mixes_results(pg):
    conn = connect(pg)

    def hammer(k):
        cur = conn.cursor()
        for i in range(150):
            cur.execute("select ?::int, x from generate_series(1, ?) x", (k * 1000 + i, 1 + i % 7))
            rows = cur.fetchall()
            assert rows == [(k * 1000 + i, x) for x in range(1, 2 + i % 7)]
            if i % 50 == 0:
                conn.commit()

    run_threads(hammer, [(k,) for k in range(4)])
    conn.close()


def test_close_from_another_thread_waits_for_the_running_call(pg):
    conn = connect(pg)
    cur = conn.cursor()
    ended = {}

    def long_call():
        cur.execute("select pg_sleep(0.5), 7")
        ended["call"] = time.monotonic()
        # The close may come between the two methods: then the cursor has lost its
        # session, which is the answer a closed connection gives.
        try:
            ended["rows"] = cur.fetchall()
        except OPERATIONAL as exc:
            ended["rows"] = str(exc)

    t = threading.Thread(target=long_call)
    t.start()
    time.sleep(0.15)
    conn.close()
    closed = time.monotonic()
    t.join()
    assert ended["rows"] == "The cursor object does not exist" or ended["rows"][0][1] == 7
    assert closed >= ended["call"]
    with pytest.raises(OPERATIONAL, match="^The cursor object does not exist$"):
        cur.execute("select 1")


@pytest.mark.parametrize("autocommit", [True, False])
def test_cancel_from_another_thread(pg, autocommit):
    conn = connect(pg)
    conn.autocommit(autocommit)
    cur = conn.cursor()
    timer = threading.Timer(0.2, conn.cancel)
    timer.start()
    started = time.monotonic()
    with pytest.raises(OPERATIONAL, match=r"^\[57014\] canceling statement"):
        cur.execute("select pg_sleep(10)")
    assert time.monotonic() - started < 2
    timer.join()
    if not autocommit:
        conn.rollback()
    cur.execute("select 5")
    assert cur.fetchall() == [(5,)]
    conn.close()


def child_env(**extra):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.join(BUILD, "python"), REPO]))
    env.update(extra)
    return env


def test_ctrl_c_cancels_the_statement_and_keeps_the_session(pg):
    script = textwrap.dedent("""
        import signal, sys, time, _pyztdb
        signal.signal(signal.SIGINT, signal.default_int_handler)
        conn = _pyztdb._connect(%d, %r, %r, %r, "", "UTF8", "0")
        cur = conn.cursor()
        print("ready", flush=True)
        started = time.monotonic()
        try:
            cur.execute("select pg_sleep(10)")
        except KeyboardInterrupt:
            print("interrupted %%.2f" %% (time.monotonic() - started), flush=True)
        cur.execute("select 42")
        print(cur.fetchall(), flush=True)
    """ % (pg["port"], pg["host"], pg["db"], pg["user"]))
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                             universal_newlines=True, env=child_env())
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=20)
    lines = out.splitlines()
    assert child.returncode == 0, out
    assert lines[0].startswith("interrupted ") and float(lines[0].split()[1]) < 1.0, out
    assert lines[1] == "[(42,)]"


class StallingProxy:
    """A loopback TCP proxy to the server that forwards until `stall` is set, then keeps
    every socket open and forwards nothing (a network that stopped)."""

    def __init__(self, target):
        self.target = target
        self.stall = threading.Event()
        self.done = threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.sockets = [self.listener]
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        peers = {}
        while not self.done.is_set():
            ready, _, _ = select.select(self.sockets, [], [], 0.05)
            for s in ready:
                if s is self.listener:
                    client, _ = s.accept()
                    server = socket.create_connection(self.target)
                    peers[client], peers[server] = server, client
                    self.sockets += [client, server]
                elif not self.stall.is_set():
                    data = s.recv(65536)
                    if data:
                        peers[s].sendall(data)
            if self.stall.is_set():
                time.sleep(0.05)

    def close(self):
        self.done.set()
        time.sleep(0.1)
        for s in self.sockets:
            s.close()


def proxied(proxy, pg, **settings):
    return ztcondb.connect(host="127.0.0.1", port=proxy.port, database=pg["db"],
                           user=pg["user"], **settings)


def test_connect_timeout_bounds_a_connect_that_gets_no_answer(pg):
    proxy = StallingProxy((pg["host"], pg["port"]))
    proxy.stall.set()
    started = time.monotonic()
    try:
        with pytest.raises(OPERATIONAL,
                           match="^Connection information is not correct: .*timeout"):
            proxied(proxy, pg, connect_timeout=1)
        assert time.monotonic() - started < 4
    finally:
        proxy.close()


def test_killed_backend_makes_the_session_broken(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    other = connect(pg)
    cur, ocur = conn.cursor(), other.cursor()
    cur.execute("select pg_backend_pid()")
    pid = cur.fetchall()[0][0]
    assert conn.broken is False and conn.closed is False
    ocur.execute("select pg_terminate_backend(?)", (pid,))
    time.sleep(0.2)
    with pytest.raises(OPERATIONAL, match=r"^\[(57P01|08006)\] ") as first:
        cur.execute("select 1")
    assert conn.broken is True and conn.closed is True
    started = time.monotonic()
    with pytest.raises(OPERATIONAL) as again:
        cur.execute("select 1")
    assert time.monotonic() - started < 0.1
    assert str(again.value) == str(first.value)
    conn.close()
    assert conn.broken is False and conn.closed is True
    other.close()


class CancelSwallowingProxy(StallingProxy):
    """Forwards sessions to the server, but takes every cancel request (a connection
    whose first message is the 16-byte CancelRequest) without passing it on, and counts
    them: the server never learns of the cancel."""

    CANCEL_CODE = (1234 << 16) | 5678

    def __init__(self, target):
        self.cancels = 0
        super().__init__(target)

    def serve(self):
        peers, fresh = {}, set()
        while not self.done.is_set():
            ready, _, _ = select.select(self.sockets, [], [], 0.05)
            for s in ready:
                if s is self.listener:
                    client, _ = s.accept()
                    self.sockets.append(client)
                    fresh.add(client)
                    continue
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if s in fresh:
                    fresh.discard(s)
                    if len(data) == 16 and int.from_bytes(data[4:8], "big") == self.CANCEL_CODE:
                        self.cancels += 1
                        self.sockets.remove(s)
                        s.close()
                        continue
                    server = socket.create_connection(self.target)
                    peers[s], peers[server] = server, s
                    self.sockets.append(server)
                if data:
                    peers[s].sendall(data)


class Interrupted(Exception):
    pass


def _interrupt(signum, frame):
    raise Interrupted()


def test_an_ignored_cancel_is_sent_once_then_the_session_is_given_up(pg):
    """A signal during a call sends one cancel request; when the server does not end the
    statement within 5 s of it, the session is given up (broken) instead of waiting on."""
    proxy = CancelSwallowingProxy((pg["host"], pg["port"]))
    other = connect(pg)
    previous = signal.signal(signal.SIGUSR1, _interrupt)
    pid = None
    try:
        conn = proxied(proxy, pg)
        conn.autocommit = True
        cur = conn.cursor()
        cur.execute("select pg_backend_pid()")
        pid = cur.fetchall()[0][0]
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGUSR1))
        timer.start()
        started = time.monotonic()
        with pytest.raises(Interrupted):
            cur.execute("select pg_sleep(12)")
        elapsed = time.monotonic() - started
        timer.join()
        assert proxy.cancels == 1
        assert 5 <= elapsed < 11
        assert conn.broken is True
        with pytest.raises(OPERATIONAL, match=r"^\[57014\] the server did not end"):
            cur.execute("select 1")
        conn.close()
    finally:
        signal.signal(signal.SIGUSR1, previous)
        if pid is not None:   # its pg_sleep would outlive the session given up
            other.cursor().execute("select pg_terminate_backend(?)", (pid,))
        other.close()
        proxy.close()
