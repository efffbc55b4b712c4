"""Round trips: a parameterised one-value query, each result read back, after 100
untimed calls so every side's statement cache is warm."""
from harness import Job, Target

TITLE = "{size:,} round trips of select <param>::int + fetch one"
UNIT = "calls/s"
SIZE = 20_000
QUICK_SIZE = 2_000
SETUP = []
WARMUP = 100


def checked(ctx, total):
    # The sum proves every call returned its own parameter, not a stale row.
    if total != sum(range(ctx.size)):
        raise SystemExit("round trips summed to %d, expected %d" % (total, sum(range(ctx.size))))
    return ctx.size


def cursor_loop(ctx, cur, sql):
    for i in range(-WARMUP, 0):
        cur.execute(sql, (i,))
        cur.fetchone()
    total = 0
    with ctx.timed():
        for i in range(ctx.size):
            cur.execute(sql, (i,))
            total += cur.fetchone()[0]
    return checked(ctx, total)


def ztcondb_roundtrip(ctx):
    conn = ctx.ztcondb()
    conn.autocommit = True
    return cursor_loop(ctx, conn.cursor(), "select ?::int")


def psycopg2_roundtrip(ctx):
    conn = ctx.psycopg2()
    conn.autocommit = True
    return cursor_loop(ctx, conn.cursor(), "select %s::int")


def psycopg3_roundtrip(ctx):
    return cursor_loop(ctx, ctx.psycopg3(autocommit=True).cursor(), "select %s::int")


async def asyncpg_roundtrip(ctx):
    conn = await ctx.asyncpg()
    for i in range(-WARMUP, 0):
        await conn.fetchval("select $1::int", i)
    total = 0
    with ctx.timed():
        for i in range(ctx.size):
            total += await conn.fetchval("select $1::int", i)
    await conn.close()
    return checked(ctx, total)


JOBS = [
    Job("ztcondb execute+fetchone", "ztcondb", ztcondb_roundtrip),
    Job("psycopg2 execute+fetchone", "psycopg2", psycopg2_roundtrip, ref=True),
    Job("psycopg3 execute+fetchone", "psycopg3", psycopg3_roundtrip),
    Job("asyncpg fetchval (asyncio)", "asyncpg", asyncpg_roundtrip),
    Job("C libpq PQexecPrepared", "libpq", "roundtrip"),
]

TARGETS = [
    Target("ztcondb execute+fetchone", "C libpq PQexecPrepared", time=1.1),
]
