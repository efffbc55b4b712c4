"""Spread reads: a primary and two streaming standbys on this machine; with
load_balance_hosts="random" and target_session_attrs="standby" sessions reach both
standbys, and when one stops the other still serves."""
import os
import subprocess
import tempfile

import pytest

import ztcondb

from test_failover import SCRIPT, free_port, pg_ctl, run, where
from test_faults import PG_BIN, TOOL_ENV, as_postgres


class Trio:
    """A throwaway primary and two standbys made from it with pg_basebackup -R."""

    def __init__(self):
        out = run([SCRIPT, "start"])
        env = dict(line[len("export "):].split("=", 1) for line in out.splitlines()
                   if line.startswith("export "))
        self.dirs = [env["ZT_TEST_PGDIR"]]
        self.ports = [int(env["ZT_TEST_PORT"])]
        primary_data = os.path.join(self.dirs[0], "data")
        with open(os.path.join(primary_data, "pg_hba.conf"), "a") as f:
            f.write("host    replication     all     127.0.0.1/32    trust\n")
        pg_ctl(primary_data, "reload")
        for _ in range(2):
            folder = tempfile.mkdtemp(prefix="zt-pg-standby.")
            self.dirs.append(folder)
            open(os.path.join(folder, ".zt-test-server"), "w").close()
            if os.getuid() == 0:
                run(["chown", "-R", "postgres:postgres", folder])
            port = free_port()
            data = os.path.join(folder, "data")
            run(as_postgres([os.path.join(PG_BIN, "pg_basebackup"), "-h", "127.0.0.1", "-p",
                             str(self.ports[0]), "-U", "postgres", "-D", data, "-R",
                             "-X", "stream", "--no-sync"]))
            with open(os.path.join(data, "postgresql.conf"), "a") as f:
                f.write("port = %d\nunix_socket_directories = '%s'\n" % (port, folder))
            pg_ctl(data, "start", "-w", "-t", "60", "-l", os.path.join(folder, "server.log"))
            self.ports.append(port)

    def connect(self, attrs, **kw):
        return ztcondb.connect(host=["127.0.0.1"] * 3, port=self.ports, database="postgres",
                               user="postgres", target_session_attrs=attrs,
                               connect_timeout=3, **kw)

    def stop(self, index):
        subprocess.run(as_postgres([os.path.join(PG_BIN, "pg_ctl"), "-D",
                                    os.path.join(self.dirs[index], "data"), "stop", "-m",
                                    "immediate"]), env=TOOL_ENV, check=True,
                       stdout=subprocess.DEVNULL)

    def remove(self):
        for d in self.dirs:
            subprocess.run([SCRIPT, "stop", d], env=TOOL_ENV, check=False)


@pytest.fixture(scope="module")
def trio():
    t = Trio()
    try:
        yield t
    finally:
        t.remove()


def reached(trio, attrs, n, **kw):
    ports = []
    for _ in range(n):
        with trio.connect(attrs, **kw) as conn:
            ports.append(where(conn))
    return ports


def test_sessions_spread_over_the_standbys_and_survive_one_stopping(trio):
    primary, first, second = trio.ports
    # In order, the first standby of the list always serves.
    assert set(reached(trio, "standby", 5)) == {(first, True)}
    # In a random order, both standbys serve (30 sessions: missing one has odds 2**-29).
    spread = reached(trio, "standby", 30, load_balance_hosts="random")
    assert set(spread) == {(first, True), (second, True)}
    # Writes still find the primary, whatever the order.
    assert set(reached(trio, "read-write", 5, load_balance_hosts="random")) == \
        {(primary, False)}
    # One standby stops: every session reaches the other one.
    trio.stop(1)
    assert set(reached(trio, "standby", 10, load_balance_hosts="random")) == \
        {(second, True)}


@pytest.mark.parametrize("dsn, host, port, expect", [
    ("host=h1,h2,h3 port=1,2,3", None, None, {("h1", "1"), ("h2", "2"), ("h3", "3")}),
    ("postgresql://u@h1:1,h2:2,h3:3/db", None, None, {("h1", "1"), ("h2", "2"), ("h3", "3")}),
    (None, "h1,h2,h3", [1, 2, 3], {("h1", "1"), ("h2", "2"), ("h3", "3")}),
    ("h1,h2,h3", None, 5, {("h1", "5"), ("h2", "5"), ("h3", "5")}),
])
def test_each_host_keeps_its_port(dsn, host, port, expect):
    from ztcondb.spread import spread_hosts
    if host is None and dsn and "=" not in dsn and "://" not in dsn:
        host, dsn = dsn, None
    orders = set()
    for _ in range(60):
        hosts, ports = spread_hosts("random", dsn, host, port)
        ports = ports if isinstance(ports, list) else [ports] * len(hosts)
        assert {(h, str(p)) for h, p in zip(hosts, ports)} == expect
        orders.add(tuple(hosts))
    assert len(orders) > 1


@pytest.mark.parametrize("mode", ["Random", "prefer", "", 1])
def test_unknown_mode_refused(mode):
    with pytest.raises(ztcondb.ProgrammingError):
        ztcondb.connect(host="h1,h2", load_balance_hosts=mode)
