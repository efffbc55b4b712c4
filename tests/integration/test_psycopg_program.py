"""A small program written for psycopg 3 runs with its import naming ztcondb: each test
is one part of it (transactions, both marker styles, row factories, errors with diag,
COPY, sql composition) on one connection to the throwaway server."""
import pytest

import ztcondb as psycopg
from ztcondb import errors, sql
from ztcondb.rows import dict_row, namedtuple_row


@pytest.fixture(scope="module")
def conninfo(pg):
    return "host=%s port=%d dbname=%s user=%s" % (pg["host"], pg["port"], pg["db"], pg["user"])


@pytest.fixture(scope="module")
def conn(conninfo):
    with psycopg.connect(conninfo) as conn:
        conn.execute("create temporary table accounts (id int primary key, owner text not null,"
                     " balance numeric(12, 2) not null default 0)")
        conn.commit()
        yield conn


@pytest.fixture(autouse=True)
def clean(conn):
    yield
    if not conn.closed:
        conn.rollback()
        conn.execute("delete from accounts")
        conn.commit()


def test_transactions(conn):
    with conn.transaction():
        conn.execute("insert into accounts (id, owner) values (1, 'ann')")
        with conn.transaction():
            conn.execute("insert into accounts (id, owner) values (2, 'bob')")
        try:
            with conn.transaction():
                conn.execute("insert into accounts (id, owner) values (3, 'cy')")
                raise psycopg.Rollback()
        finally:
            pass
        try:
            with conn.transaction():
                conn.execute("insert into accounts (id, owner) values (1, 'dup')")
        except psycopg.IntegrityError:
            pass
    assert conn.info.transaction_status == psycopg.pq.TransactionStatus.IDLE
    assert conn.execute("select id from accounts order by id").fetchall() == [(1,), (2,)]


def test_question_mark_markers(conn):
    conn.execute("insert into accounts (id, owner) values (?, ?)", (7, "q"))
    assert conn.execute("select owner from accounts where id = ?", (7,)).fetchone() == ("q",)


def test_percent_markers(conn):
    conn.execute("insert into accounts (id, owner, balance) values (%s, %s, %s)", (8, "p", 10))
    conn.execute("update accounts set balance = balance + %(add)s where id = %(id)s",
                 {"add": 5, "id": 8})
    row = conn.execute("select owner, balance from accounts where id = %s", (8,)).fetchone()
    assert (row[0], int(row[1])) == ("p", 15)


def test_row_factories(conn):
    conn.execute("insert into accounts (id, owner) values (1, 'ann')")
    cur = conn.cursor(row_factory=dict_row)
    assert cur.execute("select id, owner from accounts").fetchone() == {"id": 1, "owner": "ann"}
    cur = conn.cursor(row_factory=namedtuple_row)
    assert cur.execute("select id, owner from accounts").fetchone().owner == "ann"


def test_errors_with_diag(conn):
    conn.execute("insert into accounts (id, owner) values (1, 'ann')")
    with pytest.raises(errors.UniqueViolation) as err:
        conn.execute("insert into accounts (id, owner) values (1, 'again')")
    assert err.value.sqlstate == "23505"
    assert err.value.diag.constraint_name == "accounts_pkey"
    assert err.value.diag.table_name == "accounts"
    assert err.value.diag.message_primary.startswith("duplicate key value")
    assert errors.lookup("23505") is errors.UniqueViolation
    conn.rollback()


def test_copy(conn):
    cur = conn.cursor()
    with cur.copy("COPY accounts (id, owner, balance) FROM STDIN") as copy:
        for row in [(1, "ann", 5), (2, "tab\there", 6)]:
            copy.write_row(row)
    with cur.copy("COPY (select id, owner from accounts order by id) TO STDOUT") as copy:
        copy.set_types(["int4", "text"])
        assert list(copy.rows()) == [(1, "ann"), (2, "tab\there")]


def test_sql_composition(conn):
    conn.execute("insert into accounts (id, owner) values (1, 'ann')")
    query = sql.SQL("select {col} from {table} where {key} = %s").format(
        col=sql.Identifier("owner"), table=sql.Identifier("accounts"),
        key=sql.Identifier("id"))
    assert conn.execute(query, (1,)).fetchone() == ("ann",)


def test_with_block_commits_and_closes(conninfo):
    with psycopg.connect(conninfo) as conn:
        conn.execute("create table if not exists psycopg_program_kept (x int)")
        conn.execute("insert into psycopg_program_kept values (1)")
    assert conn.closed
    with pytest.raises(psycopg.InterfaceError, match="transaction()"):
        conn.execute("select 1")
    with psycopg.connect(conninfo, autocommit=True) as other:
        assert other.execute("select count(*) from psycopg_program_kept").fetchone() == (1,)
        other.execute("drop table psycopg_program_kept")
