"""asyncio: fetchall of the fetch workload's table (its rows built by each driver)."""
from harness import Job, Target
from workloads import aio_common as common
from workloads import fetch

TITLE = "asyncio: fetchall {size:,} rows x (bigint, float8, text, timestamp, numeric, date)"
UNIT = "rows/s"
SIZE = fetch.SIZE
QUICK_SIZE = fetch.QUICK_SIZE
SETUP = fetch.SETUP
QUERY = fetch.QUERY


async def ztcondb_fetchall(ctx):
    conn = await common.ztcondb_conn(ctx)
    with ctx.timed():
        cur = await conn.execute(QUERY)
        rows = await cur.fetchall()
    await conn.close()
    return fetch.checked(ctx, rows)


async def asyncpg_fetch(ctx):
    import asyncpg
    conn = await asyncpg.connect(**common.args(ctx))
    with ctx.timed():
        rows = await conn.fetch(QUERY)
    await conn.close()
    return fetch.checked(ctx, rows)


async def psycopg3_fetchall(ctx):
    import psycopg
    conn = await psycopg.AsyncConnection.connect(ctx.dsn)
    with ctx.timed():
        cur = await conn.execute(QUERY)
        rows = await cur.fetchall()
    await conn.close()
    return fetch.checked(ctx, rows)


JOBS = [
    Job("ztcondb async fetchall (uvloop)", "ztcondb", common.on_uvloop(ztcondb_fetchall)),
    Job("asyncpg fetch (uvloop)", "asyncpg", common.on_uvloop(asyncpg_fetch), ref=True),
    Job("psycopg3 async fetchall (uvloop)", "psycopg3", common.on_uvloop(psycopg3_fetchall)),
]

TARGETS = [
    Target("ztcondb async fetchall (uvloop)", "asyncpg fetch (uvloop)", speed=1.5),
]
