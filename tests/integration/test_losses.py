"""Values that were changed or lost without a word, and inputs that cost far more than
they should, each against a real server: procedure and function outputs longer than their
buffers, dates the server writes in more than ten characters, a RefCursor returned by a
function in autocommit mode, intervals beyond 64 bits of microseconds, row counts of rows
a trigger skipped, batches into tables with rules, lossless mixes in batch columns, and a
declared size inside a UTF-8 character."""
import datetime
import os
import subprocess
import sys

import pytest

import _pyztdb

from conftest import BUILD, connect

IN, OUT, INOUT = 1, 2, 3


@pytest.fixture
def ddl(cur):
    """run(create, drop): runs a CREATE and the matching DROP at the end of the test."""
    drops = []

    def run(create, drop):
        verb, kind, rest = drop.split(" ", 2)
        cur.execute("%s %s if exists %s" % (verb, kind, rest))   # one left behind
        cur.execute(create)
        drops.append(drop)

    yield run
    for drop in reversed(drops):
        cur.execute(drop)


# ---- procedure and function outputs ----

@pytest.mark.parametrize("day", ["0044-03-15 BC", "11018-01-01", "4714-11-24 BC",
                                 "5874897-12-31", "infinity"])
def test_date_output_of_every_date(cur, ddl, day):
    ddl("create procedure p_day(out d date) language plpgsql as "
        "$$ begin d := '%s'; end $$" % day, "drop procedure p_day")
    cur.setinputtype([10])
    assert cur.callproc("p_day", [datetime.date(2000, 1, 1)], [OUT]) == [day]


LONG_TEXT = "é" * 50000                 # 100,000 bytes, beyond the 64 KiB buffer
LONG_BYTES = b"\0\xff" * 40000


@pytest.mark.parametrize("sizes, back", [
    (None, [LONG_TEXT, LONG_BYTES]),
    ([11, 4], ["ééééé", b"\0\xff\0\xff"]),    # a declared size still cuts
])
def test_long_procedure_outputs(cur, ddl, sizes, back):
    ddl("create procedure p_long(out t text, inout b bytea) language plpgsql as "
        "$$ begin t := repeat('é', 50000); b := decode(repeat('00ff', 40000), 'hex'); end $$",
        "drop procedure p_long")
    cur.setinputtype([2, 15])
    if sizes:
        cur.setinputsizes(sizes)
    assert cur.callproc("p_long", ["", b"x"], [OUT, INOUT]) == back


@pytest.mark.parametrize("sizes, length", [(None, 100000), ([None, 10], 9)])
def test_long_function_value(cur, ddl, sizes, length):
    ddl("create function f_long(n int) returns text language sql as "
        "$$ select repeat('x', n) $$", "drop function f_long")
    if sizes:
        cur.setinputsizes(sizes)
    assert cur.callfunc("f_long", [100000]) == [100000, "x" * length]


@pytest.mark.skipif(bool(os.environ.get("ZT_SANITIZER_PRELOAD")),
                    reason="the sanitizers' own bookkeeping makes the memory figure meaningless")
def test_input_texts_take_their_own_size(pg):
    """20,000 one-letter inputs used to take a 64 KiB buffer each (1.27 GB)."""
    # VmHWM is this process's own peak: ru_maxrss also counts the peak of the (large)
    # test process it was forked from.
    code = ("import sys, _pyztdb\n"
            "c = _pyztdb._connect(%d, %r, %r, %r, '', 'UTF8', '0').cursor()\n"
            "try:\n"
            "    c.callproc('p_many', ['a'] * 20000)\n"
            "except _pyztdb.OperationalError:\n"
            "    pass\n"
            "print([l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0])\n"
            % (pg["port"], pg["host"], pg["db"], pg["user"]))
    env = dict(os.environ, PYTHONPATH=os.path.join(BUILD, "python"))
    out = subprocess.run([sys.executable, "-c", code], env=env, check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    assert int(out) < 200 * 1024        # KiB


# ---- a function's RefCursor in autocommit mode ----

@pytest.fixture
def cursor_functions(cur, ddl, table_name):
    cur.execute("drop table if exists %s" % table_name)
    cur.execute("create table %s (at int)" % table_name)
    ddl("create function f_named(c refcursor) returns refcursor language plpgsql as "
        "$$ begin insert into %s values (1); "
        "open c for select g from generate_series(1, 3000) g; return c; end $$" % table_name,
        "drop function f_named")
    ddl("create function f_out(out c refcursor) language plpgsql as "
        "$$ begin open c for select g from generate_series(1, 3000) g; end $$",
        "drop function f_out")
    yield table_name
    cur.execute("drop table %s" % table_name)


@pytest.mark.parametrize("name, direction, function", [
    ("mine", INOUT, "f_named"), ("", INOUT, "f_named"), ("", OUT, "f_out")])
def test_function_refcursor_in_autocommit(pg, cur, cursor_functions, name, direction,
                                          function):
    cur.setinputtype([58, 2])
    opened, returned = cur.callfunc(function, [name], [direction])
    assert opened == returned and opened.startswith(name or "<unnamed portal")
    assert cur.fetchall() == [(g,) for g in range(1, 3001)]
    # The cursor read, the library's transaction is over and kept the function's work.
    cur.execute("select count(*) from pg_cursors")
    assert cur.fetchall() == [(0,)]
    other = connect(pg)
    try:
        check = other.cursor()
        check.execute("select count(*) from %s" % cursor_functions)
        assert check.fetchall() == [(1 if function == "f_named" else 0,)]
    finally:
        other.close()


# ---- intervals ----

@pytest.mark.parametrize("text", ["1000000 years", "-1000000 years", "200000000 days",
                                  "178000000 years"])
def test_interval_beyond_64_bits_is_an_error(cur, text):
    cur.execute("select interval '%s'" % text)
    with pytest.raises(_pyztdb.OperationalError, match=r"^\[22008\] interval out of range"):
        cur.fetchall()


def test_interval_at_the_edge_still_reads(cur):
    cur.execute("select interval '106751991 days'")
    assert cur.fetchall() == [("106751991 00:00:00.000000",)]


# ---- row counts and batches ----

@pytest.fixture
def skipping(cur, ddl, table):
    """A table whose BEFORE INSERT trigger skips negative values."""
    name = table("v int")
    ddl("create function f_skip() returns trigger language plpgsql as "
        "$$ begin if new.v < 0 then return null; end if; return new; end $$",
        "drop function f_skip cascade")
    cur.execute("create trigger skip before insert on %s for each row execute function f_skip()"
                % name)
    return name


@pytest.mark.parametrize("value, rowcount", [(-1, 0), (1, 1)])
def test_rowcount_of_a_skipped_row(cur, skipping, value, rowcount):
    cur.execute("insert into %s values (?)" % skipping, [value])
    assert cur.rowcount == rowcount
    cur.executemany("insert into %s values (?)" % skipping, [(5,), (value,)])
    assert cur.rowcount == rowcount


@pytest.mark.parametrize("marker", ["?", "cast(? as int)"])     # COPY, statement path
def test_batch_rowcount_counts_inserted_rows(cur, skipping, marker):
    cur.executebatch("insert into %s values (%s)" % (skipping, marker), [[1, -2, -3]])
    assert cur.rowcount == 1
    cur.execute("select v from %s" % skipping)
    assert cur.fetchall() == [(1,)]


def test_batch_into_a_table_with_rules(cur, table):
    name = table("v int")
    cur.execute("drop table if exists %s_log" % name)
    cur.execute("create table %s_log (v int)" % name)
    try:
        cur.execute("create rule keep_log as on insert to %s do instead "
                    "insert into %s_log values (new.v)" % (name, name))
        cur.executebatch("insert into %s values (?)" % name, [[1, 2, 3]])
        cur.execute("select (select count(*) from %s), (select count(*) from %s_log)"
                    % (name, name))
        assert cur.fetchall() == [(0, 3)]
    finally:
        cur.execute("drop table %s_log cascade" % name)


def test_batch_lossless_mixes(cur, table):
    name = table("f float8, b boolean")
    cur.executebatch("insert into %s values (?, ?)" % name,
                     [[1.5, 2, 2**53], [True, 0, 1]])
    cur.execute("select f, b from %s order by f" % name)
    assert cur.fetchall() == [(1.5, b"T"), (2.0, b"F"), (float(2**53), b"T")]


@pytest.mark.parametrize("size, stored", [(3, "é"), (4, "éé"), (1, None)])
def test_declared_size_cuts_at_a_character(cur, table, size, stored):
    name = table("t text")
    cur.setinputsizes([size])
    cur.execute("insert into %s values (?)" % name, ["éé"])
    cur.execute("select t from %s" % name)
    assert cur.fetchall() == [(stored,)]
