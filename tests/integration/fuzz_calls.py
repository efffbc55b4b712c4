"""Property-based fuzzing of the driver (run by test_fuzz.py, or by make fuzz for a
deeper run), in a process of its own so that a crash is reported, not fatal:

    python fuzz_calls.py HOST PORT DB USER EXAMPLES SEED

calls: generated Python values for every argument of every public method of _pyztdb
and ztcondb (module, connection, cursor; attributes too); each call must return or
raise one of the driver's exception classes (or the exception a parameter object
raised itself); never a crash, SystemError or any other class. Initialisers and
attribute setters keep the interpreter's TypeError/ValueError for a wrong Python type,
and an integer beyond 64 bits raises OverflowError, as documented.

round trips: generated values of each type stored through execute and executebatch
into a real table read back the same, compared with the server's own text of the
stored value.

Before each call the call is written to fuzz-last-call.txt in the working folder, so
that a crash can name it. The last line printed is "N generated calls".
"""
import datetime
import decimal
import inspect
import math
import os
import sys

from hypothesis import HealthCheck, given, seed, settings, strategies as st

sys.path.insert(0, os.path.join(os.environ.get("ZT_BUILD_DIR") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "build"),
    "python"))
sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))

import _pyztdb  # noqa: E402
import ztcondb  # noqa: E402
from ztcondb.cursor import NamedCursor  # noqa: E402

HOST, PORT, DB, USER = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
EXAMPLES, SEED = int(sys.argv[5]), int(sys.argv[6])
CALLS = 0
LAST = open("fuzz-last-call.txt", "w")


class HostileError(Exception):
    """Raised by the parameter objects below; the driver must let it through."""


class Hostile:
    """Every protocol the driver may ask of a value fails."""

    def __index__(self):
        raise HostileError("index")

    def __len__(self):
        raise HostileError("len")

    def __getitem__(self, i):
        raise HostileError("getitem")

    def __iter__(self):
        raise HostileError("iter")

    def __str__(self):
        raise HostileError("str")

    def __bool__(self):
        raise HostileError("bool")

    def __repr__(self):
        return "Hostile()"


class Liar:
    """A sequence whose length and items disagree."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        return 1

    def __repr__(self):
        return "Liar()"


SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-2 ** 63, 2 ** 63 - 1),
    st.floats(), st.text(max_size=20), st.binary(max_size=20),
    st.binary(max_size=8).map(bytearray), st.binary(max_size=8).map(memoryview),
    st.decimals(), st.dates(), st.datetimes(), st.times(), st.timedeltas(),
    st.datetimes(timezones=st.just(datetime.timezone(datetime.timedelta(hours=5)))),
    st.just(Hostile()), st.just(Liar()), st.builds(object),
    st.sampled_from([-1, 0, 1, 2, 5, 9, 58, 2 ** 31, -2 ** 31 - 1, 2 ** 63, "", "\0"]))
VALUES = st.recursive(SCALARS, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
    st.dictionaries(st.text(max_size=2), inner, max_size=2)), max_leaves=8)
STATEMENTS = st.one_of(
    st.sampled_from(["select 1", "select ?", "select ?, ?", "select ?::integer",
                     "select g from generate_series(1, 5) g", "select 1; select 2",
                     "insert into fz values (?, ?)", "select * from fz", "fz_proc",
                     "fz_func", "select ??", "select 1 / 0", "update fz set a = ?"]),
    st.text(max_size=30))
ARGUMENT = st.one_of(VALUES, STATEMENTS)
SAFE_HOSTS = st.sampled_from(["127.0.0.1", HOST, "127.0.0.1,127.0.0.1", ""])

# The exceptions a call may end with besides the driver's own classes: initialisers
# keep the interpreter's errors for arguments of the wrong Python type; the declaration
# methods fail with the interpreter's own error for a list without a length or whose
# items cannot be read by position; an integer beyond 64 bits is an OverflowError. The
# package's Python code, like other DB-API drivers, lets the TypeError or ValueError of
# an argument of the wrong Python type through.
PARSING = (TypeError, ValueError, OverflowError)
INTERPRETER_ERRORS = {"setinputtype": (TypeError, KeyError, IndexError),
                      "setinputsizes": (TypeError, KeyError, IndexError),
                      # A parameters object without a length: not said otherwise.
                      "callproc": (TypeError,), "callfunc": (TypeError,),
                      # An iterator past its last row.
                      "__next__": (StopIteration,),
                      # The module reads parameters through len() and integer indexes: None
                      # has no length, a dict has no key 0.
                      "execute": (TypeError, KeyError, IndexError)}


def connect():
    return _pyztdb._connect(PORT, HOST, DB, USER, "", "UTF8", "0")


def prepare():
    conn = connect()
    cur = conn.cursor()
    cur.execute("drop table if exists fz")
    cur.execute("create table fz (a integer, b text)")
    cur.execute("create or replace procedure fz_proc(in a integer, out b integer) "
                "language plpgsql as $$ begin b := a; end $$")
    cur.execute("create or replace function fz_func(a integer) returns integer "
                "language sql as $$ select a $$")
    conn.close()


def receivers(kind):
    """A fresh receiver of `kind` with its connection, some with a result in hand."""
    if kind == "module":
        return _pyztdb, None
    if kind == "ztcondb":
        return ztcondb, None
    if kind in ("connection", "zconnection"):
        conn = connect() if kind == "connection" else ztcondb.connect(HOST, PORT, DB, USER)
        return conn, conn
    conn = connect() if kind == "cursor" else ztcondb.connect(HOST, PORT, DB, USER)
    cur = conn.cursor("fz_named") if kind == "znamed" else conn.cursor()
    cur.execute("select g, 'r' || g from generate_series(1, 3) g")
    return cur, conn


# Positional arguments each public method takes (least, most); fetchmany also takes
# size= and cursor() its four keywords. Calls with another count meet the interpreter's
# own TypeError before any driver code runs, so they are not generated.
SIGNATURES = {
    "module": {"_connect": (1, 7), "version": (0, 0)},
    "ztcondb": {"connect": (0, 6)},
    "connection": {"cursor": (0, 4), "close": (0, 0), "commit": (0, 0), "rollback": (0, 0),
                   "autocommit": (1, 1), "__enter__": (0, 0), "__exit__": (0, 3),
                   "__init__": (7, 7)},
    "cursor": {"close": (0, 0), "execute": (1, 2), "executemany": (1, 2),
               "executebatch": (2, 2), "callproc": (1, 3), "callfunc": (1, 3),
               "fetchone": (0, 0), "fetchmany": (0, 1), "fetchall": (0, 0),
               "nextset": (0, 0), "setinputtype": (1, 1), "setinputsizes": (1, 1),
               "cleartype": (0, 0), "clearsize": (0, 0), "getResultcolname": (1, 1),
               "getResultcolseq": (1, 1), "getResultcolsize": (1, 1),
               "getResultcolscale": (1, 1), "getResultcolisnull": (0, 3),
               "getResultcoldefault": (0, 3), "getResulttable": (0, 0),
               "__init__": (1, 2)},
}


def python_signatures(cls, base):
    """(least, most) positional arguments of the public methods of a ztcondb class:
    read from the signature where the method is Python code, from `base` where the
    module's method is inherited as it is."""
    table = {}
    for name in dir(cls):
        if name.startswith("_") and name not in ("__init__", "__enter__", "__exit__",
                                                 "__next__"):
            continue
        # NumPy leaves memory behind at exit, which the sanitized run's leak check reports.
        if name == "fetch_columns" and os.environ.get("ZT_SANITIZER_PRELOAD"):
            continue
        attr = getattr(cls, name)
        if isinstance(attr, property) or not callable(attr) or isinstance(attr, type):
            continue
        # The package wraps inherited methods only to translate their errors.
        if not inspect.isfunction(inspect.unwrap(attr)):
            if name in base:
                table[name] = base[name]
            continue
        params = list(inspect.signature(inspect.unwrap(attr)).parameters.values())[1:]
        positional = [p for p in params if p.kind in (p.POSITIONAL_ONLY,
                                                      p.POSITIONAL_OR_KEYWORD)]
        least = sum(1 for p in positional if p.default is p.empty)
        most = len(positional) + (2 if any(p.kind == p.VAR_POSITIONAL for p in params) else 0)
        table[name] = (least, most)
    return table


SIGNATURES["zconnection"] = python_signatures(ztcondb.Connection, SIGNATURES["connection"])
SIGNATURES["zcursor"] = python_signatures(ztcondb.Cursor, SIGNATURES["cursor"])
SIGNATURES["znamed"] = python_signatures(NamedCursor, SIGNATURES["cursor"])
KEYWORDS = {"fetchmany": ["size"], "cursor": ["name", "cursor_factory", "withhold",
                                              "scrollable"]}
KINDS = sorted(SIGNATURES)
CONNECTING = ("_connect", "connect", "__init__")


def arguments(data, kind, name):
    """Positional and keyword arguments for one call; connecting calls only ever go to
    this machine (a generated host could name another)."""
    low, high = SIGNATURES[kind][name]
    args = data.draw(st.lists(ARGUMENT, min_size=low, max_size=high), label="args")
    kwargs = {}
    if name in KEYWORDS and data.draw(st.booleans(), label="keyword"):
        key = data.draw(st.sampled_from(KEYWORDS[name]), label="keyword name")
        kwargs[key] = data.draw(ARGUMENT, label="keyword value")
        args = args[:KEYWORDS[name].index(key)]
    if name in CONNECTING and "cursor" not in kind:
        host = data.draw(SAFE_HOSTS, label="host")
        port = data.draw(st.one_of(st.just(PORT), ARGUMENT), label="port")
        if name == "_connect":
            args = [port, host] + args[2:]
        elif args or name == "__init__":
            args = [host, port] + args[2:]
    return args, kwargs


def call(kind, obj, name, args, kwargs):
    global CALLS
    CALLS += 1
    LAST.seek(0)
    LAST.write("%s.%s(*%r, **%r)\n" % (type(obj).__name__, name, args, kwargs))
    LAST.truncate()
    LAST.flush()
    try:
        getattr(obj, name)(*args, **kwargs)
    except (_pyztdb.Error, ztcondb.Error, HostileError):
        pass
    except INTERPRETER_ERRORS.get(name, ()):
        pass
    except PARSING as e:
        if isinstance(e, OverflowError) or name in CONNECTING or kind.startswith("z"):
            return
        raise AssertionError("%s.%s raised %s: %s" % (type(obj).__name__, name,
                                                       type(e).__name__, e))


@settings(max_examples=EXAMPLES, deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@seed(SEED)
@given(st.data())
def test_calls(data):
    kind = data.draw(st.sampled_from(KINDS), label="receiver")
    obj, conn = receivers(kind)
    try:
        for _ in range(data.draw(st.integers(1, 3), label="calls")):
            if data.draw(st.integers(0, 9), label="attribute") == 0 and "cursor" in kind:
                # The cursor attributes, written from Python.
                attr = data.draw(st.sampled_from(["arraysize", "rowcount", "description"]))
                value = data.draw(VALUES, label="value")
                global CALLS
                CALLS += 1
                try:
                    setattr(obj, attr, value)
                except (_pyztdb.Error, TypeError, OverflowError, AttributeError, HostileError):
                    pass
                continue
            name = data.draw(st.sampled_from(sorted(SIGNATURES[kind])), label="method")
            args, kwargs = arguments(data, kind, name)
            call(kind, obj, name, args, kwargs)
    finally:
        for c in (conn, obj if kind in ("connection", "zconnection") else None):
            if isinstance(c, _pyztdb.connection):
                try:
                    c.close()
                except _pyztdb.Error:
                    pass


# ---- round trips: (column type, values, the server's text of a value as Python) ----

def frac_time(text):
    """Parses the server's time text, whose fraction has 0 to 6 digits."""
    main, _, frac = text.partition(".")
    return main, int((frac + "000000")[:6]) if frac else 0


def as_datetime(text):
    main, us = frac_time(text)
    return datetime.datetime.strptime(main, "%Y-%m-%d %H:%M:%S").replace(microsecond=us)


def as_time(text):
    main, us = frac_time(text)
    return datetime.datetime.strptime(main, "%H:%M:%S").time().replace(microsecond=us)


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


TEXTS = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\0"),
                max_size=40)
ROUND_TRIPS = {
    "bigint": (st.integers(-2 ** 63, 2 ** 63 - 1), lambda v, t: int(t) == v),
    "smallint": (st.integers(-2 ** 15, 2 ** 15 - 1), lambda v, t: int(t) == v),
    "double precision": (st.floats(), lambda v, t: same_float(float(t), v)),
    "numeric": (st.decimals(allow_nan=False, allow_infinity=False, places=None,
                            min_value=-10 ** 20, max_value=10 ** 20),
                lambda v, t: decimal.Decimal(t) == v),
    "text": (TEXTS, lambda v, t: t == v),
    "bytea": (st.binary(max_size=40), lambda v, t: t == "\\x" + v.hex()),
    "boolean": (st.booleans(), lambda v, t: t == ("true" if v else "false")),
    "date": (st.dates(), lambda v, t: t == v.isoformat()),
    "timestamp": (st.datetimes(), lambda v, t: as_datetime(t) == v),
    "time": (st.times(), lambda v, t: as_time(t) == v),
}


@settings(max_examples=max(10, EXAMPLES // 10), deadline=None, database=None,
          suppress_health_check=list(HealthCheck))
@seed(SEED)
@given(st.data())
def test_round_trips(data):
    sqltype = data.draw(st.sampled_from(sorted(ROUND_TRIPS)), label="type")
    values_of, same = ROUND_TRIPS[sqltype]
    values = data.draw(st.lists(values_of, min_size=1, max_size=6), label="values")
    conn = connect()
    try:
        cur = conn.cursor()
        cur.execute("drop table if exists fz_rt")
        cur.execute("create table fz_rt (id integer, via text, v %s)" % sqltype)
        global CALLS
        for i, v in enumerate(values):
            CALLS += 1
            cur.execute("insert into fz_rt values (?, 'execute', ?)", (i, v))
        CALLS += 1
        cur.executebatch("insert into fz_rt values (?, ?, ?)",
                         [list(range(len(values))), ["batch"] * len(values), values])
        cur.execute("select via, id, v::text, v is null from fz_rt order by via, id")
        for via, i, text, is_null in cur.fetchall():
            assert is_null == b"F", (sqltype, via, values[i])
            # An empty text reads back as None (a documented limit); it is not NULL.
            text = "" if text is None else text
            assert same(values[i], text), (sqltype, via, values[i], text)
        cur.execute("drop table fz_rt")
    finally:
        conn.close()


def main():
    prepare()
    failed = 0
    for test in (test_calls, test_round_trips):
        try:
            test()
        except Exception:  # noqa: BLE001 - hypothesis has printed the falsifying example
            import traceback
            traceback.print_exc()
            failed += 1
    # A connection text that cannot be parsed prints a diagnostic without a newline.
    print("\n%d generated calls" % CALLS, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
