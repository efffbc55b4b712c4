"""The session's client_encoding stays UTF8: a statement that changes it is refused and
the change undone before anything else is stored, so that every later path (execute,
executemany through COPY and through the pipeline, executebatch, callproc, fetch)
stores and reads the same characters."""
import pytest

import _pyztdb
import ztcondb

TEXT = "é€ж"          # two-, three- and two-byte characters in UTF-8
STORED = len(TEXT.encode("utf-8"))

# How a session asks for another encoding.
CHANGES = {
    "set": "set client_encoding to '{}'",
    "set_config": "select set_config('client_encoding', '{}', false)",
}


@pytest.fixture
def zconn(pg):
    c = ztcondb.connect(host=pg["host"], port=pg["port"], user=pg["user"], dbname=pg["db"])
    try:
        yield c
    finally:
        c.close()


def stored_lengths(cur, table):
    cur.execute("select how, octet_length(v), v from %s order by how" % table)
    return {how: (length, value) for how, length, value in cur.fetchall()}


@pytest.mark.parametrize("encoding", ["LATIN1", "WIN1251", "EUC_JP", "SQL_ASCII"])
@pytest.mark.parametrize("change", sorted(CHANGES))
@pytest.mark.parametrize("autocommit", [True, False])
def test_a_change_away_from_utf8_is_refused_on_every_path(zconn, table_name, encoding,
                                                         change, autocommit):
    zconn.autocommit = autocommit
    cur = zconn.cursor()
    cur.execute("drop table if exists %s" % table_name)
    cur.execute("create table %s (how text, v text)" % table_name)
    cur.execute("create or replace function %s_put(how text, v text) returns int "
                "language sql as $$ insert into %s values (how, v) returning 1 $$"
                % (table_name, table_name))
    zconn.commit()
    with pytest.raises(ztcondb.NotSupportedError) as err:
        cur.execute(CHANGES[change].format(encoding))
    assert "client_encoding %s is not supported" % encoding in str(err.value)
    assert "set back to UTF8" in str(err.value)
    cur.execute("show client_encoding")
    assert cur.fetchone() == ("UTF8",)

    cur.execute("insert into %s values (?, ?)" % table_name, ("execute", TEXT))
    cur.executemany("insert into %s values (?, ?)" % table_name, [("copy", TEXT)])
    cur.executemany("insert into %s select ?, ? where true" % table_name,
                    [("pipeline", TEXT)])
    cur.executebatch("insert into %s values (?, ?)" % table_name, [["batch"], [TEXT]])
    cur.callproc(table_name + "_put", ["callproc", TEXT])
    zconn.commit()
    found = stored_lengths(cur, table_name)
    assert found == {how: (STORED, TEXT)
                     for how in ("execute", "copy", "pipeline", "batch", "callproc")}
    cur.execute("drop table %s" % table_name)
    cur.execute("drop function %s_put(text, text)" % table_name)
    zconn.commit()


@pytest.mark.parametrize("encoding", ["LATIN1", "EUC_JP"])
def test_the_module_refuses_it_too(conn, encoding):
    cur = conn.cursor()
    with pytest.raises(_pyztdb.OperationalError) as err:
        cur.execute("set client_encoding to '%s'" % encoding)
    assert str(err.value).startswith("[0A000] client_encoding %s is not supported" % encoding)
    cur.execute("select ?::text, octet_length(?::text)", (TEXT, TEXT))
    assert cur.fetchone() == (TEXT, STORED)
