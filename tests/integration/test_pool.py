"""ConnectionPool against the throwaway server: checkouts commit or roll back, broken
connections are replaced and never handed out, timeouts and closing wake waiting
requests, and a pool whose server stops serves again once it is back."""
import threading
import time

import pytest

import ztcondb
from ztcondb.pool import ConnectionPool, PoolClosed, PoolTimeout, TooManyRequests

from test_faults import Server


def kwargs_of(pg):
    return dict(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])


@pytest.fixture
def make_pool(pg):
    pools = []

    def make(pg_=None, **kw):
        kw.setdefault("min_size", 1)
        kw.setdefault("timeout", 5)
        pool = ConnectionPool(kwargs=kwargs_of(pg_ or pg), **kw)
        pools.append(pool)
        return pool
    yield make
    for pool in pools:
        pool.close()


# Set up before make_pool, so that its pools (and their transactions) close before the
# table is dropped.
@pytest.fixture
def counter(pg):
    conn = ztcondb.connect(**kwargs_of(pg))
    conn.autocommit = True
    cur = conn.cursor()
    cur.execute("drop table if exists pool_counter")
    cur.execute("create table pool_counter (n integer)")
    yield cur
    cur.execute("drop table if exists pool_counter")
    conn.close()


def backend_pid(conn):
    cur = conn.cursor()
    cur.execute("select pg_backend_pid()")
    return cur.fetchone()[0]


def rows(cur):
    cur.execute("select count(*) from pool_counter")
    return cur.fetchone()[0]


@pytest.mark.parametrize("ending, kept", [
    ("ok", 1),            # the block succeeded: committed
    ("raise", 0),         # the block raised: rolled back
])
def test_connection_block_commits_or_rolls_back(counter, make_pool, ending, kept):
    pool = make_pool()
    with pytest.raises(ZeroDivisionError) if ending == "raise" else _nothing():
        with pool.connection() as conn:
            conn.cursor().execute("insert into pool_counter values (1)")
            if ending == "raise":
                1 / 0
    assert rows(counter) == kept
    assert pool.get_stats()["pool_available"] == 1


class _nothing:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("leave", ["open transaction", "failed transaction", "autocommit on"])
def test_returned_connection_comes_back_clean(counter, make_pool, leave):
    pool = make_pool(max_size=1)
    conn = pool.getconn()
    cur = conn.cursor()
    if leave == "open transaction":
        cur.execute("insert into pool_counter values (1)")
    elif leave == "failed transaction":
        with pytest.raises(ztcondb.Error):
            cur.execute("select 1/0")
    else:
        conn.autocommit = True
    pool.putconn(conn)
    again = pool.getconn()
    assert again is conn and again.autocommit is False
    cur = again.cursor()
    cur.execute("select count(*) from pool_counter")   # would fail in a failed transaction
    assert cur.fetchone()[0] == 0
    pool.putconn(again)


@pytest.mark.parametrize("check", [None, ConnectionPool.check_connection])
def test_broken_connection_is_replaced_never_handed_out(make_pool, pg, check):
    pool = make_pool(max_size=1, check=check)
    with pool.connection() as conn:
        pid = backend_pid(conn)
    killer = ztcondb.connect(**kwargs_of(pg))
    killer.cursor().execute("select pg_terminate_backend(?)", (pid,))
    killer.close()
    if check is None:
        # Unchecked, the user meets the broken session once; it is not handed out again.
        with pytest.raises(ztcondb.OperationalError):
            with pool.connection() as conn:
                backend_pid(conn)
    with pool.connection() as conn:
        assert backend_pid(conn) != pid
    stats = pool.get_stats()
    assert stats["pool_size"] == 1 and stats.get("returns_bad", 0) == 1


def test_timeout_full_queue_and_close_wake_waiters(make_pool):
    pool = make_pool(max_size=1, max_waiting=1)
    held = pool.getconn()
    started = time.monotonic()
    with pytest.raises(PoolTimeout) as info:
        pool.getconn(timeout=0.2)
    assert time.monotonic() - started < 3
    assert "1 in use" in str(info.value) and "max_size 1" in str(info.value)

    errors = []

    def waiter():
        try:
            pool.getconn(timeout=10)
        except BaseException as exc:   # noqa: B902 - the test inspects it
            errors.append(exc)
    t = threading.Thread(target=waiter)
    t.start()
    deadline = time.monotonic() + 5
    while pool.get_stats()["requests_waiting"] < 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    with pytest.raises(TooManyRequests):
        pool.getconn(timeout=1)
    pool.close()
    t.join(5)
    assert not t.is_alive()
    assert len(errors) == 1 and isinstance(errors[0], PoolClosed)
    with pytest.raises(PoolClosed):
        pool.getconn()
    pool.putconn(held)   # back to a closed pool: closed, not kept
    assert held.closed


def test_threads_share_a_small_pool(counter, make_pool):
    pool = make_pool(min_size=2, max_size=3)
    pool.wait(10)
    failures = []

    def work():
        try:
            for _ in range(40):
                with pool.connection() as conn:
                    conn.cursor().execute("insert into pool_counter values (1)")
        except BaseException as exc:   # noqa: B902
            failures.append(exc)
    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert not failures
    assert rows(counter) == 240
    stats = pool.get_stats()
    assert stats["pool_size"] <= 3 and stats["requests_num"] == 240


def test_lifetime_and_idle_limits(make_pool):
    pool = make_pool(min_size=1, max_size=3, max_lifetime=0.3, max_idle=0.2)
    with pool.connection() as conn:
        first = backend_pid(conn)
    time.sleep(0.4)
    with pool.connection() as conn:   # older than its lifetime: replaced
        assert backend_pid(conn) != first
    conns = [pool.getconn() for _ in range(3)]
    for c in conns:
        pool.putconn(c)
    deadline = time.monotonic() + 5
    while pool.get_stats()["pool_size"] > 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert pool.get_stats()["pool_size"] == 1


def test_callbacks_run(make_pool):
    seen = []

    def configure(conn):
        conn.cursor().execute("set application_name = 'pooled'")
        seen.append("configure")

    def reset(conn):
        seen.append("reset")
    pool = make_pool(max_size=1, configure=configure, reset=reset)
    with pool.connection() as conn:
        cur = conn.cursor()
        cur.execute("show application_name")
        assert cur.fetchone()[0] == "pooled"
    assert seen == ["configure", "reset"]


@pytest.mark.parametrize("kw", [
    dict(min_size=-1), dict(min_size=3, max_size=2), dict(min_size=0, max_size=0),
    dict(timeout=-1), dict(max_idle=float("nan")), dict(max_waiting=-1),
    dict(num_workers=0), dict(min_size="2"),
])
def test_bad_settings_are_refused(kw):
    with pytest.raises(ValueError):
        ConnectionPool(open=False, **kw)


def test_foreign_connection_refused(make_pool, pg):
    pool = make_pool()
    other = ztcondb.connect(**kwargs_of(pg))
    with pytest.raises(ztcondb.ProgrammingError):
        pool.putconn(other)
    other.close()


@pytest.fixture(scope="module")
def own_server():
    server = Server()
    try:
        yield server
    finally:
        server.remove()


def test_pool_serves_again_after_the_server_returns(own_server, make_pool):
    pool = make_pool(own_server.pg, max_size=2, check=ConnectionPool.check_connection)
    pool.wait(10)
    import subprocess
    from test_faults import TOOL_ENV
    subprocess.run(own_server.stop_command(), check=True, env=TOOL_ENV,
                   stdout=subprocess.DEVNULL)
    with pytest.raises(PoolTimeout) as info:
        pool.getconn(timeout=1)
    assert "last connection attempt failed" in str(info.value)
    own_server.start()
    pool.wait(15)     # refilled by its own retries, with no request asking
    with pool.connection(timeout=15) as conn:
        assert backend_pid(conn) > 0
    assert pool.get_stats()["connections_errors"] >= 1
