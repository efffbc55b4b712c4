"""Inserting rows of (bigint, float8, text, timestamp) into an UNLOGGED table (no WAL
fsync noise) in one transaction, by each driver's batch methods. The rows are built
before the timer; the table is emptied first and its row count checked after."""
import datetime

from harness import Job, Target

TITLE = "insert {size:,} rows x (bigint, float8, text, timestamp), one transaction"
UNIT = "rows/s"
SIZE = 100_000
QUICK_SIZE = 10_000
TABLE = "bench_ins"
COLUMNS = ("id", "f", "t", "ts")
SETUP = [
    "DROP TABLE IF EXISTS bench_ins",
    "CREATE UNLOGGED TABLE bench_ins (id bigint, f double precision, t text, ts timestamp)",
]
INSERT_QMARK = "INSERT INTO bench_ins VALUES (?, ?, ?, ?)"
INSERT_FORMAT = "INSERT INTO bench_ins VALUES (%s, %s, %s, %s)"
COPY = "COPY bench_ins (id, f, t, ts) FROM STDIN"


def make_rows(n):
    """Row i: (i, i / 7, 'text-' and i in 15 digits, 2024-01-01 + i s + i us); the C
    floor builds the same rows."""
    base = datetime.datetime(2024, 1, 1)
    return [(i, i / 7, "text-%015d" % i, base + datetime.timedelta(seconds=i, microseconds=i))
            for i in range(n)]


def count_rows(ctx, cur):
    cur.execute("SELECT count(*) FROM " + TABLE)
    count = cur.fetchone()[0]
    if count != ctx.size:
        raise SystemExit("inserted %d rows, expected %d" % (count, ctx.size))
    return count


def timed_insert(ctx, conn, send, shape=None):
    """Empties the table, builds the rows (in the shape the method takes: shape(rows)),
    times send(cursor, rows) and the commit."""
    cur = conn.cursor()
    cur.execute("TRUNCATE " + TABLE)
    conn.commit()
    rows = make_rows(ctx.size)
    if shape is not None:
        rows = shape(rows)
    with ctx.timed():
        send(cur, rows)
        conn.commit()
    return count_rows(ctx, cur)


def ztcondb_executebatch(ctx):
    # executebatch takes columns: they are built with the rows, before the timer, as the
    # C floor builds its row structs before its own.
    return timed_insert(ctx, ctx.ztcondb(),
                        lambda cur, columns: cur.executebatch(INSERT_QMARK, columns),
                        shape=lambda rows: [list(column) for column in zip(*rows)])


def ztcondb_executemany(ctx):
    return timed_insert(ctx, ctx.ztcondb(), lambda cur, rows: cur.executemany(INSERT_QMARK, rows))


def psycopg2_execute_values(ctx):
    from psycopg2.extras import execute_values
    return timed_insert(ctx, ctx.psycopg2(), lambda cur, rows: execute_values(
        cur, "INSERT INTO bench_ins VALUES %s", rows, page_size=1000))


COPY_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})


def copy_text(rows):
    import io
    return io.StringIO("".join("%d\t%r\t%s\t%s\n" % (i, f, t.translate(COPY_ESCAPES), ts)
                               for i, f, t, ts in rows))


def psycopg2_copy(ctx):
    return timed_insert(ctx, ctx.psycopg2(),
                        lambda cur, rows: cur.copy_expert(COPY, copy_text(rows)))


def psycopg3_executemany(ctx):
    return timed_insert(ctx, ctx.psycopg3(),
                        lambda cur, rows: cur.executemany(INSERT_FORMAT, rows))


def psycopg3_copy(ctx):
    def send(cur, rows):
        with cur.copy(COPY) as copy:
            for row in rows:
                copy.write_row(row)
    return timed_insert(ctx, ctx.psycopg3(), send)


async def asyncpg_insert(ctx, send):
    conn = await ctx.asyncpg()
    await conn.execute("TRUNCATE " + TABLE)
    rows = make_rows(ctx.size)
    with ctx.timed():
        async with conn.transaction():
            await send(conn, rows)
    count = await conn.fetchval("SELECT count(*) FROM " + TABLE)
    await conn.close()
    if count != ctx.size:
        raise SystemExit("inserted %d rows, expected %d" % (count, ctx.size))
    return count


def asyncpg_executemany(ctx):
    return asyncpg_insert(ctx, lambda conn, rows: conn.executemany(
        "INSERT INTO bench_ins VALUES ($1, $2, $3, $4)", rows))


def asyncpg_copy(ctx):
    return asyncpg_insert(ctx, lambda conn, rows: conn.copy_records_to_table(
        TABLE, records=rows, columns=COLUMNS))


JOBS = [
    Job("ztcondb executebatch", "ztcondb", ztcondb_executebatch),
    Job("ztcondb executemany", "ztcondb", ztcondb_executemany),
    Job("psycopg2 execute_values (page 1000)", "psycopg2", psycopg2_execute_values, ref=True),
    Job("psycopg2 copy_expert (text)", "psycopg2", psycopg2_copy),
    Job("psycopg3 executemany (pipeline)", "psycopg3", psycopg3_executemany),
    Job("psycopg3 COPY write_row (text)", "psycopg3", psycopg3_copy),
    Job("asyncpg executemany", "asyncpg", asyncpg_executemany),
    Job("asyncpg copy_records_to_table", "asyncpg", asyncpg_copy),
    Job("C libpq pipeline, prepared", "libpq", "insert-pipeline"),
    Job("C libpq COPY text", "libpq", "insert-copy-text"),
    Job("C libpq COPY binary", "libpq", "insert-copy-binary"),
]

TARGETS = [
    Target("ztcondb executemany", "asyncpg executemany", speed=3.0),
    Target("ztcondb executebatch", "C libpq COPY binary", time=1.2),
]
