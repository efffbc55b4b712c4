"""What the asyncio workloads share: connections of ztcondb's async face, asyncpg and
psycopg 3's async API, each run on uvloop when it imports (else the default loop)."""
import asyncio


def use_uvloop():
    """Makes asyncio.run use uvloop's loop; False when uvloop is not installed."""
    try:
        import uvloop
    except ImportError:
        return False
    asyncio.set_event_loop_policy(uvloop.EventLoopPolicy())
    return True


def args(ctx):
    s = ctx.server
    return dict(host=s["ZT_TEST_HOST"], port=int(s["ZT_TEST_PORT"]),
                database=s["ZT_TEST_DB"], user=s["ZT_TEST_USER"])


async def ztcondb_conn(ctx, **extra):
    import ztcondb
    return await ztcondb.AsyncConnection.connect(**args(ctx), **extra)


async def ztcondb_pool(ctx, size):
    from ztcondb.pool import AsyncConnectionPool
    pool = AsyncConnectionPool(kwargs=dict(args(ctx), autocommit=True), min_size=size,
                               max_size=size)
    await pool.open(wait=True)
    return pool


async def asyncpg_pool(ctx, size):
    import asyncpg
    return await asyncpg.create_pool(min_size=size, max_size=size, **args(ctx))


async def psycopg3_pool(ctx, size):
    from psycopg_pool import AsyncConnectionPool
    pool = AsyncConnectionPool(ctx.dsn, min_size=size, max_size=size,
                               kwargs=dict(autocommit=True), open=False)
    await pool.open(wait=True)
    return pool


def on_uvloop(run):
    """A job that runs the coroutine function `run` on uvloop's loop."""
    def job(ctx):
        use_uvloop()
        return run(ctx)
    return job
