"""Python code that runs inside a method of a cursor (a parameter's __str__, __len__ or
__index__, a finalizer of the description the method releases, a GC callback) and calls
a method of the same cursor is refused with ProgrammingError; the outer call goes on
undisturbed, the cursor works afterwards and nothing is left behind."""

import decimal
import gc
import sys

import pytest

import _pyztdb
from ztdouble import Column, Result

COLS = [Column("a", 5)]
IN_USE = "the cursor is in use by a call in progress"


class Reentry:
    """Makes the re-entrant call each time a hook runs while armed; keeps the outcomes."""

    def __init__(self, conn, cur, action):
        self.conn, self.cur, self.action = conn, cur, action
        self.armed = False
        self.outcomes = []

    def __call__(self):
        if not self.armed or self.action is None:
            return
        try:
            self.action(self.conn, self.cur)
            self.outcomes.append("ran")
        except _pyztdb.Error as e:
            self.outcomes.append("%s: %s" % (type(e).__name__, e))


def hooked(kind, value, reentry):
    """`value` with the hook `kind` calling reentry each time Python reads it."""
    if kind == "str":
        class Dec(decimal.Decimal):
            def __str__(self):
                reentry()
                return decimal.Decimal.__str__(self)
        return Dec(value)
    if kind == "index":
        class Index:
            def __index__(self):
                reentry()
                return value
        return Index()
    if kind == "len":
        class Seq:
            def __len__(self):
                reentry()
                return len(value)

            def __getitem__(self, i):
                return value[i]
        return Seq()
    raise AssertionError(kind)


class Finalized:
    def __init__(self, reentry):
        self.reentry = reentry

    def __del__(self):
        self.reentry()


def rows_result(zd, cur):
    zd.queue_execution(Result(COLS, [[1], [2], [3]]))


def executed(zd, cur):
    rows_result(zd, cur)
    cur.execute("select a from t")


def declared(*codes):
    return lambda zd, cur: cur.setinputtype(list(codes))


def server_cursor(zd, cur):
    zd.program_cursor("c", Result(COLS, [[1], [2]]), Result(COLS, [[3]]))


D = decimal.Decimal
# method: (set-up, the call (h wraps a value in the case's hook), what is read after it,
# the hooks that run inside it)
METHODS = {
    "execute": (rows_result, lambda cur, h: cur.execute(
        "select a from t where b = ?", h("len", [h("str", D("1.5"))])),
        lambda cur: cur.fetchall(), ["str", "len", "del"]),
    "executemany": (None, lambda cur, h: cur.executemany(
        "insert into t values (?)", [h("str", D("2.5"))]), lambda cur: cur.rowcount,
        ["str", "del"]),
    "executebatch": (None, lambda cur, h: cur.executebatch(
        "insert into t values (?)", [[h("str", D("1.5")), D("2.5")]]),
        lambda cur: cur.rowcount, ["str", "del"]),
    "callproc": (declared(9), lambda cur, h: cur.callproc(
        "p", h("len", [h("str", D("1.5"))])), None, ["str", "len", "del"]),
    "callfunc": (declared(9, 2), lambda cur, h: cur.callfunc(
        "f", [h("str", D("1.5"))]), None, ["str", "del"]),
    "fetchall": (executed, lambda cur, h: cur.fetchall(), None, ["gc"]),
    "fetchmany": (executed, lambda cur, h: cur.fetchmany(h("index", 2)),
                  lambda cur: cur.fetchall(), ["index", "gc"]),
    "fetchpage": (server_cursor, lambda cur, h: cur.fetchpage("c", 1, 2),
                  lambda cur: cur.fetchpage("c", 1, 2), ["del", "gc"]),
    "getResultcolname": (executed, lambda cur, h: cur.getResultcolname(h("index", 1)),
                         lambda cur: cur.fetchall(), ["index"]),
    "setinputtype": (None, lambda cur, h: cur.setinputtype(h("len", [5, 2])), None, ["len"]),
}

# The re-entrant calls: each would change what the outer call works with.
ACTIONS = {
    "execute": lambda conn, cur: cur.execute("select 1"),
    "fetchall": lambda conn, cur: cur.fetchall(),
    "close": lambda conn, cur: cur.close(),
    "init": lambda conn, cur: cur.__init__(conn),
}

CASES = [(m, h, a) for m, entry in METHODS.items() for h in entry[3] for a in ACTIONS]


def run(zd, conn, method, hook, action):
    """One call with the hook armed; (its value, what is read after it, the outcomes of
    the re-entrant calls)."""
    setup, call, observe, _ = METHODS[method]
    cur = conn.cursor()
    reentry = Reentry(conn, cur, ACTIONS[action] if action else None)
    if setup:
        setup(zd, cur)
    if method == "callfunc":
        zd.program_outputs({2: "r"})

    def h(kind, value):
        return hooked(kind, value, reentry) if kind == hook else value

    def on_gc(phase, info):
        if phase == "start":
            reentry()

    if hook == "del":
        cur.description = [Finalized(reentry)]
    saved = gc.get_threshold()
    if hook == "gc":
        gc.callbacks.append(on_gc)
        gc.set_threshold(1)
    held = sys.getrefcount(cur)
    try:
        reentry.armed = True
        value = call(cur, h)
        reentry.armed = False
    finally:
        reentry.armed = False
        gc.set_threshold(*saved)
        if on_gc in gc.callbacks:
            gc.callbacks.remove(on_gc)
    seen = observe(cur) if observe else None
    # Nothing kept a reference to the cursor (the refused calls included).
    assert sys.getrefcount(cur) == held
    return cur, value, seen, reentry.outcomes


@pytest.mark.parametrize("method, hook, action", CASES)
def test_reentrant_call_is_refused(zd, conn, method, hook, action):
    _, expected, expected_seen, _ = run(zd, conn, method, hook, None)
    cur, value, seen, outcomes = run(zd, conn, method, hook, action)
    assert outcomes, "the %s hook never ran inside %s" % (hook, method)
    assert set(outcomes) == {"ProgrammingError: " + IN_USE}
    # The outer call went on as if nothing had been asked of the cursor.
    assert (value, seen) == (expected, expected_seen)
    # The cursor is free again and works.
    zd.queue_execution(Result(COLS, [[7]]))
    cur.execute("select a from t")
    assert cur.fetchall() == [(7,)]
    cur.close()
    gc.collect()
    assert zd.open_results() == 0


# Fault mended: a statement run on another cursor of the same connection from inside a
# parameter's __str__ cleared the session's bindings and bound its own, and the outer
# statement ran with the other's values. Such an execution is refused; reading another
# cursor's rows is not.
@pytest.mark.parametrize("inner, expected", [
    (lambda other: other.execute("select ?", ["inner"]),
     "ProgrammingError: the connection is in use by a call in progress"),
    (lambda other: other.executemany("insert into t values (?)", [["inner"]]),
     "ProgrammingError: the connection is in use by a call in progress"),
    (lambda other: other.callproc("p", ["inner"]),
     "ProgrammingError: the connection is in use by a call in progress"),
    (lambda other: other.fetchall(), [(5,)]),
])
@pytest.mark.parametrize("method", ["execute", "executemany", "callproc"])
def test_execution_on_another_cursor_inside_binding(zd, conn, method, inner, expected):
    other = conn.cursor()
    zd.queue_execution(Result(COLS, [[5]]))
    other.execute("select a from t")
    cur = conn.cursor()
    cur.setinputtype([2, 9])
    got = []

    class Dec(decimal.Decimal):
        def __str__(self):
            try:
                got.append(inner(other))
            except _pyztdb.Error as e:
                got.append("%s: %s" % (type(e).__name__, e))
            return decimal.Decimal.__str__(self)

    before = len(zd.calls())
    getattr(cur, method)("insert into t values (?, ?)" if method != "callproc" else "p",
                         ["outer", Dec("2.5")])
    assert got == [expected]
    # The outer statement ran with its own two values, bound after one clearing.
    names = zd.names()[before:]
    assert names.count("ZTC_Reset") == 1
    texts = [c["data"] for c in zd.calls()[before:] if c.name == "ZTC_BindParamByPos"]
    assert texts[0].startswith(b"outer") and texts[1].startswith(b"2.5")
