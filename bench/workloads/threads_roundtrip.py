"""Round trips over threads: {size} parameterised one-value queries, each result read
back, done by one thread, then split over two threads on connections of their own."""
import threading

from harness import Job, Target

TITLE = "{size:,} round trips of select <param>::int + fetch one, 1 thread vs 2 threads"
UNIT = "calls/s"
SIZE = 20_000
QUICK_SIZE = 2_000
SETUP = []
WARMUP = 100


def loop(cur, sql, numbers, out):
    total = 0
    for i in numbers:
        cur.execute(sql, (i,))
        total += cur.fetchone()[0]
    out.append(total)


def split(ctx, connect, sql, nthreads):
    cursors = []
    for _ in range(nthreads):
        cur = connect().cursor()
        loop(cur, sql, range(-WARMUP, 0), [])
        cursors.append(cur)
    totals = []
    threads = [threading.Thread(target=loop, args=(cur, sql, range(k, ctx.size, nthreads), totals))
               for k, cur in enumerate(cursors)]
    with ctx.timed():
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    # The sum proves every call returned its own parameter, not another thread's.
    if sum(totals) != sum(range(ctx.size)):
        raise SystemExit("round trips summed to %d, expected %d" % (sum(totals), sum(range(ctx.size))))
    return ctx.size


def autocommit(open_connection):
    """A connect() that opens a connection with open_connection and turns on autocommit."""
    def connect():
        conn = open_connection()
        conn.autocommit = True
        return conn
    return connect


def ztcondb_connect(ctx):
    return autocommit(ctx.ztcondb)


def psycopg2_connect(ctx):
    return autocommit(ctx.psycopg2)


JOBS = [
    Job("ztcondb 1 thread", "ztcondb", lambda ctx: split(ctx, ztcondb_connect(ctx), "select ?::int", 1)),
    Job("ztcondb 2 threads", "ztcondb", lambda ctx: split(ctx, ztcondb_connect(ctx), "select ?::int", 2)),
    Job("psycopg2 1 thread", "psycopg2", lambda ctx: split(ctx, psycopg2_connect(ctx), "select %s::int", 1), ref=True),
    Job("psycopg2 2 threads", "psycopg2", lambda ctx: split(ctx, psycopg2_connect(ctx), "select %s::int", 2)),
]

TARGETS = [
    Target("ztcondb 2 threads", "ztcondb 1 thread", speed=1.6),
]
