"""Faults of the server side while a call is in flight: the backend terminated
(pg_terminate_backend) and the server stopped (`pg_ctl stop -m immediate`) during a large
fetch, a batch, a procedure call and between the rowsets of a server cursor. Each call
fails with OperationalError, a batch leaves nothing behind, the next call on the dead
session fails at once, and a new connection works (after a restart for a stopped
server). The stop cases run on a server of their own so no other test loses its server.
"""
import os
import subprocess
import time

import pytest

import _pyztdb

from conftest import REPO, connect

OUT = 2
PG_BIN = os.environ.get("ZT_PG_BIN", "/usr/lib/postgresql/15/bin")
# The watcher's tools are not the code under test: no sanitizer runtime for them.
TOOL_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
BATCH_ROWS = 200000


def as_postgres(args):
    """A server binary's command line, run as the postgres user when we are root."""
    return (["runuser", "-u", "postgres", "--"] + args) if os.getuid() == 0 else args


def psql(pg, sql):
    return subprocess.run(["psql", "-XAtq", "-h", pg["host"], "-p", str(pg["port"]), "-U",
                           pg["user"], "-d", pg["db"], "-c", sql], env=TOOL_ENV, check=True,
                          stdout=subprocess.PIPE, universal_newlines=True).stdout.strip()


class Server:
    """A throwaway cluster of this module's own, stopped and started at will."""

    def __init__(self):
        out = subprocess.run([os.path.join(REPO, "scripts", "pg-test-server"), "start"],
                             check=True, stdout=subprocess.PIPE, env=TOOL_ENV,
                             universal_newlines=True).stdout
        env = dict(line[len("export "):].split("=", 1) for line in out.splitlines()
                   if line.startswith("export "))
        self.dir = env["ZT_TEST_PGDIR"]
        self.pg = {"host": env["ZT_TEST_HOST"], "port": int(env["ZT_TEST_PORT"]),
                   "user": env["ZT_TEST_USER"], "db": env["ZT_TEST_DB"]}

    def pg_ctl(self, *args):
        return as_postgres([os.path.join(PG_BIN, "pg_ctl"), "-D", os.path.join(self.dir, "data")]
                           + list(args))

    def stop_command(self):
        return self.pg_ctl("stop", "-m", "immediate")

    def start(self):
        subprocess.run(self.pg_ctl("start", "-w", "-t", "60", "-l",
                                   os.path.join(self.dir, "server.log")),
                       check=True, env=TOOL_ENV, stdout=subprocess.DEVNULL)

    def remove(self):
        subprocess.run([os.path.join(REPO, "scripts", "pg-test-server"), "stop", self.dir],
                       env=TOOL_ENV, check=False)


@pytest.fixture(scope="module")
def own_server():
    server = Server()
    try:
        yield server
    finally:
        server.remove()


def watch_and_fire(pg, pid, marker, action, delay=0.3):
    """Starts a watcher that waits until backend `pid` is busy with a statement whose
    text holds `marker`, waits `delay` seconds more and runs `action` (a command line).
    Returns the watcher process; its exit code is 0 once it has fired."""
    probe = ("select count(*) from pg_stat_activity where pid = %d and state = 'active' "
             "and query ilike '%%%s%%'" % (pid, marker))
    script = ('for i in $(seq 1 1500); do '
              '  n=$(psql -XAtq -h "$1" -p "$2" -U "$3" -d "$4" -c "$5") || exit 2; '
              '  if [ "$n" = 1 ]; then sleep "$6"; shift 6; exec "$@"; fi; '
              '  sleep 0.02; '
              'done; exit 1')
    return subprocess.Popen(["bash", "-c", script, "watch", pg["host"], str(pg["port"]),
                             pg["user"], pg["db"], probe, str(delay)] + list(action),
                            env=TOOL_ENV, stdout=subprocess.DEVNULL)


def backend_pid(conn):
    c = conn.cursor()
    c.execute("select pg_backend_pid()")
    return c.fetchone()[0]


# Each scenario: set-up on a fresh session (returns the state the call needs), the call
# in flight, and the text that marks its statement in pg_stat_activity.

def setup_fetch(cur):
    return None


def call_fetch(cur, _):
    # About five seconds of server work in small rows: the fault comes well before.
    cur.execute("select g, 'fault_fetch' from generate_series(1, 500000) g "
                "where pg_sleep(case when g % 1000 = 0 then 0.01 else 0 end) is not null")
    cur.fetchall()


def setup_batch(cur):
    cur.execute("drop table if exists fault_batch")
    cur.execute("create table fault_batch (id integer, name text)")
    # A trigger that pauses now and then keeps the COPY busy long enough.
    cur.execute("create or replace function fault_slow() returns trigger language plpgsql as "
                "$$ begin if new.id % 5000 = 0 then perform pg_sleep(0.05); end if; "
                "return new; end $$")
    cur.execute("create trigger fault_slow before insert on fault_batch for each row "
                "execute function fault_slow()")
    return [list(range(1, BATCH_ROWS + 1)), ["row %d" % i for i in range(BATCH_ROWS)]]


def call_batch(cur, columns):
    cur.executebatch("insert into fault_batch values (?, ?)", columns)


def setup_procedure(cur):
    cur.execute("create or replace procedure fault_proc(in a integer, out b integer) "
                "language plpgsql as $$ begin perform pg_sleep(5); b := a; end $$")


def call_procedure(cur, _):
    cur.setinputtype([5, 5])
    cur.callproc("fault_proc", [7, 0], [1, OUT])


SCENARIOS = {
    "fetch": (setup_fetch, call_fetch, "fault_fetch"),
    "batch": (setup_batch, call_batch, "fault_batch"),
    "procedure": (setup_procedure, call_procedure, "fault_proc"),
}


def assert_dead(conn, cur):
    """The next call on the session fails at once with OperationalError."""
    started = time.monotonic()
    with pytest.raises(_pyztdb.OperationalError):
        cur.execute("select 1")
    with pytest.raises(_pyztdb.OperationalError):
        conn.cursor().execute("select 2")
    with pytest.raises(_pyztdb.DatabaseError):
        conn.commit()
    assert time.monotonic() - started < 5
    try:
        conn.close()
    except _pyztdb.Error:
        pass


def assert_new_connection_works(pg, scenario):
    conn = connect(pg)
    try:
        cur = conn.cursor()
        cur.execute("select 40 + ?", [2])
        assert cur.fetchall() == [(42,)]
        if scenario == "batch":
            cur.execute("select count(*) from fault_batch")
            assert cur.fetchall() == [(0,)]
    finally:
        conn.close()


def run_in_flight(pg, scenario, action):
    setup, call, marker = SCENARIOS[scenario]
    conn = connect(pg)
    cur = conn.cursor()
    state = setup(cur)
    pid = backend_pid(conn)
    watcher = watch_and_fire(pg, pid, marker, action(pid))
    try:
        with pytest.raises(_pyztdb.OperationalError):
            call(cur, state)
    finally:
        assert watcher.wait(timeout=120) == 0, "the fault never fired"
    assert_dead(conn, cur)


def terminate(pg):
    return lambda pid: ["psql", "-XAtq", "-h", pg["host"], "-p", str(pg["port"]), "-U",
                        pg["user"], "-d", pg["db"], "-c", "select pg_terminate_backend(%d)" % pid]


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_backend_terminated_during_call(pg, scenario):
    run_in_flight(pg, scenario, terminate(pg))
    assert_new_connection_works(pg, scenario)


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_server_stopped_during_call(own_server, scenario):
    try:
        run_in_flight(own_server.pg, scenario, lambda pid: own_server.stop_command())
    finally:
        own_server.start()
    assert_new_connection_works(own_server.pg, scenario)


ROWS = 10000


def open_server_cursor(cur):
    cur.execute("create or replace procedure fault_rows(out c refcursor) language plpgsql as "
                "$$ begin open c for select g from generate_series(1, %d) g; end $$" % ROWS)
    cur.setinputtype([58])
    cur.callproc("fault_rows", [""], [OUT])
    assert cur.fetchmany(10) == [(i,) for i in range(1, 11)]


def test_backend_terminated_between_server_cursor_rowsets(pg):
    conn = connect(pg)
    pid = backend_pid(conn)
    cur = conn.cursor()
    open_server_cursor(cur)
    psql(pg, "select pg_terminate_backend(%d)" % pid)
    # The rows of the rowset in hand may still be read; the next rowset fails.
    with pytest.raises(_pyztdb.OperationalError):
        cur.fetchall()
    assert_dead(conn, cur)
    assert_new_connection_works(pg, "cursor")


def test_server_stopped_between_server_cursor_rowsets(own_server):
    conn = connect(own_server.pg)
    cur = conn.cursor()
    open_server_cursor(cur)
    try:
        subprocess.run(own_server.stop_command(), env=TOOL_ENV, check=True,
                       stdout=subprocess.DEVNULL)
        with pytest.raises(_pyztdb.OperationalError):
            cur.fetchall()
        assert_dead(conn, cur)
    finally:
        own_server.start()
    assert_new_connection_works(own_server.pg, "cursor")

