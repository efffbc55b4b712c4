"""A connection in a forked child: every use raises InterfaceError, and nothing the child
does (close, garbage collection, exit, a Pool worker's life) touches the parent's
session, which goes on over plain TCP and over TLS; nothing hangs in the child, also
when a parent thread was inside a call at the fork."""
import gc
import multiprocessing
import os
import subprocess
import sys
import threading
import time

import pytest

import _pyztdb
import ztcondb
import test_connect

# The fixtures the TLS case borrows.
clean_env, tls_server = test_connect.clean_env, test_connect.tls_server

CHILD_DEADLINE = 5.0


def backend_pid(conn):
    cur = conn.cursor()
    cur.execute("select pg_backend_pid()")
    return cur.fetchone()[0]


def in_child(action):
    """Runs action() in a forked child; its exit code: 0 when it returned, 1 when it
    raised, 2 when it did not end within the deadline (it is then killed)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            action()
            code = 0
        finally:
            os._exit(code)
    deadline = time.monotonic() + CHILD_DEADLINE
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") \
                else status >> 8
        time.sleep(0.02)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return 2


def uses(conn):
    """What the child may try on an inherited connection: every one must raise
    InterfaceError."""
    def execute():
        conn.cursor().execute("select 1")

    def cursor_made_before():
        uses.cur.execute("select 1")

    def commit():
        conn.commit()

    def cancel():
        conn.cancel()
    return [execute, cursor_made_before, commit, cancel]


def open_conn(pg, face, sslmode=None):
    if face == "module":
        return _pyztdb._connect(pg["port"], pg["host"], pg["db"], pg["user"], "", "UTF8",
                                sslmode or "0")
    return ztcondb.connect(host=pg["host"], port=pg["port"], user=pg["user"],
                           dbname=pg["db"], sslmode=sslmode)


def child_ends(how, holder):
    """The child's way of leaving the inherited connection."""
    def action():
        if how == "close":
            holder["conn"].close()
        elif how == "gc":
            del holder["conn"]
            gc.collect()
        elif how == "with":
            try:
                with holder["conn"]:
                    pass
            except ztcondb.InterfaceError:   # ztcondb's block commits: a use
                pass
        # "exit": nothing; the child just ends
    return action


@pytest.mark.parametrize("face", ["module", "ztcondb"])
@pytest.mark.parametrize("how", ["exit", "close", "gc", "with"])
def test_a_child_leaving_the_connection_leaves_the_parents_session(pg, face, how):
    holder = {"conn": open_conn(pg, face)}
    before = backend_pid(holder["conn"])
    assert in_child(child_ends(how, holder)) == 0
    # The same server session, still usable.
    assert backend_pid(holder["conn"]) == before
    holder["conn"].close()


@pytest.mark.parametrize("face", ["module", "ztcondb"])
@pytest.mark.parametrize("use", range(4), ids=["execute", "old-cursor", "commit", "cancel"])
def test_every_use_in_a_child_raises_interface_error(pg, face, use):
    conn = open_conn(pg, face)
    uses.cur = conn.cursor()
    expected = _pyztdb.InterfaceError if face == "module" else ztcondb.InterfaceError
    action = uses(conn)[use]

    def child():
        try:
            action()
        except expected as exc:
            assert "opened by another process" in str(exc)
            return
        raise AssertionError("no InterfaceError")
    assert in_child(child) == 0
    assert backend_pid(conn) > 0
    conn.close()


@pytest.mark.parametrize("how", ["exit", "close"])
def test_a_child_sends_no_tls_close_notify(pg, tls_server, clean_env, how):
    clean_env.setenv("PGSSLROOTCERT", tls_server)
    holder = {"conn": open_conn(pg, "ztcondb", sslmode="require")}
    cur = holder["conn"].cursor()
    cur.execute("select ssl from pg_stat_ssl where pid = pg_backend_pid()")
    assert cur.fetchone() == (True,)
    before = backend_pid(holder["conn"])
    assert in_child(child_ends(how, holder)) == 0
    assert backend_pid(holder["conn"]) == before
    holder["conn"].close()


@pytest.mark.parametrize("how", ["close", "gc"])
def test_a_child_does_not_hang_while_a_parent_thread_is_in_a_call(pg, how):
    # Regression (the child's close waited forever for the lock the parent's thread
    # held at the fork).
    holder = {"conn": open_conn(pg, "ztcondb")}
    results = []

    def long_call():
        cur = holder["conn"].cursor()
        cur.execute("select pg_sleep(1), 7")
        results.append(cur.fetchone())
    thread = threading.Thread(target=long_call)
    thread.start()
    time.sleep(0.3)
    try:
        assert in_child(child_ends(how, holder)) == 0
    finally:
        thread.join(10)
    assert results == [("", 7)] or results == [(None, 7)]
    holder["conn"].close()


_POOL_CONN = None


def _pool_task(n):
    try:
        _POOL_CONN.cursor().execute("select %d" % n)
    except ztcondb.InterfaceError:
        return "refused"
    return "used"


def test_pool_workers_cannot_use_or_break_the_parents_connection(pg):
    global _POOL_CONN
    _POOL_CONN = open_conn(pg, "ztcondb")
    before = backend_pid(_POOL_CONN)
    try:
        with multiprocessing.get_context("fork").Pool(2) as pool:
            assert pool.map(_pool_task, range(6), chunksize=1) == ["refused"] * 6
        assert backend_pid(_POOL_CONN) == before
    finally:
        _POOL_CONN.close()
        _POOL_CONN = None


SCRIPT = """
import os, sys
sys.path.insert(0, sys.argv[1])
import _pyztdb
conn = _pyztdb._connect(int(sys.argv[3]), sys.argv[2], sys.argv[4], sys.argv[5], "", "UTF8", "0")
cur = conn.cursor()
cur.execute("select pg_backend_pid()")
before = cur.fetchone()
pid = os.fork()
if pid == 0:
    sys.exit(0)          # the interpreter's own exit: finalizers, module teardown
os.waitpid(pid, 0)
cur.execute("select pg_backend_pid()")
print(cur.fetchone() == before)
"""


def test_a_child_ending_through_the_interpreters_exit_leaves_the_session(pg):
    build = os.environ.get("ZT_BUILD_DIR") or os.path.join(
        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "build")
    out = subprocess.run([sys.executable, "-c", SCRIPT, os.path.join(build, "python"),
                          pg["host"], str(pg["port"]), pg["db"], pg["user"]],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         universal_newlines=True, timeout=20)
    assert (out.returncode, out.stdout.strip()) == (0, "True"), out.stderr[-2000:]
