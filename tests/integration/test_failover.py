"""Failover with PostgreSQL's own streaming replication: a primary and a standby made
with pg_basebackup -R, both on this machine (127.0.0.1, two ports). A connection given
both servers with target_session_attrs reaches the right one; when the primary stops
an in-flight call fails with OperationalError, and once the standby is promoted the
next connect with read-write reaches it.
"""
import os
import socket
import subprocess
import tempfile
import time

import pytest

import ztcondb

from conftest import REPO
from test_faults import PG_BIN, TOOL_ENV, as_postgres, watch_and_fire

SCRIPT = os.path.join(REPO, "scripts", "pg-test-server")


def run(args, **kw):
    return subprocess.run(args, env=TOOL_ENV, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, **kw).stdout


def pg_ctl(data, *args):
    return run(as_postgres([os.path.join(PG_BIN, "pg_ctl"), "-D", data] + list(args)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Pair:
    """The primary (a throwaway test cluster) and its streaming standby."""

    def __init__(self):
        out = run([SCRIPT, "start"])
        env = dict(line[len("export "):].split("=", 1) for line in out.splitlines()
                   if line.startswith("export "))
        self.primary_dir = env["ZT_TEST_PGDIR"]
        self.primary_port = int(env["ZT_TEST_PORT"])
        self.standby_dir = None
        primary_data = os.path.join(self.primary_dir, "data")
        with open(os.path.join(primary_data, "pg_hba.conf"), "a") as f:
            f.write("host    replication     all     127.0.0.1/32    trust\n")
        pg_ctl(primary_data, "reload")
        self.standby_dir = tempfile.mkdtemp(prefix="zt-pg-standby.")
        open(os.path.join(self.standby_dir, ".zt-test-server"), "w").close()
        if os.getuid() == 0:
            run(["chown", "-R", "postgres:postgres", self.standby_dir])
        self.standby_port = free_port()
        standby_data = os.path.join(self.standby_dir, "data")
        run(as_postgres([os.path.join(PG_BIN, "pg_basebackup"), "-h", "127.0.0.1", "-p",
                         str(self.primary_port), "-U", "postgres", "-D", standby_data,
                         "-R", "-X", "stream", "--no-sync"]))
        with open(os.path.join(standby_data, "postgresql.conf"), "a") as f:
            f.write("port = %d\nunix_socket_directories = '%s'\n"
                    % (self.standby_port, self.standby_dir))
        pg_ctl(standby_data, "start", "-w", "-t", "60", "-l",
               os.path.join(self.standby_dir, "server.log"))

    def connect(self, attrs, **kw):
        return ztcondb.connect(host=["127.0.0.1", "127.0.0.1"],
                               port=[self.primary_port, self.standby_port],
                               database="postgres", user="postgres",
                               target_session_attrs=attrs, connect_timeout=3, **kw)

    def remove(self):
        for d in (self.primary_dir, self.standby_dir):
            if d:
                subprocess.run([SCRIPT, "stop", d], env=TOOL_ENV, check=False)


def where(conn):
    """(port, in recovery) of the server the session reached."""
    cur = conn.cursor()
    cur.execute("select inet_server_port(), pg_is_in_recovery()")
    port, recovery = cur.fetchone()
    # A boolean reads back as b"T"/b"F" from the module, as a bool from ztcondb.
    return port, recovery in (True, b"T")


def wait_for(condition, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


@pytest.fixture(scope="module")
def pair():
    p = Pair()
    try:
        yield p
    finally:
        p.remove()


def test_failover_to_a_promoted_standby(pair):
    # A row written on the primary reaches the standby: replication is streaming.
    with pair.connect("read-write") as conn:
        assert where(conn) == (pair.primary_port, False)
        cur = conn.cursor()
        cur.execute("create table failover_probe (id integer)")
        cur.execute("insert into failover_probe values (1)")
        conn.commit()

    def replicated():
        with pair.connect("standby") as c:
            cur = c.cursor()
            cur.execute("select count(*) from pg_class where relname = 'failover_probe'")
            return cur.fetchone()[0] == 1
    wait_for(replicated)

    # Each setting reaches its server.
    for attrs, port, recovery in [("read-write", pair.primary_port, False),
                                  ("primary", pair.primary_port, False),
                                  ("read-only", pair.standby_port, True),
                                  ("standby", pair.standby_port, True),
                                  ("prefer-standby", pair.standby_port, True),
                                  ("any", pair.primary_port, False)]:
        with pair.connect(attrs) as c:
            assert where(c) == (port, recovery), attrs

    # A call in flight on the primary when it stops fails cleanly.
    conn = pair.connect("read-write")
    cur = conn.cursor()
    cur.execute("select pg_backend_pid()")
    pid = cur.fetchone()[0]
    primary = {"host": "127.0.0.1", "port": pair.primary_port, "user": "postgres",
               "db": "postgres"}
    stop = as_postgres([os.path.join(PG_BIN, "pg_ctl"), "-D",
                        os.path.join(pair.primary_dir, "data"), "stop", "-m", "immediate"])
    watcher = watch_and_fire(primary, pid, "failover_marker", stop, delay=0.2)
    started = time.monotonic()
    with pytest.raises(ztcondb.OperationalError):
        cur.execute("select pg_sleep(30), 'failover_marker'")
    failed_after = time.monotonic() - started
    assert watcher.wait(timeout=60) == 0
    stopped_at = time.monotonic()
    with pytest.raises(ztcondb.OperationalError):
        cur.execute("select 1")
    conn.close()

    # No read-write server until the standby is promoted.
    with pytest.raises(ztcondb.OperationalError):
        pair.connect("read-write")
    pg_ctl(os.path.join(pair.standby_dir, "data"), "promote", "-w", "-t", "60")
    promoted_at = time.monotonic()
    connect_started = time.monotonic()
    with pair.connect("read-write") as conn:
        connected_at = time.monotonic()
        assert where(conn) == (pair.standby_port, False)
        cur = conn.cursor()
        cur.execute("insert into failover_probe values (2)")
        cur.execute("select id from failover_probe order by id")
        assert cur.fetchall() == [(1,), (2,)]
        conn.commit()
    print("failover: in-flight call failed %.2f s after it started; promotion took "
          "%.2f s; the next read-write connect took %.3f s; primary stop to a session "
          "on the new primary %.2f s" % (failed_after, promoted_at - stopped_at,
                                         connected_at - connect_started,
                                         connected_at - stopped_at))
