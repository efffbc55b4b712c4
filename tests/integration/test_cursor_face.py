"""The psycopg-style face of ztcondb against a real server: %s / %(name)s placeholders,
row factories on every way of reading, the cursor's attributes, ClientCursor and
ztcondb.sql. One connection serves the module."""
import dataclasses
import datetime
import decimal
import os
import sys
import uuid

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402
from ztcondb import rows, sql  # noqa: E402


@pytest.fixture(scope="module")
def db(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    conn.autocommit = True
    cur = conn.cursor()
    cur.execute("create temp table face_t (id int primary key, name text, doc jsonb)")
    cur.execute("insert into face_t values (1, 'one', '{\"a\": 1}'), (2, 'two', '{\"b\": 2}'),"
                " (3, 'three', '{\"a\": 3}')")
    cur.close()
    yield conn
    conn.close()


@pytest.fixture
def cur(db):
    c = db.cursor()
    yield c
    c.close()


PLACEHOLDER_RUNS = [
    ("select %s::int + %s::int", (1, 2), [(3,)]),
    ("select %(a)s::text || %(a)s::text || %(b)s::text", {"a": "x", "b": "y"}, [("xxy",)]),
    ("select id from face_t where doc ? %s order by id", ("a",), [(1,), (3,)]),
    ("select id from face_t where doc ?| array[%s] order by id", ("b",), [(2,)]),
    ("select id from face_t where doc ?& array[%(k)s] and doc ? %(k)s order by id",
     {"k": "a"}, [(1,), (3,)]),
    ("select '100%%' || %s", ("!",), [("100%!",)]),
    ("select name from face_t where name like 't%%' and id > %s order by id", (0,),
     [("two",), ("three",)]),
    ("select '?' || %s, $$?$$", ("x",), [("?x", "?")]),
    ("select ?::int * 2", (4,), [(8,)]),
    ("select 'a??b' || ?", ("c",), [("a??bc",)]),
]


@pytest.mark.parametrize("text,params,expected", PLACEHOLDER_RUNS)
def test_placeholders_reach_the_server(cur, text, params, expected):
    assert cur.execute(text, params).fetchall() == expected


@pytest.mark.parametrize("text,params,expected", PLACEHOLDER_RUNS[:3])
def test_placeholders_on_a_named_cursor(db, text, params, expected):
    db.autocommit = False
    try:
        with db.cursor("face_named") as named:
            assert named.execute(text, params).fetchall() == expected
    finally:
        db.rollback()
        db.autocommit = True


def test_executemany_with_named_placeholders(cur):
    cur.execute("create temp table face_many (a int, b text)")
    cur.executemany("insert into face_many values (%(a)s, %(b)s)",
                    [{"a": 1, "b": "x"}, {"b": "y", "a": 2}])
    cur.executemany("insert into face_many values (%s, %s)", [(3, "z")])
    assert cur.execute("select a, b from face_many order by a").fetchall() == \
        [(1, "x"), (2, "y"), (3, "z")]


@pytest.mark.parametrize("text,params,message", [
    ("select %s, ?", (1, 2), "mixes %s placeholders and ? markers"),
    ("select %s", (1, 2), "1 %s placeholder but 2 parameters"),
    ("select ?", (1, 2), "1 parameter marker (?) but 2 parameters"),
])
def test_placeholder_refusals_are_programming_errors(cur, text, params, message):
    with pytest.raises(ztcondb.ProgrammingError) as info:
        cur.execute(text, params)
    assert message in str(info.value)
    assert cur.execute("select 1").fetchone() == (1,)


@dataclasses.dataclass
class Face:
    id: int
    name: str


FACTORIES = [
    (rows.tuple_row, lambda i, n: (i, n)),
    (rows.dict_row, lambda i, n: {"id": i, "name": n}),
    (rows.namedtuple_row, lambda i, n: (i, n)),
    (rows.class_row(Face), Face),
    (rows.args_row(lambda *v: list(v)), lambda i, n: [i, n]),
    (rows.kwargs_row(lambda **kw: sorted(kw.items())), lambda i, n: [("id", i), ("name", n)]),
]
READS = {
    "fetchone": lambda c: [c.fetchone(), c.fetchone(), c.fetchone()],
    "fetchmany": lambda c: c.fetchmany(2) + c.fetchmany(5),
    "fetchall": lambda c: c.fetchall(),
    "iteration": lambda c: list(c),
}
TABLE = [(1, "one"), (2, "two"), (3, "three")]


@pytest.mark.parametrize("read", sorted(READS))
@pytest.mark.parametrize("named", [False, True], ids=["plain", "named"])
@pytest.mark.parametrize("factory,expected", FACTORIES)
def test_row_factories(db, factory, expected, read, named):
    if named:
        db.autocommit = False
    try:
        c = db.cursor("face_rows" if named else None)
        c.row_factory = factory
        c.execute("select id, name from face_t order by id")
        got = READS[read](c)
        assert got == [expected(*row) for row in TABLE]
        if factory is rows.namedtuple_row:
            assert [r.name for r in got] == ["one", "two", "three"]
        c.close()
    finally:
        if named:
            db.rollback()
            db.autocommit = True


def test_row_factory_follows_each_result(cur):
    cur.row_factory = rows.dict_row
    assert cur.execute("select 1 as a").fetchone() == {"a": 1}
    assert cur.execute("select 2 as b, 3 as c").fetchone() == {"b": 2, "c": 3}
    cur.row_factory = rows.tuple_row
    assert cur.execute("select 4 as d").fetchone() == (4,)


STATUS = [
    ("select id from face_t", "SELECT 3"),
    ("insert into face_t values (9, 'nine', null)", "INSERT 0 1"),
    ("update face_t set name = name where id > 1", "UPDATE 3"),
    ("delete from face_t where id = 9", "DELETE 1"),
    ("create temp table face_status (a int)", "CREATE TABLE"),
    ("drop table face_status", "DROP TABLE"),
    ("set search_path = public, pg_temp", "SET"),
]


@pytest.mark.parametrize("text,tag", STATUS)
def test_statusmessage(cur, text, tag):
    assert cur.statusmessage is None
    cur.execute(text)
    assert cur.statusmessage == tag


def test_query_description_and_chaining(cur):
    assert cur.query is None
    row = cur.execute("select id, name from face_t where id = %s and doc ? 'a'", (1,)).fetchone()
    assert row == (1, "one")
    assert cur.query == b"select id, name from face_t where id = $1 and doc ? 'a'"
    first, second = cur.description
    assert (first.name, second.name) == ("id", "name")
    assert first.type_code == ztcondb.NUMBER and second.type_code == ztcondb.STRING
    assert len(first) == 7 and first[0] == "id" and tuple(first)[1] == first.type_code
    assert (first.display_size, first.internal_size, first.null_ok) == (None, None, None)


ROUND_TRIPS = [None, True, 0, -1, 2 ** 40, 1.5, -2.25, decimal.Decimal("-3.10"), "it's",
               "back\\slash", "both \\' kinds", "zürich ☃", "?", "%", b"\x00\x01\xff",
               datetime.date(2024, 2, 29), datetime.datetime(2024, 1, 2, 3, 4, 5, 6),
               datetime.time(23, 59, 59, 999999), datetime.timedelta(days=3, seconds=7),
               uuid.UUID(int=12345), [1, 2, 3], ["a", None]]


@pytest.mark.parametrize("scs", ["on", "off"])
def test_client_cursor_quotes_by_the_server_rules(db, scs):
    db.cursor().execute("set standard_conforming_strings = %s" % scs)
    try:
        with ztcondb.ClientCursor(db) as c:
            for value in ROUND_TRIPS:
                got = c.execute("select %s", (value,)).fetchone()
                assert got == (value,), (scs, value, c.mogrify("select %s", (value,)))
    finally:
        db.cursor().execute("set standard_conforming_strings = on")


def test_mogrify(db):
    c = ztcondb.ClientCursor(db)
    assert c.mogrify("select %s, %s where d ? 'k'", ("a'b", -1)) == \
        "select 'a''b', (-1) where d ? 'k'"
    assert c.mogrify("select %(x)s, %(x)s", {"x": None}) == "select NULL, NULL"
    assert c.execute("select %s::jsonb ? 'a'", ('{"a": 1}',)).fetchone() == (True,)
    assert c.execute("select %s = array[1, 2, 3], %s = array['a', null]",
                     ([1, 2, 3], ["a", None])).fetchone() == (True, True)
    assert c.execute("select %s::text[] = '{}'", ([],)).fetchone() == (True,)
    with pytest.raises(ztcondb.ProgrammingError, match="2 %s placeholders"):
        c.mogrify("select %s, %s", (1,))


def test_sql_composition_runs(cur):
    query = sql.SQL("select {fields} from {table} where {key} = {value}").format(
        fields=sql.SQL(", ").join([sql.Identifier("id"), sql.Identifier("name")]),
        table=sql.Identifier("face_t"), key=sql.Identifier("id"), value=sql.Placeholder())
    assert cur.execute(query, (2,)).fetchall() == [(2, "two")]
    cur.execute(sql.SQL("create temp table {} ({} int)").format(
        sql.Identifier('we"ird table'), sql.Identifier("Mixed Case")))
    cur.execute(sql.SQL("insert into {} values ({})").format(
        sql.Identifier('we"ird table'), sql.Literal(5)))
    assert cur.execute('select "Mixed Case" from "we""ird table"').fetchall() == [(5,)]


def test_placeholders_in_a_pipeline_and_a_client_cursor_factory(db, pg):
    with db.pipeline():
        first = db.cursor().execute("select %s::int + 1", (1,))
        second = db.cursor().execute("select %(a)s::text", {"a": "x"})
    assert (first.fetchone(), second.fetchone()) == ((2,), ("x",))
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"], cursor_factory=ztcondb.ClientCursor,
                           row_factory=rows.dict_row)
    try:
        cur = conn.cursor()
        assert isinstance(cur, ztcondb.ClientCursor)
        assert cur.execute("select %s as v", ("it's",)).fetchall() == [{"v": "it's"}]
        assert cur.query == b"select 'it''s' as v"
    finally:
        conn.close()


@pytest.mark.parametrize("call", [
    lambda db: db.cursor(cursor_factory=ztcondb.ClientCursor),
    lambda db: db.cursor(bogus=1),
    lambda db: db.cursor().execute("select 1", (), bogus=1),
])
def test_unknown_keywords_are_refused(db, call):
    with pytest.raises(TypeError):
        call(db)


def test_psycopg_keywords_of_execute(cur):
    assert cur.execute("select %s", params=(5,), prepare=True, binary=True).fetchone() == (5,)
    assert ztcondb.ClientCursor(cur.connection).execute(
        "select %(a)s", params={"a": 6}).fetchone() == (6,)
    with pytest.raises(ztcondb.NotSupportedError):
        cur.executemany("select %s", [(1,)], returning=True)
