"""%s / %(name)s placeholders beside ? markers: the text and parameters handed to the
library, the refusals, and the statements as sent through ztcondb's cursor (double)."""
import os
import re
import sys
import types

import pytest

import _pyztdb

sys.path.append(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402

EXEC = "ZTC_ExecwithDataReader"

CONVERTED = [
    # (statement, parameters, text for the library, parameters for the library)
    ("select %s", (1,), "select ?", (1,)),
    ("select %s, %s", [1, 2], "select ?, ?", [1, 2]),
    ("select %b, %t", (1, 2), "select ?, ?", (1, 2)),
    ("select %(a)s, %(b)s, %(a)s", {"a": 1, "b": 2}, "select ?, ?, ?", (1, 2, 1)),
    ("select %(a b)s", {"a b": 3}, "select ?", (3,)),
    ("select %(a)s", types.MappingProxyType({"a": 4}), "select ?", (4,)),
    ("select %(a)s", {"a": 1, "unused": 2}, "select ?", (1,)),
    ("select '100%%', %s", (1,), "select '100%', ?", (1,)),
    ("select '100%%'", (), "select '100%'", ()),            # %% alone: the % style
    ("select '100%%'", {}, "select '100%'", ()),
    # ? markers: the statement passes as it is, %% included.
    ("select ?", (1,), "select ?", (1,)),
    ("select ?, '100%%'", (1,), "select ?, '100%%'", (1,)),
    ("select ?, 'a%'", (1,), "select ?, 'a%'", (1,)),
    ("select ???", (1,), "select ???", (1,)),               # ?? is a literal ?
    # % sequences only inside literals or comments leave a ? statement alone.
    ("select 1 where n like '%smith%' and id = ?", (1,),
     "select 1 where n like '%smith%' and id = ?", (1,)),
    ("select '%(x)s', ? -- 100%s", [1], "select '%(x)s', ? -- 100%s", [1]),
    ("select 1", (), "select 1", ()),
    # A ? beside %s is an operator: doubled, so that the server receives it as written.
    ("select d ? 'k' from t where id = %s", (1,), "select d ?? 'k' from t where id = ?", (1,)),
    ("select d ?| array['a'] and %s", (1,), "select d ??| array['a'] and ?", (1,)),
    ("select d ?& %(k)s", {"k": ["a"]}, "select d ??& ?", (["a"],)),
    ("select ??, %s", (1,), "select ????, ?", (1,)),
    # ...but not where the library does not read a marker.
    ("select '?', %s", (1,), "select '?', ?", (1,)),
    ("select E'\\'?', %s", (1,), "select E'\\'?', ?", (1,)),
    ("select 'it''s?', %s", (1,), "select 'it''s?', ?", (1,)),
    ('select "a?b", %s', (1,), 'select "a?b", ?', (1,)),
    ("select $$?$$, $x$ ? $x$, %s", (1,), "select $$?$$, $x$ ? $x$, ?", (1,)),
    ("select a$b ? 1, %s", (1,), "select a$b ?? 1, ?", (1,)),
    ("/* ? /* ? */ */ select %s -- ?\n", (1,), "/* ? /* ? */ */ select ? -- ?\n", (1,)),
    # A marker written against a ? is kept apart from it.
    ("select %s%s", (1, 2), "select ? ?", (1, 2)),
    ("select %s?", (1,), "select ? ??", (1,)),
    ("select ?%s", (1,), "select ???", (1,)),
]


@pytest.mark.parametrize("text,params,library,values", CONVERTED)
def test_conversion(text, params, library, values):
    got_text, got_values = _pyztdb.cursor._convert_placeholders(text, params)
    assert got_text == library
    assert got_values == values
    assert type(got_values) is type(values)


REFUSED = [
    # (statement, parameters, the message's words, taken literally)
    ("select %s, ?", (1, 2), "mixes %s placeholders and ? markers"),
    ("select %s, %(a)s", (1,), "mixes %s and %(name)s"),
    ("select %s, %(a)s", {"a": 1}, "mixes %s and %(name)s"),
    ("select %s", (1, 2), "[07001] the statement has 1 %s placeholder but 2 parameters are bound"),
    ("select %s, %s", (1,), "2 %s placeholders but 1 parameter is bound"),
    ("select %s", (), "1 %s placeholder but 0 parameters"),
    ("select ?", (1, 2), "[07001] the statement has 1 parameter marker (?) but 2 parameters are"),
    ("select 1", (1,), "0 parameter markers (?) but 1 parameter is bound"),
    ("select %(a)s", (1,), "take a mapping of parameters, not tuple"),
    ("select %s", {"a": 1}, "take a sequence of parameters, not a mapping"),
    ("select %(a)s", {"b": 1}, "%(a)s has no value"),
    ("select 'a%', %s", (1,), "only '%s', '%b', '%t' and '%(name)s' are placeholders, got '%',"),
    ("select %s, 50%", (1,), "incomplete placeholder: '%'"),
    ("select %(a)x", {"a": 1}, "got '%(a)x'"),
    ("select ?", {"a": 1}, "must be a sequence, not dict (the markers are ?"),
    ("select '%(a)s', ?", {"a": 1}, "must be a sequence, not dict (the markers are ?"),
    ("select 'a%s', ?", (1, 2), "1 parameter marker (?) but 2 parameters are bound"),
    ("select 1 where n like '%smith%' and id = %s", (1,), "got '%'"),
]


@pytest.mark.parametrize("text,params,message", REFUSED)
def test_refusal(text, params, message):
    with pytest.raises(_pyztdb.ProgrammingError, match=re.escape(message)) as info:
        _pyztdb.cursor._convert_placeholders(text, params)
    # Count refusals carry the SQLSTATE of the library's own: 07001.
    assert getattr(info.value, "sqlstate", None) == ("07001" if " but " in message else None)


def test_many_rows_of_a_mapping_become_tuples():
    rows = [{"a": 1, "b": "x"}, {"b": "y", "a": 2}]
    text, made = _pyztdb.cursor._convert_placeholders_many("insert into t values (%(a)s, %(b)s)", rows)
    assert text == "insert into t values (?, ?)"
    assert made == [(1, "x"), (2, "y")]
    with pytest.raises(_pyztdb.ProgrammingError, match=r"%\(b\)s has no value"):
        _pyztdb.cursor._convert_placeholders_many("select %(a)s, %(b)s", [{"a": 1, "b": 2}, {"a": 1}])


@pytest.mark.parametrize("text,numbered", [
    ("select ?, ?", "select $1, $2"),
    ("select ??, '?', ?", "select ?, '?', $1"),
    ("select ???", "select ?$1"),
    ("select $$?$$", "select $$?$$"),
])
def test_numbered_markers(text, numbered):
    assert _pyztdb.cursor._numbered_markers(text) == numbered


@pytest.mark.parametrize("text,keep,pieces", [
    ("select ?, ?", False, ["select ", ", ", ""]),
    ("select ?? ?", False, ["select ? ", ""]),
    ("select ?? ?", True, ["select ?? ", ""]),
    ("select '?'", True, ["select '?'"]),
])
def test_marker_pieces(text, keep, pieces):
    assert _pyztdb.cursor._marker_pieces(text, keep) == pieces


@pytest.fixture
def zconn(zd):
    conn = ztcondb.connect(host="h", database="d", user="u", password="p")
    yield conn
    conn.close()


@pytest.mark.parametrize("run", [
    lambda cur: cur.execute("select %s, %(x)s", (1,)),
    lambda cur: cur.execute("select %(x)s", [1]),
    lambda cur: cur.executemany("select %s", [(1, 2)]),
])
def test_a_refused_statement_is_never_sent(zd, zconn, run):
    cur = zconn.cursor()
    with pytest.raises(ztcondb.ProgrammingError):
        run(cur)
    assert EXEC not in zd.names() and "ZTC_ExecBatch" not in zd.names()


def test_the_cursor_sends_the_converted_text_and_returns_itself(zd, zconn):
    zd.queue_execution(zd.Result([zd.Column("a", 5)], [[7]], sql_type=9))
    cur = zconn.cursor()
    assert cur.execute("select %(v)s where d ? 'k'", {"v": 7}) is cur
    assert zd.calls_of(EXEC)[-1]["sql"] == "select ? where d ?? 'k'"
    assert [c["pos"] for c in zd.calls_of("ZTC_BindParamByPos")] == [1]
    assert cur.query == b"select $1 where d ? 'k'"


def test_parameters_that_refill_the_cache_while_read():
    # Reading a mapping runs Python code; here it analyses enough other texts for the
    # cache to start afresh while the first statement's analysis is still in use.
    class Flooding(dict):
        def __getitem__(self, key):
            for i in range(1100):
                _pyztdb.cursor._convert_placeholders("select %s -- " + str(i), (i,))
            return dict.__getitem__(self, key)
    text = "select %(a)s, %(b)s -- flooded"
    assert _pyztdb.cursor._convert_placeholders(text, Flooding(a=1, b=2)) == ("select ?, ? -- flooded", (1, 2))
