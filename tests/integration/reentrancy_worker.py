"""Runs re-entrancy cases for test_reentrancy.py in a process of its own, so that a
crash ends this process and not the test run.

    python reentrancy_worker.py HOST PORT DB USER  < cases (one JSON list per line)

Each case is [method, hook, action, stage]. Before running it the worker prints
"BEGIN <n>", after it "END <n> <outcome as JSON>". The hook is Python code that runs
inside the method: a GC callback, the __del__ of an object the collector frees, or the
__index__, __str__, __len__ or __getitem__ of a parameter object. At its stage-th run
(counted over one run of the method) it does the action: close the connection, close
the cursor, initialise the connection again, or run another statement on the cursor.
The outcome is "error" (a driver exception), "ok" (the call's result and what is read
after it are those of the action done just before or just after the call), "refused"
(the action called a method of the cursor whose method was running: it was refused with
ProgrammingError, done again just after the call, and the outcome is that of the action
done after the call), or a failure: "wrong" (anything else), "foreign" (another
exception class) or "never" (the hook did not run in the call at all).
"""
import decimal
import gc
import json
import os
import sys

sys.path.insert(0, os.path.join(os.environ.get("ZT_BUILD_DIR") or os.path.join(
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "build"),
    "python"))

import _pyztdb  # noqa: E402

HOST, PORT, DB, USER = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
OUT = 2
IN_USE = "the cursor is in use by a call in progress"


def connect():
    return _pyztdb._connect(PORT, HOST, DB, USER, "", "UTF8", "0")


class Trigger:
    """Counts the runs of one kind of hook and does the action at the chosen one."""

    def __init__(self, kind, stage, action):
        self.kind, self.stage, self.action = kind, stage, action
        self.count = 0
        self.fired = False
        self.refused = False
        self.conn = self.cur = None

    def tick(self, kind):
        if kind != self.kind:
            return
        self.count += 1
        if self.count != self.stage:
            return
        if kind == "del":
            # Garbage with a finalizer: the collector runs the action when it frees it.
            g = Finalized(self)
            g.loop = g
            del g
        else:
            self.fire()

    def fire(self):
        if self.fired or self.action is None:
            return
        self.fired = True
        conn, cur = self.conn, self.cur
        try:
            if self.action == "close_connection":
                conn.close()
            elif self.action == "close_cursor":
                cur.close()
            elif self.action == "reinit_connection":
                conn.__init__(HOST, PORT, DB, USER, "", "UTF8", "0")
            elif self.action == "statement":
                cur.execute("select 'other'")
        except _pyztdb.ProgrammingError as e:
            if str(e) != IN_USE:
                return
            # A call on the cursor whose method is running: it is made again after it.
            self.refused = True
            self.fired = False
        except _pyztdb.Error:
            pass


class Finalized:
    def __init__(self, trigger):
        self.trigger = trigger

    def __del__(self):
        self.trigger.fire()


class Index:
    def __init__(self, trigger, value):
        self.trigger, self.value = trigger, value

    def __index__(self):
        self.trigger.tick("index")
        return self.value


class Seq:
    """A sequence that is not a list: the driver reads it through __len__/__getitem__."""

    def __init__(self, trigger, items):
        self.trigger, self.items = trigger, list(items)

    def __len__(self):
        self.trigger.tick("len")
        return len(self.items)

    def __getitem__(self, i):
        self.trigger.tick("getitem")
        return self.items[i]


def make_dec(trigger, text):
    class Dec(decimal.Decimal):
        def __str__(self):
            trigger.tick("str")
            return decimal.Decimal.__str__(self)
    return Dec(text)


def prepare(conn):
    cur = conn.cursor()
    cur.execute("drop table if exists re_t")
    cur.execute("create table re_t (id integer, v numeric)")
    cur.execute("create or replace procedure re_p(in a integer, out b integer, "
                "inout c numeric) language plpgsql as $$ begin b := a * 2; c := c + a; end $$")
    cur.execute("create or replace function re_f(a integer, b text) returns text "
                "language sql as $$ select b || a $$")
    cur.execute("create or replace procedure re_rows(out c refcursor) language plpgsql as "
                "$$ begin open c for select g, 'r' || g from generate_series(1, 30) g; end $$")
    cur.close()


# Rows of 22 columns: tuples that long are never taken from the interpreter's free
# lists, so building each row counts as an allocation for the collector.
ROWS = "select g, 'r' || g" + ", g" * 20 + " from generate_series(1, 30) g"


def open_server_cursor(conn, cur, t):
    cur.setinputtype([58])
    cur.callproc("re_rows", [""], [OUT])


def run_query(conn, cur, t):
    cur.execute(ROWS)


def table_rows(conn, cur):
    cur.execute("select id, v from re_t order by id")
    return cur.fetchall()


# method: (set-up before the hooks are armed, the one call made with them armed, what
# is read afterwards to see the call's effect)
METHODS = {
    "execute": (None, lambda conn, cur, t: cur.execute(
        "select g, ?::text, ?::numeric from generate_series(1, ?::integer) g",
        Seq(t, ["x", make_dec(t, "1.5"), 20])), lambda conn, cur: cur.fetchall()),
    "executemany": (None, lambda conn, cur, t: cur.executemany(
        "insert into re_t values (?, ?)", Seq(t, [[i, make_dec(t, "2.5")] for i in range(5)])),
        table_rows),
    "executebatch": (None, lambda conn, cur, t: cur.executebatch(
        "insert into re_t values (?, ?)",
        Seq(t, [Seq(t, list(range(20))), Seq(t, [make_dec(t, "1.5")] * 20)])), table_rows),
    "callproc": (lambda conn, cur, t: cur.setinputtype([5, 5, 9]), lambda conn, cur, t:
                 cur.callproc("re_p", Seq(t, [Index(t, 3), 0, make_dec(t, "1.5")]),
                              Seq(t, [1, OUT, 3])), None),
    "callfunc": (lambda conn, cur, t: cur.setinputtype([5, 2, 2]), lambda conn, cur, t:
                 cur.callfunc("re_f", Seq(t, [Index(t, 2), "y"])), None),
    "fetchone": (run_query, lambda conn, cur, t: cur.fetchone(), lambda conn, cur: cur.fetchone()),
    "fetchmany": (run_query, lambda conn, cur, t: cur.fetchmany(Index(t, 7)),
                  lambda conn, cur: cur.fetchone()),
    "fetchall": (run_query, lambda conn, cur, t: cur.fetchall(), None),
    "fetchall_server_cursor": (open_server_cursor, lambda conn, cur, t: cur.fetchall(), None),
    "fetchmany_server_cursor": (open_server_cursor,
                                lambda conn, cur, t: cur.fetchmany(Index(t, 7)),
                                lambda conn, cur: cur.fetchone()),
    "nextset": (lambda conn, cur, t: cur.execute("select 1; " + ROWS),
                lambda conn, cur, t: cur.nextset(), lambda conn, cur: cur.fetchall()),
    "metadata": (run_query, lambda conn, cur, t: (
        cur.getResultcolname(Index(t, 2)), cur.getResultcolsize(Index(t, 1)),
        cur.getResultcolscale(Index(t, 1))), None),
    "declarations": (None, lambda conn, cur, t: cur.setinputtype(Seq(t, [5, 2, 9])), None),
    "cursor": (None, lambda conn, cur, t: type(conn.cursor()).__name__, None),
}


def attempt(fn, *args):
    """("ok", value) or ("error", class name) for a driver exception; any other
    exception class gives ("foreign", text)."""
    try:
        return ("ok", fn(*args))
    except _pyztdb.Error as e:
        return ("error", type(e).__name__)
    except Exception as e:  # noqa: BLE001 - any other class is the failure we look for
        return ("foreign", "%s: %s" % (type(e).__name__, e))


def run(method, kind, action, stage, when="inside"):
    """One run with the action done inside the call at the stage-th run of the hook,
    or (when = "before" / "after") just before or just after the call. Returns ([the
    call's outcome, what is read afterwards], how often the hook ran, whether the action
    was refused inside the call)."""
    setup, call, observe = METHODS[method]
    t = Trigger(kind, stage if when == "inside" else 0, action)
    conn = connect()
    cur = conn.cursor()
    t.conn, t.cur = conn, cur
    if method in ("executemany", "executebatch"):
        cur.execute("delete from re_t")
    if setup:
        setup(conn, cur, t)
    if when == "before":
        t.fire()

    def on_gc(phase, info):
        if phase == "start":
            t.tick("gc")
            t.tick("del")

    saved = gc.get_threshold()
    gc.callbacks.append(on_gc)
    # Young collections only, at almost every allocation: old ones would be too slow.
    gc.set_threshold(1, 1000000, 1000000)
    try:
        outcome = attempt(call, conn, cur, t)
    finally:
        gc.callbacks.remove(on_gc)
        gc.set_threshold(*saved)
    # The collector's timing differs between runs: a stage the call did not reach, or
    # garbage not yet freed, has the action done just after the call.
    if when == "inside" and not t.fired:
        gc.collect()
    t.fire()
    seen = attempt(observe, conn, cur) if observe else None
    # What is left must still behave: a statement on the cursor, closing, freeing.
    attempt(lambda c=cur: (c.execute("select 1"), c.fetchall()))
    attempt(conn.close)
    del cur, conn
    t.conn = t.cur = None
    # Every run starts from the same collector state, so a stage is the same point.
    gc.collect()
    return [outcome, seen], t.count, t.refused


def main():
    conn = connect()
    prepare(conn)
    conn.close()
    counts, accepted = {}, {}
    for n, line in enumerate(sys.stdin):
        method, kind, action, stage = json.loads(line)
        print("BEGIN %d" % n, flush=True)
        if (method, kind) not in counts:
            counts[(method, kind)] = run(method, kind, None, 0)[1]
        if (method, action) not in accepted:
            # A hook inside a call may act as if it had run just before or just after
            # the call; the call undisturbed is the case "after".
            accepted[(method, action)] = [run(method, kind, action, 0, when)[0]
                                          for when in ("before", "after")]
        count = counts[(method, kind)]
        if count == 0:
            result = ["never", "the %s hook never ran in %s" % (kind, method)]
        else:
            # Stages: the first run of the hook, the middle one, the last one.
            k = {"first": 1, "middle": (count + 1) // 2, "last": count}[stage]
            got, _, refused = run(method, kind, action, k)
            outcome = got[0]
            if outcome[0] == "foreign" or (got[1] or ("ok",))[0] == "foreign":
                result = ["foreign", repr(got)]
            elif refused:
                after = accepted[(method, action)][1]
                result = (["refused", ""] if got == after else
                          ["wrong", "refused, then %r; accepted: %r" % (got, after)])
            elif outcome[0] == "error":
                result = ["error", outcome[1]]
            elif got in accepted[(method, action)]:
                result = ["ok", ""]
            else:
                result = ["wrong", "%r; accepted: %r" % (got, accepted[(method, action)])]
        print("END %d %s" % (n, json.dumps(result)), flush=True)


if __name__ == "__main__":
    main()
