"""The connection as psycopg 3 has it: connect(conninfo, autocommit=..., **kwargs),
transaction() blocks (nesting x exit kind x autocommit), info, isolation_level /
read_only / deferrable, and the messages of a closed connection."""
import pytest

import ztcondb
from ztcondb.pq import TransactionStatus


@pytest.fixture(scope="module")
def conninfo(pg):
    return "host=%s port=%d dbname=%s user=%s" % (pg["host"], pg["port"], pg["db"], pg["user"])


@pytest.fixture(scope="module")
def observer(conninfo):
    """A second session that sees only committed rows; it owns the table."""
    with ztcondb.connect(conninfo, autocommit=True) as conn:
        conn.execute("drop table if exists face_tx")
        conn.execute("create table face_tx (n int primary key)")
        yield conn
        conn.execute("drop table face_tx")


@pytest.fixture(params=[False, True], ids=["manual", "autocommit"])
def conn(request, conninfo, observer):
    observer.execute("delete from face_tx")
    conn = ztcondb.connect(conninfo, autocommit=request.param)
    yield conn
    conn.close()


def committed(observer):
    return [n for (n,) in observer.execute("select n from face_tx order by n").fetchall()]


def insert(conn, n):
    conn.execute("insert into face_tx values (?)", (n,))


class Boom(Exception):
    pass


def run_commit(conn):
    with conn.transaction():
        insert(conn, 1)


def run_error(conn):
    with pytest.raises(Boom):
        with conn.transaction():
            insert(conn, 1)
            raise Boom()


def run_rollback(conn):
    with conn.transaction():
        insert(conn, 1)
        raise ztcondb.Rollback()


def run_force_rollback(conn):
    with conn.transaction(force_rollback=True):
        insert(conn, 1)


def run_inner_error(conn):
    with conn.transaction():
        insert(conn, 1)
        with pytest.raises(Boom):
            with conn.transaction():
                insert(conn, 2)
                raise Boom()
        insert(conn, 3)


def run_inner_failed_statement(conn):
    with conn.transaction():
        insert(conn, 1)
        with pytest.raises(ztcondb.IntegrityError):
            with conn.transaction():
                insert(conn, 1)
        insert(conn, 3)


def run_inner_rollback(conn):
    with conn.transaction():
        insert(conn, 1)
        with conn.transaction() as inner:
            insert(conn, 2)
            raise ztcondb.Rollback(inner)


def run_rollback_to_outer(conn):
    with conn.transaction() as outer:
        insert(conn, 1)
        with conn.transaction():
            insert(conn, 2)
            raise ztcondb.Rollback(outer)


def run_three_levels(conn):
    with conn.transaction():
        insert(conn, 1)
        with conn.transaction("named"):
            insert(conn, 2)
            with conn.transaction():
                insert(conn, 3)


@pytest.mark.parametrize("program, kept", [
    (run_commit, [1]),
    (run_error, []),
    (run_rollback, []),
    (run_force_rollback, []),
    (run_inner_error, [1, 3]),
    (run_inner_failed_statement, [1, 3]),
    (run_inner_rollback, [1]),
    (run_rollback_to_outer, []),
    (run_three_levels, [1, 2, 3]),
])
def test_transaction_blocks(conn, observer, program, kept):
    program(conn)
    assert committed(observer) == kept
    assert conn.info.transaction_status == TransactionStatus.IDLE


def test_block_inside_an_open_transaction_is_a_savepoint(conninfo, observer):
    observer.execute("delete from face_tx")
    with ztcondb.connect(conninfo) as conn:
        insert(conn, 1)
        with conn.transaction() as block:
            insert(conn, 2)
        assert block.savepoint_name
        assert conn.info.transaction_status == TransactionStatus.INTRANS
        assert committed(observer) == []


@pytest.mark.parametrize("change", [
    lambda c: c.commit(), lambda c: c.rollback(), lambda c: setattr(c, "autocommit", True),
    lambda c: setattr(c, "isolation_level", ztcondb.IsolationLevel.SERIALIZABLE),
    lambda c: setattr(c, "read_only", True),
], ids=["commit", "rollback", "autocommit", "isolation_level", "read_only"])
def test_inside_a_block_refused(conn, observer, change):
    with conn.transaction():
        insert(conn, 1)
        with pytest.raises(ztcondb.ProgrammingError, match="context"):
            change(conn)
    assert committed(observer) == [1]


def test_info_fields(conninfo, pg):
    with ztcondb.connect(conninfo, application_name="face info", password="not-shown") as conn:
        info = conn.info
        pid, version = conn.execute(
            "select pg_backend_pid(), current_setting('server_version_num')::int").fetchone()
        assert (info.backend_pid, info.server_version) == (pid, version)
        assert (info.host, info.port, info.dbname, info.user) == (
            pg["host"], pg["port"], pg["db"], pg["user"])
        assert info.encoding == "utf-8"
        assert info.parameter_status("application_name") == "face info"
        assert info.parameter_status("no_such_parameter") is None
        params = info.get_parameters()
        assert params["application_name"] == "face info" and params["dbname"] == pg["db"]
        assert "password" not in params and "not-shown" not in info.dsn
        assert info.status == ztcondb.pq.ConnStatus.OK
        conn.rollback()


@pytest.mark.parametrize("steps, expected", [
    ([], TransactionStatus.IDLE),
    (["select 1"], TransactionStatus.INTRANS),
    (["select 1/0"], TransactionStatus.INERROR),
    (["select 1", "commit"], TransactionStatus.IDLE),
])
def test_transaction_status(conninfo, steps, expected):
    with ztcondb.connect(conninfo) as conn:
        for step in steps:
            try:
                if step == "commit":
                    conn.commit()
                else:
                    conn.execute(step)
            except ztcondb.DataError:
                pass
        assert conn.info.transaction_status == expected
        conn.rollback()
    assert conn.info.transaction_status == TransactionStatus.UNKNOWN


@pytest.mark.parametrize("attribute, value, setting, shown", [
    ("isolation_level", ztcondb.IsolationLevel.SERIALIZABLE, "transaction_isolation",
     "serializable"),
    ("isolation_level", ztcondb.IsolationLevel.REPEATABLE_READ, "transaction_isolation",
     "repeatable read"),
    ("isolation_level", None, "transaction_isolation", "read committed"),
    ("read_only", True, "transaction_read_only", "on"),
    ("read_only", False, "transaction_read_only", "off"),
    ("deferrable", True, "transaction_deferrable", "on"),
])
def test_transaction_characteristics(conn, attribute, value, setting, shown):
    setattr(conn, attribute, value)
    assert getattr(conn, attribute) == value
    with conn.transaction():
        assert conn.execute("show " + setting).fetchone() == (shown,)
    if conn.autocommit:
        # Statements outside a block are not in a transaction the connection started.
        assert conn.execute("show " + setting).fetchone()[0] in (
            "read committed", "off")
    else:
        assert conn.execute("show " + setting).fetchone() == (shown,)
        conn.rollback()


def test_read_only_refuses_writes_and_switches_back(conn, observer):
    conn.read_only = True
    with pytest.raises(ztcondb.Error, match="read-only"):
        with conn.transaction():
            insert(conn, 1)
    conn.read_only = None
    with conn.transaction():
        insert(conn, 2)
    assert committed(observer) == [2]


def test_autocommit_switch_keeps_characteristics(conninfo):
    with ztcondb.connect(conninfo, autocommit=True) as conn:
        conn.isolation_level = ztcondb.IsolationLevel.SERIALIZABLE
        conn.autocommit = False
        assert conn.execute("show transaction_isolation").fetchone() == ("serializable",)
        conn.rollback()
        conn.autocommit = True
        assert conn.execute("show transaction_isolation").fetchone() == ("read committed",)


@pytest.mark.parametrize("close, message", [
    (lambda c: c.close(), "^the connection is closed$"),
    (lambda c: c.__exit__(None, None, None), "block closed it.*transaction()"),
])
@pytest.mark.parametrize("use", [
    lambda c: c.cursor(), lambda c: c.execute("select 1"), lambda c: c.commit(),
    lambda c: c.transaction(), lambda c: c.info.backend_pid,
    lambda c: c.old_cursor.execute("select 1"),
], ids=["cursor", "execute", "commit", "transaction", "info", "cursor-execute"])
def test_closed_connection_says_so(conninfo, close, message, use):
    conn = ztcondb.connect(conninfo)
    conn.old_cursor = conn.cursor()
    close(conn)
    with pytest.raises(ztcondb.InterfaceError, match=message) as err:
        use(conn)
    assert isinstance(err.value, ztcondb.OperationalError)


@pytest.mark.parametrize("make", [
    lambda i, pg: ztcondb.connect(i, keepalives=1, keepalives_idle=30),
    lambda i, pg: ztcondb.connect(
        "postgresql://%s@%s:%d/%s" % (pg["user"], pg["host"], pg["port"], pg["db"]),
        keepalives=1, keepalives_idle=30, sslmode=None),
    lambda i, pg: ztcondb.connect(pg["host"], port=pg["port"], user=pg["user"],
                                  dbname=pg["db"], keepalives="1", keepalives_idle="30"),
], ids=["conninfo", "uri", "host-name"])
def test_libpq_keywords_reach_the_session(conninfo, pg, make):
    with make(conninfo, pg) as conn:
        params = conn.info.get_parameters()
        assert (params["keepalives"], params["keepalives_idle"]) == ("1", "30")
        assert conn.autocommit is False


def test_execute_returns_the_cursor_and_autocommit_keyword(conninfo, observer):
    observer.execute("delete from face_tx")
    with ztcondb.connect(conninfo, autocommit=True) as conn:
        cur = conn.execute("insert into face_tx values (?) returning n", (5,))
        assert isinstance(cur, ztcondb.Cursor) and cur.fetchone() == (5,)
        assert committed(observer) == [5]


def test_blocks_repeat_on_one_session(conn, observer):
    """The same BEGIN / SAVEPOINT / ROLLBACK TO texts run often enough to be prepared,
    also inside a failed transaction."""
    for n in range(0, 40, 10):
        run_inner_failed_statement_at(conn, n)
    assert committed(observer) == [n + k for n in range(0, 40, 10) for k in (1, 3)]


def run_inner_failed_statement_at(conn, n):
    with conn.transaction():
        insert(conn, n + 1)
        with pytest.raises(ztcondb.IntegrityError):
            with conn.transaction():
                insert(conn, n + 1)
        insert(conn, n + 3)


@pytest.mark.parametrize("connect_factory, cursor_factory, expected", [
    (None, None, (1, "a")),
    ("dict_row", None, {"n": 1, "t": "a"}),
    ("dict_row", "tuple_row", (1, "a")),
    (None, "namedtuple_row", (1, "a")),
])
def test_row_factory_of_connection_and_cursor(conninfo, connect_factory, cursor_factory,
                                              expected):
    from ztcondb import rows
    kwargs = {"row_factory": getattr(rows, connect_factory)} if connect_factory else {}
    with ztcondb.connect(conninfo, autocommit=True, **kwargs) as conn:
        assert conn.row_factory is getattr(rows, connect_factory or "tuple_row")
        cur = conn.cursor(row_factory=getattr(rows, cursor_factory)) if cursor_factory \
            else conn.cursor()
        row = cur.execute("select 1 as n, 'a' as t").fetchone()
        assert row == expected
        if cursor_factory == "namedtuple_row":
            assert row.t == "a"
        assert conn.execute("select 1 as n, 'a' as t").fetchone() == (
            {"n": 1, "t": "a"} if connect_factory else (1, "a"))
