"""Notification latency: {size} NOTIFY statements, each committed on its own, and each
awaited by a listening session before the next (the time per notification bounds the
delay from COMMIT to arrival)."""
from harness import Job

TITLE = "{size:,} notifications: NOTIFY + COMMIT, then received by a waiting listener"
UNIT = "notifications/s"
SIZE = 2_000
QUICK_SIZE = 200
SETUP = []


def ztcondb_latency(ctx):
    listener, sender = ctx.ztcondb(), ctx.ztcondb()
    listener.autocommit = sender.autocommit = True
    listener.cursor().execute("listen bench_chan")
    cur = sender.cursor()
    got = 0
    with ctx.timed():
        for i in range(ctx.size):
            cur.execute("notify bench_chan")
            for _ in listener.notifies(timeout=5, stop_after=1):
                got += 1
    if got != ctx.size:
        raise SystemExit("received %d of %d notifications" % (got, ctx.size))
    return ctx.size


def psycopg3_latency(ctx):
    listener, sender = ctx.psycopg3(autocommit=True), ctx.psycopg3(autocommit=True)
    listener.execute("listen bench_chan")
    # psycopg 3.1's notifies() has no timeout: one generator, one notification per next().
    arriving = listener.notifies()
    got = 0
    with ctx.timed():
        for i in range(ctx.size):
            sender.execute("notify bench_chan")
            next(arriving)
            got += 1
    arriving.close()
    if got != ctx.size:
        raise SystemExit("received %d of %d notifications" % (got, ctx.size))
    return ctx.size


JOBS = [
    Job("ztcondb", "ztcondb", ztcondb_latency),
    Job("psycopg3", "psycopg3", psycopg3_latency, ref=True),
]
