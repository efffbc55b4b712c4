"""Automatic preparation: the threshold counted exactly, no named server statement at all
with None, and the user's own PREPARE, DEALLOCATE and DISCARD never breaking the user's
work nor the driver's, in any transaction state."""
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402


def open_conn(pg, autocommit=True, **kw):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"], **kw)
    conn.autocommit = autocommit
    return conn


@pytest.fixture
def db(pg):
    conn = open_conn(pg)
    try:
        yield conn
    finally:
        conn.close()


def server_statements(conn):
    """Names of the session's prepared statements (the query itself, without
    parameters, is never prepared)."""
    cur = conn.cursor()
    cur.execute("select name from pg_catalog.pg_prepared_statements order by name")
    names = [r[0] for r in cur.fetchall()]
    cur.close()
    return names


@pytest.mark.parametrize("threshold", [0, 1, 2, 3, 5, None])
def test_threshold_counts_runs_before_preparing(pg, threshold):
    conn = open_conn(pg, prepare_threshold=threshold)
    try:
        assert conn.prepare_threshold == threshold
        cur = conn.cursor()
        for run in range(1, 8):
            cur.execute("select ?::int + 1", (run,))
            assert cur.fetchone() == (run + 1,)
            prepared = threshold is not None and run > threshold
            assert len(server_statements(conn)) == (1 if prepared else 0), run
    finally:
        conn.close()


@pytest.mark.parametrize("value, error", [(-1, ValueError), ("2", TypeError),
                                          (1.0, TypeError), (True, TypeError)])
def test_threshold_refuses_bad_values(db, value, error):
    with pytest.raises(error):
        db.prepare_threshold = value
    assert db.prepare_threshold == 2


def test_none_drops_what_was_prepared_and_prepares_nothing_by_any_path(db):
    cur = db.cursor()
    for i in range(4):
        cur.execute("select ?::int", (i,))
    assert len(server_statements(db)) == 1
    db.prepare_threshold = None
    cur.execute("select 1")
    assert server_statements(db) == []
    cur.execute("create temp table tn (a int, b text)")
    cur.execute("create or replace function fn_tn(x int) returns int language sql as 'select x * 2'")
    for i in range(5):
        cur.execute("select ?::int", (i,))
        cur.executemany("insert into tn values (?, ?)", [(i, "a"), (i, "b")])
        cur.executemany("update tn set b = ? where a = ?", [("c", i), ("d", i)])
        assert cur.callfunc("fn_tn", [i])[-1] == 2 * i
        cur.callproc("fn_tn", [i])
        # The module's own executemany runs each row through one prepared statement.
        raw = _pyztdb.cursor(db)
        raw.executemany("select ?::int * 3", [[i], [i + 1]])
        assert raw.fetchall() == [(3 * i + 3,)]
        raw.executemany("select ?::text", [["x"]])
        assert raw.fetchall() == [("x",)]
        raw.close()
        db.autocommit = False
        named = db.cursor("nc%d" % i)
        named.execute("select a from tn where a = ?", (i,))
        assert len(named.fetchall()) == 2
        named.close()
        db.commit()
        db.autocommit = True
    assert server_statements(db) == []


# What the user runs between the driver's repeated statements: each drops the driver's
# statements (or one of them) behind its back. (text, allowed inside a transaction)
USER_DROPS = [
    ("deallocate all", True),
    ("deallocate prepare all", True),
    ("discard all", False),
    ("deallocate {name}", True),
    ("deallocate prepare {name}", True),
    # behind a query in one text: only the command tags tell
    ("select 1; deallocate all", True),
    ("select 1; deallocate {name}", True),
]


@pytest.mark.parametrize("drop, in_block", USER_DROPS, ids=[d[0] for d in USER_DROPS])
@pytest.mark.parametrize("autocommit", [True, False])
def test_user_drops_never_abort_the_transaction(pg, table, drop, in_block, autocommit):
    if not in_block and not autocommit:
        pytest.skip("DISCARD ALL cannot run inside a transaction block")
    name = table("a int")
    conn = open_conn(pg, autocommit=autocommit)
    try:
        cur = conn.cursor()
        for i in range(4):
            cur.execute("select ?::int", (i,))
            # A named cursor's close checks the server's cursors: never prepared either.
            named = conn.cursor("before_drop", withhold=autocommit)
            named.execute("select 1")
            named.close()
        ours = server_statements(conn)
        assert len(ours) == 1
        cur.execute("insert into %s values (1)" % name)
        cur.execute(drop.format(name='"%s"' % ours[0]))
        # Re-preparation, eviction, a SET, a named cursor's close: none may fail.
        for i in range(4):
            cur.execute("select ?::int", (i,))
            assert cur.fetchone() == (i,)
        for k in range(140):   # more texts than the cache holds: the first ones are evicted
            for _ in range(3):
                cur.execute("select ?::int + %d" % k, (1,))
        assert cur.fetchone() == (140,)
        cur.execute("set application_name = 'x'")
        cur.execute("select ?::int", (9,))
        named = conn.cursor("after_drop", withhold=autocommit)
        named.execute("select generate_series(1, 3)")
        assert len(named.fetchall()) == 3
        named.close()
        cur.execute("insert into %s values (2)" % name)
        conn.commit()
        cur.execute("select count(*) from %s" % name)
        assert cur.fetchone() == (2,)
    finally:
        conn.close()


def test_users_own_prepare_of_any_name_is_kept(db):
    cur = db.cursor()
    # Names the driver once used, and the shape of the ones it uses now.
    users = ["zt_1", "zt_2", "zt_call", "_zt_1"]
    for n in users:
        cur.execute("prepare %s as select '%s'::text" % (n, n))
    for i in range(4):
        cur.execute("select ?::int", (i,))
    cur.execute("set application_name = 'again'")   # the driver prepares anew after it
    for i in range(4):
        cur.execute("select ?::int * 2", (i,))
        cur.executemany("select ?::int", [(1,), (2,)])
    for n in users:
        cur.execute("execute %s" % n)
        assert cur.fetchone() == (n,)
    assert set(users) <= set(server_statements(db))


@pytest.mark.parametrize("change", ["set application_name = 'c'", "create temp table tt (a int)"])
def test_failed_transactions_leak_no_statement(pg, change):
    conn = open_conn(pg, autocommit=False)
    try:
        cur = conn.cursor()
        for cycle in range(20):
            cur.execute(change if cycle == 0 or "set" in change else
                        change.replace("tt", "tt%d" % cycle))
            for i in range(3):
                cur.execute("select ?::int", (i,))
            with pytest.raises(ztcondb.DatabaseError):
                cur.execute("select 1 / 0")
            with pytest.raises(ztcondb.DatabaseError):
                cur.execute("select ?::int", (1,))
            conn.rollback()
        assert len(server_statements(conn)) <= 1
    finally:
        conn.close()


@pytest.mark.parametrize("autocommit", [True, False])
def test_stale_statement_after_another_sessions_ddl(pg, db, table, autocommit):
    name = table("a int")
    db.cursor().execute("insert into %s values (1)" % name)
    conn = open_conn(pg, autocommit=autocommit)
    try:
        cur = conn.cursor()
        sql = "select * from %s where a = ?" % name
        for _ in range(4):
            cur.execute(sql, (1,))
            assert cur.fetchall() == [(1,)]
        conn.commit()
        db.cursor().execute("alter table %s add column b text default 'x'" % name)
        if not autocommit:
            # Inside a transaction block the server's refusal aborts the transaction
            # once; the statement is prepared again after it.
            try:
                cur.execute(sql, (1,))
                assert cur.fetchall() == [(1, "x")]
            except ztcondb.DatabaseError as exc:
                assert exc.sqlstate == "0A000"
            conn.rollback()
        for _ in range(4):
            cur.execute(sql, (1,))
            assert cur.fetchall() == [(1, "x")]
            conn.commit()
    finally:
        conn.close()


FLOATS_SQL = "select 0.1::float8 + ?::float8, 1.1::float4 + ?::float4 from generate_series(1, 3)"


def float_paths(conn):
    """The same floats by every read path: first run, prepared runs, named-cursor pages
    (the later ones in binary form when the settings allow)."""
    cur = conn.cursor()
    got = set()
    for _ in range(5):
        cur.execute(FLOATS_SQL, (0.2, 0))
        got.update(cur.fetchall())
    named = conn.cursor("float_pages")
    named.itersize = 1
    named.execute(FLOATS_SQL, (0.2, 0))
    got.update(named)
    named.close()
    conn.commit()
    return got


# (the user's statement, the one value every path must give: a real reads back as the
# float nearest to the digits the server writes)
F4 = 1.100000023841858
FLOAT_SETTINGS = [
    ("", (0.1 + 0.2, F4)),
    ("set extra_float_digits = 0", (0.3, F4)),
    ("set extra_float_digits = -5", (0.3, 1.0)),
    ("set extra_float_digits = 3", (0.1 + 0.2, F4)),
    ("set local extra_float_digits = 0", (0.3, F4)),
    ("reset extra_float_digits", (0.1 + 0.2, F4)),
]


@pytest.mark.parametrize("setting, value", FLOAT_SETTINGS, ids=[s[0] for s in FLOAT_SETTINGS])
def test_every_read_path_gives_the_same_floats(pg, setting, value):
    conn = open_conn(pg, autocommit=False)
    try:
        float_paths(conn)   # prepared, and read in binary form, before the setting changes
        cur = conn.cursor()
        if setting:
            cur.execute(setting)
        got = set()
        if "local" in setting:   # in force until the transaction ends: read before it does
            for _ in range(5):
                cur.execute(FLOATS_SQL, (0.2, 0))
                got.update(cur.fetchall())
        else:
            got = float_paths(conn)
        assert got == {value}
    finally:
        conn.close()


@pytest.mark.parametrize("between", [
    "discard temp", "discard plans", "discard sequences", "deallocate prepare all",
    "prepare mine as select 1; deallocate mine", "/* a comment */ deallocate all"])
def test_user_statements_between_runs_leak_nothing(db, between):
    cur = db.cursor()
    for _ in range(10):
        for i in range(3):
            cur.execute("select ?::int", (i,))
            cur.execute("select ?::text", ("a",))
        assert cur.fetchone() == ("a",)
        cur.execute(between)
    assert len(server_statements(db)) <= 2
