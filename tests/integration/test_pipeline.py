"""`with conn.pipeline():` against the throwaway server: results in order on their
cursors, errors at the sync aborting what followed in the same transaction, texts
prepared once and prepared again when they may have changed meaning, and a broken
session failing every pending statement without hanging."""
import pytest

import ztcondb


def kwargs_of(pg):
    return dict(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])


@pytest.fixture
def zconn(pg):
    conn = ztcondb.connect(**kwargs_of(pg))
    cur = conn.cursor()
    cur.execute("drop table if exists pipe_t")
    cur.execute("create table pipe_t (id integer primary key, v text)")
    conn.commit()
    yield conn
    if not conn.closed:
        conn.rollback()
        conn.cursor().execute("drop table if exists pipe_t")
        conn.commit()
        conn.close()


def ids(conn):
    cur = conn.cursor()
    cur.execute("select id from pipe_t order by id")
    return [r[0] for r in cur.fetchall()]


def test_results_reach_their_cursors_in_order(zconn):
    ins, upd, sel = zconn.cursor(), zconn.cursor(), zconn.cursor()
    with zconn.pipeline():
        for i in range(5):
            ins.execute("insert into pipe_t values (?, ?)", (i, "v%d" % i))
        upd.execute("update pipe_t set v = 'w' where id < ?", (3,))
        sel.execute("select id, v from pipe_t order by id")
        # Reading a cursor of the batch syncs it.
        assert sel.fetchone() == (0, "w")
        assert upd.rowcount == 3
        ins.execute("insert into pipe_t values (?, ?)", (9, "nine"))
    assert ins.rowcount == 1
    assert sel.fetchall() == [(1, "w"), (2, "w"), (3, "v3"), (4, "v4")]
    assert sel.description[0][0] == "id"
    zconn.commit()
    assert ids(zconn) == [0, 1, 2, 3, 4, 9]


@pytest.mark.parametrize("autocommit, kept", [
    (False, []),           # the transaction failed: everything is rolled back
    (True, [1]),           # the batch before the sync stays; the failed batch is undone
])
def test_error_surfaces_at_sync_and_aborts_what_followed(zconn, autocommit, kept):
    zconn.autocommit = autocommit
    cur, after = zconn.cursor(), zconn.cursor()
    with pytest.raises(ztcondb.IntegrityError) as info:
        with zconn.pipeline() as p:
            cur.execute("insert into pipe_t values (?, 'a')", (1,))
            p.sync()
            cur.execute("insert into pipe_t values (?, 'b')", (2,))
            cur.execute("insert into pipe_t values (?, 'dup')", (1,))
            after.execute("insert into pipe_t values (?, 'c')", (3,))
    assert info.value.sqlstate == "23505"
    with pytest.raises(ztcondb.ProgrammingError):
        after.fetchone()       # skipped by the server: no result
    zconn.rollback()
    assert ids(zconn) == kept


def test_failed_preparation_reports_its_own_error(zconn):
    cur = zconn.cursor()
    for _ in range(2):
        # The second batch prepares the text (it was seen before): the preparation's
        # error is reported, not "an earlier statement failed".
        with pytest.raises(ztcondb.ProgrammingError) as info:
            with zconn.pipeline():
                cur.execute("select ?::no_such_type", (1,))
        assert info.value.sqlstate == "42704"
        zconn.rollback()


@pytest.mark.parametrize("values", [
    [1, 2, 3, 4],                        # one type: prepared from the second send
    [1, "2", 3, 2 ** 40],                # types change: sent unprepared when they differ
    [None, 1, None, 2],
    [1, 2, "abc"],                       # prepared for an integer: a text goes unprepared
])
def test_repeated_texts_keep_their_values(zconn, values):
    cur = zconn.cursor()
    out = []
    with zconn.pipeline():
        for v in values:
            cur.execute("select ?::text", (v,))
            out.append(cur.fetchone()[0])
    assert out == [None if v is None else str(v) for v in values]


def test_statements_that_change_meanings_prepare_again(zconn):
    zconn.autocommit = True
    cur = zconn.cursor()
    for round_ in range(3):
        with zconn.pipeline():
            for i in range(3):
                cur.execute("insert into pipe_t (id) values (?)", (round_ * 10 + i,))
            cur.execute("deallocate all")     # drops every prepared statement
    cur.execute("alter table pipe_t add column w integer")
    with zconn.pipeline():
        for i in range(3):
            cur.execute("insert into pipe_t (id) values (?)", (100 + i,))
    assert len(ids(zconn)) == 12


def test_commit_and_closed_cursor_inside_a_pipeline(zconn):
    a, b = zconn.cursor(), zconn.cursor()
    with zconn.pipeline():
        a.execute("insert into pipe_t values (?, 'x')", (1,))
        a.close()                      # its outcome is still taken, b keeps its own
        b.execute("select count(*) from pipe_t")
        zconn.commit()                 # syncs first
        assert b.fetchone() == (1,)
    zconn.rollback()
    assert ids(zconn) == [1]


def test_broken_session_fails_every_pending_statement(zconn, pg):
    zconn.autocommit = True
    cur = zconn.cursor()
    cur.execute("select pg_backend_pid()")
    pid = cur.fetchone()[0]
    killer = ztcondb.connect(**kwargs_of(pg))
    killer.cursor().execute("select pg_terminate_backend(?)", (pid,))
    killer.close()
    cursors = [zconn.cursor() for _ in range(3)]
    with pytest.raises(ztcondb.OperationalError):
        with zconn.pipeline():
            for i, c in enumerate(cursors):
                c.execute("insert into pipe_t values (?, 'lost')", (i,))
    assert zconn.closed
    for c in cursors:
        with pytest.raises(ztcondb.Error):
            c.fetchone()


def test_a_large_batch_neither_side_blocks(zconn):
    # Megabytes each way: the server answers while statements are still being sent.
    cur = zconn.cursor()
    text = "x" * 2000
    with zconn.pipeline():
        for i in range(3000):
            cur.execute("select ?::text || ?", (text, i))
    assert cur.fetchone() == (text + "2999",)


@pytest.mark.parametrize("threshold, named", [(2, 1), (None, 0)])
def test_named_statements_only_when_preparation_is_on(pg, threshold, named):
    conn = ztcondb.connect(prepare_threshold=threshold, **kwargs_of(pg))
    cur = conn.cursor()
    with conn.pipeline():
        for i in range(5):
            cur.execute("select ?::int + 1", (i,))
    assert cur.fetchone() == (5,)
    cur.execute("select count(*) from pg_prepared_statements where statement like '%+ 1%'")
    assert cur.fetchone()[0] == named
    conn.close()
