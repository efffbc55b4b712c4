"""Steps the synchronous workloads share: the measured part of a job, kept in one
place so that every driver is timed over the same work."""


def timed_fetchall(ctx, cur, query):
    """Runs query on cur and reads every row, timed; returns the rows."""
    with ctx.timed():
        cur.execute(query)
        return cur.fetchall()


async def timed_asyncpg_fetch(ctx, conn, query):
    """Reads every row of query over an asyncpg connection, timed; closes it."""
    with ctx.timed():
        rows = await conn.fetch(query)
    await conn.close()
    return rows
