"""asyncio: 100 tasks, each doing `size` round trips of a one-parameter query over a pool
of 10 connections (uvloop's loop)."""
import asyncio

from harness import Job, Target
from workloads import aio_common as common

TITLE = "asyncio: 100 tasks x {size:,} round trips of select $1 over a pool of 10"
UNIT = "calls/s"
SIZE = 200
QUICK_SIZE = 20
SETUP = []
TASKS = 100
POOL = 10


async def timed_tasks(ctx, one_task):
    totals = []
    with ctx.timed():
        totals = await asyncio.gather(*(one_task(t) for t in range(TASKS)))
    expected = TASKS * sum(range(ctx.size))
    if sum(totals) != expected:
        raise SystemExit("round trips summed to %d, expected %d" % (sum(totals), expected))
    return TASKS * ctx.size


async def timed_pool_tasks(ctx, pool, sql):
    """The round trips through a psycopg-style pool (connection() and execute), sql
    taking the one parameter; closes the pool."""
    async def one(_):
        total = 0
        for i in range(ctx.size):
            async with pool.connection() as conn:
                cur = await conn.execute(sql, (i,))
                total += (await cur.fetchone())[0]
        return total
    count = await timed_tasks(ctx, one)
    await pool.close()
    return count


async def ztcondb_tasks(ctx):
    pool = await common.ztcondb_pool(ctx, POOL)
    return await timed_pool_tasks(ctx, pool, "select ?::int")


async def asyncpg_tasks(ctx):
    pool = await common.asyncpg_pool(ctx, POOL)

    async def one(_):
        total = 0
        for i in range(ctx.size):
            async with pool.acquire() as conn:
                total += await conn.fetchval("select $1::int", i)
        return total
    count = await timed_tasks(ctx, one)
    await pool.close()
    return count


async def psycopg3_tasks(ctx):
    pool = await common.psycopg3_pool(ctx, POOL)
    return await timed_pool_tasks(ctx, pool, "select %s::int")


JOBS = [
    Job("ztcondb AsyncConnectionPool (uvloop)", "ztcondb", common.on_uvloop(ztcondb_tasks)),
    Job("asyncpg pool fetchval (uvloop)", "asyncpg", common.on_uvloop(asyncpg_tasks), ref=True),
    Job("psycopg3 AsyncConnectionPool (uvloop)", "psycopg3", common.on_uvloop(psycopg3_tasks)),
]

TARGETS = [
    Target("ztcondb AsyncConnectionPool (uvloop)", "asyncpg pool fetchval (uvloop)", speed=1.2),
]
