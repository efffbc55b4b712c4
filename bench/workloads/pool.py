"""Connection pools: a checkout and return cycle on one thread, then 8 threads sharing
a pool of 4 connections, each checkout running `select 1`."""
import threading

from harness import Job, Target

TITLE = "{size:,} pool checkouts: return cycle alone; 8 threads on a pool of 4 with select 1"
UNIT = "checkouts/s"
SIZE = 20_000
QUICK_SIZE = 2_000
SETUP = []
THREADS = 8
POOL = 4


def ztcondb_pool(ctx, size):
    from ztcondb.pool import ConnectionPool
    s = ctx.server
    pool = ConnectionPool(kwargs=dict(host=s["ZT_TEST_HOST"], port=int(s["ZT_TEST_PORT"]),
                                      database=s["ZT_TEST_DB"], user=s["ZT_TEST_USER"]),
                          min_size=size, max_size=size)
    pool.wait(30)
    return pool


def psycopg_pool(ctx, size):
    from psycopg_pool import ConnectionPool
    pool = ConnectionPool(ctx.dsn, min_size=size, max_size=size, open=True)
    pool.wait(30)
    return pool


def cycle(ctx, make):
    pool = make(ctx, 1)
    for _ in range(100):
        with pool.connection():
            pass
    with ctx.timed():
        for _ in range(ctx.size):
            with pool.connection():
                pass
    pool.close()
    return ctx.size


def shared(ctx, make, sql="select 1"):
    pool = make(ctx, POOL)
    done = []

    def work(n):
        count = 0
        for _ in range(n):
            with pool.connection() as conn:
                cur = conn.cursor()
                cur.execute(sql)
                count += cur.fetchone()[0]
        done.append(count)
    for _ in range(POOL * 10):
        with pool.connection() as conn:
            conn.cursor().execute(sql)
    threads = [threading.Thread(target=work, args=(ctx.size // THREADS,))
               for _ in range(THREADS)]
    with ctx.timed():
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    pool.close()
    if sum(done) != THREADS * (ctx.size // THREADS):
        raise SystemExit("the threads ran %d statements, expected %d" % (sum(done), ctx.size))
    return THREADS * (ctx.size // THREADS)


JOBS = [
    Job("ztcondb checkout cycle", "ztcondb", lambda ctx: cycle(ctx, ztcondb_pool)),
    Job("psycopg_pool checkout cycle", "psycopg3", lambda ctx: cycle(ctx, psycopg_pool)),
    Job("ztcondb 8 threads, pool of 4", "ztcondb", lambda ctx: shared(ctx, ztcondb_pool)),
    Job("psycopg_pool 8 threads, pool of 4", "psycopg3",
        lambda ctx: shared(ctx, psycopg_pool), ref=True),
]

TARGETS = [
    Target("ztcondb 8 threads, pool of 4", "psycopg_pool 8 threads, pool of 4", speed=1.5),
]
