"""PostgreSQL's own types: 200,000 rows of (int4[], text[], jsonb, uuid, inet, tstzrange)
fetched whole, and the same rows sent by executemany into an UNLOGGED table. Every value
becomes (and starts as) a Python object: lists, a dict, uuid.UUID, an ip address, a
range. psycopg2 reads with its json, uuid and inet adapters registered (its ranges are
its own DateTimeTZRange)."""
import datetime
import ipaddress
import uuid

from harness import Job, Target
from workloads import shared

TITLE = "types: {size:,} rows x (int4[], text[], jsonb, uuid, inet, tstzrange)"
UNIT = "rows/s"
SIZE = 200_000
QUICK_SIZE = 20_000
SETUP = [
    "DROP TABLE IF EXISTS bench_types",
    """CREATE TABLE bench_types AS
       SELECT ARRAY[g, g + 1, g % 7]::int4[]                              AS a,
              ARRAY['t' || g, 'x,y', NULL]::text[]                          AS t,
              jsonb_build_object('id', g, 'tags', jsonb_build_array('a', g % 3)) AS j,
              md5(g::text)::uuid                                            AS u,
              ('10.' || g % 250 || '.' || g % 199 || '.1')::inet            AS i,
              tstzrange(timestamptz '2024-01-01' + g * interval '1 s', NULL) AS r
       FROM generate_series(1, {size}) AS g""",
    "VACUUM ANALYZE bench_types",
    "DROP TABLE IF EXISTS bench_types_in",
    "CREATE UNLOGGED TABLE bench_types_in (a int4[], t text[], j jsonb, u uuid, i inet, "
    "r tstzrange)",
]
QUERY = "SELECT a, t, j, u, i, r FROM bench_types"
BASE = datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone.utc)


def checked(ctx, rows):
    if len(rows) != ctx.size or len(rows[0]) != 6 or not isinstance(rows[0][0], list):
        raise SystemExit("fetched %d rows (first %r), expected %d"
                         % (len(rows), rows[0] if rows else None, ctx.size))
    return len(rows)


def ztcondb_fetchall(ctx):
    cur = ctx.ztcondb().cursor()
    return checked(ctx, shared.timed_fetchall(ctx, cur, QUERY))


def psycopg2_fetchall(ctx):
    import psycopg2.extras
    conn = ctx.psycopg2()
    psycopg2.extras.register_uuid(conn_or_curs=conn)
    psycopg2.extras.register_ipaddress(conn)
    psycopg2.extras.register_default_jsonb(conn)
    cur = conn.cursor()
    return checked(ctx, shared.timed_fetchall(ctx, cur, QUERY))


def psycopg3_fetchall(ctx):
    return checked(ctx, shared.timed_fetchall(ctx, ctx.psycopg3().cursor(), QUERY))


async def asyncpg_fetch(ctx):
    conn = await ctx.asyncpg()
    await conn.set_type_codec("jsonb", encoder=_json_dumps, decoder=_json_loads,
                              schema="pg_catalog")
    return checked(ctx, await shared.timed_asyncpg_fetch(ctx, conn, QUERY))


def _json_dumps(value):
    import json
    return json.dumps(value)


def _json_loads(text):
    import json
    return json.loads(text)


def make_rows(n):
    """Row i as the Python values each driver sends (ranges as each driver's own)."""
    return [([i, i + 1, i % 7], ["t%d" % i, "x,y", None], {"id": i, "tags": ["a", i % 3]},
             uuid.UUID(int=i * 7919), ipaddress.ip_address("10.%d.%d.1" % (i % 250, i % 199)),
             BASE + datetime.timedelta(seconds=i)) for i in range(n)]


def count_rows(ctx, count):
    if count != ctx.size:
        raise SystemExit("inserted %d rows, expected %d" % (count, ctx.size))
    return count


def ztcondb_executemany(ctx):
    from ztcondb.types.range import Range
    conn = ctx.ztcondb()
    cur = conn.cursor()
    cur.execute("TRUNCATE bench_types_in")
    conn.commit()
    rows = [r[:5] + (Range(r[5], None),) for r in make_rows(ctx.size)]
    with ctx.timed():
        cur.executemany("INSERT INTO bench_types_in VALUES (?, ?, ?, ?, ?, ?)", rows)
        conn.commit()
    cur.execute("SELECT count(*) FROM bench_types_in")
    return count_rows(ctx, cur.fetchone()[0])


def asyncpg_executemany(ctx):
    async def run():
        from asyncpg import Range
        conn = await ctx.asyncpg()
        await conn.set_type_codec("jsonb", encoder=_json_dumps, decoder=_json_loads,
                                  schema="pg_catalog")
        await conn.execute("TRUNCATE bench_types_in")
        rows = [r[:5] + (Range(r[5], None),) for r in make_rows(ctx.size)]
        with ctx.timed():
            async with conn.transaction():
                await conn.executemany(
                    "INSERT INTO bench_types_in VALUES ($1, $2, $3, $4, $5, $6)", rows)
        count = await conn.fetchval("SELECT count(*) FROM bench_types_in")
        await conn.close()
        return count_rows(ctx, count)
    return run()


JOBS = [
    Job("ztcondb fetchall", "ztcondb", ztcondb_fetchall),
    Job("psycopg2 fetchall (json, uuid, inet adapters)", "psycopg2", psycopg2_fetchall,
        ref=True),
    Job("psycopg3 fetchall", "psycopg3", psycopg3_fetchall),
    Job("asyncpg fetch", "asyncpg", asyncpg_fetch),
    Job("ztcondb executemany", "ztcondb", ztcondb_executemany),
    Job("asyncpg executemany", "asyncpg", asyncpg_executemany),
]

TARGETS = [
    Target("ztcondb fetchall", "psycopg2 fetchall (json, uuid, inet adapters)", speed=2.0),
    Target("ztcondb fetchall", "asyncpg fetch", speed=1.0),
    Target("ztcondb executemany", "asyncpg executemany", speed=3.0),
]
