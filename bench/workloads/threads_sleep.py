"""Threads waiting together: {size} threads on connections of their own each run
select pg_sleep(0.2). A driver that keeps the interpreter lock while it waits runs them
one after another ({size} x 0.2 s); one that releases it takes 0.2 s in all."""
import threading

from harness import Job, Target

TITLE = "{size} threads x select pg_sleep(0.2), one connection each (rate 40/s = 0.2 s wall)"
UNIT = "statements/s"
SIZE = 8
QUICK_SIZE = 8
SETUP = []


def together(ctx, conns, sql):
    cursors = [c.cursor() for c in conns]
    for cur in cursors:
        cur.execute("select 1")
        cur.fetchall()
    threads = [threading.Thread(target=lambda cur=cur: (cur.execute(sql), cur.fetchall()))
               for cur in cursors]
    with ctx.timed():
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    return len(threads)


def ztcondb_sleep(ctx):
    conns = [ctx.ztcondb() for _ in range(ctx.size)]
    return together(ctx, conns, "select pg_sleep(0.2)")


def psycopg2_sleep(ctx):
    conns = [ctx.psycopg2() for _ in range(ctx.size)]
    return together(ctx, conns, "select pg_sleep(0.2)")


def psycopg3_sleep(ctx):
    conns = [ctx.psycopg3() for _ in range(ctx.size)]
    return together(ctx, conns, "select pg_sleep(0.2)")


JOBS = [
    Job("ztcondb threads", "ztcondb", ztcondb_sleep),
    Job("psycopg2 threads", "psycopg2", psycopg2_sleep, ref=True),
    Job("psycopg3 threads", "psycopg3", psycopg3_sleep),
]

# At most 0.35 s of wall time: 8 / 0.35 = 22.9 statements/s, 0.57 of the ideal 40/s.
TARGETS = [
    Target("ztcondb threads", "psycopg2 threads", speed=0.57),
]
