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


def ztcondb_format_roundtrip(ctx):
    """The psycopg 3 habit: %s placeholders, the connection's execute returning the
    cursor, fetchone on it."""
    conn = ctx.ztcondb()
    conn.autocommit = True
    execute = conn.execute if hasattr(conn, "execute") else conn.cursor().execute
    for i in range(-WARMUP, 0):
        execute("select %s::int", (i,)).fetchone()
    total = 0
    with ctx.timed():
        for i in range(ctx.size):
            total += execute("select %s::int", (i,)).fetchone()[0]
    return checked(ctx, total)


def psycopg3_format_roundtrip(ctx):
    conn = ctx.psycopg3(autocommit=True)
    for i in range(-WARMUP, 0):
        conn.execute("select %s::int", (i,)).fetchone()
    total = 0
    with ctx.timed():
        for i in range(ctx.size):
            total += conn.execute("select %s::int", (i,)).fetchone()[0]
    return checked(ctx, total)


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
    Job("ztcondb %s conn.execute().fetchone()", "ztcondb", ztcondb_format_roundtrip),
    Job("psycopg3 conn.execute().fetchone()", "psycopg3", psycopg3_format_roundtrip),
    Job("psycopg2 execute+fetchone", "psycopg2", psycopg2_roundtrip, ref=True),
    Job("psycopg3 execute+fetchone", "psycopg3", psycopg3_roundtrip),
    Job("asyncpg fetchval (asyncio)", "asyncpg", asyncpg_roundtrip),
    Job("C libpq PQexecPrepared", "libpq", "roundtrip"),
]

TARGETS = [
    Target("ztcondb execute+fetchone", "C libpq PQexecPrepared", time=1.1),
    # %s placeholders cost at most 5 % over ? markers, and beat both psycopgs.
    Target("ztcondb %s conn.execute().fetchone()", "ztcondb execute+fetchone", time=1.05),
    Target("ztcondb %s conn.execute().fetchone()", "psycopg3 conn.execute().fetchone()",
           speed=1.0),
    Target("ztcondb %s conn.execute().fetchone()", "psycopg2 execute+fetchone", speed=1.0),
]
