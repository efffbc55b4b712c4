"""Ctrl-C, or an exception a signal handler raises, while executemany runs a large batch:
either the batch is cancelled and none of its rows are stored, or it had completed and the
exception raised after it says so. Never an interrupt with the rows silently stored."""
import os
import signal
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import ztcondb  # noqa: E402


class Stop(Exception):
    """What the SIGUSR1 handler of these tests raises."""


def _raise_stop(signum, frame):
    raise Stop("stopped by a signal handler")


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt


SIGNALS = {"ctrl-c": (signal.SIGINT, _raise_interrupt, KeyboardInterrupt),
           "handler": (signal.SIGUSR1, _raise_stop, Stop)}

# (statement path, statement, rows): a plain INSERT goes through COPY, the other through the
# pipeline of one statement per row; both sized to run for a fraction of a second.
PATHS = {"copy": ("insert into {t} values (?, ?)", 100000),
         "pipeline": ("insert into {t} select ?, ?", 20000)}


@pytest.fixture
def db(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    yield conn
    conn.rollback()
    conn.close()


def _count(conn, table):
    cur = conn.cursor()
    cur.execute("select count(*) from %s" % table)
    return cur.fetchone()[0]


def _interrupted_run(cur, statement, rows, delay, signum, expected):
    """Runs executemany with the signal sent `delay` seconds in; the exception it raised, or
    None when it returned first (the signal's exception is then caught after it), and
    whether it returned."""
    timer = threading.Timer(delay, os.kill, (os.getpid(), signum))
    returned = False
    caught = None
    try:
        timer.start()
        cur.executemany(statement, rows)
        returned = True
        timer.join()
        for _ in range(50):  # the handler runs at the next check of the interpreter
            time.sleep(0.001)
    except expected as exc:
        caught = exc
    finally:
        timer.cancel()
        timer.join()
    return caught, returned


@pytest.mark.parametrize("autocommit", [True, False], ids=["autocommit", "transaction"])
@pytest.mark.parametrize("fraction", [0.1, 0.5, 0.9])
@pytest.mark.parametrize("how", sorted(SIGNALS))
@pytest.mark.parametrize("path", sorted(PATHS))
def test_interrupt_cancels_or_says_it_completed(db, table_name, path, how, fraction,
                                                autocommit):
    signum, handler, expected = SIGNALS[how]
    statement, n = PATHS[path]
    statement = statement.format(t=table_name)
    rows = [(i, "row %d " % i + "x" * 150) for i in range(n)]
    db.autocommit = True
    cur = db.cursor()
    cur.execute("create temp table %s (a int, b text)" % table_name)
    # A run without a signal, timed to place the signal inside the next one.
    started = time.monotonic()
    cur.executemany(statement, rows)
    took = time.monotonic() - started
    cur.execute("truncate %s" % table_name)
    db.autocommit = autocommit

    previous = signal.signal(signum, handler)
    try:
        caught, returned = _interrupted_run(cur, statement, rows, took * fraction, signum,
                                            expected)
    finally:
        signal.signal(signum, previous)
    assert caught is not None
    notes = " ".join(getattr(caught, "__notes__", []))
    if returned:
        stored = _count(db, table_name)
        assert stored == n
    elif "had completed" in notes:
        assert "rows are stored" in notes
        assert _count(db, table_name) == n
    else:
        # Cancelled (or interrupted before the batch was sent): nothing of it is stored,
        # now or after a commit.
        if not autocommit:
            db.rollback()
        assert _count(db, table_name) == 0
    if not autocommit:
        db.commit()
    assert _count(db, table_name) in (0, n)
