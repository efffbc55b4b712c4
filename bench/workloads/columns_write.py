"""write_frame: a DataFrame of (int64, float64, str, datetime64, float64, datetime64)
into a new table, beside DataFrame.to_sql(method="multi") over SQLAlchemy + psycopg2 and
psycopg2's copy_expert of the frame's to_csv text. The frame is built before timing."""
from harness import Job, Target

TITLE = "write_frame {size:,} rows x (int64, float64, str, datetime64, float64, datetime64)"
UNIT = "rows/s"
SIZE = 100_000
QUICK_SIZE = 20_000
SETUP = ["DROP TABLE IF EXISTS bench_frame_out"]
TABLE = "bench_frame_out"


def make_frame(size):
    import numpy
    import pandas
    ids = numpy.arange(size, dtype=numpy.int64)
    return pandas.DataFrame({
        "id": ids,
        "f": ids / 7.0,
        "t": ["row %d" % i for i in range(size)],
        "ts": pandas.Timestamp("2020-01-01") + pandas.to_timedelta(ids * 37, unit="s"),
        "n": (ids * 7919 % 1000000) / 100.0,
        "d": pandas.Timestamp("2000-01-01") + pandas.to_timedelta(ids % 10000, unit="D"),
    })


def ztcondb_write_frame(ctx):
    import ztcondb
    frame = make_frame(ctx.size)
    conn = ctx.ztcondb()
    with ctx.timed():
        rows = ztcondb.write_frame(conn, frame, TABLE, if_exists="replace")
        conn.commit()
    return rows


def engine(ctx):
    import sqlalchemy
    s = ctx.server
    return sqlalchemy.create_engine("postgresql+psycopg2://%s@%s:%s/%s" % (
        s["ZT_TEST_USER"], s["ZT_TEST_HOST"], s["ZT_TEST_PORT"], s["ZT_TEST_DB"]))


def pandas_to_sql_multi(ctx):
    frame = make_frame(ctx.size)
    eng = engine(ctx)
    with ctx.timed():
        frame.to_sql(TABLE, eng, if_exists="replace", index=False, method="multi",
                     chunksize=1000)
    return ctx.size


def psycopg2_copy_csv(ctx):
    import io
    frame = make_frame(ctx.size)
    conn = ctx.psycopg2()
    with ctx.timed():
        cur = conn.cursor()
        cur.execute("DROP TABLE IF EXISTS %s" % TABLE)
        cur.execute("CREATE TABLE %s (id bigint, f double precision, t text, ts timestamp, "
                    "n double precision, d timestamp)" % TABLE)
        text = io.StringIO()
        frame.to_csv(text, index=False, header=False)
        text.seek(0)
        cur.copy_expert("COPY %s FROM STDIN (FORMAT csv)" % TABLE, text)
        conn.commit()
    return ctx.size


JOBS = [
    Job("ztcondb write_frame", "ztcondb", ztcondb_write_frame),
    Job("pandas to_sql multi (psycopg2)", "psycopg2", pandas_to_sql_multi, ref=True),
    Job("psycopg2 copy_expert of to_csv", "psycopg2", psycopg2_copy_csv),
]

TARGETS = [
    Target("ztcondb write_frame", "pandas to_sql multi (psycopg2)", speed=5),
    Target("ztcondb write_frame", "psycopg2 copy_expert of to_csv", speed=1.5),
]
