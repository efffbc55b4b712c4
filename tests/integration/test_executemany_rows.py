"""ztcondb's executemany turns its rows into columns in C and sends them as one batch:
every value must land as the same row by row `execute` would store it."""
import collections
import datetime
import decimal
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import ztcondb  # noqa: E402

UTC = datetime.timezone.utc
Pair = collections.namedtuple("Pair", "a b")


class Seq:
    """A sequence that is neither a tuple nor a list."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


# (column type, the values of one column, row after row; None anywhere)
COLUMNS = [
    ("bigint", [0, None, 2 ** 63 - 1, -2 ** 63, 7]),
    ("integer", [None, 1, -2 ** 31, 2 ** 31 - 1]),
    ("double precision", [0.1, None, 1e308, -0.0, 5, float("inf")]),
    ("double precision", [1, 2, 3.5, None]),          # ints before a float in one column
    ("text", ["", None, "\u00e9\u4e2d\U0001f600", "tab\there", "x" * 70000]),
    ("bytea", [b"", b"\x00\xff", None, bytes(range(256))]),
    ("boolean", [True, False, None, True]),
    ("numeric", [decimal.Decimal("1.10"), None, decimal.Decimal("-1e-30"), 3]),
    ("date", [datetime.date(1, 1, 1), None, datetime.date(9999, 12, 31)]),
    ("timestamp", [datetime.datetime(2024, 2, 29, 23, 59, 59, 999999), None,
                   datetime.datetime(1, 1, 1)]),
    ("timestamptz", [datetime.datetime(2024, 1, 1, 12, tzinfo=UTC), None,
                     datetime.datetime(2024, 1, 1, 12, tzinfo=datetime.timezone(
                         datetime.timedelta(hours=5, minutes=30)))]),
    ("time", [datetime.time(0, 0), None, datetime.time(23, 59, 59, 999999)]),
]


# Columns whose values differ in type: typed from all of them, in any order, each value
# lands as execute stores it.
MIXED = [
    ("numeric", [1, decimal.Decimal("1.5")]),
    ("numeric", [decimal.Decimal("1.5"), None, 1]),
    ("numeric", [1.5, decimal.Decimal("2.25"), 0.1, 3]),
    ("numeric", [decimal.Decimal("-7.125"), 0.30000000000000004, 1e-20, 123456789.123]),
    ("text", ["a", 1, None]),
    ("text", [2 ** 40, "b", True]),
    ("double precision", [1, 2.5]),
]


@pytest.fixture
def db(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"], user=pg["user"])
    yield conn
    conn.rollback()
    conn.close()


@pytest.mark.parametrize("statement", ["insert into {t} values (?, ?)",
                                       "insert into {t} select ?, ?"])
@pytest.mark.parametrize("kind, values", COLUMNS + MIXED,
                         ids=[c[0] for c in COLUMNS] + ["mixed " + c[0] for c in MIXED])
def test_values_land_as_execute_stores_them(db, table_name, kind, values, statement):
    cur = db.cursor()
    cur.execute(f"create temp table {table_name} (n int, v {kind})")
    rows = list(enumerate(values))
    for n, value in rows:
        cur.execute(f"insert into {table_name} values (?, ?)", (-1 - n, value))
    cur.executemany(statement.format(t=table_name), rows)
    assert cur.rowcount == len(rows)
    cur.execute(f"select a.v, b.v, a.v is not distinct from b.v from {table_name} a "
                f"join {table_name} b on a.n = -1 - b.n where a.n >= 0 order by a.n")
    assert [r[2] for r in cur.fetchall()] == [True] * len(rows)


@pytest.mark.parametrize("rows", [
    [[1, "a"], (2, "b")],
    [Pair(1, "a"), Pair(2, "b")],
    [Seq(1, "a"), Seq(2, "b")],
    iter([(1, "a"), (2, "b")]),
    ((n, s) for n, s in [(1, "a"), (2, "b")]),
], ids=["lists", "namedtuples", "sequences", "iterator", "generator"])
def test_any_row_sequence(db, table_name, rows):
    cur = db.cursor()
    cur.execute(f"create temp table {table_name} (n int, s text)")
    cur.executemany(f"insert into {table_name} values (?, ?)", rows)
    cur.execute(f"select n, s from {table_name} order by n")
    assert cur.fetchall() == [(1, "a"), (2, "b")]


@pytest.mark.parametrize("rows, error, message", [
    ([(1,), (2,), (b"x",)], ztcondb.ProgrammingError, "column 1, row 3"),
    # An int and a str make a column of texts, as execute would send them; the server
    # then refuses the row that is not a number.
    ([(1,), (2,), ("x",)], ztcondb.DataError, r"row 3: \[22P02\]"),
    ([(1,), (2,), 3], ztcondb.ProgrammingError, "row 3 is not a sequence"),
    ([(1,), (2,), (3, 4)], ztcondb.ProgrammingError, "row 3 has 2 parameters, row 1 has 1"),
    ([(), (1,)], ztcondb.ProgrammingError, "row 2 has 1 parameters, row 1 has 0"),
    ([(1,), (2 ** 64,)], OverflowError, "row 2"),
    ([(1,), (None,), (-5,)], ztcondb.IntegrityError, r"row 3: \[23514\]"),
], ids=["mixed types", "text among ints", "not a row", "ragged", "ragged after empty", "too big", "server refusal"])
def test_a_failing_row_is_named_and_nothing_stays(db, table_name, rows, error, message):
    db.autocommit = True
    cur = db.cursor()
    cur.execute(f"create temp table {table_name} (n int check (n > 0))")
    with pytest.raises(error, match=message):
        cur.executemany(f"insert into {table_name} values (?)", rows)
    cur.execute(f"select count(*) from {table_name}")
    assert cur.fetchone() == (0,)


# Texts are stored byte for byte, whatever their shape: dates and times cross to the library
# under a code of their own, so no text is taken for a date.
@pytest.mark.parametrize("kind, value", [
    ("text", " 2024-01-01"),
    ("text", "   5-03-07"),
    ("text", "  12-01-02 03:04:05.000000"),
    ("varchar(30)", " 2024-01-01 10:00:00.5 "),
    ("text", "0005-03-07"),
    ("date", datetime.date(5, 3, 7)),
    ("timestamp", datetime.datetime(12, 1, 2, 3, 4, 5, 6)),
    ("timestamptz", datetime.datetime(5, 3, 7, 1, tzinfo=UTC)),
    ("time", datetime.time(4, 5, 6)),
    ("text", datetime.date(5, 3, 7)),
], ids=repr)
@pytest.mark.parametrize("how", ["executemany", "executemany per row", "executebatch"])
def test_texts_are_stored_byte_for_byte(db, table_name, kind, value, how):
    cur = db.cursor()
    cur.execute(f"create temp table {table_name} (n int, v {kind})")
    cur.execute(f"insert into {table_name} values (?, ?)", (0, value))
    rows = [(1, value), (2, value)]
    if how == "executemany":
        cur.executemany(f"insert into {table_name} values (?, ?)", rows)
    elif how == "executemany per row":
        cur.executemany(f"insert into {table_name} select ?, ?", rows)
    else:
        cur.executebatch(f"insert into {table_name} values (?, ?)", [[1, 2], [value, value]])
    cur.execute(f"select v from {table_name} order by n")
    stored = [r[0] for r in cur.fetchall()]
    assert stored == [stored[0]] * 3
    if isinstance(value, str):
        assert stored[0] == value
