"""Integration tests: the driver built against our libzotusql, talking to a real,
throwaway PostgreSQL server.

The module is imported from <build>/python, where <build> is $ZT_BUILD_DIR or
<repo>/build. When the ZT_TEST_* variables are set (scripts/with-pg-server sets them)
that server is used; otherwise one is started with scripts/pg-test-server for the
session and stopped at its end.
"""
import os
import re
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("ZT_BUILD_DIR") or os.path.join(REPO, "build")
sys.path.insert(0, os.path.join(BUILD, "python"))

import _pyztdb  # noqa: E402

_VARS = ("ZT_TEST_HOST", "ZT_TEST_PORT", "ZT_TEST_USER", "ZT_TEST_DB")


def _start_server():
    script = os.path.join(REPO, "scripts", "pg-test-server")
    out = subprocess.run([script, "start"], check=True, stdout=subprocess.PIPE,
                         universal_newlines=True).stdout
    found = dict(re.findall(r"^export (ZT_TEST_\w+)=['\"]?(.*?)['\"]?$", out, re.M))
    missing = [v for v in _VARS + ("ZT_TEST_PGDIR",) if v not in found]
    if missing:
        raise RuntimeError("pg-test-server printed no %s:\n%s" % (missing, out))
    return found


@pytest.fixture(scope="session")
def pg():
    """host, port, user and db of the test server (dict)."""
    started = None
    if all(os.environ.get(v) for v in _VARS):
        env = {v: os.environ[v] for v in _VARS}
    else:
        started = _start_server()
        env = started
    try:
        yield {"host": env["ZT_TEST_HOST"], "port": int(env["ZT_TEST_PORT"]),
               "user": env["ZT_TEST_USER"], "db": env["ZT_TEST_DB"]}
    finally:
        if started:
            subprocess.run([os.path.join(REPO, "scripts", "pg-test-server"), "stop",
                            started["ZT_TEST_PGDIR"]], check=False)


def connect(pg):
    return _pyztdb._connect(pg["port"], pg["host"], pg["db"], pg["user"], "", "UTF8", "0")


@pytest.fixture
def conn(pg):
    """A fresh connection, closed afterwards."""
    c = connect(pg)
    try:
        yield c
    finally:
        c.close()


@pytest.fixture
def cur(conn):
    """A cursor of `conn`."""
    c = conn.cursor()
    try:
        yield c
    finally:
        c.close()


@pytest.fixture
def table_name(request):
    """A table name unique to the test (the test creates and drops the table)."""
    name = re.sub(r"\W", "_", request.node.name).lower()
    return "t_" + name[:50]


@pytest.fixture
def table(cur, table_name):
    """create(columns) makes `table_name` with that column list (replacing one left
    behind); every table made is dropped afterwards."""
    made = []

    def create(columns):
        cur.execute("drop table if exists %s" % table_name)
        cur.execute("create table %s (%s)" % (table_name, columns))
        made.append(table_name)
        return table_name

    yield create
    for name in made:
        cur.execute("drop table if exists %s" % name)


@pytest.fixture(scope="module", params=["transaction", "session"])
def bouncer(request, pg):
    """A real PgBouncer (its own process, a free loopback port) in front of the test
    server, in transaction and in session pool mode: a dict like `pg`'s, with "mode"."""
    import pgbouncer
    if not pgbouncer.available():
        pytest.fail("pgbouncer is not installed (scripts/install-deps installs it)")
    b = pgbouncer.PgBouncer(pg["host"], pg["port"], pg["user"], request.param).start()
    try:
        yield {"host": b.host, "port": b.port, "user": pg["user"], "db": pg["db"],
               "mode": b.mode}
    finally:
        b.stop()
