"""COPY through copy_expert (both directions, text and bytes files, chunks that split
rows and characters, failures that leave nothing behind) and named server-side
cursors (pages of itersize rows, withhold, scroll)."""
import io
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402


@pytest.fixture
def db(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    yield conn
    if not conn.closed:
        conn.rollback()
        conn.close()


@pytest.fixture
def tbl(db, table_name):
    cur = db.cursor()
    cur.execute(f"drop table if exists {table_name}")
    cur.execute(f"create table {table_name} (id integer primary key, name text)")
    db.commit()
    yield table_name
    db.rollback()
    cur.execute(f"drop table if exists {table_name}")
    db.commit()


DATA = "".join("%d\tnäme %d\n" % (i, i) for i in range(1, 501))


@pytest.mark.parametrize("make_file, size", [
    (lambda: io.StringIO(DATA), 7),
    (lambda: io.BytesIO(DATA.encode()), 3),
    (lambda: io.BytesIO(DATA.encode()), 65536),
])
@pytest.mark.parametrize("autocommit", [False, True])
def test_copy_in_and_out_round_trip(db, tbl, make_file, size, autocommit):
    db.autocommit = autocommit
    cur = db.cursor()
    cur.copy_expert(f"copy {tbl} from stdin", make_file(), size)
    assert cur.rowcount == 500
    out = make_file()
    out.seek(0)
    out.truncate()
    cur.copy_expert(f"copy (select * from {tbl} order by id) to stdout", out, size)
    assert cur.rowcount == 500
    value = out.getvalue()
    assert (value if isinstance(value, str) else value.decode()) == DATA
    cur.execute(f"select count(*) from {tbl}")
    assert cur.fetchone() == (500,)


class Broken(io.RawIOBase):
    def readable(self):
        return True

    def read(self, n=-1):
        raise OSError("disk gone")


@pytest.mark.parametrize("sql, source, error", [
    ("copy {t} from stdin", io.StringIO("1\ta\n1\tb\n"), r"\[23505\]"),
    ("copy {t} from stdin", io.StringIO("x\ta\n"), r"\[22P02\]"),
    ("copy {t} from stdin", Broken(), "disk gone"),
    ("select 1", io.StringIO(), r"\[0A000\]"),
    ("copy nosuch from stdin", io.StringIO(), r"\[42P01\]"),
])
def test_failed_copy_stores_nothing_and_session_stays_usable(db, tbl, sql, source, error):
    db.autocommit = True
    cur = db.cursor()
    with pytest.raises((ztcondb.Error, OSError), match=error):
        cur.copy_expert(sql.format(t=tbl), source)
    cur.execute(f"select count(*) from {tbl}")
    assert cur.fetchone() == (0,)


@pytest.mark.parametrize("sql", [
    "drop table {t}",
    "insert into {t} values (1, 'x')",
    "copy {t} from stdin; drop table {t}",
    "insert into {t} values (1, 'x'); copy {t} from stdin",
    "-- copy\ndrop table {t}",
    "(copy {t} from stdin)",
])
def test_copy_expert_refuses_other_statements_before_sending(db, tbl, sql):
    # Regression (the statement ran, DROP TABLE included, and was refused after).
    db.autocommit = True
    cur = db.cursor()
    with pytest.raises(ztcondb.NotSupportedError, match=r"\[0A000\] not a COPY"):
        cur.copy_expert(sql.format(t=tbl), io.StringIO("2\ty\n"))
    cur.execute(f"select count(*) from {tbl}")
    assert cur.fetchone() == (0,)


@pytest.mark.parametrize("sql", [
    "/* first */ copy {t} from stdin",
    "  COPY {t} (id, name) FROM STDIN;  ",
    "-- a note\ncopy {t} from stdin with (format text) ; ",
])
def test_copy_expert_takes_copy_with_comments_and_blanks(db, tbl, sql):
    cur = db.cursor()
    cur.copy_expert(sql.format(t=tbl), io.StringIO("2\ty\n"))
    assert cur.rowcount == 1


def test_named_cursor_pages_and_description(db):
    cur = db.cursor(name="conv_pages")
    assert cur.itersize == 2000
    cur.itersize = 7
    cur.execute("select g, 'r' || g from generate_series(1, ?) g", (50,))
    assert [d[0] for d in cur.description] == ["g", "?column?"]
    assert cur.fetchone() == (1, "r1")
    assert [r[0] for r in cur.fetchmany(3)] == [2, 3, 4]
    assert sum(1 for _ in cur) == 46
    assert cur.rowcount == 50
    assert cur.fetchone() is None
    cur.execute("select 1")
    assert cur.fetchall() == [(1,)]
    cur.close()
    with pytest.raises(ztcondb.InterfaceError):
        cur.fetchone()
    db.commit()


def test_named_cursor_scroll(db):
    cur = db.cursor(name="conv scroll \"q\"", scrollable=True)
    cur.itersize = 4
    cur.execute("select generate_series(0, 19)")
    cur.scroll(10, mode="absolute")
    assert cur.fetchone() == (10,)
    cur.scroll(-5)
    assert cur.fetchone() == (6,)
    cur.scroll(1)
    assert cur.fetchmany(2) == [(8,), (9,)]
    cur.scroll(0, "absolute")
    assert cur.fetchone() == (0,)
    with pytest.raises(IndexError):
        cur.scroll(-3)
    with pytest.raises(ztcondb.ProgrammingError):
        cur.scroll(1, "sideways")


def test_named_cursor_withhold_and_autocommit(db):
    plain = db.cursor(name="conv_nohold")
    db.autocommit = True
    with pytest.raises(ztcondb.ProgrammingError, match="withhold"):
        plain.execute("select 1")
    held = db.cursor(name="conv_hold", withhold=True)
    held.execute("select generate_series(1, 5)")
    assert held.fetchmany(2) == [(1,), (2,)]
    db.autocommit = False
    db.commit()
    assert held.fetchall() == [(3,), (4,), (5,)]
    held.close()
    other = db.cursor()
    other.execute("select count(*) from pg_cursors")
    assert other.fetchone() == (0,)


# Page sizes against row counts: none, one, an exact multiple of the page, one more.
@pytest.mark.parametrize("readahead", [True, False])
@pytest.mark.parametrize("itersize", [1, 2, 3, 7, 2000])
@pytest.mark.parametrize("rows", [0, 1, 6, 7, 2000, 2001])
def test_named_cursor_reads_every_row_once_whatever_the_page(db, itersize, rows, readahead):
    cur = db.cursor(name="conv_sizes")
    cur.itersize = itersize
    cur.readahead = readahead
    cur.execute("select g, 'r' || g from generate_series(1, ?) g", (rows,))
    expected = [(g, "r%d" % g) for g in range(1, rows + 1)]
    # A loop left early, then single rows and pages, then a loop to the end.
    got = []
    for row in cur:
        got.append(row)
        if len(got) == 3:
            break
    assert cur.rownumber == len(got)
    got.append(cur.fetchone())
    got += cur.fetchmany(itersize)
    got += list(cur)
    got = [row for row in got if row is not None]
    assert got == expected
    assert (cur.rownumber, cur.rowcount) == (rows, rows)
    assert cur.fetchone() is None and list(cur) == [] and cur.fetchall() == []
    cur.close()
    db.commit()


@pytest.mark.parametrize("action, error", [
    ("close", ztcondb.InterfaceError),
    ("execute", None),
    ("scroll", None),
])
def test_named_cursor_loop_after_the_cursor_moved(db, action, error):
    """A loop still running when the cursor is closed, executed again or scrolled
    never hands out rows of the old position."""
    cur = db.cursor(name="conv_moved", scrollable=True)
    cur.itersize = 5
    cur.execute("select generate_series(1, 12)")
    loop = iter(cur)
    assert next(loop) == (1,)
    if action == "close":
        cur.close()
        with pytest.raises(error):
            next(loop)
        return
    if action == "execute":
        cur.execute("select generate_series(100, 101)")
        assert list(loop) == [(100,), (101,)]
    else:
        cur.scroll(9, mode="absolute")
        assert list(loop) == [(10,), (11,), (12,)]
        assert cur.rownumber == 12
    cur.close()
    db.commit()


@pytest.mark.parametrize("read", [list, lambda cur: cur.fetchmany(10), lambda cur: cur.fetchall()])
def test_named_cursor_failing_mid_stream(db, read):
    cur = db.cursor(name="conv_fails")
    cur.itersize = 2
    cur.execute("select 10 / (5 - g) from generate_series(1, 9) g")
    assert cur.fetchmany(2) == [(2,), (3,)]
    with pytest.raises(ztcondb.DataError, match="division by zero"):
        read(cur)
    db.rollback()
    cur.execute("select generate_series(1, 3)")
    assert list(cur) == [(1,), (2,), (3,)]
    cur.close()
    db.commit()


@pytest.mark.parametrize("between", ["insert", "commit", "savepoint", "new cursor"])
def test_named_cursor_pages_ahead_survive_other_work(db, tbl, between):
    """Work on the session between two rows of a loop (the next page was asked for
    ahead meanwhile) neither loses nor repeats rows."""
    held = db.cursor(name="conv_ahead", withhold=True)
    held.itersize = 4
    held.execute("select generate_series(1, 30)")
    other = db.cursor()
    got = []
    for (g,) in held:
        got.append(g)
        if between == "insert":
            other.execute("insert into %s values (?, ?)" % tbl, (g, "x"))
        elif between == "commit":
            db.commit()
        elif between == "savepoint":
            other.execute("savepoint s")
            other.execute("rollback to savepoint s")
        elif g % 5 == 0:
            # A cursor of the same name declared after the first was closed behind its
            # back starts afresh: the page asked for ahead stays with the first.
            other.execute("close conv_ahead")
            held = db.cursor(name="conv_ahead", withhold=True)
            held.itersize = 4
            held.execute("select generate_series(?, 30)", (g + 1,))
            got += [row[0] for row in held]
            break
    assert got == list(range(1, 31))
    held.close()
    db.commit()
