"""Iterating a big result through each driver's server-side cursor, row by row: the
memory must stay flat (peak RSS growth over the start of the timed block), whatever
the size of the result."""
from harness import Job, Target

TITLE = "iterate {size:,} rows x (bigint, float8, text) through a server-side cursor"
UNIT = "rows/s"
SIZE = 5_000_000
QUICK_SIZE = 200_000
SETUP = []
QUERY = "SELECT g::bigint, g / 7.0::float8, 'text-' || g FROM generate_series(1, {size}) g"


def checked(ctx, count):
    if count != ctx.size:
        raise SystemExit("iterated %d rows, expected %d" % (count, ctx.size))
    return count


def timed_named(ctx, conn, cur):
    """Iterates the whole query through the named cursor cur, timed, then ends its
    transaction."""
    with ctx.timed():
        cur.execute(QUERY.format(size=ctx.size))
        count = sum(1 for _ in cur)
    cur.close()
    conn.commit()
    return checked(ctx, count)


def ztcondb_named(ctx):
    conn = ctx.ztcondb()
    cur = conn.cursor(name="bench_stream")
    return timed_named(ctx, conn, cur)


def psycopg2_named(ctx):
    conn = ctx.psycopg2()
    cur = conn.cursor(name="bench_stream")
    cur.itersize = 2000
    return timed_named(ctx, conn, cur)


def psycopg3_server_cursor(ctx):
    conn = ctx.psycopg3()
    cur = conn.cursor(name="bench_stream")
    cur.itersize = 2000
    return timed_named(ctx, conn, cur)


async def asyncpg_cursor(ctx):
    conn = await ctx.asyncpg()
    with ctx.timed():
        async with conn.transaction():
            count = 0
            async for _ in conn.cursor(QUERY.format(size=ctx.size), prefetch=2000):
                count += 1
    await conn.close()
    return checked(ctx, count)


JOBS = [
    Job("ztcondb named cursor", "ztcondb", ztcondb_named),
    Job("psycopg2 named cursor (itersize 2000)", "psycopg2", psycopg2_named, ref=True),
    Job("psycopg3 server cursor (itersize 2000)", "psycopg3", psycopg3_server_cursor),
    Job("asyncpg cursor (prefetch 2000)", "asyncpg", asyncpg_cursor),
]

TARGETS = [
    Target("ztcondb named cursor", None, growth=50.0),
]
