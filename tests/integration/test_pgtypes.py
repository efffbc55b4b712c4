"""PostgreSQL's own types through ztcondb against a real server: one table of types x
values, each sent and read back through every path (a first run, a prepared run, a named
cursor's pages, a function's value, executemany in and fetch out), with psycopg 3's
reading of the same values as the reference where the two agree; then the registry,
bad input, and SQLAlchemy's reflection of a two-column unique constraint."""
import datetime
import decimal
import ipaddress
import os
import sys
import uuid

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import ztcondb  # noqa: E402
from ztcondb.adapt import Dumper, Loader  # noqa: E402
from ztcondb.types import TypeInfo  # noqa: E402
from ztcondb.types.composite import CompositeInfo, register_composite  # noqa: E402
from ztcondb.types.enum import EnumInfo, register_enum  # noqa: E402
from ztcondb.types.hstore import register_hstore  # noqa: E402
from ztcondb.types.json import Json, Jsonb, set_json_dumps, set_json_loads  # noqa: E402
from ztcondb.types.range import Multirange, Range  # noqa: E402

D = decimal.Decimal
UTC = datetime.timezone.utc
U1 = uuid.UUID("12345678-9abc-def0-1234-56789abcdef0")
T1 = datetime.datetime(2024, 2, 29, 10, 20, 30, 123456, tzinfo=UTC)

# (id, server type, value sent, value read back; None: the value sent)
CASES = [
    ("int4-array", "int4[]", [1, None, -3], None),
    ("int8-2d", "int8[]", [[1, 2], [3, 2 ** 40]], None),
    ("int-3d", "int4[]", [[[1], [2]], [[3], [4]]], None),
    ("text-specials", "text[]",
     ["a,b", 'q"u', "back\\slash", "{brace}", "NULL", None, "", " sp ", "é"], None),
    ("text-empty", "text[]", [], None),
    ("varchar-2d-null", "varchar[]", [["x", None], [None, "y"]], None),
    ("float8-array", "float8[]", [1.5, -0.25, float("inf")], None),
    ("numeric-array", "numeric[]", [D("1.10"), None, D("-3")], None),
    ("numeric-big-int", "numeric[]", [2 ** 70, 1], [D(2 ** 70), D(1)]),
    ("bool-array", "bool[]", [True, False, None], None),
    ("bytea-array", "bytea[]", [b"\x00\xff", b""], None),
    ("date-array", "date[]", [datetime.date(2024, 1, 2), None], None),
    ("timestamptz-array", "timestamptz[]", [T1], None),
    ("uuid", "uuid", U1, None),
    ("uuid-array", "uuid[]", [U1, None], None),
    ("jsonb-dict", "jsonb", {"a": [1, None, "x"], "b": {"c": 2.5}}, None),
    ("json-wrapper", "json", Json([1, "two", None]), [1, "two", None]),
    ("jsonb-wrapper", "jsonb", Jsonb("text"), "text"),
    ("jsonb-array", "jsonb[]", [{"k": 1}, {"k": '"q"'}], None),
    ("inet-host", "inet", ipaddress.ip_address("10.1.2.3"), None),
    ("inet-prefix", "inet", ipaddress.ip_interface("10.1.2.3/24"), None),
    ("inet-v6", "inet", ipaddress.ip_address("::1"), None),
    ("cidr", "cidr", ipaddress.ip_network("10.0.0.0/8"), None),
    ("inet-array", "inet[]", [ipaddress.ip_address("192.168.0.1"), None], None),
    ("int4range", "int4range", Range(1, 10), None),
    ("int8range-open", "int8range", Range(None, 5, "(]"), Range(None, 6, "()")),
    ("int4range-empty", "int4range", Range(empty=True), None),
    ("numrange", "numrange", Range(D("1.5"), D("2.5"), "[]"), None),
    ("daterange", "daterange", Range(datetime.date(2024, 1, 1), datetime.date(2024, 2, 1)),
     None),
    ("tstzrange", "tstzrange", Range(T1, None), None),
    ("int4multirange", "int4multirange", Multirange([Range(1, 3), Range(5, 7)]), None),
]
IDS = [c[0] for c in CASES]


def expected(case):
    return case[2] if case[3] is None else case[3]


@pytest.fixture(scope="module")
def db(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    conn.autocommit = True
    try:
        yield conn
    finally:
        conn.close()


@pytest.fixture(scope="module")
def prepared(pg):
    """A connection whose statements are prepared at their first run."""
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"], prepare_threshold=0)
    conn.autocommit = True
    try:
        yield conn
    finally:
        conn.close()


@pytest.fixture(scope="module")
def echo(db):
    """A function per case type returning its argument (for callfunc)."""
    with db.cursor() as cur:
        for i, (_, pgtype, _, _) in enumerate(CASES):
            cur.execute("CREATE OR REPLACE FUNCTION pgt_echo_%d(v %s) RETURNS %s "
                        "LANGUAGE sql AS 'SELECT v'" % (i, pgtype, pgtype))
    return "pgt_echo_%d"


@pytest.fixture(scope="module")
def stored(db):
    """Every case's value stored by executemany through COPY (pgt_copy) and through the
    statement path (pgt_stmt), two rows each, and read back."""
    columns = ", ".join("c%d %s" % (i, c[1]) for i, c in enumerate(CASES))
    marks = ", ".join("?" * len(CASES))
    rows = [tuple(c[2] for c in CASES)] * 2
    with db.cursor() as cur:
        found = {}
        for table, suffix in (("pgt_copy", ""), ("pgt_stmt", " RETURNING 1")):
            cur.execute("DROP TABLE IF EXISTS %s; CREATE TABLE %s (%s)" % (table, table, columns))
            cur.executemany("INSERT INTO %s VALUES (%s)%s" % (table, marks, suffix), rows)
            cur.execute("SELECT * FROM %s" % table)
            found[table] = cur.fetchall()
    return found


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_first_run(db, case):
    with db.cursor() as cur:
        cur.execute("SELECT ?::%s" % case[1], [case[2]])
        assert cur.fetchone()[0] == expected(case)


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_prepared_run(prepared, case):
    with prepared.cursor() as cur:
        for _ in range(2):
            cur.execute("SELECT ?::%s, 1" % case[1], [case[2]])
            assert cur.fetchone()[0] == expected(case)


@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_named_cursor_pages(db, case):
    db.autocommit = False
    try:
        with db.cursor("pgt_named") as cur:
            cur.itersize = 2
            cur.execute("SELECT ?::%s FROM generate_series(1, 5)" % case[1], [case[2]])
            assert [r[0] for r in cur] == [expected(case)] * 5
    finally:
        db.rollback()
        db.autocommit = True


@pytest.mark.parametrize("index", range(len(CASES)), ids=IDS)
def test_callfunc_value(db, echo, index):
    case = CASES[index]
    with db.cursor() as cur:
        result = cur.callfunc(echo % index, [case[2]])
        assert result[-1] == expected(case)


@pytest.mark.parametrize("table", ["pgt_copy", "pgt_stmt"])
@pytest.mark.parametrize("index", range(len(CASES)), ids=IDS)
def test_executemany_in_fetch_out(stored, table, index):
    assert [row[index] for row in stored[table]] == [expected(CASES[index])] * 2


def _comparable(value):
    """psycopg's and ztcondb's ranges as plain tuples, multiranges as lists."""
    if hasattr(value, "isempty") and hasattr(value, "bounds"):
        return ("range", value.lower, value.upper, value.bounds)
    if isinstance(value, list) or type(value).__name__ == "Multirange":
        return [_comparable(v) for v in value]
    return value


@pytest.fixture(scope="module")
def reference(pg):
    psycopg = pytest.importorskip("psycopg")
    conn = psycopg.connect(host=pg["host"], port=pg["port"], dbname=pg["db"], user=pg["user"],
                           autocommit=True)
    conn.execute("SET TimeZone = 'UTC'")
    try:
        yield conn
    finally:
        conn.close()


# Where psycopg 3 reads otherwise: multiranges are its own Multirange (compared as lists).
@pytest.mark.parametrize("case", CASES, ids=IDS)
def test_same_as_psycopg(db, reference, case):
    with db.cursor() as cur:
        cur.execute("SELECT ?::%s::text" % case[1], [case[2]])
        text = cur.fetchone()[0]
        cur.execute("SELECT ?::text::%s" % case[1], [text])
        ours = cur.fetchone()[0]
    theirs = reference.execute("SELECT %%s::text::%s" % case[1], [text]).fetchone()[0]
    assert _comparable(ours) == _comparable(theirs)


# ---- the registry ----

class _UpperLoader(Loader):
    def load(self, data):
        return bytes(data).decode().upper()


class _Point:
    def __init__(self, x, y):
        self.x, self.y = x, y


class _PointDumper(Dumper):
    oid = 600

    def dump(self, obj):
        return ("(%s,%s)" % (obj.x, obj.y)).encode()


def test_loaders_and_dumpers_stay_in_their_context(db):
    other = ztcondb.connect(host=db._connect_args[0][0], port=db._connect_args[0][1],
                            database=db._connect_args[0][2], user=db._connect_args[0][3])
    try:
        with db.cursor() as cur, db.cursor() as plain, other.cursor() as elsewhere:
            cur.adapters.register_loader("text", _UpperLoader)
            cur.adapters.register_dumper(_Point, _PointDumper)
            cur.execute("SELECT 'abc'::text, '{x,y}'::text[], ?::point::text", [_Point(1, 2)])
            assert cur.fetchone() == ("ABC", ["X", "Y"], "(1,2)")
            for c in (plain, elsewhere):
                c.execute("SELECT 'abc'::text, '{x,y}'::text[]")
                assert c.fetchone() == ("abc", ["x", "y"])
            with pytest.raises(ztcondb.ProgrammingError, match="parameter 1.*_Point"):
                plain.execute("SELECT ?", [_Point(1, 2)])
    finally:
        other.close()


def test_json_functions_per_connection(db):
    with db.cursor() as cur:
        set_json_loads(lambda s: ("loaded", s), cur)
        set_json_dumps(lambda o: '{"dumped": true}', cur)
        cur.execute("SELECT '[1]'::jsonb, ?::jsonb::text", [{"x": 1}])
        assert cur.fetchone() == (("loaded", "[1]"), '{"dumped": true}')
    with db.cursor() as cur:
        cur.execute("SELECT '[1]'::jsonb")
        assert cur.fetchone()[0] == [1]


def test_enum_domain_hstore_composite(db):
    with db.cursor() as cur:
        cur.execute("DROP TYPE IF EXISTS pgt_mood CASCADE; "
                    "CREATE TYPE pgt_mood AS ENUM ('sad', 'ok'); "
                    "DROP DOMAIN IF EXISTS pgt_pos; CREATE DOMAIN pgt_pos AS int4[]; "
                    "DROP TYPE IF EXISTS pgt_pair CASCADE; "
                    "CREATE TYPE pgt_pair AS (n int4, t text); "
                    "CREATE EXTENSION IF NOT EXISTS hstore")
        cur.execute("SELECT 'ok'::pgt_mood, '{1,2}'::pgt_pos, '{sad}'::pgt_mood[]")
        assert cur.fetchone() == ("ok", [1, 2], "{sad}")
        info = EnumInfo.fetch(db, "pgt_mood")
        assert info.labels == ("sad", "ok")
        register_enum(info, cur)
        cur.execute("SELECT 'ok'::pgt_mood, '{sad,ok}'::pgt_mood[], ?::text",
                    [info.enum.sad])
        assert cur.fetchone() == (info.enum.ok, [info.enum.sad, info.enum.ok], "sad")
        register_hstore(TypeInfo.fetch(db, "hstore"), cur)
        value = {"a": "1", 'q"': None, "b\\": "x y"}
        cur.execute("SELECT ?::hstore", [value])
        assert cur.fetchone()[0] == value
        pair = CompositeInfo.fetch(db, "pgt_pair")
        assert pair.field_names == ("n", "t")
        register_composite(pair, cur)
        cur.execute("SELECT ROW(1, 'a,\"b')::pgt_pair, ?::pgt_pair",
                    [pair.python_type(2, None)])
        first, second = cur.fetchone()
        assert (first.n, first.t) == (1, 'a,"b') and tuple(second) == (2, None)
    assert TypeInfo.fetch(db, "pgt_no_such_type") is None


def test_other_types_read_as_text(db):
    with db.cursor() as cur:
        cur.execute("SELECT 5::oid, '<a/>'::xml, B'101', 'a b'::tsvector, point(1, 2)")
        assert cur.fetchone() == (5, "<a/>", "101", "'a' 'b'", "(1,2)")


# ---- bad input ----

@pytest.mark.parametrize("value, error, match", [
    ([[1, 2], [3]], ztcondb.DataError, r"parameter 2: the list is ragged"),
    ([[1], 2], ztcondb.DataError, r"parameter 2: the list is ragged"),
    ([1, "a"], ztcondb.ProgrammingError, r"parameter 2: a list mixes int and str"),
    ([object()], ztcondb.ProgrammingError, r"parameter 2: a list item of type 'object'"),
    (["a\x00b"], ztcondb.DataError, r"parameter 2: a list item holds a zero character"),
    ((1, 2), ztcondb.ProgrammingError, r"parameter 2: cannot send a tuple"),
    ({"a": object()}, TypeError, r"not JSON serializable"),
    (Range(object(), 1), ztcondb.ProgrammingError,
     r"parameter 2: a Range bound of type 'object'"),
])
def test_bad_parameters(db, value, error, match):
    with db.cursor() as cur:
        with pytest.raises(error, match=match):
            cur.execute("SELECT ?, ?", [1, value])
        cur.execute("SELECT 1")
        assert cur.fetchone() == (1,)


def test_bad_values_name_column_and_row(db):
    with db.cursor() as cur:
        cur.adapters.register_loader("int4", _FailingLoader)
        cur.execute("SELECT 'x'::text, n::int4 FROM generate_series(1, 3) n")
        with pytest.raises(ztcondb.DataError, match=r"column 2 \(n\), row 1: the value '1'"):
            cur.fetchall()
    with db.cursor() as cur:
        with pytest.raises(ztcondb.ProgrammingError, match="column 1, row 2: a list mixes"):
            cur.executemany("SELECT ?", [([1],), ([1, "x"],)])


class _FailingLoader(Loader):
    def load(self, data):
        raise ValueError("refused")


def test_list_in_executemany_is_an_array(db):
    with db.cursor() as cur:
        cur.execute("DROP TABLE IF EXISTS pgt_many; CREATE TABLE pgt_many (a int4[], n int4)")
        cur.executemany("INSERT INTO pgt_many VALUES (?, ?)", [([1, 2], 1), (None, 2), ([], 3)])
        cur.execute("SELECT a FROM pgt_many ORDER BY n")
        assert cur.fetchall() == [([1, 2],), (None,), ([],)]


@pytest.mark.skipif(bool(os.environ.get("ZT_SANITIZER_PRELOAD")),
                    reason="SQLAlchemy's greenlet leaks at exit under the sanitizers")
def test_sqlalchemy_unique_constraints(pg):
    sqlalchemy = pytest.importorskip("sqlalchemy")
    from sqlalchemy.dialects import registry
    registry.register("postgresql.ztcondb", "ztcondb.dialect", "ZtcondbDialect")
    url = "postgresql+ztcondb://%s@%s:%s/%s" % (pg["user"], pg["host"], pg["port"], pg["db"])
    engine = sqlalchemy.create_engine(url)
    try:
        with engine.begin() as conn:
            conn.exec_driver_sql("DROP TABLE IF EXISTS pgt_uq")
            conn.exec_driver_sql("CREATE TABLE pgt_uq (a int, b int, c int, "
                                 "CONSTRAINT pgt_uq_ab UNIQUE (a, b))")
        found = sqlalchemy.inspect(engine).get_unique_constraints("pgt_uq")
        assert [(u["name"], u["column_names"]) for u in found] == [("pgt_uq_ab", ["a", "b"])]
    finally:
        engine.dispose()
