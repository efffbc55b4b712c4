"""ztcondb against a real server: values read and sent as Python types, errors mapped by
SQLSTATE with the server's fields, pickling, notices and the description."""
import datetime
import decimal
import os
import pickle
import sys
import uuid

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402

D = decimal.Decimal
UTC = datetime.timezone.utc
PLUS5 = datetime.timezone(datetime.timedelta(hours=5))


@pytest.fixture
def db(pg):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    conn.autocommit = True
    try:
        yield conn
    finally:
        conn.close()


@pytest.fixture
def zcur(db):
    with db.cursor() as c:
        yield c


def one(cur, sql, params=None):
    cur.execute(sql, params)
    return cur.fetchone()[0]


BIG = "9" * 1000 + "." + "1" * 5
READ = [
    ("true", True), ("false", False), ("null::boolean", None),
    ("32767::smallint", 32767), ("(-2147483648)::integer", -2147483648),
    ("9223372036854775807::bigint", 9223372036854775807), ("null::bigint", None),
    ("1.5::real", 1.5), ("(-1e308)::float8", -1e308), ("'NaN'::float8", "nan"),
    ("12345678901234567890.123456789::numeric", D("12345678901234567890.123456789")),
    ("'NaN'::numeric", "NaN"), ("'Infinity'::numeric", D("Infinity")),
    ("'-Infinity'::numeric", D("-Infinity")), ("null::numeric", None),
    (f"{BIG}::numeric", D(BIG)), ("0.10::numeric(5,2)", D("0.10")),
    ("'2021-03-07'::date", datetime.date(2021, 3, 7)),
    ("'0001-01-01'::date", datetime.date(1, 1, 1)),
    ("'9999-12-31'::date", datetime.date(9999, 12, 31)), ("null::date", None),
    ("'04:05:06.789012'::time", datetime.time(4, 5, 6, 789012)), ("null::time", None),
    ("'04:05:06+05:30'::timetz",
     datetime.time(4, 5, 6, tzinfo=datetime.timezone(datetime.timedelta(hours=5, minutes=30)))),
    ("'2021-03-07 04:05:06.123456'::timestamp",
     datetime.datetime(2021, 3, 7, 4, 5, 6, 123456)),
    ("'1969-12-31 23:59:59.999999'::timestamp",
     datetime.datetime(1969, 12, 31, 23, 59, 59, 999999)),
    ("'0001-01-01 00:00:00'::timestamp", datetime.datetime(1, 1, 1)),
    ("'2021-03-07 04:05:06.5+05'::timestamptz",
     datetime.datetime(2021, 3, 6, 23, 5, 6, 500000, tzinfo=UTC)),
    ("null::timestamptz", None),
    ("'1 day 02:03:04.5'::interval", datetime.timedelta(days=1, seconds=7384.5)),
    ("'-00:00:01'::interval", datetime.timedelta(seconds=-1)),
    ("'1 year 2 mons'::interval year to month", datetime.timedelta(days=420)),
    ("'abc'::text", "abc"), ("''::text", ""), ("''::varchar(5)", ""), ("'a'::char(3)", "a  "),
    ("null::text", None), ("'\\x00ff'::bytea", b"\x00\xff"), ("''::bytea", b""),
    ("null::bytea", None), ("'{\"a\": 1}'::json", {"a": 1}),
    ("'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'::uuid",
     uuid.UUID("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")),
    ("array[1,2]", [1, 2]), ("null::refcursor", None), ("'c1'::refcursor", "c1"),
]


def _same(value, expected):
    if expected == "nan":
        return isinstance(value, float) and value != value
    if expected == "NaN":
        return isinstance(value, D) and value.is_nan()
    return (value == expected and type(value) is type(expected) and
            (not isinstance(expected, (datetime.datetime, datetime.time)) or
             value.utcoffset() == expected.utcoffset()))


@pytest.mark.parametrize("sql, expected", READ, ids=[r[0][:40] for r in READ])
def test_values_read_as_python_types(zcur, sql, expected):
    value = one(zcur, "select " + sql)
    assert _same(value, expected), (value, expected)


@pytest.mark.parametrize("sql", [
    "'0044-03-15 BC'::date", "'10000-01-01'::date", "'infinity'::date", "'-infinity'::date",
    "'0044-03-15 12:00 BC'::timestamp", "'infinity'::timestamp", "'-infinity'::timestamptz",
    "'294276-12-31 23:59:59'::timestamp", "'24:00:00'::time",
])
@pytest.mark.parametrize("via", ["row", "named", "callproc", "callfunc"])
def test_values_python_cannot_hold_are_data_errors(db, zcur, sql, via):
    text, sqltype = sql.split("::")
    if via == "row":
        call = lambda: one(zcur, "select " + sql + " as the_col")  # noqa: E731
    elif via == "named":
        # Pages in binary form: the value is read from its bytes, the message as before.
        db.autocommit = False
        named = db.cursor(name="cannot_hold")
        named.execute("select " + sql + " as the_col")
        call = named.fetchone  # noqa: E731
    elif via == "callproc":
        zcur.execute("drop procedure if exists p_cannot; create procedure p_cannot(out the_col "
                     "%s) language plpgsql as $$ begin the_col := %s; end $$" % (sqltype, sql))
        zcur.setinputtype([2])
        call = lambda: zcur.callproc("p_cannot", [""], [2])  # noqa: E731
    else:
        zcur.execute("drop function if exists the_col; create function the_col() returns %s "
                     "language sql as $$ select %s $$" % (sqltype, sql))
        call = lambda: zcur.callfunc("the_col")  # noqa: E731
    with pytest.raises(ztcondb.DataError) as info:
        call()
    assert "(the_col)" in str(info.value) and text.strip("'")[:10] in str(info.value)


WIDE = "select g, " + ", ".join(sql for sql, _ in READ) + " from generate_series(1, 2500) g"


@pytest.mark.parametrize("how", ["fetchall", "fetchmany", "fetchone", "iterate"])
def test_wide_rows_over_many_blocks_read_as_single_values(zcur, how):
    """Every value of the single-value table, side by side in 2,500 rows (several blocks of
    the library's row store): each row reads as the values read alone."""
    zcur.execute(WIDE)
    assert zcur.rowcount == 2500
    if how == "fetchall":
        rows = zcur.fetchall()
    elif how == "fetchmany":
        rows = []
        while True:
            page = zcur.fetchmany(777)
            if not page:
                break
            rows += page
    elif how == "fetchone":
        rows = list(iter(zcur.fetchone, None))
    else:
        rows = list(zcur)
    assert [r[0] for r in rows] == list(range(1, 2501))
    for row in rows[::97] + rows[-1:]:
        bad = [(sql, got) for (sql, want), got in zip(READ, row[1:]) if not _same(got, want)]
        assert not bad, (row[0], bad)


BINARY_TYPES = ("boolean", "smallint", "integer", "bigint", "real", "float8", "numeric",
                "numeric(5,2)", "date", "timestamp", "timestamptz", "text", "varchar(5)",
                "char(3)")
BINARY_READ = [(sql, want) for sql, want in READ
               if sql in ("true", "false") or sql.rsplit("::", 1)[-1] in BINARY_TYPES]


@pytest.mark.parametrize("how", ["named", "repeated"])
def test_rows_in_binary_form_read_as_single_values(db, how):
    """A named cursor's pages after its first, and a prepared statement's rows from its
    second run, arrive in binary form when every column's type has a binary reader: the
    values are the same as read alone."""
    assert len(BINARY_READ) > 25
    columns = ", ".join(sql for sql, _ in BINARY_READ)
    if how == "named":
        cur = db.cursor(name="binary_pages")
        cur.itersize = 300
        db.autocommit = False
        cur.execute("select g, " + columns + " from generate_series(1, 1000) g")
        rows = list(cur)
        db.rollback()
    else:
        cur = db.cursor()
        rows = []
        for g in range(1, 7):
            cur.execute("select ?::int, " + columns, (g,))
            rows += cur.fetchall()
    assert [r[0] for r in rows] == list(range(1, len(rows) + 1))
    for row in rows[::97] + rows[-1:]:
        bad = [(sql, got) for (sql, want), got in zip(BINARY_READ, row[1:])
               if not _same(got, want)]
        assert not bad, (row[0], bad)


def test_a_value_python_cannot_hold_fails_only_its_row(zcur):
    zcur.execute("select g, case when g = 2 then '0044-03-15 BC'::date else '2000-01-01' end "
                 "from generate_series(1, 3) g")
    assert zcur.fetchone() == (1, datetime.date(2000, 1, 1))
    with pytest.raises(ztcondb.DataError):
        zcur.fetchone()
    assert zcur.fetchall() == [(3, datetime.date(2000, 1, 1))]


SENT = [
    (None, "null::text", None),
    (True, "pg_typeof(?)::text", "boolean"),
    (0.1, "? * 2", 0.2),
    (0.1, "pg_typeof(?)::text", "double precision"),
    (D("12345678901234567890.123456789"), "?", D("12345678901234567890.123456789")),
    (D("NaN"), "?::text", "NaN"),
    (30000, "? + 30000", 60000),
    (2 ** 40, "pg_typeof(?)::text", "bigint"),
    (7, "pg_typeof(?)::text", "integer"),
    (10 ** 30, "?", D(10 ** 30)),
    (-(2 ** 63), "?", -(2 ** 63)),
    (datetime.datetime(2021, 3, 7, 4, 5, 6, 123456, tzinfo=PLUS5), "?::timestamptz",
     datetime.datetime(2021, 3, 6, 23, 5, 6, 123456, tzinfo=UTC)),
    (datetime.datetime(2021, 3, 7, 4, 5, 6, 1), "?", datetime.datetime(2021, 3, 7, 4, 5, 6, 1)),
    (datetime.date(1, 1, 1), "?", datetime.date(1, 1, 1)),
    (datetime.time(23, 59, 59, 999999), "?", datetime.time(23, 59, 59, 999999)),
    (datetime.timedelta(days=-1, seconds=3.5), "?", datetime.timedelta(days=-1, seconds=3.5)),
    (datetime.timedelta(days=999999999), "(?::interval)::text", "999999999 days"),
    (b"", "?", b""), (bytearray(b"\x00a"), "?", b"\x00a"), (memoryview(b"xy"), "?", b"xy"),
    ("", "?::text", ""),
]


@pytest.mark.parametrize("value, expr, expected", SENT, ids=[repr(r[0])[:30] for r in SENT])
def test_values_sent_typed(zcur, value, expr, expected):
    params = None if expr == "null::text" else (value,)
    got = one(zcur, "select " + expr, params)
    assert got == expected and type(got) is type(expected)


def test_same_rules_through_executemany_callproc_callfunc(db, zcur):
    aware = datetime.datetime(2021, 3, 7, 4, 5, 6, tzinfo=PLUS5)
    zcur.execute("create temporary table t_sent (i integer, t timestamptz, f float8)")
    zcur.executemany("insert into t_sent values (?, ?, ?)", [(30000, aware, 0.1), (1, aware, 2.5)])
    zcur.execute("select i + 30000, t, f from t_sent order by i")
    assert zcur.fetchall() == [(30001, datetime.datetime(2021, 3, 6, 23, 5, 6, tzinfo=UTC), 2.5),
                               (60000, datetime.datetime(2021, 3, 6, 23, 5, 6, tzinfo=UTC), 0.1)]
    zcur.execute("create or replace function f_inc(a integer) returns integer "
                 "language sql as 'select a + 1'")
    assert zcur.callfunc("f_inc", [41])[-1] in (42, "42")
    zcur.execute("create or replace procedure p_ts(t timestamptz) language plpgsql as "
                 "$$ begin insert into t_sent values (0, t, 0); end $$")
    zcur.callproc("p_ts", [aware])
    assert one(zcur, "select t from t_sent where i = 0") == \
        datetime.datetime(2021, 3, 6, 23, 5, 6, tzinfo=UTC)


# Fault mended: an aware datetime went as its UTC wall time without an offset, which the
# server read in the session's TimeZone, so after a SET TIME ZONE another instant was
# stored. Every path stores the value's instant; a naive value still means local time.
@pytest.mark.parametrize("zone", ["America/New_York", "Asia/Kolkata"])
def test_aware_datetimes_keep_their_instant_in_any_session_zone(db, zcur, zone):
    import zoneinfo
    aware = datetime.datetime(2021, 3, 7, 4, 5, 6, 7, tzinfo=PLUS5)
    naive = datetime.datetime(2021, 7, 1, 12)
    zcur.execute("set time zone '%s'" % zone)
    zcur.execute("create temporary table t_zone (i integer, t timestamptz)")
    zcur.execute("create temporary view v_zone as select * from t_zone")
    zcur.execute("create procedure pg_temp.p_zone(t timestamptz) language sql as "
                 "'insert into t_zone values (8, t)'")
    zcur.execute("insert into t_zone values (?, ?)", (1, aware))
    zcur.executemany("insert into t_zone values (?, ?)", [(2, aware), (3, None)])
    zcur.executemany("insert into v_zone values (?, ?)", [(4, aware), (5, aware)])
    zcur.executebatch("insert into t_zone values (?, ?)", [[6, 7], [aware, naive]],
                      datetime_counts=False)
    zcur.callproc("pg_temp.p_zone", [aware])
    zcur.execute("select i, (extract(epoch from t) * 1000000)::bigint from t_zone "
                 "where t is not null order by i")
    micros = lambda dt: (dt - datetime.datetime(1970, 1, 1, tzinfo=UTC)) // \
        datetime.timedelta(microseconds=1)
    local = naive.replace(tzinfo=zoneinfo.ZoneInfo(zone))
    assert zcur.fetchall() == [(i, micros(aware)) for i in (1, 2, 4, 5, 6)] + \
        [(7, micros(local)), (8, micros(aware))]
    assert one(zcur, "select pg_typeof(?)::text", (aware,)) == "timestamp with time zone"
    assert one(zcur, "select pg_typeof(?)::text", (naive,)) == "timestamp without time zone"


OUTPUTS = [("boolean", "true", True), ("boolean", "null", None),
           ("integer", "2147483647", 2147483647),
           ("bigint", "-9223372036854775808", -(2 ** 63)), ("real", "1.5", 1.5),
           ("numeric", "12345678901234567890.123456789", D("12345678901234567890.123456789")),
           ("numeric", "'NaN'", "NaN"), ("numeric", BIG, D(BIG)),
           ("date", "'2021-03-07'", datetime.date(2021, 3, 7)),
           ("time", "'04:05:06.789012'", datetime.time(4, 5, 6, 789012)),
           ("timetz", "'04:05:06-02'",
            datetime.time(4, 5, 6, tzinfo=datetime.timezone(-datetime.timedelta(hours=2)))),
           ("timestamp", "'2021-03-07 04:05:06.123456'",
            datetime.datetime(2021, 3, 7, 4, 5, 6, 123456)),
           ("timestamptz", "'2021-03-07 04:05:06.5+05'",
            datetime.datetime(2021, 3, 6, 23, 5, 6, 500000, tzinfo=UTC)),
           ("interval", "'1 day 02:03:04.5'", datetime.timedelta(days=1, seconds=7384.5)),
           ("text", "''", ""), ("text", "null", None), ("bytea", "'\\x00ff'", b"\x00\xff"),
           ("bytea", "''", b""), ("json", "'[1]'", [1])]


@pytest.mark.parametrize("sqltype, sql, expected", OUTPUTS,
                         ids=["%s-%s" % (o[0], o[1][:20]) for o in OUTPUTS])
def test_call_outputs_read_as_python_types(zcur, sqltype, sql, expected):
    """A procedure's outputs and a function's value come back as result rows do, whatever
    code was declared for them (or none); inputs come back as given."""
    zcur.execute("drop procedure if exists p_pyout; drop function if exists f_pyout; "
                 "create procedure p_pyout(a numeric, out v %s) language plpgsql as "
                 "$$ begin v := %s; end $$; create function f_pyout(a numeric) returns %s "
                 "language sql as $$ select (%s)::%s $$" % (sqltype, sql, sqltype, sql, sqltype))
    zcur.setinputtype([9, 2])
    got = zcur.callproc("p_pyout", [D("7.50"), ""], [1, 2])
    zcur.cleartype()
    got += zcur.callproc("p_pyout", [D("7.50"), None], [1, 2])[1:]
    got += zcur.callfunc("f_pyout", [D("7.50")])[1:]
    assert str(got[0]) == "7.50" and type(got[0]) is D
    for value in got[1:]:
        assert _same(value, expected), (value, expected)


TYPEOF = "a anyelement", "text", "pg_typeof(a)::text"
CALL_SENT = [TYPEOF + ([v], t) for v, t in [
    (7, "integer"), (2 ** 40, "bigint"), (10 ** 30, "numeric"), (True, "boolean"),
    (0.1, "double precision"), (D("1.5"), "numeric"), (bytearray(b"x"), "bytea"),
    (datetime.timedelta(1), "interval"), (datetime.date(2021, 3, 7), "date")]] + [
    ("a integer, b integer", "integer", "a + b", [30000, 30000], 60000),
    ("a anyelement, b anyelement", "anyelement", "a + b", [30000, 30000], 60000),
    ("a anyelement, b anyelement", "anyelement", "a * b", [0.1, 2.0], 0.2),
    ("a timetz", "text", "a::text", [datetime.time(4, 5, 6, tzinfo=PLUS5)], "04:05:06+05"),
    ("a timestamptz", "timestamptz", "a",
     [datetime.datetime(2021, 3, 7, 4, 5, 6, 1, tzinfo=PLUS5)],
     datetime.datetime(2021, 3, 6, 23, 5, 6, 1, tzinfo=UTC)),
    ("a text", "text", "coalesce(a, 'null')", [None], "null"),
]


@pytest.mark.parametrize("args, returns, body, params, expected", CALL_SENT,
                         ids=[repr(c[3])[:30] for c in CALL_SENT])
def test_callfunc_sends_values_as_execute(zcur, args, returns, body, params, expected):
    zcur.execute("drop function if exists f_sent; create function f_sent(%s) returns %s "
                 "language sql as $$ select %s $$" % (args, returns, body))
    got = zcur.callfunc("f_sent", params)[-1]
    assert got == expected and type(got) is type(expected)


@pytest.mark.parametrize("how", ["close", "with"])
def test_notices_survive_close(pg, how):
    conn = ztcondb.connect(host=pg["host"], port=pg["port"], database=pg["db"],
                           user=pg["user"])
    with conn:
        conn.cursor().execute("do $$ begin raise notice 'before close'; end $$")
        if how == "close":
            conn.close()
    assert conn.closed and conn.notices == ["NOTICE:  before close\n"]


@pytest.mark.parametrize("method, params, directions, name", [
    ("callproc", (x for x in [1]), None, "parameters"),
    ("callfunc", iter([1]), None, "parameters"),
    ("callproc", [1], (d for d in [1]), "directions"),
    ("callfunc", 42, None, "parameters"),
])
def test_call_arguments_must_be_sequences(zcur, method, params, directions, name):
    with pytest.raises(TypeError, match="%s: %s must be a sequence" % (method, name)):
        getattr(zcur, method)("lower", params, directions)


ERRORS = [
    ("select 1/0", ztcondb.DataError, "22012"),
    ("insert into t_err values (1)", ztcondb.IntegrityError, "23505"),
    ("select * from no_such_table", ztcondb.ProgrammingError, "42P01"),
    ("selec 1", ztcondb.ProgrammingError, "42601"),
    ("fetch 1 from no_cursor", ztcondb.errors.InvalidCursorName, "34000"),
    ("do $$ begin raise exception using errcode = '0A000'; end $$",
     ztcondb.NotSupportedError, "0A000"),
    ("do $$ begin raise exception using errcode = '40001'; end $$",
     ztcondb.OperationalError, "40001"),
    ("do $$ begin raise exception using errcode = '53100'; end $$",
     ztcondb.OperationalError, "53100"),
    ("do $$ begin raise exception using errcode = '57014'; end $$",
     ztcondb.OperationalError, "57014"),
    ("do $$ begin raise exception using errcode = 'XX000'; end $$",
     ztcondb.InternalError, "XX000"),
    ("do $$ begin raise exception using errcode = '3F000'; end $$",
     ztcondb.ProgrammingError, "3F000"),
    ("do $$ begin raise exception using errcode = '26000'; end $$",
     ztcondb.ProgrammingError, "26000"),
    ("do $$ begin raise exception using errcode = '08006'; end $$",
     ztcondb.OperationalError, "08006"),
    ("do $$ begin raise exception using errcode = 'P0001'; end $$",
     ztcondb.errors.RaiseException, "P0001"),
    ("do $$ begin raise exception using errcode = '2F000'; end $$",
     ztcondb.errors.SqlRoutineException, "2F000"),
    ("do $$ begin raise exception using errcode = 'ZZ999'; end $$",
     ztcondb.DatabaseError, "ZZ999"),
]


@pytest.mark.parametrize("sql, cls, state", ERRORS, ids=[e[2] for e in ERRORS])
def test_server_errors_map_by_sqlstate_class(zcur, sql, cls, state):
    zcur.execute("create temporary table if not exists t_err (id int primary key)")
    zcur.execute("insert into t_err values (1) on conflict do nothing")
    with pytest.raises(cls) as info:
        zcur.execute(sql)
    e = info.value
    assert type(e).__module__ == "ztcondb.errors"
    assert e.sqlstate == state and str(e).startswith("[%s] " % state)
    # Raised as ztcondb's class where it happened: no module error behind it.
    assert e.__cause__ is None and e.__context__ is None
    assert not isinstance(e, ValueError)


def test_error_fields_and_pickle(zcur):
    zcur.execute("create temporary table t_dup (id int primary key)")
    zcur.execute("insert into t_dup values (1)")
    with pytest.raises(ztcondb.IntegrityError) as info:
        zcur.execute("insert into t_dup values (?)", (1,))
    e = info.value
    assert e.detail == "Key (id)=(1) already exists."
    with pytest.raises(ztcondb.Error) as info2:
        zcur.execute("do $$ begin raise exception 'boom' using hint = 'try again', "
                     "detail = 'some detail'; end $$")
    for err in (e, info2.value):
        back = pickle.loads(pickle.dumps(err))
        assert type(back) is type(err) and back.args == err.args
        assert (back.sqlstate, back.detail, back.hint, back.context) == \
            (err.sqlstate, err.detail, err.hint, err.context)
    assert info2.value.hint == "try again" and "PL/pgSQL" in info2.value.context


def test_module_errors_keep_their_fields(pg):
    c = _pyztdb._connect(pg["port"], pg["host"], pg["db"], pg["user"], "", "UTF8", "0")
    try:
        cur = c.cursor()
        with pytest.raises(_pyztdb.OperationalError) as info:
            cur.execute("select * from no_such_table")
        assert info.value.sqlstate == "42P01" and info.value.args[0].startswith("[42P01] ")
        cur.execute("select true, ''::text, 0.5::numeric")
        assert cur.fetchone() == (b"T", None, 0.5)
    finally:
        c.close()


def test_driver_misuse_keeps_its_class(db):
    cur = db.cursor()
    with pytest.raises(ztcondb.ProgrammingError) as info:
        cur.execute(42)
    assert info.value.sqlstate is None
    assert not isinstance(info.value.__cause__, (_pyztdb.Error, ztcondb.Error))


def test_notices_are_kept_newest_last_and_bounded(db, zcur):
    zcur.execute("do $$ begin for i in 1..60 loop raise notice 'n%', i; end loop; "
                 "raise warning 'careful'; end $$")
    notices = db.notices
    assert len(notices) == 50
    assert notices[-2] == "NOTICE:  n60\n" and notices[-1] == "WARNING:  careful\n"
    del db.notices[:]
    zcur.execute("select 1")
    assert db.notices == []


def test_description_whole_names_and_type_objects(zcur):
    zcur.execute('select 1 as "a.b%c", true as flag, 1.5::numeric as n, now() as ts, '
                 "'x'::text as s, '\\x00'::bytea as b")
    d = zcur.description
    assert d[0][0] == "a.b%c"
    assert d[1][1] != ztcondb.NUMBER and d[2][1] == ztcondb.NUMBER
    assert d[3][1] == ztcondb.DATETIME and d[4][1] == ztcondb.STRING
    assert d[5][1] == ztcondb.BINARY


@pytest.mark.skipif(bool(os.environ.get("ZT_SANITIZER_PRELOAD")),
                    reason="glibc's setlocale leaves a block the leak check reports")
def test_floats_ignore_the_process_locale(pg, tmp_path):
    """A locale with a decimal comma, built into a temporary folder, changes nothing."""
    import shutil
    import subprocess
    if not shutil.which("localedef") or not os.path.exists("/usr/share/i18n/locales/de_DE"):
        pytest.skip("localedef or the de_DE source is missing")
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")],
                   check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    code = (
        "import locale, sys, decimal\n"
        "sys.path[:0] = %r\n"
        "import _pyztdb, ztcondb\n"
        "locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')\n"
        "assert locale.localeconv()['decimal_point'] == ','\n"
        "c = _pyztdb._connect(%d, %r, %r, %r, '', 'UTF8', '0')\n"
        "cur = c.cursor()\n"
        "cur.execute('select ?::float8, 2.25::float8, 1.5::real, 0.5::numeric', (1.5,))\n"
        "assert cur.fetchone() == (1.5, 2.25, 1.5, 0.5), 'read'\n"
        "cur.execute('select ?::text', (1.5,))\n"
        "assert '.' in cur.fetchone()[0], 'sent'\n"
        "z = ztcondb.connect(host=%r, port=%d, database=%r, user=%r)\n"
        "zc = z.cursor()\n"
        "zc.execute('select ? * 2, 1.25::float8', (0.1,))\n"
        "assert zc.fetchone() == (0.2, 1.25)\n"
    ) % ([os.path.dirname(_pyztdb.__file__), os.path.dirname(ztcondb.__path__[0])], pg["port"], pg["host"], pg["db"],
         pg["user"], pg["host"], pg["port"], pg["db"], pg["user"])
    env = dict(os.environ, LOCPATH=str(tmp_path))
    r = subprocess.run([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, universal_newlines=True)
    assert r.returncode == 0, r.stdout
