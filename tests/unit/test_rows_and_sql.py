"""Row makers (what ztcondb.rows' factories build rows with) and ztcondb.sql's
composition and quoting; neither needs a server."""
import dataclasses
import datetime
import decimal
import gc
import os
import sys
import uuid
import weakref

import pytest

import _pyztdb

sys.path.append(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

from ztcondb import rows, sql  # noqa: E402
from ztcondb.errors import DataError  # noqa: E402


@dataclasses.dataclass
class Point:
    x: int
    y: str


class Description:
    """A stand-in cursor: row factories read only `description`."""

    def __init__(self, *names):
        self.description = [(name, "INTEGER", None, None, 10, 0, None) for name in names]


MADE = [
    (rows.tuple_row, ("x", "y"), (1, "a"), (1, "a")),
    (rows.dict_row, ("x", "y"), (1, "a"), {"x": 1, "y": "a"}),
    (rows.dict_row, ("x", "x"), (1, 2), {"x": 2}),
    (rows.namedtuple_row, ("x", "y"), (1, "a"), (1, "a")),
    (rows.class_row(Point), ("x", "y"), (1, "a"), Point(1, "a")),
    (rows.args_row(lambda *v: list(v)), ("x", "y"), (1, "a"), [1, "a"]),
    (rows.kwargs_row(lambda **kw: sorted(kw.items())), ("y", "x"), (1, "a"),
     [("x", "a"), ("y", 1)]),
]


@pytest.mark.parametrize("factory,names,row,made", MADE)
def test_each_factory_makes_the_row(factory, names, row, made):
    maker = factory(Description(*names))
    assert maker(row) == made
    # The whole list at once, in place, gives the same rows.
    listed = [row, row]
    assert _pyztdb.cursor._make_rows(maker, listed) is listed
    assert listed == [made, made]


def test_named_tuple_fields_are_identifiers_and_the_class_is_kept():
    maker = rows.namedtuple_row(Description("a b", "1st", "class", "", "_x", "a b"))
    row = maker((1, 2, 3, 4, 5, 6))
    assert row._fields == ("a_b", "f1st", "class_", "f3", "f_x", "a_b_5")
    assert row.a_b == 1 and row.class_ == 3
    again = rows.namedtuple_row(Description("a b", "1st", "class", "", "_x", "a b"))
    assert type(again((1, 2, 3, 4, 5, 6))) is type(row)


@pytest.mark.parametrize("factory", [rows.dict_row, rows.namedtuple_row,
                                     rows.args_row(tuple), rows.kwargs_row(dict)])
def test_a_result_without_columns_has_no_row_maker(factory):
    cursor = Description()
    cursor.description = None
    with pytest.raises(Exception, match="no result with rows"):
        factory(cursor)((1,))


@pytest.mark.parametrize("kind,row,error", [
    ("dict", (1,), "a row of 1 values for 2 columns"),
    ("namedtuple", (1, 2, 3), "a row of 3 values for 2 columns"),
])
def test_a_row_of_another_width_is_refused(kind, row, error):
    maker = _pyztdb.cursor._row_maker(kind, ("a", "b"), rows._row_class(("a", "b")))
    with pytest.raises(_pyztdb.ProgrammingError, match=error):
        maker(row)


@pytest.mark.parametrize("args,error", [
    (("list", ("a",)), ValueError),
    (("dict", (1,)), TypeError),
    (("args", ("a",), None), TypeError),
])
def test_row_maker_arguments_are_checked(args, error):
    with pytest.raises(error):
        _pyztdb.cursor._row_maker(*args)


def test_make_rows_stops_at_a_failing_row_and_keeps_the_rest():
    def maker(row):
        if row == (2,):
            raise KeyError("bad")
        return row[0]
    listed = [(1,), (2,), (3,)]
    with pytest.raises(KeyError):
        _pyztdb.cursor._make_rows(maker, listed)
    assert listed == [1, (2,), (3,)]


def test_a_maker_that_empties_the_list_does_not_crash():
    listed = [(1,), (2,)]
    assert _pyztdb.cursor._make_rows(lambda row: listed.clear(), listed) == []


def test_a_row_maker_is_collected_with_its_target():
    class Target:
        def __call__(self, *values):
            return values
    target = Target()
    target.maker = _pyztdb.cursor._row_maker("args", ("a",), target)   # a cycle through the maker
    ref = weakref.ref(target)
    del target
    gc.collect()
    assert ref() is None


# ---- ztcondb.sql ----

COMPOSED = [
    (sql.SQL("select 1"), "select 1"),
    (sql.Identifier("tbl"), '"tbl"'),
    (sql.Identifier("my schema", 'we"ird'), '"my schema"."we""ird"'),
    (sql.Placeholder(), "%s"),
    (sql.Placeholder("name"), "%(name)s"),
    (sql.Placeholder("n", format="b"), "%(n)b"),
    (sql.SQL("select {} from {}").format(sql.Identifier("a"), sql.Identifier("t")),
     'select "a" from "t"'),
    (sql.SQL("select {1}, {0}").format(sql.Literal(1), sql.Literal("x")), "select 'x', 1"),
    (sql.SQL("select {a} where {a} = {b}").format(a=sql.Identifier("c"), b=5),
     'select "c" where "c" = 5'),
    (sql.SQL("{{}} {}").format(sql.SQL("x")), "{} x"),
    (sql.SQL(", ").join([sql.Identifier("a"), sql.Identifier("b")]), '"a", "b"'),
    (sql.Composed([sql.SQL("a"), sql.SQL("b")]).join(", "), "a, b"),
    (sql.SQL("a") + sql.SQL("b") + sql.Literal(1), "ab1"),
    (sql.SQL("?") * 3, "???"),
    (sql.SQL("insert into {} ({}) values ({})").format(
        sql.Identifier("t"), sql.SQL(", ").join(map(sql.Identifier, ["a", "b"])),
        sql.SQL(", ").join(sql.Placeholder() * 2)),
     'insert into "t" ("a", "b") values (%s, %s)'),
]


@pytest.mark.parametrize("composed,text", COMPOSED)
def test_composition(composed, text):
    assert composed.as_string(None) == text
    assert composed.as_bytes(None) == text.encode()


QUOTED = [
    (None, "NULL"),
    (True, "true"),
    (False, "false"),
    (42, "42"),
    (-42, "(-42)"),
    (10 ** 30, "1" + "0" * 30),
    (1.5, "1.5"),
    (-0.0, "(-0.0)"),
    (float("nan"), "'NaN'::float8"),
    (float("-inf"), "'-Infinity'::float8"),
    (decimal.Decimal("-1.50"), "(-1.50)"),
    (decimal.Decimal("NaN"), "'NaN'::numeric"),
    ("it's", "'it''s'"),
    ("a\\b", "E'a\\\\b'"),
    ("a\\'b", "E'a\\\\''b'"),
    ("zürich ☃", "'zürich ☃'"),
    (b"\x00\xff", "E'\\\\x00ff'::bytea"),
    (datetime.date(2024, 2, 29), "'2024-02-29'::date"),
    (datetime.datetime(2024, 1, 2, 3, 4, 5, 6), "'2024-01-02T03:04:05.000006'::timestamp"),
    (datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc),
     "'2024-01-02T00:00:00+00:00'::timestamptz"),
    (datetime.time(1, 2, 3), "'01:02:03'::time"),
    (datetime.timedelta(days=-1, seconds=5), "'-1 days 5 seconds 0 microseconds'::interval"),
    (uuid.UUID(int=1), "'00000000-0000-0000-0000-000000000001'::uuid"),
    ([1, None, "a"], "ARRAY[1,NULL,'a']"),
    ([], "'{}'"),
    (sql.Identifier("x"), '"x"'),
]


@pytest.mark.parametrize("value,text", QUOTED)
def test_quoting(value, text):
    assert sql.quote(value) == text
    assert sql.Literal(value).as_string(None) == text


@pytest.mark.parametrize("make,error", [
    (lambda: sql.quote("a\x00b"), DataError),
    (lambda: sql.Identifier("a\x00b").as_string(None), DataError),
    (lambda: sql.quote(object()), TypeError),
    (lambda: sql.quote({"a": 1}), TypeError),
    (lambda: sql.SQL(1), TypeError),
    (lambda: sql.Identifier(), TypeError),
    (lambda: sql.Identifier("a", 1), TypeError),
    (lambda: sql.Placeholder("a)"), ValueError),
    (lambda: sql.Placeholder("a", format="x"), ValueError),
    (lambda: sql.SQL("{0:>3}").format(1), ValueError),
    (lambda: sql.SQL("{!r}").format(1), ValueError),
    (lambda: sql.SQL("{} {0}").format(1, 2), ValueError),
    (lambda: sql.SQL("{0} {}").format(1, 2), ValueError),
    (lambda: sql.SQL("{}").format(), IndexError),
    (lambda: sql.SQL("{a}").format(), KeyError),
    (lambda: sql.Composed([sql.SQL("a")]).join(1), TypeError),
])
def test_refused(make, error):
    with pytest.raises(error):
        make()


def test_equality():
    assert sql.SQL("a") == sql.SQL("a")
    assert sql.SQL("a") != sql.Identifier("a")
    assert sql.Identifier("a", "b") == sql.Identifier("a", "b")
    assert sql.Composed([1, "x"]) == sql.Composed([sql.Literal(1), sql.Literal("x")])
