"""asyncio: 100 concurrent `select pg_sleep(0.1)` over a pool of 10 connections (ten
rounds of sleeps: 1 s at best), and the time a cancelled `pg_sleep(10)` takes to give
control back."""
import asyncio
import time

from harness import Job, Target
from workloads import aio_common as common

TITLE = "asyncio: {size} concurrent pg_sleep(0.1) over 10 connections; cancel latency"
UNIT = "sleeps/s"
SIZE = 100
QUICK_SIZE = 100
SETUP = []
POOL = 10


async def ztcondb_sleeps(ctx):
    pool = await common.ztcondb_pool(ctx, POOL)

    async def one():
        async with pool.connection() as conn:
            await conn.execute("select pg_sleep(0.1)")
    with ctx.timed():
        await asyncio.gather(*(one() for _ in range(ctx.size)))
    await pool.close()
    return ctx.size


async def asyncpg_sleeps(ctx):
    pool = await common.asyncpg_pool(ctx, POOL)

    async def one():
        async with pool.acquire() as conn:
            await conn.execute("select pg_sleep(0.1)")
    with ctx.timed():
        await asyncio.gather(*(one() for _ in range(ctx.size)))
    await pool.close()
    return ctx.size


async def timed_cancels(ctx, conn):
    """Cancels ten pg_sleep(10) calls on conn, timing each from task.cancel() to control
    back (ctx.seconds is their sum); closes conn; returns the count."""
    rounds = 10
    with ctx.timed():
        waited = 0.0
        for _ in range(rounds):
            task = asyncio.ensure_future(conn.execute("select pg_sleep(10)"))
            await asyncio.sleep(0.05)
            start = time.perf_counter()
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
            waited += time.perf_counter() - start
    ctx.seconds = waited
    await conn.close()
    return rounds


async def ztcondb_cancel(ctx):
    """Rate = cancels per second: 1 / the time from task.cancel() to control back."""
    conn = await common.ztcondb_conn(ctx, autocommit=True)
    return await timed_cancels(ctx, conn)


async def asyncpg_cancel(ctx):
    import asyncpg
    conn = await asyncpg.connect(**common.args(ctx))
    return await timed_cancels(ctx, conn)


JOBS = [
    Job("ztcondb 100 sleeps on a pool of 10 (uvloop)", "ztcondb", common.on_uvloop(ztcondb_sleeps)),
    Job("asyncpg 100 sleeps on a pool of 10 (uvloop)", "asyncpg", common.on_uvloop(asyncpg_sleeps),
        ref=True),
    Job("ztcondb cancelled pg_sleep(10) (uvloop)", "ztcondb", common.on_uvloop(ztcondb_cancel)),
    Job("asyncpg cancelled pg_sleep(10) (uvloop)", "asyncpg", common.on_uvloop(asyncpg_cancel)),
]

TARGETS = [
    # 100 sleeps of 0.1 s on 10 connections: 1.3 s at most is 100 / 1.3 sleeps/s.
    Target("ztcondb 100 sleeps on a pool of 10 (uvloop)",
           "asyncpg 100 sleeps on a pool of 10 (uvloop)", time=1.3),
]
