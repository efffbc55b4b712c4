"""asyncio: executemany of the insert workload's rows in one transaction."""
from harness import Job, Target
from workloads import aio_common as common
from workloads import insert

TITLE = "asyncio: executemany {size:,} rows x (bigint, float8, text, timestamp)"
UNIT = "rows/s"
SIZE = insert.SIZE
QUICK_SIZE = insert.QUICK_SIZE
SETUP = insert.SETUP


async def ztcondb_executemany(ctx):
    conn = await common.ztcondb_conn(ctx)
    await conn.execute("TRUNCATE " + insert.TABLE)
    await conn.commit()
    rows = insert.make_rows(ctx.size)
    with ctx.timed():
        await conn.cursor().executemany(insert.INSERT_QMARK, rows)
        await conn.commit()
    cur = await conn.execute("SELECT count(*) FROM " + insert.TABLE)
    count = (await cur.fetchone())[0]
    await conn.close()
    return count


async def asyncpg_executemany(ctx):
    import asyncpg
    conn = await asyncpg.connect(**common.args(ctx))
    await conn.execute("TRUNCATE " + insert.TABLE)
    rows = insert.make_rows(ctx.size)
    with ctx.timed():
        async with conn.transaction():
            await conn.executemany("INSERT INTO bench_ins VALUES ($1, $2, $3, $4)", rows)
    count = await conn.fetchval("SELECT count(*) FROM " + insert.TABLE)
    await conn.close()
    return count


JOBS = [
    Job("ztcondb async executemany (uvloop)", "ztcondb", common.on_uvloop(ztcondb_executemany)),
    Job("asyncpg executemany (uvloop)", "asyncpg", common.on_uvloop(asyncpg_executemany),
        ref=True),
]

TARGETS = [
    Target("ztcondb async executemany (uvloop)", "asyncpg executemany (uvloop)", speed=3.0),
]
