"""fetchall of one table of (bigint, float8, text, timestamp, numeric(12,2), date): every
value becomes a Python object. The peak memory of this workload is the one to watch."""
from harness import Job, Target
from workloads import shared

TITLE = "fetchall {size:,} rows x (bigint, float8, text, timestamp, numeric(12,2), date)"
UNIT = "rows/s"
SIZE = 1_000_000
QUICK_SIZE = 50_000
SETUP = [
    "DROP TABLE IF EXISTS bench_fetch",
    """CREATE TABLE bench_fetch AS
       SELECT g::bigint                                                  AS id,
              g / 7.0::double precision                                  AS f,
              left(md5(g::text), 20)                                     AS t,
              timestamp '2020-01-01' + g * interval '37.123457 s'        AS ts,
              ((g::bigint * 7919 % 1000000000) / 100.0)::numeric(12,2)   AS n,
              date '2000-01-01' + g % 10000                              AS d
       FROM generate_series(1, {size}) AS g""",
    # Hint bits set now, so no reader pays for writing them.
    "VACUUM ANALYZE bench_fetch",
]
QUERY = "SELECT id, f, t, ts, n, d FROM bench_fetch"


def checked(ctx, rows):
    if len(rows) != ctx.size or len(rows[0]) != 6:
        raise SystemExit("fetched %d rows, expected %d" % (len(rows), ctx.size))
    return len(rows)


def ztcondb_fetchall(ctx):
    cur = ctx.ztcondb().cursor()
    return checked(ctx, shared.timed_fetchall(ctx, cur, QUERY))


def ztcondb_dict_fetchall(ctx):
    from ztcondb.rows import dict_row
    cur = ctx.ztcondb().cursor()
    cur.row_factory = dict_row
    return checked(ctx, shared.timed_fetchall(ctx, cur, QUERY))


def psycopg2_dict_fetchall(ctx):
    import psycopg2.extras
    cur = ctx.psycopg2().cursor(cursor_factory=psycopg2.extras.RealDictCursor)
    return checked(ctx, shared.timed_fetchall(ctx, cur, QUERY))


def module_fetchall(ctx):
    """The module's own conversions (pytypes off: floats for NUMERIC, str for DATE),
    which must not get slower while the Python types get faster."""
    import _pyztdb
    conn = ctx.ztcondb()
    conn.pytypes = False
    cur = _pyztdb.cursor(conn, None)
    return checked(ctx, shared.timed_fetchall(ctx, cur, QUERY))


def psycopg2_fetchall(ctx):
    cur = ctx.psycopg2().cursor()
    return checked(ctx, shared.timed_fetchall(ctx, cur, QUERY))


def psycopg3_fetchall(ctx):
    return checked(ctx, shared.timed_fetchall(ctx, ctx.psycopg3().cursor(), QUERY))


async def asyncpg_fetch(ctx):
    conn = await ctx.asyncpg()
    return checked(ctx, await shared.timed_asyncpg_fetch(ctx, conn, QUERY))


JOBS = [
    Job("ztcondb fetchall", "ztcondb", ztcondb_fetchall),
    Job("_pyztdb fetchall (module types)", "ztcondb", module_fetchall),
    Job("ztcondb fetchall dict_row", "ztcondb", ztcondb_dict_fetchall),
    Job("psycopg2 fetchall RealDictCursor", "psycopg2", psycopg2_dict_fetchall),
    Job("psycopg2 fetchall", "psycopg2", psycopg2_fetchall, ref=True),
    Job("psycopg3 fetchall (text)", "psycopg3", psycopg3_fetchall),
    Job("asyncpg fetch (binary)", "asyncpg", asyncpg_fetch),
    Job("C libpq text + parse", "libpq", "fetch-text"),
    Job("C libpq binary + decode", "libpq", "fetch-binary"),
]

TARGETS = [
    Target("ztcondb fetchall", "psycopg2 fetchall", speed=2.5),
    Target("ztcondb fetchall", "psycopg2 fetchall", memory=0.75),
    # Dict rows at 0.8x the rate of tuple rows or better, 2x psycopg2's dict cursor.
    Target("ztcondb fetchall dict_row", "ztcondb fetchall", time=1.25),
    Target("ztcondb fetchall dict_row", "psycopg2 fetchall RealDictCursor", speed=2.0),
]
