"""read_frame: a table of (bigint, float8, text, timestamp, numeric(12,2), date) into a
pandas DataFrame, beside pandas.read_sql over SQLAlchemy + psycopg2, ztcondb's own
fetchall + DataFrame.from_records and the C binary-fetch floor. Peak memory is measured
against the finished frame: 111.6 MiB at 1,000,000 rows (memory_usage(deep=True): five
8-byte columns and one of 20-character str objects)."""
from harness import Job, Target

from workloads import fetch

# The same table as fetch; partitioned reads ask for ranges of id, which an index serves.
QUERY = fetch.QUERY
SETUP = fetch.SETUP[:-1] + ["CREATE INDEX bench_fetch_id ON bench_fetch (id)"] + fetch.SETUP[-1:]

TITLE = "read_frame {size:,} rows x (bigint, float8, text, timestamp, numeric(12,2), date)"
UNIT = "rows/s"
SIZE = 1_000_000
QUICK_SIZE = 50_000


def checked(ctx, frame):
    if len(frame) != ctx.size or len(frame.columns) != 6:
        raise SystemExit("read %d rows, expected %d" % (len(frame), ctx.size))
    return len(frame)


def ztcondb_read_frame(ctx, partitions=None):
    import pandas  # noqa: F401 - imported before the timed block, as the peers'
    import ztcondb
    conn = ctx.ztcondb()
    with ctx.timed():
        if partitions:
            frame = ztcondb.read_frame(conn, QUERY, partition_on="id", partitions=partitions)
        else:
            frame = ztcondb.read_frame(conn, QUERY)
    return checked(ctx, frame)


def ztcondb_two_partitions(ctx):
    return ztcondb_read_frame(ctx, partitions=2)


def ztcondb_from_records(ctx):
    import pandas
    cur = ctx.ztcondb().cursor()
    with ctx.timed():
        cur.execute(QUERY)
        names = [d[0] for d in cur.description]
        frame = pandas.DataFrame.from_records(cur.fetchall(), columns=names,
                                              coerce_float=True)
    return checked(ctx, frame)


def pandas_read_sql(ctx):
    import pandas
    import sqlalchemy
    s = ctx.server
    engine = sqlalchemy.create_engine("postgresql+psycopg2://%s@%s:%s/%s" % (
        s["ZT_TEST_USER"], s["ZT_TEST_HOST"], s["ZT_TEST_PORT"], s["ZT_TEST_DB"]))
    with engine.connect() as conn:
        with ctx.timed():
            frame = pandas.read_sql(sqlalchemy.text(QUERY), conn)
    return checked(ctx, frame)


JOBS = [
    Job("ztcondb read_frame", "ztcondb", ztcondb_read_frame),
    Job("ztcondb read_frame, 2 partitions", "ztcondb", ztcondb_two_partitions),
    Job("ztcondb fetchall + from_records", "ztcondb", ztcondb_from_records),
    Job("pandas.read_sql (SQLAlchemy + psycopg2)", "psycopg2", pandas_read_sql, ref=True),
    Job("C libpq binary + decode", "libpq", "fetch-binary"),
]

TARGETS = [
    Target("ztcondb read_frame", "pandas.read_sql (SQLAlchemy + psycopg2)", speed=10),
    Target("ztcondb read_frame", "ztcondb fetchall + from_records", speed=3),
    Target("ztcondb read_frame", "C libpq binary + decode", time=1.5),
    Target("ztcondb read_frame, 2 partitions", "ztcondb read_frame", speed=1.6),
    # 1.3 x the finished frame's 111.6 MiB.
    Target("ztcondb read_frame", None, growth=145),
]
