"""A ticker beside a long statement: a thread that wakes every 50 ms counts its ticks
while the main thread runs select pg_sleep({size}). A driver that keeps the interpreter
lock while it waits stops the ticker; one that releases it lets it tick 20 times a
second."""
import threading
import time

from harness import Job, Target

TITLE = "ticks of a 50 ms ticker thread during select pg_sleep({size}) (20/s = every tick)"
UNIT = "ticks/s"
SIZE = 2
QUICK_SIZE = 1
SETUP = []


def ticking(ctx, conn):
    cur = conn.cursor()
    cur.execute("select 1")
    cur.fetchall()
    stop = threading.Event()
    ticks = []

    def ticker():
        while not stop.is_set():
            time.sleep(0.05)
            ticks.append(1)

    t = threading.Thread(target=ticker)
    with ctx.timed():
        t.start()
        cur.execute("select pg_sleep(%d)" % ctx.size)
        cur.fetchall()
        stop.set()
        t.join()
    return len(ticks)


JOBS = [
    Job("ztcondb ticker", "ztcondb", lambda ctx: ticking(ctx, ctx.ztcondb())),
    Job("psycopg2 ticker", "psycopg2", lambda ctx: ticking(ctx, ctx.psycopg2()), ref=True),
    Job("psycopg3 ticker", "psycopg3", lambda ctx: ticking(ctx, ctx.psycopg3())),
]

# At least 80 % of the ticks: 16 of the 20 a second.
TARGETS = [
    Target("ztcondb ticker", "psycopg2 ticker", speed=0.8),
]
